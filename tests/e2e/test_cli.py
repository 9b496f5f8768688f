"""End-to-end: the command line's contract on the demo image: bad input gives one clear error
line and a non-zero status with nothing written; recover never overwrites; cat is byte-exact."""

import json
import os
import unittest

from e2e_common import ImageTestCase, sha256_file


class CommandLine(ImageTestCase):
    prefix = "brevant-e2e-cli-"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        with open(os.path.join(os.environ["BREVANT_FIXTURES"], "demo.manifest.json")) as f:
            cls.manifest = json.load(f)

    def assert_one_error_line(self, res, code, fragment):
        self.assertEqual(res.returncode, code, res.stderr)
        err = res.stderr.decode()
        self.assertEqual(len(err.strip().splitlines()), 1, err)
        self.assertIn(fragment, err)
        self.assertEqual(res.stdout, b"")

    def test_bad_arguments(self):
        img = self.image("demo")
        fifo = os.path.join(self.tmp, "a fifo")
        if not os.path.exists(fifo):
            os.mkfifo(fifo)
        unused = os.path.join(self.tmp, "never written")
        cases = [
            # Neither an image file nor a block device: refused at once, never waited on.
            (["scan", fifo, "--partition", "1"], 2, "neither a disk image file nor a block device"),
            (["disks", "--image", fifo], 2, "neither a disk image file nor a block device"),
            (["scan", "/dev/null", "--partition", "1"], 2, "neither a disk image file"),
            # Numbers out of range and a --path that matches nothing.
            (["scan", img, "--partition", "99999999999999999999"], 2, "--partition"),
            (["scan", img, "--partition", "-1"], 2, "partition -1 not found"),
            (["cat", img, "--partition", "1", "--entry", "1e99"], 2, "--entry"),
            (["scan", img, "--partition", "1", "--codepage", "4294967297"], 2, "--codepage"),
            (["recover", img, "--partition", "2", "--to", unused, "--path", "/No such folder", "-q"], 2,
             "--path /No such folder"),
            (["scan", "/nonexistent.img", "--partition", "1"], 2, "no such file"),
            (["scan", self.tmp, "--partition", "1"], 2, "is a directory"),
            (["scan", img, "--partition", "9"], 2, "partition 9 not found"),
            (["scan", img, "--partition", "1", "--format", "xml"], 2, "--format"),
            (["scan", img], 2, "--partition"),
            (["scan", img, "--partition", "1", "--codepage", "1252"], 2, "not supported"),
            (["cat", img, "--partition", "1", "--entry", "0"], 2, "no such entry"),
            (["cat", img, "--partition", "1", "--entry", "999999"], 2, "no such entry"),
            (["cat", img, "--partition", "1", "--entry", "1"], 2, "is a folder"),
            (["disks", "--image", "/nonexistent.img"], 2, "nonexistent.img"),
        ]
        for args, code, fragment in cases:
            with self.subTest(args=args):
                res = self.run_brevant(*args, timeout=60)
                self.assert_one_error_line(res, code, fragment)
        self.assertFalse(os.path.exists(unused))

    def test_version_and_help(self):
        res = self.run_brevant("--version")
        self.assertEqual(res.returncode, 0)
        self.assertTrue(res.stdout.decode().startswith("brevant "))
        res = self.run_brevant("--help")
        self.assertEqual(res.returncode, 0)
        for command in ("disks", "scan", "recover", "cat"):
            self.assertIn(command, res.stdout.decode())
        # Every exit status is documented.
        for status in ("0 done", "1 something failed", "2 bad arguments", "130 stopped"):
            self.assertIn(status, " ".join(res.stdout.decode().split()))

    def scan(self, number, *extra):
        res = self.run_brevant("scan", self.image("demo"), "--partition", str(number),
                               "--format", "json", "-q", *extra)
        self.assertEqual(res.returncode, 0, res.stderr)
        return json.loads(res.stdout)

    def test_entries_are_numbered_uniquely_and_stably(self):
        full = self.scan(1)
        deleted = self.scan(1, "--deleted-only")
        entries = [e["entry"] for e in full["folders"] + full["files"]]
        self.assertEqual(len(entries), len(set(entries)))
        by_entry = {e["entry"]: e for e in full["files"]}
        self.assertTrue(deleted["files"])
        for e in deleted["files"]:
            self.assertTrue(e["deleted"])
            self.assertEqual(by_entry[e["entry"]]["path"], e["path"])

    def test_cat_matches_the_manifest(self):
        part = self.manifest["partitions"][0]
        scan = self.scan(part["number"])
        files = {e["path"]: e for e in scan["files"]}
        checked = 0
        for f in part["files"]:
            if f["deleted"] or f["path"] not in files:
                continue
            res = self.run_brevant("cat", self.image("demo"), "--partition", str(part["number"]),
                                   "--entry", str(files[f["path"]]["entry"]))
            self.assertEqual(res.returncode, 0, res.stderr)
            self.assertEqual(len(res.stdout), f["size"], f["path"])
            checked += 1
            if checked == 10:
                break
        self.assertEqual(checked, 10)

    def test_recover_twice_never_overwrites(self):
        out = os.path.join(self.tmp, "twice")
        for _ in range(2):
            res = self.run_brevant("recover", self.image("demo"), "--partition", "2", "--to", out,
                                   "--path", "/Docs", "-q")
            self.assertEqual(res.returncode, 0, res.stderr)
            self.assertRegex(res.stdout.decode(), r"^recovered \d+ files \(\d+ bytes\), 0 failed\n$")
        names = os.listdir(os.path.join(out, "Docs"))
        self.assertIn("letter.txt", names)
        self.assertIn("letter (1).txt", names)
        self.assertEqual(sha256_file(os.path.join(out, "Docs", "letter.txt")),
                         sha256_file(os.path.join(out, "Docs", "letter (1).txt")))
        # Only what was asked for: nothing from outside /Docs.
        self.assertEqual(sorted(os.listdir(out)), ["Docs"])


if __name__ == "__main__":
    unittest.main()

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
        cases = [
            (["scan", "/nonexistent.img", "--partition", "1"], 2, "no such file"),
            (["scan", self.tmp, "--partition", "1"], 2, "is a directory"),
            (["scan", img, "--partition", "9"], 2, "partition 9 not found"),
            (["scan", img, "--partition", "1", "--format", "xml"], 109, "format"),
            (["scan", img, "--partition", "1", "--codepage", "1252"], 2, "not supported"),
            (["cat", img, "--partition", "1", "--entry", "0"], 2, "no such entry"),
            (["cat", img, "--partition", "1", "--entry", "999999"], 2, "no such entry"),
            (["cat", img, "--partition", "1", "--entry", "1"], 2, "is a folder"),
            (["disks", "--image", "/nonexistent.img"], 2, "nonexistent.img"),
        ]
        for args, code, fragment in cases:
            with self.subTest(args=args):
                res = self.run_brevant(*args)
                if code == 109:  # argument parser: any non-zero status, message names the option
                    self.assertNotEqual(res.returncode, 0)
                    self.assertIn(fragment, res.stderr.decode())
                    self.assertNotIn("Traceback", res.stderr.decode())
                else:
                    self.assert_one_error_line(res, code, fragment)

    def test_version_and_help(self):
        res = self.run_brevant("--version")
        self.assertEqual(res.returncode, 0)
        self.assertTrue(res.stdout.decode().startswith("brevant "))
        res = self.run_brevant("--help")
        self.assertEqual(res.returncode, 0)
        for command in ("disks", "scan", "recover", "cat"):
            self.assertIn(command, res.stdout.decode())

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

"""End-to-end: `brevant scan / recover / cat` on the FAT partitions of the fixture images,
checked against each fixture's manifest and against The Sleuth Kit's tsk_recover."""

import hashlib
import json
import os
import re
import shutil
import subprocess
import unittest

from e2e_common import ImageTestCase, fixtures_with, sha256_file
FAT = ("FAT12", "FAT16", "FAT32")



def fat_fixtures():
    return fixtures_with(FAT)


def deleted_names(path):
    """Where a deleted file may be listed: its own path, or (an 8.3 name without a long name)
    with the first letter of its name lost and shown as "_"."""
    folder, _, name = path.rpartition("/")
    yield path
    if name:
        yield folder + "/_" + name[1:]


def is_short_name(name):
    base, _, ext = name.partition(".")
    return name == name.upper() and 1 <= len(base) <= 8 and len(ext) <= 3 and "." not in ext


class FatEndToEnd(ImageTestCase):
    prefix = "brevant-e2e-fat-"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.fixtures = fat_fixtures()
        if not cls.fixtures:
            raise unittest.SkipTest("no fixture image with a FAT partition and a manifest")
        cls.scans = {}

    def run_brevant(self, *args, check=True):
        res = super().run_brevant(*args)
        if check:
            self.assertEqual(res.returncode, 0, "brevant %s failed: %s" % (" ".join(args), res.stderr.decode(errors="replace")))
        return res

    def scan(self, name, number):
        key = (name, number)
        if key not in self.scans:
            res = self.run_brevant("scan", self.image(name), "--partition", str(number), "--format", "json")
            self.scans[key] = json.loads(res.stdout)
        return self.scans[key]

    def number_of(self, name, part):
        """The partition's number as brevant numbers it, found by its first sector, so a
        disagreement about which table entries count shows in the partition tests, not here."""
        res = self.run_brevant("disks", "--image", self.image(name), "--json")
        for disk in json.loads(res.stdout)["disks"]:
            if disk["path"] != self.image(name):
                continue
            for p in disk["partitions"]:
                if p["start"] == part["start"]:
                    return p["number"]
        self.fail("brevant does not list the partition at sector %d of %s" % (part["start"], name))

    def partitions(self):
        for name, manifest in self.fixtures:
            for part in manifest["partitions"]:
                if part.get("fs") in FAT:
                    part = dict(part, number=self.number_of(name, part))
                    yield name, part

    def find_listed(self, files, entry):
        paths = [entry["path"]] if not entry["deleted"] else list(deleted_names(entry["path"]))
        for p in paths:
            if p in files:
                return files[p]
        return None

    def test_scan_lists_every_manifest_entry(self):
        for name, part in self.partitions():
            with self.subTest(fixture=name, partition=part["number"]):
                result = self.scan(name, part["number"])
                self.assertEqual(result["partition"]["fs"], part["fs"])
                self.assertEqual(result["partition"]["start"], part["start"])
                files = {f["path"]: f for f in result["files"]}
                folders = {f["path"]: f for f in result["folders"]}
                self.assertEqual(len({f["entry"] for f in result["files"] + result["folders"]}),
                                 len(result["files"]) + len(result["folders"]), "entry numbers repeat")
                for f in part["files"]:
                    if f["deleted"] and not f.get("intact"):
                        continue
                    listed = self.find_listed(files, f)
                    self.assertIsNotNone(listed, "%s not listed" % f["path"])
                    self.assertEqual(listed["size"], f["size"], f["path"])
                    self.assertEqual(listed["deleted"], bool(f["deleted"]), f["path"])
                for d in part.get("folders", []):
                    if not d["deleted"]:
                        self.assertIn(d["path"], folders, "folder %s not listed" % d["path"])
                        self.assertFalse(folders[d["path"]]["deleted"], d["path"])
                        continue
                    # A deleted folder that still holds an intact deleted file is listed too.
                    if any(f["deleted"] and f.get("intact") and f["path"].startswith(d["path"] + "/")
                           for f in part["files"]):
                        listed = [folders[p] for p in deleted_names(d["path"]) if p in folders]
                        self.assertTrue(listed, "deleted folder %s not listed" % d["path"])
                        self.assertTrue(listed[0]["deleted"], d["path"])

    def recover(self, name, number):
        out = os.path.join(self.tmp, "recover-%s-%d" % (name, number))
        if not os.path.exists(out):
            os.makedirs(out)
            res = self.run_brevant("recover", self.image(name), "--partition", str(number), "--to", out, check=False)
            summary = res.stdout.decode(errors="replace")
            self.assertRegex(summary, r"recovered \d+ files \(\d+ bytes\), \d+ failed")
            failed = int(re.search(r"(\d+) failed", summary).group(1))
            self.assertEqual(res.returncode == 0, failed == 0, summary)
        return out

    def test_recover_writes_manifest_files_byte_identical(self):
        for name, part in self.partitions():
            with self.subTest(fixture=name, partition=part["number"]):
                out = self.recover(name, part["number"])
                checked = 0
                for f in part["files"]:
                    if f["deleted"] and (not f.get("intact") or f.get("fragmented")):
                        continue  # a deleted fragmented file is not claimed as recovered
                    candidates = [f["path"]] if not f["deleted"] else list(deleted_names(f["path"]))
                    found = [p for p in candidates if os.path.isfile(out + p)]
                    self.assertTrue(found, "%s not recovered" % f["path"])
                    self.assertEqual(sha256_file(out + found[0]), f["sha256"], f["path"])
                    checked += 1
                self.assertGreater(checked, 0)

    def test_recovered_files_keep_their_write_time(self):
        for name, part in self.partitions():
            with self.subTest(fixture=name, partition=part["number"]):
                out = self.recover(name, part["number"])
                for f in part["files"]:
                    if f["deleted"] or "mtime" not in f or not os.path.isfile(out + f["path"]):
                        continue
                    # FAT keeps even seconds in local time; the fixtures are made in UTC.
                    self.assertLessEqual(abs(os.stat(out + f["path"]).st_mtime - f["mtime"]), 2, f["path"])

    def test_body_and_tree_formats(self):
        for name, part in self.partitions():
            with self.subTest(fixture=name, partition=part["number"]):
                res = self.run_brevant("scan", self.image(name), "--partition", str(part["number"]), "--format", "body")
                rows = {}
                for line in res.stdout.decode("utf-8").splitlines():
                    fields = line.split("|")
                    self.assertEqual(len(fields), 11, line)
                    rows[fields[1]] = fields
                tree = self.run_brevant("scan", self.image(name), "--partition", str(part["number"]),
                                        "--format", "tree").stdout.decode("utf-8")
                for f in part["files"]:
                    if f["deleted"]:
                        continue
                    self.assertIn(f["path"], rows, f["path"])
                    self.assertEqual(int(rows[f["path"]][6]), f["size"], f["path"])
                    if "mtime" in f:
                        self.assertLessEqual(abs(int(rows[f["path"]][8]) - f["mtime"]), 2, f["path"])
                    self.assertIn(f["path"].rpartition("/")[2], tree, f["path"])

    def test_cat_writes_the_entry_bytes(self):
        for name, part in self.partitions():
            with self.subTest(fixture=name, partition=part["number"]):
                result = self.scan(name, part["number"])
                files = {f["path"]: f for f in result["files"]}
                live = [f for f in part["files"] if not f["deleted"]]
                for f in live[:: max(1, len(live) // 8)]:
                    entry = files[f["path"]]["entry"]
                    res = self.run_brevant("cat", self.image(name), "--partition", str(part["number"]),
                                           "--entry", str(entry))
                    self.assertEqual(hashlib.sha256(res.stdout).hexdigest(), f["sha256"], f["path"])

    def test_every_file_tsk_recovers_intact_is_recovered_intact(self):
        if shutil.which("tsk_recover") is None:
            self.skipTest("tsk_recover is not installed")
        for name, part in self.partitions():
            with self.subTest(fixture=name, partition=part["number"]):
                ours = self.recover(name, part["number"])
                theirs = os.path.join(self.tmp, "tsk-%s-%d" % (name, part["number"]))
                shutil.rmtree(theirs, ignore_errors=True)
                os.makedirs(theirs)
                res = subprocess.run(["tsk_recover", "-e", "-o", str(part["start"]), self.image(name), theirs],
                                     capture_output=True, timeout=600)
                self.assertEqual(res.returncode, 0, res.stderr.decode(errors="replace"))
                # What the manifest says each path should hold (deleted ones under either name).
                expected = {}
                for f in part["files"]:
                    for p in (deleted_names(f["path"]) if f["deleted"] else [f["path"]]):
                        expected.setdefault(p, f["sha256"])
                compared = 0
                for root, _, names in os.walk(theirs):
                    for n in names:
                        path = os.path.relpath(os.path.join(root, n), theirs)
                        if path.startswith("$"):
                            continue  # TSK's orphan and virtual files have no path to compare
                        rel = "/" + path
                        digest = sha256_file(os.path.join(root, n))
                        if expected.get(rel) != digest:
                            continue  # not intact as TSK recovered it
                        self.assertTrue(os.path.isfile(ours + rel), "tsk_recover recovered %s intact; brevant did not write it" % rel)
                        self.assertEqual(sha256_file(ours + rel), digest, rel)
                        compared += 1
                self.assertGreater(compared, 0)


if __name__ == "__main__":
    unittest.main()

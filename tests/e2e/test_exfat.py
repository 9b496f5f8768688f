#!/usr/bin/env python3
"""exFAT volumes made by mkfs.exfat and filled through exfat-fuse (tests/fixtures/
builders_exfat.py): what brevant lists, live and deleted, against fls; every file recovered at
its path with the bytes icat reads (deleted ones where TSK can read them, else the bytes
written); free space against blkls; the quick-reformatted volume's old files through the
extensive scan."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_common import FIXTURES, ImageTestCase, manifest, sha256_file  # noqa: E402

IMAGES = ("exfat_mbr", "exfat_128k", "exfat_reformat", "exfat_tiny")
LOST = "/Lost (found by Brevant)"


def fls(image, offset):
    """{(path, deleted): inode} of what fls -r -p lists, TSK's own entries left out."""
    out = subprocess.run(["fls", "-f", "exfat", "-r", "-p", "-o", str(offset), image],
                         capture_output=True, check=True).stdout.decode("utf-8", "replace")
    rows = {}
    for line in out.splitlines():
        kinds, rest = line.split(" ", 1)
        deleted = rest.startswith("* ")
        inode, path = rest[2 if deleted else 0:].split(":\t", 1)
        path = "/" + path
        if kinds.startswith("v") or kinds.startswith("V") or path.startswith("/$") or \
                path.endswith("(Volume Label Entry)"):
            continue
        rows[(path, deleted)] = inode
    return rows


def same_path(tsk, ours):
    """fls cuts names longer than it shows in the middle: those match by their start."""
    cut = tsk.rstrip("\ufffd")
    return tsk == ours or (len(cut) > 150 and ours.startswith(cut))


class ExfatTest(ImageTestCase):
    prefix = "brevant-e2e-exfat-"

    def need(self, name):
        if not os.path.exists(os.path.join(FIXTURES, name + ".img.gz")):
            self.skipTest("fixture %s not made yet" % name)
        if shutil.which("fls") is None:
            self.skipTest("The Sleuth Kit is not installed")
        return manifest(name), self.image(name)

    def scan(self, image, *extra):
        res = self.run_brevant("scan", image, "--partition", "1", "-q", "--format", "json", *extra)
        self.assertEqual(res.returncode, 0, res.stderr)
        return json.loads(res.stdout)

    def test_listing_matches_fls_live_and_deleted(self):
        for name in IMAGES:
            with self.subTest(image=name):
                man, image = self.need(name)
                part = man["partitions"][0]
                doc = self.scan(image)
                self.assertEqual(doc["partition"]["fs"], "exFAT")
                ours = {(e["path"], e["deleted"]) for e in doc["folders"] + doc["files"]}
                theirs = set(fls(image, part["start"]))
                for t in theirs:
                    self.assertTrue(any(same_path(t[0], o[0]) and t[1] == o[1] for o in ours),
                                    "fls lists %s (deleted %s), brevant does not" % t)
                for o in ours:
                    self.assertTrue(any(same_path(t[0], o[0]) and t[1] == o[1] for t in theirs),
                                    "brevant lists %s (deleted %s), fls does not" % o)
                live = sum(1 for e in doc["files"] if not e["deleted"])
                dead = sum(1 for e in doc["files"] if e["deleted"])
                print("%s: brevant %d live, %d deleted files; fls %d entries" % (
                    name, live, dead, len(theirs)), file=sys.stderr)

    def test_every_file_recovered_byte_identical_at_its_path(self):
        for name in IMAGES:
            with self.subTest(image=name):
                man, image = self.need(name)
                part = man["partitions"][0]
                out = tempfile.mkdtemp(dir=self.tmp)
                res = self.run_brevant("recover", image, "--partition", "1", "--to", out, "-q")
                self.assertEqual(res.returncode, 0, res.stderr)
                tsk = fls(image, part["start"])
                for f in part["files"]:
                    if f.get("extensiveOnly"):
                        continue
                    got = os.path.join(out, f["path"].lstrip("/"))
                    if len(os.path.basename(got).encode()) > 255:
                        continue  # shortened at the destination; its bytes are checked by cat
                    self.assertTrue(os.path.isfile(got), f["path"])
                    self.assertEqual(sha256_file(got), f["sha256"], f["path"])
                    inode = tsk.get((f["path"], f["deleted"]))
                    if inode and (not f["deleted"] or not f.get("tskMisses")):
                        data = subprocess.run(["icat", "-f", "exfat", "-o", str(part["start"]),
                                               image, inode], capture_output=True,
                                              check=True).stdout
                        with open(got, "rb") as g:
                            self.assertEqual(g.read(), data, f["path"] + " against icat")

    def test_long_name_kept_whole_and_read_by_cat(self):
        man, image = self.need("exfat_mbr")
        part = man["partitions"][0]
        doc = self.scan(image)
        rec = next(f for f in part["files"] if len(f["path"].rsplit("/", 1)[1]) == 255)
        entry = next(e for e in doc["files"] if e["path"] == rec["path"])
        res = self.run_brevant("cat", image, "--partition", "1", "--entry", str(entry["entry"]))
        self.assertEqual(res.returncode, 0, res.stderr)
        import hashlib
        self.assertEqual(hashlib.sha256(res.stdout).hexdigest(), rec["sha256"])

    def test_deleted_files_condition_and_chain_note(self):
        man, image = self.need("exfat_mbr")
        part = man["partitions"][0]
        doc = self.scan(image)
        by_path = {e["path"]: e for e in doc["files"]}
        for f in part["files"]:
            if f["deleted"]:
                self.assertEqual(by_path[f["path"]]["condition"], "intact", f["path"])
        # exfat-fuse clears a deleted FAT-chained file's chain: its clusters are the free ones
        # from its first on (as TSK reads them too), and the listing says its chain is gone.
        rec = next(f for f in part["files"] if f["path"] == "/Frag/deleted fragmented.bin")
        self.assertFalse(rec["noFatChain"])
        self.assertEqual(by_path[rec["path"]].get("note"), "no chain")
        self.assertFalse(any(e.get("note") for p, e in by_path.items() if p != rec["path"]))

    def test_free_space_matches_blkls(self):
        for name in IMAGES:
            with self.subTest(image=name):
                man, image = self.need(name)
                part = man["partitions"][0]
                res = self.run_brevant("disks", "--image", image, "--json")
                self.assertEqual(res.returncode, 0, res.stderr)
                doc = json.loads(res.stdout)
                ours = [p for d in doc["disks"] if d.get("path") == image or
                        d.get("source") == image for p in d.get("partitions", [])]
                if not ours:
                    ours = [p for d in doc["disks"] for p in d.get("partitions", [])
                            if p["start"] == part["start"] and p["fs"] == "exFAT"]
                self.assertEqual(ours[-1]["fs"], "exFAT")
                free = subprocess.run(["blkls", "-f", "exfat", "-A", "-o", str(part["start"]),
                                       image], capture_output=True, check=True).stdout
                self.assertEqual(ours[-1]["free"], len(free))

    def test_report_names_exfat_and_the_listed_times(self):
        man, image = self.need("exfat_mbr")
        part = man["partitions"][0]
        out = tempfile.mkdtemp(dir=self.tmp)
        report = os.path.join(self.tmp, "exfat-report.xml")
        res = self.run_brevant("recover", image, "--partition", "1", "--to", out, "-q",
                               "--report", report)
        self.assertEqual(res.returncode, 0, res.stderr)
        import xml.etree.ElementTree as ET
        root = ET.parse(report).getroot()
        ns = {"d": root.tag.split("}")[0].strip("{")}
        self.assertEqual(root.find(".//d:ftype_str", ns).text, "exfat")
        import calendar
        import time as _time
        mtimes = {}
        for fo in root.iter("{%s}fileobject" % ns["d"]):
            m = fo.find("d:mtime", ns)
            mtimes["/" + fo.find("d:filename", ns).text] = calendar.timegm(
                _time.strptime(m.text, "%Y-%m-%dT%H:%M:%S"))
        # The clock as stored: the images were written with TZ=UTC.
        for f in part["files"]:
            if f["path"] in mtimes:
                self.assertEqual(mtimes[f["path"]], f["mtime"], f["path"])

    def test_extensive_scan_finds_what_the_reformat_left(self):
        man, image = self.need("exfat_reformat")
        part = man["partitions"][0]
        quick = self.scan(image)
        self.assertEqual({e["path"] for e in quick["files"]}, {"/after format.txt"})
        out = tempfile.mkdtemp(dir=self.tmp)
        res = self.run_brevant("recover", image, "--partition", "1", "--to", out, "-q",
                               "--mode", "extensive")
        self.assertEqual(res.returncode, 0, res.stderr)
        found = {}
        for root, _, files in os.walk(out):
            for n in files:
                p = os.path.join(root, n)
                found.setdefault(n, []).append((os.path.relpath(p, out), sha256_file(p)))
        survivors = [f for f in part["files"] if f.get("survives")]
        self.assertGreater(len(survivors), 3)
        for f in survivors:
            leaf = f["path"].rsplit("/", 1)[1]
            self.assertIn(f["sha256"], [h for _, h in found.get(leaf, [])], f["path"])
        # A folder whose own entry survived holds its files again, below "Lost".
        paths = {p for v in found.values() for p, _ in v}
        self.assertIn(LOST.lstrip("/") + "/Trip/Day 1/morning.jpg", paths)
        self.assertIn(LOST.lstrip("/") + "/Trip/beach.jpg", paths)


if __name__ == "__main__":
    unittest.main()

#!/usr/bin/env python3
"""The condition of deleted files (`condition`, `overwrittenBytes` in `scan --format json`, the
intact counts of the summaries) on volumes where new files took some deleted files' clusters
(mkfs.fat + mtools, mkntfs + ntfs-3g: tests/fixtures/builders_condition.py). Compared with the
manifest's truth and with what The Sleuth Kit says: the clusters `istat` gives for each deleted
entry and whether `blkstat` finds each of them allocated."""

import json
import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_common import FIXTURES, ImageTestCase, manifest  # noqa: E402

SECTOR = 512


def tsk(*args):
    return subprocess.run(list(args), capture_output=True, check=True,
                          text=True).stdout


def deleted_inodes(image, offset):
    """Path -> inode of every deleted entry fls lists."""
    out = {}
    for line in tsk("fls", "-r", "-p", "-o", str(offset), image).splitlines():
        m = re.match(r"^\S+ \* ([0-9-]+)(?:\(realloc\))?:\t(.*)$", line)
        if m:
            out["/" + m.group(2)] = m.group(1).split("-")[0]
    return out


def allocated(image, offset, unit):
    out = tsk("blkstat", "-o", str(offset), image, str(unit))
    return "Not Allocated" not in out


def istat_units(image, offset, inode, fat):
    """FAT: the sectors istat lists; NTFS: the clusters of the unnamed $DATA (0 for sparse),
    or None when it is resident."""
    out = tsk("istat", "-o", str(offset), image, inode)
    if fat:
        return [int(t) for t in out.split("Sectors:", 1)[1].split() if t.isdigit() and t != "0"]
    m = re.search(r"^Type: \$DATA \(128-\d+\)\s+Name: N/A\s+(\S+)", out, re.M)
    if not m.group(1).startswith("Non-Resident"):
        return None
    units = []
    for line in out[m.end():].split("\n", 1)[1].splitlines():
        if not line.strip() or line.startswith("Type:"):
            break
        units.extend(int(t) for t in line.split())
    return units


def judge(units, size, unit_bytes, is_allocated):
    """The condition of `size` bytes held in `units` (in file order, 0 for a sparse one)."""
    used = needed = 0
    first = None
    for i, u in enumerate(units):
        b = min(unit_bytes, size - i * unit_bytes)
        if b <= 0:
            break
        if u == 0:
            continue
        needed += b
        a = is_allocated(u)
        first = a if first is None else first
        used += b if a else 0
    if used == 0:
        return "intact", 0
    return ("overwritten" if first or used == needed else "partly overwritten"), used


class ConditionTest(ImageTestCase):
    prefix = "brevant-e2e-condition-"

    def scan(self, name, *extra):
        if not os.path.exists(os.path.join(FIXTURES, name + ".img.gz")):
            self.skipTest(name + " fixture missing")
        res = self.run_brevant("scan", self.image(name), "--partition", "1", *extra, "-q")
        self.assertEqual(res.returncode, 0, res.stderr)
        return res.stdout.decode("utf-8")

    def files(self, name):
        doc = json.loads(self.scan(name, "--format", "json"))
        return doc, {f["path"]: f for f in doc["files"]}

    def test_conditions_are_the_manifests(self):
        for name in ("fat_condition", "ntfs_condition"):
            with self.subTest(image=name):
                doc, found = self.files(name)
                part = manifest(name)["partitions"][0]
                conditions = set()
                for rec in part["files"]:
                    f = found[rec["path"]]
                    if not rec["deleted"]:
                        self.assertNotIn("condition", f, rec["path"])
                        continue
                    conditions.add(rec["condition"])
                    self.assertEqual((f["condition"], f["overwrittenBytes"]),
                                     (rec["condition"], rec["overwrittenBytes"]), rec["path"])
                self.assertEqual(conditions, {"intact", "partly overwritten", "overwritten"})
                intact = [r for r in part["files"] if r["deleted"] and r["condition"] == "intact"]
                self.assertEqual(doc["summary"]["intactFiles"], len(intact))
                self.assertEqual(doc["summary"]["intactBytes"], sum(r["size"] for r in intact))

    def test_conditions_follow_the_clusters_istat_gives(self):
        for name in ("fat_condition", "ntfs_condition"):
            with self.subTest(image=name):
                _, found = self.files(name)
                part = manifest(name)["partitions"][0]
                image, offset = self.image(name), part["start"]
                fat = part["fs"].startswith("FAT")
                cluster = part["clusterSize"]
                inodes = deleted_inodes(image, offset)
                deleted = [f for f in found.values() if f["deleted"] and "condition" in f]
                self.assertGreaterEqual(len(deleted), 5)
                for f in deleted:
                    units = istat_units(image, offset, inodes[f["path"]], fat)
                    if fat:
                        # The file lay in the sectors that follow its first, in one piece.
                        # After a free first one istat lists the free ones among them and
                        # skips those in use.
                        listed = set(units)
                        units = list(range(units[0], units[0] + -(-f["size"] // SECTOR)))
                        if not allocated(image, offset, units[0]):
                            for u in units:
                                self.assertEqual(u in listed, not allocated(image, offset, u),
                                                 (f["path"], u))
                        want = judge(units, f["size"], SECTOR,
                                     lambda u: allocated(image, offset, u))
                    elif units is None:
                        want = ("intact", 0)  # resident, in a record no live file took
                    else:
                        want = judge(units, f["size"], cluster,
                                     lambda u: allocated(image, offset, u))
                    self.assertEqual((f["condition"], f["overwrittenBytes"]), want, f["path"])

    def test_the_tree_summary_counts_the_intact_files(self):
        for name in ("fat_condition", "ntfs_condition"):
            with self.subTest(image=name):
                part = manifest(name)["partitions"][0]
                intact = [r for r in part["files"] if r["deleted"] and r["condition"] == "intact"]
                last = self.scan(name, "--format", "tree").splitlines()[-1]
                self.assertRegex(last, r"^\d+ folders, \d+ files, %d intact deleted files "
                                       r"\(%d bytes\)$" % (len(intact),
                                                           sum(r["size"] for r in intact)))


if __name__ == "__main__":
    unittest.main()

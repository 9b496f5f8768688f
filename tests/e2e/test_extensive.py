#!/usr/bin/env python3
"""The extensive mode and the lost-volume search on damaged images: a quick-reformatted NTFS
volume, a disk whose partition table was zeroed, a quick-reformatted FAT32 and a FAT32 whose
FATs were zeroed (made by real tools, then damaged by the fixture script). Each is compared
with its manifest, which lists the files as they were before the damage, and the FAT cases
with The Sleuth Kit's search for orphan files (tsk_recover -e)."""

import json
import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_common import FIXTURES, ImageTestCase, sha256_file  # noqa: E402


def load_manifest(name):
    path = os.path.join(FIXTURES, name + ".manifest.json")
    if not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def survivors(partition):
    return [f for f in partition["files"] if f.get("survives")]


def contents(folder):
    """sha256 of every file below `folder`."""
    out = set()
    for root, _, files in os.walk(folder):
        for name in files:
            out.add(sha256_file(os.path.join(root, name)))
    return out


def at_path(folder, partition):
    """Manifest files (that survived) found byte-identical at their original path."""
    good = set()
    for f in survivors(partition):
        p = os.path.join(folder, f["path"].lstrip("/"))
        if os.path.isfile(p) and sha256_file(p) == f["sha256"]:
            good.add(f["path"])
    return good


def by_content(folder, partition):
    """Manifest files (that survived) whose bytes were recovered, wherever they were put."""
    have = contents(folder)
    return {f["path"] for f in survivors(partition) if f["sha256"] in have}


def figure(text):
    print("figure: " + text, file=sys.stderr)


class ExtensiveTest(ImageTestCase):
    prefix = "brevant-e2e-extensive-"

    def need(self, name):
        man = load_manifest(name)
        if man is None or not os.path.exists(os.path.join(FIXTURES, name + ".img.gz")):
            self.skipTest("fixture %s not made yet" % name)
        return man

    def recover(self, image, partition, mode, *extra):
        out = os.path.join(self.tmp, "%s-%s-%s-%s" % (os.path.basename(image), partition, mode,
                                                      "-".join(a.strip("-") for a in extra)))
        shutil.rmtree(out, ignore_errors=True)
        res = self.run_brevant("recover", image, "--partition", str(partition), "--mode", mode,
                               "--to", out, "-q", *extra)
        self.assertIn(res.returncode, (0, 1), res.stderr.decode(errors="replace"))
        self.assertRegex(res.stdout.decode(), r"recovered \d+ files")
        return out

    def test_ntfs_reformat_gets_the_old_tree_back(self):
        man = self.need("ntfs_reformat")
        part = man["partitions"][0]
        image = self.image("ntfs_reformat")
        quick = at_path(self.recover(image, part["number"], "quick"), part)
        extensive = at_path(self.recover(image, part["number"], "extensive"), part)
        wanted = len(survivors(part))
        figure("ntfs_reformat: %d files survive; quick %d, extensive %d at their path"
               % (wanted, len(quick), len(extensive)))
        self.assertGreater(wanted, 100)
        self.assertEqual(len(quick), 0, "the quick scan sees only the new, empty volume")
        self.assertGreaterEqual(len(extensive), 0.95 * wanted,
                                "missing: %s" % sorted({f["path"] for f in survivors(part)} - extensive)[:20])

    def test_ntfs_reformat_scan_and_cat_agree(self):
        man = self.need("ntfs_reformat")
        part = man["partitions"][0]
        image = self.image("ntfs_reformat")
        res = self.run_brevant("scan", image, "--partition", "1", "--mode", "extensive",
                               "--format", "json")
        self.assertEqual(res.returncode, 0, res.stderr)
        files = {f["path"]: f for f in json.loads(res.stdout)["files"]}
        # Progress on standard error is by sectors swept, with the time left.
        self.assertIn(b"sectors swept", res.stderr)
        want = {f["path"]: f for f in survivors(part)}
        path = "/Docs/Projects/2024/Q4/photo.jpg"
        self.assertIn(path, files)
        self.assertTrue(files[path]["deleted"], "found beyond the MFT: not part of the volume now")
        cat = self.run_brevant("cat", image, "--partition", "1", "--mode", "extensive", "--entry",
                               str(files[path]["entry"]))
        self.assertEqual(cat.returncode, 0, cat.stderr)
        import hashlib
        self.assertEqual(hashlib.sha256(cat.stdout).hexdigest(), want[path]["sha256"])
        # The quick scan's numbering is its own; the quick scan of this volume has no such file.
        res = self.run_brevant("scan", image, "--partition", "1", "--format", "json")
        self.assertNotIn(path, {f["path"] for f in json.loads(res.stdout)["files"]})

    def test_zeroed_table_search_finds_both_volumes(self):
        man = self.need("mbr_zeroed")
        image = self.image("mbr_zeroed")
        # The table lists nothing, so the disk is searched without being asked.
        for extra in ([], ["--search"], ["--deep-search"]):
            res = self.run_brevant("disks", "--image", image, "--json", *extra)
            self.assertEqual(res.returncode, 0, res.stderr)
            disk = json.loads(res.stdout)["disks"][-1]
            self.assertEqual([(p["number"], p["fs"], p["start"], p["end"], p.get("found"))
                              for p in disk["partitions"]],
                             [(p["number"], p["fs"], p["start"], p["end"], True)
                              for p in man["partitions"]], extra)
        res = self.run_brevant("disks", "--image", image)
        self.assertIn(b"found by search", res.stdout)

    def test_zeroed_table_recovers_what_the_intact_disk_gives(self):
        man = self.need("mbr_zeroed")
        image = self.image("mbr_zeroed")
        intact = os.path.join(self.tmp, "mbr_zeroed-intact.img")
        shutil.copyfile(image, intact)
        with open(intact, "r+b") as f:
            f.seek(446)
            f.write(bytes.fromhex(man["originalEntries"]))
        for part in man["partitions"]:
            with self.subTest(partition=part["number"]):
                before = self.recover(intact, part["number"], "quick")
                after = self.recover(image, part["number"], "extensive", "--search")
                quick = {(os.path.relpath(os.path.join(r, n), before),
                          sha256_file(os.path.join(r, n)))
                         for r, _, names in os.walk(before) for n in names}
                found = {(os.path.relpath(os.path.join(r, n), after),
                          sha256_file(os.path.join(r, n)))
                         for r, _, names in os.walk(after) for n in names}
                figure("mbr_zeroed partition %d: intact quick %d files, damaged extensive %d"
                       % (part["number"], len(quick), len(found)))
                self.assertTrue(quick)
                self.assertLessEqual(quick, found)
                self.assertLessEqual({f["path"] for f in survivors(part)},
                                     {"/" + p for p, _ in found})

    def fat_case(self, name):
        man = self.need(name)
        part = man["partitions"][0]
        image = self.image(name)
        quick = by_content(self.recover(image, 1, "quick"), part)
        extensive = by_content(self.recover(image, 1, "extensive"), part)
        self.assertLessEqual(quick, extensive, "the extensive scan finds what the quick one does")
        if shutil.which("tsk_recover") is None:
            self.skipTest("tsk_recover not installed")
        tsk_out = os.path.join(self.tmp, name + "-tsk")
        shutil.rmtree(tsk_out, ignore_errors=True)
        subprocess.run(["tsk_recover", "-e", "-o", str(part["start"]), image, tsk_out],
                       capture_output=True, check=True)
        tsk = by_content(tsk_out, part)
        figure("%s: %d files survive; quick %d, extensive %d, tsk_recover -e %d byte-identical"
               % (name, len(survivors(part)), len(quick), len(extensive), len(tsk)))
        self.assertGreaterEqual(len(extensive), len(tsk), "tsk only: %s" % sorted(tsk - extensive))
        return extensive

    def test_fat32_reformat(self):
        self.fat_case("fat32_reformat")

    def test_fat32_zeroed_fats(self):
        self.fat_case("fat32_zeroed_fats")

    def test_fat12_reformat(self):
        # A floppy's root directory is gone with the reformat; its folders are not.
        found = self.fat_case("fat12_reformat")
        part = self.need("fat12_reformat")["partitions"][0]
        in_folders = {f["path"] for f in survivors(part) if "/" in f["path"][1:] and f["size"]}
        self.assertTrue(in_folders)
        self.assertLessEqual(in_folders, found)

    def test_chainless_files_are_said_to_be_read_contiguously(self):
        self.need("fat32_zeroed_fats")
        image = self.image("fat32_zeroed_fats")
        res = self.run_brevant("scan", image, "--partition", "1", "--mode", "extensive", "-q")
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertIn(b"[no chain]", res.stdout)
        res = self.run_brevant("scan", image, "--partition", "1", "-q")
        self.assertNotIn(b"[no chain]", res.stdout, "the quick scan stays as it was")


if __name__ == "__main__":
    unittest.main()

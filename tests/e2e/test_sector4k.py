"""End-to-end: disks of 4 KiB logical sectors (whole_ntfs_4k: NTFS made with mkntfs -s 4096 from
byte 0; mbr_4k: an MBR whose entries count 4 KiB sectors, with NTFS and FAT16 volumes of 4096
bytes per sector), compared with the manifests and with The Sleuth Kit told the sector size
(fls/icat/tsk_recover -b 4096); and scans that find nothing where a volume was expected, which
must fail with their reason and write nothing."""

import json
import os
import re
import shutil
import struct
import subprocess
import unittest

from e2e_common import FIXTURES, ImageTestCase, manifest, sha256_file

SECTOR = 512
FIXTURES_4K = ("whole_ntfs_4k", "mbr_4k")


def tsk_files(image, part, sector_size):
    """path -> inode of every allocated regular file fls lists in the partition, read with the
    disk's sector size (the offset counts its sectors)."""
    off = part["start"] * SECTOR // sector_size
    out = subprocess.run(["fls", "-r", "-p", "-b", str(sector_size), "-o", str(off), image],
                         capture_output=True, text=True, check=True).stdout
    files = {}
    for line in out.splitlines():
        m = re.match(r"^r/r (\d+(?:-\d+-\d+)?):\t(.*)$", line)
        if m and ":" not in os.path.basename(m.group(2)):
            files["/" + m.group(2)] = m.group(1)
    return files


class Sector4k(ImageTestCase):
    prefix = "brevant-e2e-4k-"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        missing = [n for n in FIXTURES_4K
                   if not os.path.exists(os.path.join(FIXTURES, n + ".img.gz"))]
        if missing:
            raise unittest.SkipTest("fixtures not made: %s" % ", ".join(missing))

    def disk(self, image):
        res = self.run_brevant("disks", "--image", image, "--json")
        self.assertEqual(res.returncode, 0, res.stderr)
        return json.loads(res.stdout)["disks"][-1]

    def recover(self, image, number, tag):
        to = os.path.join(self.tmp, tag)
        shutil.rmtree(to, ignore_errors=True)
        res = self.run_brevant("recover", image, "--partition", str(number), "--to", to, "-q")
        return res, to

    def test_disks_shows_the_sector_size(self):
        for name in FIXTURES_4K:
            with self.subTest(fixture=name):
                image = self.image(name)
                disk = self.disk(image)
                self.assertEqual(disk["sectorSize"], 4096)
                # Partition figures stay in 512-byte units, as the manifest counts them.
                self.assertEqual([(p["fs"], p["start"], p["end"]) for p in disk["partitions"]],
                                 [(p["fs"], p["start"], p["end"])
                                  for p in manifest(name)["partitions"]])
                self.assertTrue(all("problem" not in p for p in disk["partitions"]))
                text = self.run_brevant("disks", "--image", image).stdout.decode()
                self.assertIn("Sector Size:      4096 bytes", text[text.index(image):])
        if os.path.exists(os.path.join(FIXTURES, "whole_ntfs.img.gz")):
            self.assertEqual(self.disk(self.image("whole_ntfs"))["sectorSize"], 512)

    def test_the_mbr_in_4k_units_matches_mmls(self):
        if not shutil.which("mmls"):
            self.skipTest("mmls (The Sleuth Kit) is not installed")
        image = self.image("mbr_4k")
        out = subprocess.run(["mmls", "-b", "4096", image], capture_output=True, text=True,
                             check=True).stdout
        rows = [(int(m.group(1)) * 8, (int(m.group(2)) + 1) * 8)
                for m in re.finditer(r"^\s*\d+:\s+\d+:\d+\s+(\d+)\s+(\d+)\s+\d+", out, re.M)]
        self.assertEqual(rows, [(p["start"], p["end"]) for p in self.disk(image)["partitions"]])

    def test_every_file_recovered_byte_identical_and_equal_to_icat(self):
        have_tsk = shutil.which("fls") and shutil.which("icat")
        for name in FIXTURES_4K:
            image = self.image(name)
            for part in manifest(name)["partitions"]:
                with self.subTest(fixture=name, partition=part["number"]):
                    res, to = self.recover(image, part["number"], "%s-%d" % (name, part["number"]))
                    self.assertEqual(res.returncode, 0, res.stderr)
                    wanted = [f for f in part["files"] if not f["deleted"] or f["intact"]]
                    self.assertGreater(len(wanted), 40)
                    self.assertTrue(any(f["deleted"] for f in wanted))
                    for f in wanted:
                        got = os.path.join(to, f["path"].lstrip("/"))
                        self.assertTrue(os.path.isfile(got), f["path"])
                        self.assertEqual(sha256_file(got), f["sha256"], f["path"])
                    if not have_tsk:
                        continue
                    # The Sleuth Kit, told the sector size, reads the same bytes.
                    inodes = tsk_files(image, part, 4096)
                    live = [f for f in wanted if not f["deleted"]]
                    for f in live:
                        self.assertIn(f["path"], inodes)
                        data = subprocess.run(
                            ["icat", "-b", "4096", "-o", str(part["start"] // 8), image,
                             inodes[f["path"]]], capture_output=True, check=True).stdout
                        with open(os.path.join(to, f["path"].lstrip("/")), "rb") as mine:
                            self.assertEqual(mine.read(), data, f["path"])

    def test_as_many_files_as_tsk_recover(self):
        if not shutil.which("tsk_recover"):
            self.skipTest("tsk_recover (The Sleuth Kit) is not installed")
        for name in FIXTURES_4K:
            image = self.image(name)
            for part in manifest(name)["partitions"]:
                with self.subTest(fixture=name, partition=part["number"]):
                    tsk = os.path.join(self.tmp, "tsk-%s-%d" % (name, part["number"]))
                    shutil.rmtree(tsk, ignore_errors=True)
                    out = subprocess.run(["tsk_recover", "-e", "-b", "4096", "-o",
                                          str(part["start"] // 8), image, tsk],
                                         capture_output=True, text=True, check=True).stdout
                    theirs = int(re.search(r"Files Recovered: (\d+)", out).group(1))
                    res, to = self.recover(image, part["number"], "count-%s-%d" % (name, part["number"]))
                    self.assertEqual(res.returncode, 0, res.stderr)
                    intact = {f["path"] for f in part["files"] if not f["deleted"] or f["intact"]}
                    mine = {"/" + os.path.relpath(os.path.join(r, f), to)
                            for r, _, fs in os.walk(to) for f in fs}
                    self.assertGreaterEqual(len(intact & mine), theirs)


class NothingFound(ImageTestCase):
    """A volume whose MFT, or whose root directory and everything after it, is destroyed: the scan
    fails with its reason, exit status 1, and nothing is written under --to."""

    prefix = "brevant-e2e-nothing-"

    def damaged(self, name, tag, offsets):
        path = os.path.join(self.tmp, tag + ".img")
        shutil.copyfile(self.image(name), path)
        with open(path, "r+b") as f:
            for at, length in offsets:
                f.seek(at)
                f.write(bytes(length))
        return path

    def mft_destroyed(self, name, part):
        """Zeroes the MFT from where the boot sector puts it: 1 MiB, past its last record in
        these images; the mirror (records 0 to 3) stays."""
        with open(self.image(name), "rb") as f:
            f.seek(part["start"] * SECTOR)
            boot = f.read(512)
        bps, spc = struct.unpack_from("<HB", boot, 11)
        mft = struct.unpack_from("<Q", boot, 48)[0]
        return self.damaged(name, name + "-no-mft",
                            [(part["start"] * SECTOR + mft * spc * bps, 1 << 20)])

    def fat_destroyed(self, name, part):
        """Zeroes a FAT16 volume from its root directory to its end: nothing of its folders is left."""
        with open(self.image(name), "rb") as f:
            f.seek(part["start"] * SECTOR)
            boot = f.read(512)
        bps, _, reserved, fats = struct.unpack_from("<HBHB", boot, 11)
        fat_size = struct.unpack_from("<H", boot, 22)[0]
        root = part["start"] * SECTOR + (reserved + fats * fat_size) * bps
        return self.damaged(name, name + "-no-root",
                            [(root, part["end"] * SECTOR - root)])

    def assert_fails_writing_nothing(self, image, number, reason):
        for existing in (False, True):
            with self.subTest(image=os.path.basename(image), partition=number, existing=existing):
                to = os.path.join(self.tmp, "out-%s-%d" % (os.path.basename(image), existing))
                shutil.rmtree(to, ignore_errors=True)
                if existing:
                    os.makedirs(to)
                res = self.run_brevant("recover", image, "--partition", str(number), "--to", to)
                self.assertEqual(res.returncode, 1, res.stderr)
                err = res.stderr.decode()
                last = err.strip().splitlines()[-1]
                self.assertTrue(last.startswith("brevant: nothing found where the "), err)
                self.assertIn(reason, last)
                self.assertNotIn("recovered 0 files", res.stdout.decode() + err)
                self.assertNotIn("Scan Completed", err)
                if existing:
                    self.assertEqual(os.listdir(to), [])
                else:
                    self.assertFalse(os.path.exists(to), "a --to folder made for a failed scan stays")
        res = self.run_brevant("scan", image, "--partition", str(number), "--format", "json", "-q")
        self.assertEqual(res.returncode, 1, res.stderr)
        self.assertEqual(res.stdout, b"")

    def test_ntfs_whose_mft_is_destroyed(self):
        for name in ("whole_ntfs_4k", "whole_ntfs"):
            if not os.path.exists(os.path.join(FIXTURES, name + ".img.gz")):
                continue
            part = manifest(name)["partitions"][0]
            image = self.mft_destroyed(name, part)
            self.assert_fails_writing_nothing(
                image, 1, "neither MFT record 0 nor the root directory's record 5 is a file record")

    def test_fat_whose_root_and_folders_are_destroyed(self):
        for name, number in (("mbr_4k", 2), ("mbr_four_primaries", 1)):
            if not os.path.exists(os.path.join(FIXTURES, name + ".img.gz")):
                continue
            part = [p for p in manifest(name)["partitions"] if p["number"] == number][0]
            self.assertEqual(part["fs"], "FAT16")
            image = self.fat_destroyed(name, part)
            self.assert_fails_writing_nothing(image, number, "no root directory at sector ")

    def test_an_intact_volume_still_completes(self):
        # The check only speaks when nothing was found: an intact volume scans as before.
        res = self.run_brevant("scan", self.image("whole_ntfs_4k"), "--partition", "1", "-q")
        self.assertEqual(res.returncode, 0, res.stderr)


if __name__ == "__main__":
    unittest.main()

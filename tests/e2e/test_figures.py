"""End-to-end: the figures the window shows. `brevant disks --json` gives each partition's size
and free space; the free space must equal what the file systems' own tools say: mtools' mdir
"bytes free" for FAT, ntfsinfo's "Free Clusters" times the cluster size for NTFS. `brevant scan
--format json` sums up its own lists. A partition whose parameters are destroyed in both boot
copies fails the scan with one error line and exit status 1.
"""

import glob
import json
import os
import re
import shutil
import subprocess
import unittest

from e2e_common import FIXTURES, ImageTestCase

SECTOR = 512


def fixture_names():
    return sorted(os.path.basename(p)[: -len(".img.gz")]
                  for p in glob.glob(os.path.join(FIXTURES, "*.img.gz")))


def fats_zeroed(name):
    """A volume whose FATs were zeroed on purpose: its own tools cannot read it."""
    path = os.path.join(FIXTURES, name + ".manifest.json")
    if not os.path.exists(path):
        return False
    with open(path, encoding="utf-8") as f:
        return json.load(f).get("damage") == "zeroed-fats"


class Figures(ImageTestCase):
    prefix = "brevant-e2e-figures-"

    def disks_json(self, image):
        res = self.run_brevant("disks", "--image", image, "--json")
        self.assertEqual(res.returncode, 0, res.stderr)
        return json.loads(res.stdout)["disks"][-1]

    def mdir_free(self, image, start):
        res = subprocess.run(["mdir", "-i", "%s@@%d" % (image, start * SECTOR), "::/"],
                             capture_output=True, env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))
        text = res.stdout.decode("utf-8", "replace")
        m = re.search(r"([\d ]+) bytes free", text)
        self.assertIsNotNone(m, "mdir gave no free space: %s %s" % (text, res.stderr))
        return int(m.group(1).replace(" ", ""))

    def partition_copy(self, image, start, end):
        part = os.path.join(self.tmp, "part.img")
        with open(image, "rb") as src, open(part, "wb") as dst:
            src.seek(start * SECTOR)
            left = (end - start) * SECTOR
            while left:
                block = src.read(min(left, 1 << 20))
                if not block:
                    break
                dst.write(block)
                left -= len(block)
        return part

    def ntfsinfo_free(self, image, start, end):
        part = self.partition_copy(image, start, end)
        res = subprocess.run(["ntfsinfo", "-m", "-f", part], capture_output=True)
        text = res.stdout.decode("utf-8", "replace")
        size = re.search(r"Cluster Size:\s*(\d+)", text)
        free = re.search(r"Free Clusters:\s*(\d+)", text)
        self.assertTrue(size and free, "ntfsinfo gave no free clusters: %s %s" % (text, res.stderr))
        return int(free.group(1)) * int(size.group(1))

    def dump_exfat_free(self, image, start, end):
        part = self.partition_copy(image, start, end)
        res = subprocess.run(["dump.exfat", part], capture_output=True)
        text = res.stdout.decode("utf-8", "replace")
        size = re.search(r"Cluster size:\s*(\d+)", text)
        free = re.search(r"Free Clusters:\s*(\d+)", text)
        self.assertTrue(size and free, "dump.exfat gave no free clusters: %s %s" % (text, res.stderr))
        return int(free.group(1)) * int(size.group(1))

    def test_free_space_matches_the_file_systems_own_tools(self):
        tools = {"FAT": shutil.which("mdir"), "NTFS": shutil.which("ntfsinfo"),
                 "exFAT": shutil.which("dump.exfat")}
        if not all(tools.values()):
            self.skipTest("mtools, ntfs-3g and exfatprogs are needed: scripts/setup installs them")
        compared = 0
        for name in fixture_names():
            if fats_zeroed(name):
                continue
            image = self.image(name)
            for p in self.disks_json(image)["partitions"]:
                with self.subTest(fixture=name, partition=p["number"], fs=p["fs"]):
                    self.assertEqual(p["size"], (p["end"] - p["start"]) * SECTOR)
                    self.assertIn("free", p)
                    if p["fs"] == "NTFS":
                        expected = self.ntfsinfo_free(image, p["start"], p["end"])
                    elif p["fs"] == "exFAT":
                        expected = self.dump_exfat_free(image, p["start"], p["end"])
                    else:
                        expected = self.mdir_free(image, p["start"])
                    self.assertEqual(p["free"], expected)
                    self.assertLess(p["free"], p["size"])
                    compared += 1
        self.assertGreater(compared, 5)

    def test_scan_summary_adds_up_its_files(self):
        image = self.image("demo")
        for p in self.disks_json(image)["partitions"]:
            with self.subTest(partition=p["number"]):
                res = self.run_brevant("scan", image, "--partition", str(p["number"]), "--format",
                                       "json", "-q")
                self.assertEqual(res.returncode, 0, res.stderr)
                out = json.loads(res.stdout)
                self.assertEqual(out["partition"]["size"], p["size"])
                self.assertEqual(out["partition"]["free"], p["free"])
                live = [f for f in out["files"] if not f["deleted"]]
                deleted = [f for f in out["files"] if f["deleted"]]
                intact = [f for f in deleted if f["condition"] == "intact"]
                self.assertEqual(out["summary"], {
                    "liveFiles": len(live), "liveBytes": sum(f["size"] for f in live),
                    "deletedFiles": len(deleted), "deletedBytes": sum(f["size"] for f in deleted),
                    "intactFiles": len(intact), "intactBytes": sum(f["size"] for f in intact),
                    "complete": True})
                self.assertGreater(len(deleted), 0)
                # Times for people beside the raw words.
                for f in out["files"]:
                    if f["timeText"]:
                        self.assertRegex(f["timeText"], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")
                self.assertTrue(any(f["timeText"] for f in out["files"]))

    def test_destroyed_parameters_fail_with_exit_one(self):
        image = self.image("demo")
        ntfs = [p for p in self.disks_json(image)["partitions"] if p["fs"] == "NTFS"][0]
        damaged = os.path.join(self.tmp, "no-ntfs-boot.img")
        shutil.copyfile(image, damaged)
        with open(damaged, "r+b") as f:
            for sector in (ntfs["start"], ntfs["end"] - 1):  # primary and backup boot sector
                f.seek(sector * SECTOR)
                f.write(bytes(SECTOR))
        for fmt in ("tree", "json"):
            with self.subTest(format=fmt):
                res = self.run_brevant("scan", damaged, "--partition", str(ntfs["number"]),
                                       "--format", fmt)
                self.assertEqual(res.returncode, 1, res.stderr)
                self.assertEqual(res.stdout, b"")
                err = res.stderr.decode()
                self.assertEqual(err.strip().splitlines()[-1],
                                 "brevant: Unable to calculate partition parameters")
                self.assertEqual(err.count("Unable to calculate"), 1, err)
                self.assertNotIn("Scan Completed", err)

    def test_no_progress_bar_after_the_run(self):
        # On a terminal the bar is redrawn with carriage returns; after the completion text none
        # may follow.
        try:
            import pty
        except ImportError:
            self.skipTest("no pseudo-terminal")
        image = self.image("demo")
        master, slave = pty.openpty()
        proc = subprocess.Popen([os.environ["BREVANT"], "scan", image, "--partition", "3",
                                 "--format", "json"], stdout=subprocess.DEVNULL, stderr=slave)
        os.close(slave)
        chunks = []
        while True:  # read as it comes, so the program never waits on a full terminal
            try:
                chunk = os.read(master, 65536)
            except OSError:
                break
            if not chunk:
                break
            chunks.append(chunk)
        os.close(master)
        proc.wait(timeout=600)
        self.assertEqual(proc.returncode, 0)
        err = b"".join(chunks).decode("utf-8", "replace")
        self.assertIn("Scan Completed Successfully", err)
        self.assertIn("%", err)  # a bar was drawn during the run
        tail = err[err.index("Scan Completed..."):]
        self.assertNotIn("%", tail, err[-300:])


if __name__ == "__main__":
    unittest.main()

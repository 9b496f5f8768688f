#!/usr/bin/env python3
"""Partition entries that reach beyond the end of the disk, and which disks a search covers.

An entry claiming more sectors than the disk holds (an MBR entry of 0xFFFFFFFF sectors, a GPT
entry ending at LBA 2^40) is listed and read up to the disk's end, or up to where the next
partition starts, with a note; the extensive NTFS scan of it sweeps only that and never takes
the next partition's records for its own. `disks --image X --search` searches the images, and
the machine's disks only when named with --device."""

import contextlib
import json
import os
import re
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_common import FIXTURES, ImageTestCase, manifest  # noqa: E402


def fls_names(image, offset):
    """Names The Sleuth Kit lists on the volume at `offset`, deleted ones included."""
    res = subprocess.run(["fls", "-r", "-p", "-o", str(offset), image], capture_output=True,
                         text=True)
    if res.returncode != 0:
        return None
    names = set()
    for line in res.stdout.splitlines():
        m = re.match(r"^\S+ (\* )?[0-9-]+(\(realloc\))?:\t(.*)$", line)
        if m and not m.group(3).startswith("$"):
            names.add(os.path.basename(m.group(3)))
    return names


class BeyondTheDisk(ImageTestCase):
    prefix = "brevant-e2e-extents-"

    # (fixture, the oversized partition, its end as listed, the table's end, the partition
    # whose files must stay out of it, or None)
    CASES = [("mbr_beyond_disk", 1, 10240, 2048 + 0xFFFFFFFF, 2),
             ("gpt_beyond_disk", 2, 20480, 1 << 40, None)]

    def need(self, name):
        if not os.path.exists(os.path.join(FIXTURES, name + ".img.gz")):
            self.skipTest("fixture %s not made yet" % name)
        return self.image(name)

    def test_listed_up_to_what_can_be_read_with_a_note(self):
        for name, number, end, table_end, _ in self.CASES:
            with self.subTest(fixture=name):
                image = self.need(name)
                res = self.run_brevant("disks", "--image", image, "--json")
                self.assertEqual(res.returncode, 0, res.stderr)
                disk = json.loads(res.stdout)["disks"][-1]
                self.assertEqual(disk["path"], image)
                parts = {p["number"]: p for p in disk["partitions"]}
                self.assertEqual(sorted(parts), [1, 2])
                p = parts[number]
                self.assertEqual((p["fs"], p["end"], p["tableEnd"]), ("NTFS", end, table_end))
                self.assertEqual(p["size"], (end - p["start"]) * 512)
                self.assertIn("beyond the end of the disk", p["note"])
                self.assertIn(str(table_end), p["note"])
                self.assertNotIn("problem", p, "it can be scanned")
                other = parts[3 - number]
                self.assertNotIn("note", other)
                self.assertNotIn("tableEnd", other)
                # The text listing names it too, below the partition's line.
                res = self.run_brevant("disks", "--image", image)
                self.assertEqual(res.returncode, 0, res.stderr)
                out = res.stdout.decode()
                out = out[out.index(image):]
                self.assertRegex(out, r"Partition - %d \( NTFS \)   first sector %d   end sector "
                                      r"%d [^\n]*\n      note: [^\n]*beyond the end of the disk"
                                 % (number, p["start"], end))

    def test_extensive_scan_sweeps_only_what_the_partition_can_hold(self):
        for name, number, end, _, neighbour in self.CASES:
            with self.subTest(fixture=name):
                image = self.need(name)
                man = manifest(name)
                part = man["partitions"][number - 1]
                res = self.run_brevant("scan", image, "--partition", str(number), "--mode",
                                       "extensive", "--format", "json")
                err = res.stderr.decode(errors="replace")
                self.assertEqual(res.returncode, 0, err)
                self.assertNotIn("Unable", err)
                # Every progress line counts the sectors up to the listed end, and the sweep
                # ran to its end.
                totals = {int(t) for t in re.findall(r"of (\d+) sectors swept", err)}
                self.assertEqual(len(totals), 1, err)
                swept = totals.pop()
                self.assertEqual(swept, end - part["start"])
                self.assertIn("100 %% completed (%d of %d sectors swept)" % (swept, swept), err)
                self.assertIn("Scan Completed Successfully", err)
                doc = json.loads(res.stdout)
                names = {os.path.basename(f["path"]) for f in doc["files"]}
                own = {os.path.basename(f["path"]) for f in part["files"]}
                self.assertLessEqual(own, names, "the partition's own files, deleted ones too")
                deleted = {os.path.basename(f["path"]) for f in doc["files"] if f["deleted"]}
                self.assertEqual(deleted, {os.path.basename(f["path"]) for f in part["files"]
                                           if f["deleted"]})
                if neighbour is not None:
                    theirs = {os.path.basename(f["path"])
                              for f in man["partitions"][neighbour - 1]["files"]}
                    self.assertFalse(names & theirs,
                                     "the next partition's records are not this one's")
                if shutil.which("fls"):
                    reference = fls_names(image, part["start"])
                    self.assertIsNotNone(reference)
                    self.assertLessEqual(reference & own, names)


    def test_cut_short_image_keeps_its_entry_and_sweeps_to_its_end(self):
        # mbr_beyond_disk cut at sector 16384, inside partition 2, whose volume says it goes on
        # to 18432 as its entry does: the entry stands (what is missing is unreadable, not
        # outside the partition), and the sweep still stops at the end of the image.
        image = os.path.join(self.tmp, "cut_short.img")
        shutil.copyfile(self.need("mbr_beyond_disk"), image)
        os.truncate(image, 16384 * 512)
        res = self.run_brevant("disks", "--image", image, "--json")
        self.assertEqual(res.returncode, 0, res.stderr)
        parts = json.loads(res.stdout)["disks"][-1]["partitions"]
        self.assertEqual([(p["number"], p["start"], p["end"], p.get("tableEnd")) for p in parts],
                         [(1, 2048, 10240, 2048 + 0xFFFFFFFF), (2, 10240, 18432, 18432)])
        self.assertIn("and so does its volume: the disk or image ends early", parts[1]["note"])
        res = self.run_brevant("scan", image, "--partition", "2", "--mode", "extensive",
                               "--format", "json")
        err = res.stderr.decode(errors="replace")
        self.assertEqual(res.returncode, 0, err)
        self.assertEqual(set(re.findall(r"of (\d+) sectors swept", err)), {"6144"}, err)
        self.assertIn("100 % completed (6144 of 6144 sectors swept)", err)
        names = {os.path.basename(f["path"]): f["deleted"] for f in json.loads(res.stdout)["files"]}
        for f in manifest("mbr_beyond_disk")["partitions"][1]["files"]:
            self.assertEqual(names.get(os.path.basename(f["path"])), f["deleted"], f["path"])
        self.assertFalse([n for n in names if n.startswith("First")])


class SearchCoversWhatIsNamed(ImageTestCase):
    """A disk of the machine (a loop device) holding a volume its table no longer lists."""

    prefix = "brevant-e2e-search-scope-"

    def crafted(self):
        """mbr_four_primaries with its fourth entry wiped: three listed, one only a search finds."""
        if not os.path.exists(os.path.join(FIXTURES, "mbr_four_primaries.img.gz")):
            self.skipTest("fixture mbr_four_primaries not made yet")
        path = os.path.join(self.tmp, "three_listed.img")
        if not os.path.exists(path):
            shutil.copyfile(self.image("mbr_four_primaries"), path)
            with open(path, "r+b") as f:
                f.seek(446 + 48)
                f.write(bytes(16))
        return path

    @contextlib.contextmanager
    def loop(self, image):
        if os.geteuid() != 0:
            self.skipTest("attaching a loop device needs root")
        if shutil.which("losetup") is None:
            self.skipTest("losetup is not installed")
        att = subprocess.run(["losetup", "-r", "-f", "--show", image], capture_output=True,
                             text=True)
        if att.returncode != 0 or not att.stdout.strip():
            self.skipTest("no loop device can be attached here: " + (att.stderr.strip() or "none"))
        dev = att.stdout.strip()
        try:
            if not os.path.exists(dev):
                self.skipTest("%s was attached but has no device node here" % dev)
            yield dev
        finally:
            subprocess.run(["losetup", "-d", dev], capture_output=True)

    def disks(self, *args):
        res = self.run_brevant("disks", "--json", *args)
        self.assertEqual(res.returncode, 0, res.stderr)
        return json.loads(res.stdout)["disks"]

    def found(self, disks, path):
        mine = [d for d in disks if d["path"] == path]
        self.assertEqual(len(mine), 1, "%s is listed once" % path)
        parts = mine[0]["partitions"]
        self.assertEqual([p["start"] for p in parts if not p.get("found")], [2048, 10240, 18432])
        return [p["start"] for p in parts if p.get("found")]

    def test_search_covers_images_and_named_devices_only(self):
        image = self.crafted()
        with self.loop(image) as dev:
            for flag in ("--search", "--deep-search"):
                with self.subTest(flag=flag):
                    # With an image, the image is searched and the machine's disks are not.
                    disks = self.disks("--image", image, flag)
                    self.assertEqual(self.found(disks, image), [26624])
                    self.assertEqual(self.found(disks, dev), [], "an unnamed device is not searched")
                    # Named, the device is searched too, and still listed once.
                    disks = self.disks("--image", image, "--device", dev, flag)
                    self.assertEqual(self.found(disks, image), [26624])
                    self.assertEqual(self.found(disks, dev), [26624])
            # Without an image, every disk is searched, or only those named.
            self.assertEqual(self.found(self.disks("--search"), dev), [26624])
            self.assertEqual(self.found(self.disks("--search", "--device", dev), dev), [26624])

    def test_bad_device_arguments(self):
        image = self.crafted()
        missing = os.path.join(self.tmp, "no-such-device")
        for args, message in [
                (["--search", "--device", missing], missing + ": no such device"),
                (["--search", "--device", image], image + ": is not a block device"),
                (["--device", "/dev/null", "--search"], "/dev/null: is not a block device"),
                (["--image", image, "--device", image], "--device names a disk to search")]:
            with self.subTest(args=args):
                res = self.run_brevant("disks", *args)
                self.assertEqual(res.returncode, 2, res.stderr)
                self.assertEqual(res.stdout, b"", "nothing is listed")
                lines = res.stderr.decode().strip().splitlines()
                self.assertEqual(len(lines), 1, res.stderr)
                self.assertIn(message, lines[0])


if __name__ == "__main__":
    unittest.main()

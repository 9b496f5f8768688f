"""End-to-end: FAT12 volumes (a 1.44 MB floppy without a partition table, a type 0x01 partition
of an MBR, the FAT12 primary of mbr_type_cases) read by `brevant` and by The Sleuth Kit
(`fls -f fat12`, `icat`): the same live and deleted files, every file The Sleuth Kit reads back
recovered byte-identical at its path; the free space `disks` gives against mtools; the volume
search finding a FAT12 volume whose partition table is gone."""

import json
import os
import re
import shutil
import subprocess
import sys
import unittest

from e2e_common import FIXTURES, ImageTestCase, manifest, sha256_file

# (fixture, partition number as brevant numbers it)
VOLUMES = [("fat12_floppy", 1), ("fat12_mbr", 1), ("mbr_type_cases", 2)]

FLS_LINE = re.compile(r"^(\S)/(\S) (\* )?([0-9-]+)(\(realloc\))?:\t(.*)$")


def figure(text):
    print("figure: " + text, file=sys.stderr)


def tsk_listing(image, start):
    """fls's regular files and folders of the volume at `start`: {path: (inode, deleted, kind)},
    leaving out its virtual files ($MBR, $FAT1, $FAT2, $OrphanFiles) and the volume label."""
    out = subprocess.run(["fls", "-f", "fat12", "-r", "-p", "-o", str(start), image],
                         capture_output=True, check=True).stdout.decode("utf-8", "replace")
    entries = {}
    for line in out.splitlines():
        m = FLS_LINE.match(line)
        if not m:
            continue
        kind = m.group(2) if m.group(1) == "-" else m.group(1)
        path = "/" + m.group(6)
        if kind not in ("r", "d") or path.startswith("/$") or "(Volume Label Entry)" in path:
            continue
        deleted = bool(m.group(3))
        # A live and a deleted entry may share a path; the live one is the file there.
        if path in entries and not entries[path][1]:
            continue
        entries[path] = (m.group(4), deleted, kind)
    return entries


def tsk_spelling(path, tsk):
    """How fls spells `path`: it shows the code-page letters of a name that has no long
    name (an 8.3 name such as CAF\x90.TXT) as "^"."""
    if path in tsk:
        return path
    folder, _, name = path.rpartition("/")
    return folder + "/" + "".join(c if ord(c) < 128 else "^" for c in name)


def icat(image, start, inode):
    return subprocess.run(["icat", "-f", "fat12", "-o", str(start), image, inode],
                          capture_output=True, check=True).stdout


@unittest.skipIf(shutil.which("fls") is None, "The Sleuth Kit is not installed")
class Fat12Test(ImageTestCase):
    prefix = "brevant-e2e-fat12-"

    def available(self):
        for name, number in VOLUMES:
            if os.path.exists(os.path.join(FIXTURES, name + ".img.gz")):
                part = next(p for p in manifest(name)["partitions"] if p["number"] == number)
                yield name, number, part

    def disk(self, image, *how):
        """`disks --json`'s record of the image (the machine's disks may be listed first)."""
        listing = self.brevant_json("disks", "--image", image, "--json", *how)
        return next(d for d in listing["disks"] if d["path"] == image)

    def brevant_json(self, *args):
        res = self.run_brevant(*args)
        self.assertEqual(res.returncode, 0, res.stderr.decode(errors="replace"))
        return json.loads(res.stdout)

    def test_disks_lists_fat12_with_mtools_free_space(self):
        for name, number, part in self.available():
            with self.subTest(fixture=name):
                image = self.image(name)
                disk = self.disk(image)
                listed = {p["number"]: p for p in disk["partitions"]}
                self.assertIn(number, listed)
                p = listed[number]
                self.assertEqual((p["fs"], p["start"], p["end"]), ("FAT12", part["start"], part["end"]))
                # mtools counts the free clusters of the FAT on its own.
                target = image if part["start"] == 0 else "%s@@%d" % (image, part["start"] * 512)
                mdir = subprocess.run(["mdir", "-i", target, "::"], capture_output=True,
                                      env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))
                m = re.search(r"([\d ]+) bytes free", mdir.stdout.decode(errors="replace"))
                self.assertIsNotNone(m, mdir.stderr)
                self.assertEqual(p.get("free"), int(m.group(1).replace(" ", "")))
                text = self.run_brevant("disks", "--image", image).stdout.decode()
                self.assertIn("Partition - %d ( FAT12 )" % number, text)

    def test_live_and_deleted_files_match_fls_and_icat(self):
        for name, number, part in self.available():
            with self.subTest(fixture=name):
                image = self.image(name)
                tsk = tsk_listing(image, part["start"])
                scan = self.brevant_json("scan", image, "--partition", str(number), "--format", "json")
                self.assertEqual(scan["partition"]["fs"], "FAT12")
                ours = {tsk_spelling(f["path"], tsk): f for f in scan["files"]}
                folders = {f["path"]: f for f in scan["folders"]}
                tsk_live = {p for p, (_, d, k) in tsk.items() if k == "r" and not d}
                tsk_dead = {p for p, (_, d, k) in tsk.items() if k == "r" and d}
                live = {p for p, f in ours.items() if not f["deleted"]}
                dead = {p for p, f in ours.items() if f["deleted"]}
                self.assertEqual(live, tsk_live)
                self.assertEqual(dead, tsk_dead)
                self.assertEqual({p for p, f in folders.items() if not f["deleted"]},
                                 {p for p, (_, d, k) in tsk.items() if k == "d" and not d})
                self.assertEqual({p for p, f in folders.items() if f["deleted"]},
                                 {p for p, (_, d, k) in tsk.items() if k == "d" and d})

                out = os.path.join(self.tmp, "recover-%s" % name)
                res = self.run_brevant("recover", image, "--partition", str(number), "--to", out)
                self.assertIn(res.returncode, (0, 1), res.stderr.decode(errors="replace"))
                same = 0
                for path in sorted(tsk_live | tsk_dead):
                    theirs = icat(image, part["start"], tsk[path][0])
                    mine = out + ours[path]["path"]
                    self.assertTrue(os.path.isfile(mine), "%s not recovered" % path)
                    if tsk[path][1] and len(theirs) != ours[path]["size"]:
                        continue  # icat cut a deleted file short: nothing to compare with
                    with open(mine, "rb") as f:
                        got = f.read()
                    if not tsk[path][1]:
                        self.assertEqual(got, theirs, path)
                    same += got == theirs
                intact = [f for f in part["files"] if f["deleted"] and f.get("intact")]
                for f in intact:
                    # A deleted 8.3 name has lost its first letter ("_one.txt").
                    folder, _, leaf = f["path"].rpartition("/")
                    at = [p for p in (f["path"], folder + "/_" + leaf[1:]) if os.path.isfile(out + p)]
                    self.assertTrue(at, "%s not recovered" % f["path"])
                    self.assertEqual(sha256_file(out + at[0]), f["sha256"], f["path"])
                figure("%s partition %d: brevant %d live, %d deleted files, %d folders; fls %d live, "
                       "%d deleted; %d files byte-identical with icat" % (
                           name, number, len(live), len(dead), len(folders), len(tsk_live),
                           len(tsk_dead), same))
                self.assertGreaterEqual(same, len(tsk_live) + len(intact))

    def test_search_finds_a_fat12_volume_without_its_table(self):
        if not os.path.exists(os.path.join(FIXTURES, "fat12_mbr.img.gz")):
            self.skipTest("no fat12_mbr fixture")
        part = manifest("fat12_mbr")["partitions"][0]
        wiped = os.path.join(self.tmp, "fat12_mbr-wiped.img")
        shutil.copyfile(self.image("fat12_mbr"), wiped)
        with open(wiped, "r+b") as f:
            f.seek(446)
            f.write(bytes(64))
            # The volume found is as large as its boot sector says (mkfs.fat rounds it down).
            f.seek(part["start"] * 512 + 19)
            volume_sectors = int.from_bytes(f.read(2), "little")
        for how in ("--search", "--deep-search"):
            with self.subTest(search=how):
                disk = self.disk(wiped, how)
                found = [(p["fs"], p["start"], p["end"]) for p in disk["partitions"]]
                self.assertEqual(found, [("FAT12", part["start"], part["start"] + volume_sectors)])
        scan = self.brevant_json("scan", wiped, "--partition", "1", "--search", "--format", "json")
        listed = {f["path"] for f in scan["files"] if not f["deleted"]}
        self.assertTrue({f["path"] for f in part["files"] if not f["deleted"]} <= listed)


if __name__ == "__main__":
    unittest.main()

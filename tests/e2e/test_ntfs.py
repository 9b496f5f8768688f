"""End-to-end: `brevant scan/recover/cat` on every NTFS partition of the fixture images,
checked against each image's manifest and against The Sleuth Kit (fls, tsk_recover)."""

import hashlib
import json
import os
import shutil
import struct
import subprocess
import unittest

from e2e_common import ImageTestCase, fixtures_with, sha256_file



def ntfs_partitions():
    """(image name, manifest, partition) for every NTFS partition of every fixture."""
    return [(name, manifest, part) for name, manifest in fixtures_with(("NTFS",))
            for part in manifest["partitions"] if part.get("fs") == "NTFS"]


def tsk_path(path):
    """fls and tsk_recover put orphans under $OrphanFiles; brevant under a folder of its own,
    named apart from any real one."""
    if path.startswith("$OrphanFiles/"):
        return "/Lost (found by Brevant)/" + path[len("$OrphanFiles/"):]
    return "/" + path


# The Sleuth Kit refuses clusters over 64 KiB (a sectors-per-cluster byte that is a negative
# power of two). It reads a twin of such a volume whose boot sector states the same clusters as
# 128 sectors of 16 KiB: the layout, in clusters, is the very same.
TWIN_SECTOR = 16384


def write_tsk_twin(src, dst, start):
    shutil.copyfile(src, dst)
    with open(dst, "r+b") as f:
        f.seek(start * 512)
        boot = bytearray(f.read(512))
        bps = struct.unpack_from("<H", boot, 11)[0]
        total = struct.unpack_from("<Q", boot, 40)[0]
        assert boot[13] > 0x80 and bps << (256 - boot[13]) == TWIN_SECTOR * 128
        struct.pack_into("<H", boot, 11, TWIN_SECTOR)
        boot[13] = 128
        struct.pack_into("<Q", boot, 40, total * bps // TWIN_SECTOR)
        f.seek(start * 512)
        f.write(boot)


class NtfsEndToEnd(ImageTestCase):
    prefix = "brevant-e2e-ntfs-"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.parts = ntfs_partitions()
        if not cls.parts:
            raise unittest.SkipTest("no fixture image with an NTFS partition and a manifest")

    def brevant(self, *args, binary=False):
        res = self.run_brevant(*args, timeout=300)
        return res.returncode, res.stdout if binary else res.stdout.decode("utf-8", "replace"), \
            res.stderr.decode("utf-8", "replace")

    def scan(self, img, number):
        rc, out, err = self.brevant("scan", img, "--partition", str(number), "--format", "json", "-q")
        self.assertEqual(rc, 0, err)
        return json.loads(out)

    def recover(self, img, number, tag):
        to = os.path.join(self.tmp, tag)
        shutil.rmtree(to, ignore_errors=True)
        rc, out, err = self.brevant("recover", img, "--partition", str(number), "--to", to, "-q")
        return rc, out, err, to

    def by_path(self, scan):
        entries = {}
        for e in scan["files"]:
            entries.setdefault(e["path"], []).append(e)
        return entries

    def tsk_image(self, name, part):
        """The image The Sleuth Kit reads for this partition: the image itself, or the twin of a
        volume of clusters over 64 KiB."""
        img = self.image(name)
        if int(part.get("sectorsPerClusterByte", "0x0"), 16) <= 0x80:
            return img
        twin = os.path.join(self.tmp, "%s-%d.tsk.img" % (name, part["number"]))
        if not os.path.exists(twin):
            write_tsk_twin(img, twin, part["start"])
        return twin

    def cat_sha(self, img, number, entry):
        rc, out, err = self.brevant("cat", img, "--partition", str(number), "--entry", str(entry), binary=True)
        self.assertEqual(rc, 0, err)
        return hashlib.sha256(out).hexdigest()

    def test_partition_geometry_matches_the_manifest(self):
        for name, _, part in self.parts:
            with self.subTest(image=name, partition=part["number"]):
                scan = self.scan(self.image(name), part["number"])
                self.assertEqual(scan["partition"]["fs"], "NTFS")
                self.assertEqual(scan["partition"]["start"], part["start"])
                self.assertEqual(scan["partition"]["end"], part["end"])

    def test_live_files_are_listed_at_their_path_and_recovered_byte_identical(self):
        for name, _, part in self.parts:
            with self.subTest(image=name, partition=part["number"]):
                img = self.image(name)
                entries = self.by_path(self.scan(img, part["number"]))
                live = [f for f in part["files"] if not f["deleted"]]
                missing = [f["path"] for f in live
                           if not any(not e["deleted"] and e["size"] == f["size"]
                                      for e in entries.get(f["path"], []))]
                self.assertEqual(missing, [], "live files not listed at their path with their size")
                rc, out, err, to = self.recover(img, part["number"], name + "-live")
                self.assertIn("recovered", out)
                wrong = []
                for f in live:
                    got = os.path.join(to, f["path"].lstrip("/"))
                    if not os.path.isfile(got) or sha256_file(got) != f["sha256"]:
                        wrong.append(f["path"])
                self.assertEqual(wrong, [], "live files not recovered byte-identical")
                # Recovered files keep their modification time.
                for f in live:
                    if "mtime" in f:
                        got = os.path.join(to, f["path"].lstrip("/"))
                        self.assertEqual(int(os.stat(got).st_mtime), f["mtime"], f["path"])

    def test_intact_deleted_files_are_marked_deleted_and_recovered_byte_identical(self):
        for name, _, part in self.parts:
            deleted = [f for f in part["files"] if f["deleted"] and f.get("intact")]
            if not deleted:
                continue
            with self.subTest(image=name, partition=part["number"]):
                img = self.image(name)
                entries = self.by_path(self.scan(img, part["number"]))
                for f in deleted:
                    candidates = [e for e in entries.get(f["path"], []) if e["deleted"]]
                    self.assertTrue(candidates, "%s not listed as deleted at its path" % f["path"])
                    shas = [self.cat_sha(img, part["number"], e["entry"]) for e in candidates
                            if e["size"] == f["size"]]
                    self.assertIn(f["sha256"], shas, "%s not recovered byte-identical" % f["path"])

    def test_folders_of_the_manifest_are_in_the_tree(self):
        for name, _, part in self.parts:
            with self.subTest(image=name, partition=part["number"]):
                scan = self.scan(self.image(name), part["number"])
                paths = {(e["path"], e["deleted"]) for e in scan["folders"]}
                for folder in part.get("folders", []):
                    self.assertIn((folder["path"], folder["deleted"]), paths)

    def test_every_allocated_file_fls_lists_is_listed(self):
        if not shutil.which("fls"):
            self.skipTest("fls (The Sleuth Kit) is not installed")
        for name, _, part in self.parts:
            with self.subTest(image=name, partition=part["number"]):
                img = self.image(name)
                listing = subprocess.run(["fls", "-r", "-p", "-o", str(part["start"]),
                                          self.tsk_image(name, part)],
                                         capture_output=True, text=True, check=True).stdout
                scanned = set(self.by_path(self.scan(img, part["number"])))
                missing = []
                for line in listing.splitlines():
                    kind, _, rest = line.partition(" ")
                    if kind != "r/r" or rest.startswith("*"):
                        continue  # folders, links; deleted names are checked through TSK's recovery
                    path = rest.split("\t", 1)[1]
                    if ":" in os.path.basename(path):
                        continue  # a named stream, not a file
                    if tsk_path(path) not in scanned:
                        missing.append(path)
                self.assertEqual(missing, [])

    def test_every_file_tsk_recovers_intact_is_recovered_intact(self):
        if not shutil.which("tsk_recover"):
            self.skipTest("tsk_recover (The Sleuth Kit) is not installed")
        for name, _, part in self.parts:
            with self.subTest(image=name, partition=part["number"]):
                img = self.image(name)
                tsk = os.path.join(self.tmp, name + "-tsk-%d" % part["number"])
                shutil.rmtree(tsk, ignore_errors=True)
                os.makedirs(tsk)
                subprocess.run(["tsk_recover", "-e", "-o", str(part["start"]),
                                self.tsk_image(name, part), tsk],
                               capture_output=True, check=True)
                _, _, _, ours = self.recover(img, part["number"], name + "-all")
                # What the manifest knows was overwritten is not expected to come back intact,
                # nor what TSK cannot read whole (it writes what it reads under its own name).
                damaged = {f["path"] for f in part["files"] if not f.get("intact", True)}
                damaged |= {tsk_path(f["tskPath"].lstrip("/")) for f in part["files"]
                            if f.get("tskMisses") and "tskPath" in f}
                wrong = []
                for root, _, files in os.walk(tsk):
                    for fname in files:
                        rel = os.path.relpath(os.path.join(root, fname), tsk)
                        path = tsk_path(rel)
                        if path in damaged:
                            continue
                        theirs = sha256_file(os.path.join(root, fname))
                        mine = os.path.join(ours, path.lstrip("/"))
                        # Two entries with one name are written as "name", "name (1)", ...
                        stem, ext = os.path.splitext(mine)
                        alternatives = [mine] + ["%s (%d)%s" % (stem, i, ext) for i in range(1, 4)]
                        if not any(os.path.isfile(p) and sha256_file(p) == theirs for p in alternatives):
                            wrong.append(path)
                self.assertEqual(wrong, [], "files TSK recovers intact that brevant does not")

    def test_recover_reports_its_summary_line(self):
        for name, _, part in self.parts:
            with self.subTest(image=name, partition=part["number"]):
                rc, out, err, _ = self.recover(self.image(name), part["number"], name + "-summary")
                lines = [l for l in out.splitlines() if l.startswith("recovered ")]
                self.assertEqual(len(lines), 1, out)
                if rc != 0:
                    # Failures must be explained, one line each.
                    self.assertIn("failed", err)


if __name__ == "__main__":
    unittest.main()

#!/usr/bin/env python3
"""FAT volumes where a file's state is not written in its own entry: a folder deleted as a whole
(its files' entries never marked, their clusters free), deleted empty files that a quick reformat
cut off from their folders, and a live file whose cluster chain loops. Compared with The Sleuth
Kit (fls, icat) on images made by mkfs.fat and mtools (tests/fixtures/builders_fat.py)."""

import json
import os
import shutil
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_common import FIXTURES, ImageTestCase, manifest, sha256_file  # noqa: E402


def fls(image, offset):
    """(path, deleted, kind) of every entry fls -r -p lists, deleted ones included."""
    out = subprocess.run(["fls", "-r", "-p", "-o", str(offset), image], capture_output=True,
                         check=True).stdout.decode("utf-8", "replace")
    rows = []
    for line in out.splitlines():
        kinds, rest = line.split(" ", 1)
        deleted = rest.startswith("* ")
        path = "/" + rest.split(":\t", 1)[1]
        # TSK's own entries (the FATs, the boot record, the label) are no files of the volume.
        if path.startswith("/$") and not path.startswith("/$OrphanFiles/") or \
                path.endswith("(Volume Label Entry)") or path == "/$OrphanFiles":
            continue
        rows.append((path, deleted, kinds.split("/")[1]))
    return rows


class FatDeletedAndChainsTest(ImageTestCase):
    prefix = "brevant-e2e-fat-deleted-"

    def need(self, name):
        if not os.path.exists(os.path.join(FIXTURES, name + ".img.gz")):
            self.skipTest("fixture %s not made yet" % name)
        return manifest(name), self.image(name)

    def need_tsk(self):
        if shutil.which("fls") is None or shutil.which("icat") is None:
            self.skipTest("The Sleuth Kit is not installed")

    def scan_json(self, image, *extra):
        res = self.run_brevant("scan", image, "--partition", "1", "-q", "--format", "json", *extra)
        self.assertEqual(res.returncode, 0, res.stderr)
        return json.loads(res.stdout)

    # ---- a folder deleted as a whole

    def test_files_in_a_deleted_folder_are_deleted_in_every_output(self):
        man, image = self.need("fat_deleted_folder")
        self.need_tsk()
        part = man["partitions"][0]
        doc = self.scan_json(image)
        ours = {e["path"]: e["deleted"] for e in doc["folders"] + doc["files"]}
        tsk = {p: d for p, d, _ in fls(image, part["start"])}
        self.assertEqual(ours, tsk, "deleted or not, as The Sleuth Kit says")
        want = {f["path"]: f["deleted"] for f in part["files"] + part["folders"]}
        self.assertEqual(ours, want)
        gone = sorted(p for p in ours if p.startswith("/Gone Folder/"))
        self.assertEqual(len(gone), 5)
        self.assertTrue(all(ours[p] for p in gone), gone)
        # The summary counts them as deleted.
        deleted_files = [f for f in part["files"] if f["deleted"]]
        self.assertEqual(doc["summary"]["deletedFiles"], len(deleted_files))
        self.assertEqual(doc["summary"]["liveFiles"], len(part["files"]) - len(deleted_files))
        # Body and tree say so on each line.
        body = self.run_brevant("scan", image, "--partition", "1", "-q", "--format", "body")
        self.assertEqual(body.returncode, 0, body.stderr)
        names = {line.split("|")[1] for line in body.stdout.decode().splitlines()}
        for p in gone:
            self.assertIn(p + " (deleted)", names)
        tree = self.run_brevant("scan", image, "--partition", "1", "-q")
        lines = tree.stdout.decode().splitlines()
        for name in ("Inside Note.txt", "empty inside.txt", "Sub Folder/", "Deep File.txt"):
            line = next(l for l in lines if l.strip().startswith(name))
            self.assertIn("[deleted]", line)
        # recover --deleted-only takes them, byte-identical with what icat reads.
        out = os.path.join(self.tmp, "deleted-only")
        res = self.run_brevant("recover", image, "--partition", "1", "-q", "--deleted-only",
                               "--to", out)
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertIn(b"recovered %d files" % len(deleted_files), res.stdout)
        got = {"/" + os.path.relpath(os.path.join(r, n), out): sha256_file(os.path.join(r, n))
               for r, _, files in os.walk(out) for n in files}
        self.assertEqual(got, {f["path"]: f["sha256"] for f in deleted_files})

    # ---- deleted empty files in clusters a reformat cut off

    def test_deleted_empty_entries_in_stray_clusters_are_all_listed(self):
        man, image = self.need("fat_empty_stray")
        self.need_tsk()
        part = man["partitions"][0]
        markers = {"_MARKER.TXT", "_NOMEDIA"}
        wanted = [f for f in part["files"] if f["path"].rsplit("/", 1)[1] in markers]
        self.assertEqual(len(wanted), 24)
        self.assertTrue(all(f["deleted"] and f["size"] == 0 for f in wanted))
        tsk = [p for p, d, k in fls(image, part["start"])
               if k == "r" and p.rsplit("/", 1)[1] in markers]
        doc = self.scan_json(image, "--mode", "extensive")
        ours = [f for f in doc["files"] if f["name"] in markers]
        self.assertEqual(len(tsk), len(wanted))
        self.assertEqual(len(ours), len(tsk), "The Sleuth Kit lists %d" % len(tsk))
        self.assertTrue(all(f["deleted"] and f["size"] == 0 for f in ours))
        # One name and time twelve times over: each is an entry of its own.
        self.assertEqual(len({f["sector"] for f in ours}), 12)
        # And nothing else The Sleuth Kit lists is missing.
        files = [p for p, _, k in fls(image, part["start"]) if k == "r"]
        self.assertEqual(len(doc["files"]), len(files))

    # ---- a live file whose chain loops

    def looping_copy(self):
        man, image = self.need("fat_deleted_folder")
        part = man["partitions"][0]
        doc = self.scan_json(image)
        entry = next(f for f in doc["files"] if f["path"] == "/Kept/live chain.txt")
        looped = os.path.join(self.tmp, "looping.img")
        shutil.copyfile(image, looped)
        with open(looped, "r+b") as f:
            f.seek(part["start"] * 512)
            bs = f.read(512)
            reserved = struct.unpack_from("<H", bs, 14)[0]
            fats, fat_sectors = bs[16], struct.unpack_from("<H", bs, 22)[0]
            for k in range(fats):  # FAT16: the first cluster's entry points to itself
                f.seek((part["start"] + reserved + k * fat_sectors) * 512 + 2 * entry["id"])
                f.write(struct.pack("<H", entry["id"]))
        want = next(f for f in part["files"] if f["path"] == "/Kept/live chain.txt")
        return image, looped, entry, want, part

    def test_recover_keeps_a_looping_chain_in_part_and_says_so(self):
        image, looped, entry, want, part = self.looping_copy()
        cluster = part["clusterSize"]
        out = os.path.join(self.tmp, "looping-recover")
        res = self.run_brevant("recover", looped, "--partition", "1", "-q", "--to", out, "--json")
        self.assertEqual(res.returncode, 1, res.stderr)
        err = res.stderr.decode()
        message = "chain broken after %d bytes" % cluster
        self.assertIn("partly recovered: /Kept/live chain.txt", err)
        self.assertIn(message, err)
        doc = json.loads(res.stdout)
        self.assertEqual(doc["partial"], 1)
        self.assertEqual(doc["failed"], 0)
        # Nothing was unreadable: the summary counts no sectors.
        self.assertTrue(doc["summary"].endswith(", 1 partly recovered"), doc["summary"])
        record = next(r for r in doc["files"] if r["path"] == "/Kept/live chain.txt")
        self.assertEqual(record["status"], "partial")
        self.assertEqual(record["bytes"], cluster)
        self.assertIn(message, record["error"])
        # What is kept is the file's own first cluster, not the next file's data after it.
        original = subprocess.run(["icat", "-o", str(part["start"]), image,
                                   self.inode(image, part, "/Kept/live chain.txt")],
                                  capture_output=True, check=True).stdout
        self.assertEqual(len(original), want["size"])
        with open(os.path.join(out, "Kept", "live chain.txt"), "rb") as f:
            self.assertEqual(f.read(), original[:cluster])
        # Every other file is whole.
        for r in doc["files"]:
            if r["path"] != "/Kept/live chain.txt":
                self.assertEqual(r["status"], "recovered", r)
        # The Sleuth Kit does not read the whole file from this chain either.
        tsk = subprocess.run(["icat", "-o", str(part["start"]), looped,
                              self.inode(looped, part, "/Kept/live chain.txt")],
                             capture_output=True).stdout
        self.assertLess(len(tsk), want["size"])

    def test_cat_of_a_looping_chain_stops_at_the_break(self):
        image, looped, entry, want, part = self.looping_copy()
        cluster = part["clusterSize"]
        res = self.run_brevant("cat", looped, "--partition", "1", "--entry", str(entry["entry"]))
        self.assertEqual(res.returncode, 1)
        self.assertEqual(len(res.stdout), cluster)
        self.assertIn(b"chain broken after %d bytes" % cluster, res.stderr)
        intact = self.run_brevant("cat", image, "--partition", "1", "--entry", str(entry["entry"]))
        self.assertEqual(intact.returncode, 0, intact.stderr)
        self.assertEqual(len(intact.stdout), want["size"])
        self.assertEqual(res.stdout, intact.stdout[:cluster])

    def inode(self, image, part, path):
        self.need_tsk()
        out = subprocess.run(["fls", "-r", "-p", "-o", str(part["start"]), image],
                             capture_output=True, check=True).stdout.decode()
        for line in out.splitlines():
            head, name = line.split(":\t", 1)
            if "/" + name == path:
                return head.split()[-1]
        self.fail("fls does not list %s" % path)


if __name__ == "__main__":
    unittest.main()

"""End-to-end: named streams, every hard-link name and deleted files joined from freed extension
records, on the NTFS fixtures that hold them. Each named stream is a "name:stream" entry beside
its file (a folder's beside the folder) and comes back byte-identical to what `icat` reads by
its attribute id; every name of a linked file is listed and recovered; a deleted file whose runs
sit in freed extension records (The Sleuth Kit does not read it back) matches the sha256 of what
was written and is marked "assembled from freed records"."""

import hashlib
import json
import os
import re
import shutil
import subprocess
import unittest

from e2e_common import ImageTestCase, fixtures_with, sha256_file


def ntfs_parts():
    return [(name, part) for name, manifest in fixtures_with(("NTFS",))
            for part in manifest["partitions"] if part.get("fs") == "NTFS"]


def streams_of(item):
    """(stream name, size, sha256) of every named stream the manifest gives an item."""
    out = [(s["name"], s["size"], s["sha256"]) for s in item.get("streams", [])]
    if "ads" in item:
        out.append((item["ads"], item["adsSize"], item["adsSha256"]))
    return out


class NtfsStreamsAndLinks(ImageTestCase):
    prefix = "brevant-e2e-streams-"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.parts = [(n, p) for n, p in ntfs_parts()
                     if any(streams_of(i) or i.get("links") or i.get("tskMisses")
                            for i in p["files"] + p.get("folders", []))]
        if not cls.parts:
            raise unittest.SkipTest("no NTFS fixture with named streams, links or freed records")
        cls.scans = {}
        cls.recovered = {}

    def brevant(self, *args):
        res = self.run_brevant(*args, timeout=300)
        return res.returncode, res.stdout, res.stderr.decode("utf-8", "replace")

    def scan(self, name, part):
        key = (name, part["number"])
        if key not in self.scans:
            rc, out, err = self.brevant("scan", self.image(name), "--partition",
                                        str(part["number"]), "--format", "json", "-q")
            self.assertEqual(rc, 0, err)
            self.scans[key] = json.loads(out)
        return self.scans[key]

    def recover_all(self, name, part):
        key = (name, part["number"])
        if key not in self.recovered:
            to = os.path.join(self.tmp, "%s-%d" % key)
            shutil.rmtree(to, ignore_errors=True)
            self.brevant("recover", self.image(name), "--partition", str(part["number"]),
                         "--to", to, "-q")
            self.recovered[key] = to
        return self.recovered[key]

    def cat_sha(self, name, part, entry):
        rc, out, err = self.brevant("cat", self.image(name), "--partition", str(part["number"]),
                                    "--entry", str(entry))
        self.assertEqual(rc, 0, err)
        return hashlib.sha256(out).hexdigest()

    def icat_stream(self, name, part, record, stream):
        """The stream as The Sleuth Kit reads it: `icat INODE-128-ID`, the id from istat."""
        img, off = self.image(name), str(part["start"])
        istat = subprocess.run(["istat", "-o", off, img, str(record)], capture_output=True,
                               text=True, check=True).stdout
        m = re.search(r"\$DATA \(128-(\d+)\)\s+Name: %s\s" % re.escape(stream), istat)
        self.assertTrue(m, "istat shows no stream %s on record %d" % (stream, record))
        out = subprocess.run(["icat", "-o", off, img, "%d-128-%s" % (record, m.group(1))],
                             capture_output=True, check=True).stdout
        return hashlib.sha256(out).hexdigest()

    def entries_at(self, scan, path):
        return [e for e in scan["files"] if e["path"] == path]

    def test_named_streams_are_files_beside_their_owner_and_come_back_as_icat_reads_them(self):
        have_tsk = shutil.which("icat") and shutil.which("istat")
        for name, part in self.parts:
            scan = self.scan(name, part)
            to = self.recover_all(name, part)
            owners = [(f, False) for f in part["files"]] + \
                     [(f, True) for f in part.get("folders", [])]
            for item, folder in owners:
                for stream, size, sha in streams_of(item):
                    path = item["path"] + ":" + stream
                    with self.subTest(image=name, path=path):
                        found = [e for e in self.entries_at(scan, path)
                                 if e["deleted"] == item["deleted"] and e["size"] == size]
                        self.assertEqual(len(found), 1, "%s not listed once with its size" % path)
                        e = found[0]
                        self.assertEqual(e.get("stream"), stream)
                        self.assertEqual(e["type"], "FILE")
                        self.assertEqual(self.cat_sha(name, part, e["entry"]), sha)
                        if have_tsk:
                            self.assertEqual(self.icat_stream(name, part, e["id"], stream), sha)
                        # The owner's own entry (a file's) is its unnamed data, unchanged.
                        if not folder:
                            own = [o for o in self.entries_at(scan, item["path"])
                                   if o["id"] == e["id"]]
                            self.assertEqual([o.get("stream") for o in own], [None])
                            self.assertEqual(own[0]["size"], item["size"])
                        if not item["deleted"]:
                            got = os.path.join(to, path.lstrip("/"))
                            self.assertTrue(os.path.isfile(got), "%s not recovered" % path)
                            self.assertEqual(sha256_file(got), sha)

    def test_every_name_of_a_linked_file_is_listed_and_recovered(self):
        for name, part in self.parts:
            scan = self.scan(name, part)
            to = self.recover_all(name, part)
            for f in part["files"]:
                if not f.get("links"):
                    continue
                first = self.entries_at(scan, f["path"])
                self.assertEqual(len(first), 1, f["path"])
                for path in [f["path"]] + f["links"]:
                    with self.subTest(image=name, path=path):
                        listed = self.entries_at(scan, path)
                        self.assertEqual(len(listed), 1, "%s not listed once" % path)
                        self.assertEqual(listed[0]["id"], first[0]["id"])
                        self.assertEqual(sha256_file(os.path.join(to, path.lstrip("/"))),
                                         f["sha256"])
                        # The streams follow every name.
                        for stream, size, sha in streams_of(f):
                            got = os.path.join(to, (path + ":" + stream).lstrip("/"))
                            self.assertEqual(sha256_file(got), sha)

    def test_a_short_name_beside_its_long_name_is_no_entry_of_its_own(self):
        for name, part in self.parts:
            scan = self.scan(name, part)
            for f in part["files"]:
                if not f.get("dosName") or f["dosName"] == os.path.basename(f["path"]):
                    continue
                with self.subTest(image=name, path=f["path"]):
                    folder = os.path.dirname(f["path"])
                    short = folder.rstrip("/") + "/" + f["dosName"]
                    self.assertEqual(len(self.entries_at(scan, f["path"])), 1)
                    self.assertEqual(self.entries_at(scan, short), [])

    def test_deleted_files_in_freed_extension_records_are_assembled_and_marked(self):
        for name, part in self.parts:
            scan = self.scan(name, part)
            for f in part["files"]:
                if not f.get("tskMisses"):
                    continue
                with self.subTest(image=name, path=f["path"]):
                    found = [e for e in self.entries_at(scan, f["path"]) if e["deleted"]]
                    self.assertEqual(len(found), 1, "%s not listed as deleted" % f["path"])
                    e = found[0]
                    self.assertEqual(e["size"], f["size"])
                    self.assertEqual(e.get("note"), "assembled from freed records")
                    self.assertEqual(self.cat_sha(name, part, e["entry"]), f["sha256"])
                    # The tree shows the mark too, and a recovery of the deleted files writes it.
                    rc, out, err = self.brevant("scan", self.image(name), "--partition",
                                                str(part["number"]), "--deleted-only", "-q")
                    self.assertEqual(rc, 0, err)
                    line = [l for l in out.decode("utf-8").splitlines()
                            if os.path.basename(f["path"]) in l]
                    self.assertEqual(len(line), 1, line)
                    self.assertIn("[assembled from freed records]", line[0])
                    to = os.path.join(self.tmp, "deleted-%s" % name)
                    shutil.rmtree(to, ignore_errors=True)
                    rc, out, err = self.brevant("recover", self.image(name), "--partition",
                                                str(part["number"]), "--to", to,
                                                "--deleted-only", "-q")
                    self.assertEqual(sha256_file(os.path.join(to, f["path"].lstrip("/"))),
                                     f["sha256"], err)

    def test_streams_and_links_fls_lists_are_listed(self):
        if not shutil.which("fls"):
            self.skipTest("fls (The Sleuth Kit) is not installed")
        for name, part in self.parts:
            with self.subTest(image=name):
                scan = self.scan(name, part)
                listed = {(e["path"], e["deleted"]) for e in scan["files"]}
                out = subprocess.run(["fls", "-r", "-p", "-o", str(part["start"]),
                                      self.image(name)], capture_output=True, text=True,
                                     check=True).stdout
                missing = []
                for line in out.splitlines():
                    m = re.match(r"^(\S)/(\S) (\* )?([0-9-]+)(\(realloc\))?:\t(.*)$", line)
                    # $DATA streams only (an index such as $Secure:$SDH is no file), and no
                    # names of records that were reused since.
                    if not m or m.group(2) != "r" or "-128-" not in m.group(4) or \
                            m.group(5) or "$OrphanFiles" in m.group(6):
                        continue
                    path = "/" + m.group(6)
                    # fls shows a folder's stream also inside it as ".:stream"; brevant lists
                    # it once, beside the folder ("folder:stream").
                    if os.path.basename(path).startswith(".:"):
                        continue
                    # $BadClus:$Bad maps the bad clusters over the whole volume: no file data.
                    if path == "/$BadClus:$Bad":
                        continue
                    # Named streams and names of live records; the system files' own too.
                    if (":" in os.path.basename(path) or not m.group(3)) and \
                            (path, bool(m.group(3))) not in listed:
                        missing.append(path)
                self.assertEqual(missing, [])


if __name__ == "__main__":
    unittest.main()

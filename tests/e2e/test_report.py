"""End-to-end: `recover --report` writes a DFXML or CSV record of every file it recovered, on
images made by real tools. The DFXML parses (no DFXML schema is packaged for Debian, so
ElementTree is the judge) and carries every field; each SHA-256 is what sha256sum reads from the
recovered file; each file's byte runs are the sectors `istat` lists for it; a file with an
unreadable sector is "partial" with the count; a stop leaves a whole report of what was done; and
a report path that cannot be used is refused before anything is written."""

import csv
import json
import os
import re
import shutil
import subprocess
import tempfile
import textwrap
import unittest
import xml.etree.ElementTree as ET

from e2e_common import ImageTestCase, manifest, sha256_file
from test_unreadable_mft import SHIM

DFXML = "{http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML}"
OWN = "{urn:calverin-brevant:recovery-report}"
SECTOR = 512

# Raises SIGINT in the process once, the first time a pread of FAIL_READS_FILE touches sectors
# STOP_AT_SECTORS ("first:count"): Ctrl-C arriving while that file is being copied.
STOP_SHIM = textwrap.dedent(r"""
    #define _GNU_SOURCE
    #include <dlfcn.h>
    #include <signal.h>
    #include <stdio.h>
    #include <stdlib.h>
    #include <sys/stat.h>
    #include <unistd.h>

    static int done;

    static void Check(int fd, unsigned long long offset, size_t length) {
      const char* path = getenv("FAIL_READS_FILE");
      const char* range = getenv("STOP_AT_SECTORS");
      unsigned long long first = 0, count = 0;
      struct stat a, b;
      if (done || !path || !range || sscanf(range, "%llu:%llu", &first, &count) != 2) return;
      if (fstat(fd, &a) != 0 || stat(path, &b) != 0) return;
      if (a.st_dev != b.st_dev || a.st_ino != b.st_ino) return;
      if (offset < (first + count) * 512 && offset + length > first * 512) {
        done = 1;
        raise(SIGINT);
      }
    }

    ssize_t pread(int fd, void* buffer, size_t length, off_t offset) {
      static ssize_t (*real)(int, void*, size_t, off_t);
      if (!real) real = (ssize_t (*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread");
      Check(fd, (unsigned long long)offset, length);
      return real(fd, buffer, length, offset);
    }

    ssize_t pread64(int fd, void* buffer, size_t length, off_t offset) {
      static ssize_t (*real)(int, void*, size_t, off_t);
      if (!real) real = (ssize_t (*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread64");
      Check(fd, (unsigned long long)offset, length);
      return real(fd, buffer, length, offset);
    }
""")


def fls_paths(image, start):
    """{(path, deleted): inode address} from `fls -r -p`, paths with a leading slash."""
    out = subprocess.run(["fls", "-r", "-p", "-o", str(start), image], capture_output=True,
                         check=True).stdout.decode("utf-8", "replace")
    found = {}
    for line in out.splitlines():
        m = re.match(r"^(\S+) (\* )?(\d+)(?:-\d+-\d+)?(?:\(realloc\))?:\t(.*)$", line)
        if m and m.group(1).startswith("r/"):
            found.setdefault(("/" + m.group(4), bool(m.group(2))), int(m.group(3)))
    return found


def istat_sectors(image, start, inode, fs, cluster):
    """The sectors of the file's data, in file order, as istat lists them (relative to the
    volume); None for resident data."""
    out = subprocess.run(["istat", "-o", str(start), image, str(inode)], capture_output=True,
                         check=True).stdout.decode("utf-8", "replace").splitlines()
    if fs.startswith("FAT"):
        i = out.index("Sectors:")
        return [int(x) for line in out[i + 1:] for x in line.split()]
    clusters = None
    for line in out:
        if line.startswith("Type: $DATA") and "Name: N/A" in line:
            if "Non-Resident" not in line:
                return None
            clusters = []
        elif clusters is not None:
            if not re.match(r"^[\d ]+$", line):
                break
            clusters += [int(x) for x in line.split()]
    spc = cluster // SECTOR
    return [c * spc + k for c in clusters for k in range(spc)]


class RecoveryReport(ImageTestCase):
    prefix = "brevant-e2e-report-"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.shims = {}
        cc = shutil.which("cc") or shutil.which("gcc")
        for name, source in (("fail", SHIM), ("stop", STOP_SHIM)):
            if not cc:
                continue
            src = os.path.join(cls.tmp, name + ".c")
            with open(src, "w") as f:
                f.write(source)
            lib = os.path.join(cls.tmp, name + ".so")
            if subprocess.run([cc, "-shared", "-fPIC", "-o", lib, src, "-ldl"],
                              capture_output=True).returncode == 0:
                cls.shims[name] = lib

    def shim_env(self, name, image, **extra):
        if name not in self.shims:
            self.skipTest("no C compiler to build the shim")
        asan = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
        return dict(os.environ, LD_PRELOAD=self.shims[name], FAIL_READS_FILE=image,
                    ASAN_OPTIONS=asan, **extra)

    def recover(self, image, partition, report, *extra, env=None, to=None):
        to = to or tempfile.mkdtemp(dir=self.tmp)
        res = subprocess.run([os.environ["BREVANT"], "recover", image, "--partition",
                              str(partition), "--to", to, "--report", report, "-q", *extra],
                             capture_output=True, timeout=600, env=env)
        return res.returncode, res.stdout.decode("utf-8", "replace"), \
            res.stderr.decode("utf-8", "replace"), to

    def objects(self, report):
        root = ET.parse(report).getroot()
        self.assertEqual(root.tag, DFXML + "dfxml")
        return root, root.findall(DFXML + "volume/" + DFXML + "fileobject")

    def test_dfxml_carries_every_field_with_hashes_and_byte_runs_as_the_sleuth_kit_reads(self):
        image = self.image("demo")
        for part in manifest("demo")["partitions"]:
            fs, start, cluster = part["fs"], part["start"], part["clusterSize"]
            with self.subTest(fs=fs):
                report = os.path.join(self.tmp, "demo-%d.xml" % part["number"])
                rc, out, err, to = self.recover(image, part["number"], report, "--json")
                self.assertIn(rc, (0, 1), err)
                records = {f["path"]: f for f in json.loads(out)["files"]}
                root, objects = self.objects(report)
                creator = root.find(DFXML + "creator")
                self.assertEqual(creator.findtext(DFXML + "program"), "brevant")
                self.assertTrue(creator.findtext(DFXML + "version"))
                command = creator.findtext(DFXML + "execution_environment/" + DFXML +
                                           "command_line")
                self.assertIn("--report " + report, command)
                self.assertEqual(root.findtext(DFXML + "source/" + DFXML + "image_filename"),
                                 image)
                volume = root.find(DFXML + "volume")
                self.assertEqual(int(volume.get("offset")), start * SECTOR)
                self.assertEqual(volume.findtext(DFXML + "ftype_str"), fs.lower())
                # One record per file the recovery reported, in its words.
                self.assertEqual(len(objects), len(records))
                summary = root.find(OWN + "summary")
                self.assertEqual(summary.get("stopped"), "false")
                self.assertEqual(int(summary.get("files")), len(records))
                inodes = fls_paths(image, start)
                expected = {f["path"]: f for f in part["files"]}
                compared = 0
                for obj in objects:
                    path = "/" + obj.findtext(DFXML + "filename")
                    rec = records[path]
                    deleted = obj.find(DFXML + "unalloc") is not None
                    self.assertEqual(obj.findtext(OWN + "name"), rec["path"].rsplit("/", 1)[1])
                    self.assertEqual(obj.find(OWN + "outcome").text, rec["status"], path)
                    self.assertIn(obj.findtext(OWN + "condition"),
                                  ("live", "intact", "partly overwritten", "overwritten",
                                   "unknown"))
                    self.assertEqual(obj.findtext(OWN + "condition") == "live", not deleted)
                    if path in expected and not expected[path]["deleted"]:
                        self.assertEqual(int(obj.findtext(DFXML + "filesize")),
                                         expected[path]["size"])
                        if "mtime" in expected[path]:
                            self.assertTrue(obj.findtext(DFXML + "mtime").startswith(
                                _iso(expected[path]["mtime"])), path)
                    if rec["status"] == "failed":
                        self.assertTrue(obj.findtext(OWN + "error"), path)
                        continue
                    kept = obj.findtext(OWN + "recovered_as")
                    self.assertEqual(obj.findtext(DFXML + "hashdigest[@type='sha256']"),
                                     sha256_file(kept), path)
                    self.assertEqual(int(obj.find(OWN + "outcome").get("bytes_written")),
                                     os.path.getsize(kept))
                    runs = obj.findall(DFXML + "byte_runs/" + DFXML + "byte_run")
                    size = int(obj.findtext(DFXML + "filesize"))
                    self.assertEqual(sum(int(r.get("len")) for r in runs), size, path)
                    offset = 0
                    for r in runs:
                        self.assertEqual(int(r.get("file_offset")), offset)
                        offset += int(r.get("len"))
                    # Byte runs against istat: named streams and holes aside, and deleted FAT
                    # files whose clusters were reused, where each tool only guesses.
                    inode = inodes.get((path, deleted))
                    if inode is None or ":" in path.rsplit("/", 1)[1] or \
                            any(r.get("fill") for r in runs):
                        continue
                    if fs.startswith("FAT") and deleted and \
                            not expected.get(path, {}).get("intact"):
                        continue
                    sectors = istat_sectors(image, start, inode, fs, cluster)
                    if sectors is None:
                        self.assertEqual([r.get("type") for r in runs],
                                         ["resident"] if size else [], path)
                        compared += 1
                        continue
                    mine = []
                    for r in runs:
                        self.assertIsNone(r.get("type"), path)
                        img, fso, n = int(r.get("img_offset")), int(r.get("fs_offset")), \
                            int(r.get("len"))
                        self.assertEqual(img - fso, start * SECTOR)
                        mine += range(fso // SECTOR, (fso + n + SECTOR - 1) // SECTOR)
                    self.assertEqual(mine, sectors[:len(mine)], path)
                    self.assertEqual(len(mine), (size + SECTOR - 1) // SECTOR, path)
                    compared += 1
                self.assertGreater(compared, 20)

    def test_csv_has_a_row_per_file_with_its_hash(self):
        image = self.image("demo")
        report = os.path.join(self.tmp, "demo.CSV")
        rc, out, err, to = self.recover(image, 1, report, "--json")
        self.assertIn(rc, (0, 1), err)
        records = {f["path"]: f for f in json.loads(out)["files"]}
        with open(report, newline="", encoding="utf-8") as f:
            rows = list(csv.DictReader(f))
        self.assertEqual(list(rows[0].keys()), [
            "path", "name", "size", "modified", "created", "condition", "overwritten_bytes", "outcome",
            "unreadable_sectors", "bytes_written", "recovered_as", "sha256", "byte_runs",
            "error"])
        self.assertEqual(sorted(r["path"] for r in rows), sorted(records))
        for row in rows:
            self.assertEqual(row["outcome"], records[row["path"]]["status"])
            if row["recovered_as"]:
                self.assertEqual(row["sha256"], sha256_file(row["recovered_as"]), row["path"])
                self.assertEqual(sum(int(run.split("+")[1]) for run in row["byte_runs"].split()),
                                 int(row["size"]))

    def data_sector(self, image, path):
        """The first sector of `path`'s data on the whole-disk NTFS `image`, from istat."""
        inode = fls_paths(image, 0)[(path, False)]
        return istat_sectors(image, 0, inode, "NTFS", 4096)[0]

    def test_a_file_with_an_unreadable_sector_is_partial_with_the_count(self):
        image = self.image("whole_ntfs")
        env = self.shim_env("fail", image,
                            FAIL_READS_SECTORS="%d:1" % self.data_sector(image, "/Folder/data.bin"))
        report = os.path.join(self.tmp, "partial.xml")
        rc, _, err, to = self.recover(image, 1, report, env=env)
        self.assertEqual(rc, 1, err)
        self.assertIn("partly recovered: /Folder/data.bin", err)
        _, objects = self.objects(report)
        by_path = {"/" + o.findtext(DFXML + "filename"): o for o in objects}
        bad = by_path["/Folder/data.bin"]
        outcome = bad.find(OWN + "outcome")
        self.assertEqual((outcome.text, outcome.get("unreadable_sectors")), ("partial", "1"))
        self.assertIn("cannot be read", bad.findtext(OWN + "error"))
        kept = bad.findtext(OWN + "recovered_as")
        self.assertEqual(bad.findtext(DFXML + "hashdigest"), sha256_file(kept))
        good = by_path["/hello.txt"].find(OWN + "outcome")
        self.assertEqual((good.text, good.get("unreadable_sectors")), ("recovered", "0"))

    def test_a_stop_leaves_a_whole_report_of_what_was_done(self):
        image = self.image("whole_ntfs")
        env = self.shim_env("stop", image,
                            STOP_AT_SECTORS="%d:1" % self.data_sector(image, "/Folder/data.bin"))
        for name in ("stopped.xml", "stopped.csv"):
            with self.subTest(name):
                report = os.path.join(self.tmp, name)
                rc, out, err, to = self.recover(image, 1, report, env=env)
                self.assertEqual(rc, 130, err)
                self.assertIn("stopped", out)
                recovered = sorted(os.path.join(d, f) for d, _, fs in os.walk(to) for f in fs)
                if name.endswith(".xml"):
                    root, objects = self.objects(report)
                    self.assertEqual(root.find(OWN + "summary").get("stopped"), "true")
                    kept = [o.findtext(OWN + "recovered_as") for o in objects]
                    hashes = [o.findtext(DFXML + "hashdigest") for o in objects]
                else:
                    with open(report, newline="", encoding="utf-8") as f:
                        rows = list(csv.DictReader(f))
                    kept = [r["recovered_as"] for r in rows]
                    hashes = [r["sha256"] for r in rows]
                # Every file written is in it, with its hash (which files a stop leaves
                # unbegun depends on when the writers see it).
                self.assertEqual(sorted(k for k in kept if k), recovered)
                for k, h in zip(kept, hashes):
                    if k:
                        self.assertEqual(h, sha256_file(k))

    def test_a_report_path_that_cannot_be_used_is_refused_before_anything_is_written(self):
        image = self.image("whole_ntfs")
        folder = os.path.join(self.tmp, "a folder.xml")
        os.makedirs(folder, exist_ok=True)
        # Inside a --to folder that does not exist yet is fine: it is made first.
        to = os.path.join(self.tmp, "made-now")
        rc, _, err, _ = self.recover(image, 1, os.path.join(to, "r.csv"), to=to)
        self.assertEqual(rc, 0, err)
        with open(os.path.join(to, "r.csv"), newline="", encoding="utf-8") as f:
            self.assertEqual(len(list(csv.DictReader(f))),
                             len([x for _, _, fs in os.walk(to) for x in fs]) - 1)
        for report, words in ((os.path.join(self.tmp, "r.txt"), "extension"),
                              (os.path.join(self.tmp, "missing", "r.xml"), "does not exist"),
                              (folder, "not a regular file")):
            with self.subTest(report):
                to = os.path.join(self.tmp, "never-made")
                res = subprocess.run([os.environ["BREVANT"], "recover", image, "--partition",
                                      "1", "--to", to, "--report", report, "-q"],
                                     capture_output=True, timeout=300)
                self.assertEqual(res.returncode, 2)
                self.assertIn(words, res.stderr.decode())
                self.assertEqual(res.stdout, b"")
                self.assertFalse(os.path.exists(to))
                self.assertFalse(os.path.isfile(report))


@unittest.skipUnless(all(shutil.which(t) for t in ("mkfs.fat", "mcopy")),
                     "mkfs.fat and mtools are needed")
class HostileNamesInTheReport(ImageTestCase):
    """Long names patched on a FAT32 image made by mkfs.fat and mtools (same length, so the
    entries stay valid) to hold what XML and CSV must escape: markup, quotes, a comma, a line
    break, a control character."""
    prefix = "brevant-e2e-report-names-"
    # Mixed case, so that mtools writes long names.
    NAMES = {"Ab#c#": "<a&b>", "Qq#q#": "\"q'q\"", "Cc#c#": "c, cc", "Ll#l#": "l\r\nnn",
             "Xx#x#": "x\x01xxx"}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        from test_hostile_names import patch
        cls.img = os.path.join(cls.tmp, "names.img")
        env = dict(os.environ, MTOOLS_SKIP_CHECK="1", LC_ALL="C.UTF-8")
        subprocess.run(["mkfs.fat", "-F", "32", "-C", cls.img, "40000"], check=True,
                       capture_output=True)
        src = os.path.join(cls.tmp, "src")
        os.makedirs(src)
        for name in cls.NAMES:
            with open(os.path.join(src, name + ".txt"), "wb") as f:
                f.write(name.encode() * 300)
        subprocess.run(["mcopy", "-i", cls.img] +
                       [os.path.join(src, n + ".txt") for n in cls.NAMES] + ["::/"],
                       check=True, capture_output=True, env=env)
        for old, new in cls.NAMES.items():
            patch(cls.img, old.encode("utf-16-le"), new.encode("utf-16-le"))

    def test_names_come_back_whole_from_dfxml_and_csv(self):
        expected = sorted(n + ".txt" for n in self.NAMES.values())
        xml = os.path.join(self.tmp, "names.xml")
        res = subprocess.run([os.environ["BREVANT"], "recover", self.img, "--partition", "1",
                              "--to", tempfile.mkdtemp(dir=self.tmp), "--report", xml, "-q"],
                             capture_output=True, timeout=300)
        self.assertEqual(res.returncode, 0, res.stderr)
        root = ET.parse(xml).getroot()
        objects = root.findall(DFXML + "volume/" + DFXML + "fileobject")
        # XML cannot carry U+0001 at all: it becomes U+FFFD; everything else comes back whole.
        self.assertEqual(sorted(o.findtext(OWN + "name") for o in objects),
                         sorted(n.replace("\x01", "\ufffd") for n in expected))
        self.assertEqual(sorted(o.findtext(DFXML + "filename") for o in objects),
                         sorted(n.replace("\x01", "\ufffd") for n in expected))
        for o in objects:
            self.assertEqual(o.findtext(DFXML + "hashdigest"),
                             sha256_file(o.findtext(OWN + "recovered_as")))
        report = os.path.join(self.tmp, "names.csv")
        res = subprocess.run([os.environ["BREVANT"], "recover", self.img, "--partition", "1",
                              "--to", tempfile.mkdtemp(dir=self.tmp), "--report", report, "-q"],
                             capture_output=True, timeout=300)
        self.assertEqual(res.returncode, 0, res.stderr)
        with open(report, newline="", encoding="utf-8") as f:
            rows = list(csv.DictReader(f))
        self.assertEqual(sorted(r["name"] for r in rows), expected)
        self.assertEqual(sorted(r["path"] for r in rows), ["/" + n for n in expected])
        for r in rows:
            self.assertEqual(r["sha256"], sha256_file(r["recovered_as"]))


def _iso(seconds):
    import datetime
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).strftime(
        "%Y-%m-%dT%H:%M:%S")


if __name__ == "__main__":
    unittest.main()

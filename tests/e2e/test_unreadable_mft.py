"""End-to-end: an NTFS volume whose MFT cannot be read whole. An image cut short inside its MFT,
and the same volume read through a shim that makes reads of chosen sectors fail (an
LD_PRELOAD library built here, as a failing disk would), must end "completed with unreadable
records": exit status 1, every stretch named on standard error, the JSON summary not complete
and naming them, the summary lines counting them, and nothing that claims success."""

import json
import os
import shutil
import struct
import subprocess
import tempfile
import textwrap
import unittest

from e2e_common import ImageTestCase

SECTOR = 512

# Fails every pread of the file FAIL_READS_FILE that touches 512-byte sectors
# FAIL_READS_SECTORS ("first:count") with EIO, as a disk with bad sectors does.
SHIM = textwrap.dedent(r"""
    #define _GNU_SOURCE
    #include <dlfcn.h>
    #include <errno.h>
    #include <stdio.h>
    #include <stdlib.h>
    #include <sys/stat.h>
    #include <unistd.h>

    static int Fails(int fd, unsigned long long offset, size_t length) {
      const char* path = getenv("FAIL_READS_FILE");
      const char* range = getenv("FAIL_READS_SECTORS");
      unsigned long long first = 0, count = 0;
      struct stat a, b;
      if (!path || !range || sscanf(range, "%llu:%llu", &first, &count) != 2) return 0;
      if (fstat(fd, &a) != 0 || stat(path, &b) != 0) return 0;
      if (a.st_dev != b.st_dev || a.st_ino != b.st_ino) return 0;
      return offset < (first + count) * 512 && offset + length > first * 512;
    }

    ssize_t pread(int fd, void* buffer, size_t length, off_t offset) {
      static ssize_t (*real)(int, void*, size_t, off_t);
      if (!real) real = (ssize_t (*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread");
      if (Fails(fd, (unsigned long long)offset, length)) {
        errno = EIO;
        return -1;
      }
      return real(fd, buffer, length, offset);
    }

    ssize_t pread64(int fd, void* buffer, size_t length, off_t offset) {
      static ssize_t (*real)(int, void*, size_t, off_t);
      if (!real) real = (ssize_t (*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread64");
      if (Fails(fd, (unsigned long long)offset, length)) {
        errno = EIO;
        return -1;
      }
      return real(fd, buffer, length, offset);
    }
""")


class UnreadableMft(ImageTestCase):
    prefix = "brevant-e2e-unreadable-mft-"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.shim = None
        cc = shutil.which("cc") or shutil.which("gcc")
        if cc:
            src = os.path.join(cls.tmp, "fail_reads.c")
            with open(src, "w") as f:
                f.write(SHIM)
            lib = os.path.join(cls.tmp, "fail_reads.so")
            if subprocess.run([cc, "-shared", "-fPIC", "-o", lib, src, "-ldl"],
                              capture_output=True).returncode == 0:
                cls.shim = lib

    def mft_record_sector(self, image, record):
        """The first sector of MFT record `record` of the whole-disk NTFS `image` (its MFT is
        one run, as mkntfs leaves it)."""
        with open(image, "rb") as f:
            boot = f.read(SECTOR)
        mft = struct.unpack_from("<Q", boot, 48)[0] * boot[13]
        return mft + 2 * record

    def brevant(self, *args, env=None):
        res = subprocess.run([os.environ["BREVANT"], *args], capture_output=True, timeout=300,
                             env=env)
        return res.returncode, res.stdout.decode("utf-8", "replace"), \
            res.stderr.decode("utf-8", "replace")

    def check(self, image, first_record, cause, present, missing, env=None):
        # scan --format json: every other record's entries, the stretch named, not complete.
        rc, out, err = self.brevant("scan", image, "--partition", "1", "--format", "json", "-q",
                                    env=env)
        self.assertEqual(rc, 1, err)
        doc = json.loads(out)
        summary = doc["summary"]
        self.assertIs(summary["complete"], False)
        self.assertGreaterEqual(summary["unreadableRecords"], 1)
        self.assertEqual(summary["unreadableStretches"], len(summary["unreadable"]))
        stretch = summary["unreadable"][0]
        self.assertEqual((stretch["firstRecord"], stretch["cause"]), (first_record, cause))
        self.assertEqual(summary["unreadableRecords"],
                         sum(s["records"] for s in summary["unreadable"]))
        paths = {f["path"] for f in doc["files"]}
        for p in present:
            self.assertIn(p, paths)
        for p in missing:
            self.assertNotIn(p, paths)
        records = "%d MFT record%s" % (summary["unreadableRecords"],
                                       "" if summary["unreadableRecords"] == 1 else "s")
        self.assertRegex(err, r"brevant: unreadable: MFT records? %d\b" % first_record)
        self.assertIn("brevant: incomplete: %s could not be read; the output holds everything "
                      "else" % records, err)
        # The tree's last line counts them; without -q the run's own message says what is
        # missing and nothing says it succeeded.
        rc, out, err = self.brevant("scan", image, "--partition", "1", env=env)
        self.assertEqual(rc, 1, err)
        self.assertTrue(out.rstrip("\n").splitlines()[-1].endswith(
            ", %s unreadable" % records), out)
        self.assertIn("Scan Completed With Unreadable Records...", err)
        self.assertIn("Scan completed, but %s could not be read" % records, err)
        self.assertNotIn("Successfully", err)
        # recover: what could be read is recovered, the summary and the status say the rest.
        to = tempfile.mkdtemp(dir=self.tmp)
        rc, out, err = self.brevant("recover", image, "--partition", "1", "--to", to, "-q",
                                    env=env)
        self.assertEqual(rc, 1, err)
        # (Files whose data lies past the end of a cut image are only partly recovered.)
        self.assertRegex(out, r"^recovered \d+ files \(\d+ bytes\), 0 failed(, \d+ partly "
                              r"recovered)?, %s unreadable\n$" % records)
        self.assertIn("the files they held are not recovered", err)
        for p in present:
            self.assertTrue(os.path.isfile(os.path.join(to, p.lstrip("/"))), p)
        rc, out, err = self.brevant("recover", image, "--partition", "1", "--to",
                                    tempfile.mkdtemp(dir=self.tmp), "--json", "-q", env=env)
        self.assertEqual(rc, 1, err)
        self.assertEqual(json.loads(out)["unreadableRecords"], summary["unreadableRecords"])

    def test_an_image_cut_short_inside_its_mft(self):
        whole = self.image("whole_ntfs")
        cut = os.path.join(self.tmp, "cut.img")
        shutil.copyfile(whole, cut)
        # Records 0 to 67 remain, a whole number of clusters: /hello.txt is record 64,
        # /Folder/data.bin 66, /Folder/Inner 68 and /Folder/Inner/Deep.txt 69.
        with open(cut, "r+b") as f:
            f.truncate(self.mft_record_sector(whole, 68) * SECTOR)
        self.check(cut, 68, "past the end of the disk or partition",
                   present=["/hello.txt", "/Folder/data.bin"],
                   missing=["/Folder/Inner/Deep.txt", "/Lost/Deep.txt"])

    def test_mft_sectors_that_fail_to_read(self):
        if self.shim is None:
            self.skipTest("no C compiler to build the failing-read shim")
        image = self.image("whole_ntfs")
        # Under AddressSanitizer the shim comes before its runtime in the library list; the
        # shim only wraps pread, so that order is harmless and the check is turned off.
        asan = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
        env = dict(os.environ, LD_PRELOAD=self.shim, FAIL_READS_FILE=image,
                   FAIL_READS_SECTORS="%d:2" % self.mft_record_sector(image, 64),
                   ASAN_OPTIONS=asan)
        # The shim is in force: the same image reads whole without it.
        rc, _, err = self.brevant("scan", image, "--partition", "1", "-q")
        self.assertEqual(rc, 0, err)
        self.check(image, 64, "read error", present=["/Folder/data.bin"],
                   missing=["/hello.txt"], env=env)


if __name__ == "__main__":
    unittest.main()

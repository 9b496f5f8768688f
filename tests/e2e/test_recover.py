"""End-to-end: `brevant recover` and `cat` on real images. The same files (bytes, names, times)
whether the kernel copies them or every byte passes through a buffer, and whether the
destination shares the image's file system or not; an 8 TiB sparse file stays sparse; `--to`
is checked before the scan; a full destination leaves no empty files; Ctrl-C stops `cat` of
endless zeros and `recover` during its scan, with the summary line and exit status 130."""

import json
import os
import shutil
import signal
import subprocess
import tempfile
import unittest

from e2e_common import BREVANT, ImageTestCase, fixtures_with, sha256_file

FIXTURES_TO_COPY = ("demo", "whole_fat32", "whole_ntfs", "ntfs_features")


def mount_tmpfs(path, size, read_only=False):
    """Mounts a small tmpfs at `path` (root only); False when that is not possible here."""
    if os.geteuid() != 0:
        return False
    os.makedirs(path, exist_ok=True)
    options = "size=%s,mode=0755" % size + (",ro" if read_only else "")
    return subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", path],
                          capture_output=True).returncode == 0


def files_under(root):
    """{relative path: (sha256, mtime)} of every file below root. Times before 1901 are taken
    as 1901: ext4 keeps no earlier one, tmpfs does (mkntfs leaves a 1601 time on $MFT)."""
    out = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            out[os.path.relpath(path, root)] = (sha256_file(path),
                                                max(int(os.stat(path).st_mtime), -(1 << 31)))
    return out


class RecoverEndToEnd(ImageTestCase):
    prefix = "brevant-e2e-recover-"

    def setUp(self):
        self.mounts = []

    def tearDown(self):
        for m in reversed(self.mounts):
            subprocess.run(["umount", m], capture_output=True)

    def tmpfs(self, name, size, read_only=False):
        path = os.path.join(self.tmp, name)
        if not mount_tmpfs(path, size, read_only):
            return None
        self.mounts.append(path)
        return path

    def recover(self, image, partition, to, env=None, *extra):
        res = subprocess.run([BREVANT, "recover", image, "--partition", str(partition), "--to", to,
                              "-q", *extra], capture_output=True, timeout=600,
                             env=dict(os.environ, **(env or {})))
        return res.returncode, res.stdout.decode(), res.stderr.decode()

    def test_every_way_of_copying_gives_the_same_files(self):
        # Same file system as the image: copy_file_range. Through a buffer: what a system
        # without kernel copies gets. On tmpfs: the kernel refuses copy_file_range across file
        # systems and sendfile takes over.
        other_fs = self.tmpfs("other-fs", "256m")
        for name, manifest in fixtures_with(("FAT16", "FAT32", "NTFS")):
            if name not in FIXTURES_TO_COPY:
                continue
            for part in manifest["partitions"]:
                if part.get("fs") not in ("FAT16", "FAT32", "NTFS"):
                    continue
                with self.subTest(image=name, partition=part["number"]):
                    image = self.image(name)
                    tag = "%s-%d" % (name, part["number"])
                    ways = {"kernel": ({}, os.path.join(self.tmp, tag + "-kernel")),
                            "buffer": ({"BREVANT_NO_IN_KERNEL_COPY": "1"},
                                       os.path.join(self.tmp, tag + "-buffer"))}
                    if other_fs:
                        ways["other-fs"] = ({}, os.path.join(other_fs, tag))
                    results = {}
                    for way, (env, to) in ways.items():
                        code, out, err = self.recover(image, part["number"], to, env)
                        self.assertEqual(code, 0, err)
                        self.assertRegex(out, r"^recovered \d+ files \(\d+ bytes\), 0 failed\n$")
                        results[way] = (out, files_under(to))
                    first = results["kernel"]
                    self.assertTrue(first[1])
                    for way, got in results.items():
                        self.assertEqual(got, first, way)

    def test_the_json_report_has_a_record_per_file_and_the_summary(self):
        image = self.image("whole_ntfs")
        plain = os.path.join(self.tmp, "json-plain")
        code, summary, err = self.recover(image, 1, plain)
        self.assertEqual(code, 0, err)
        to = os.path.join(self.tmp, "json")
        code, out, err = self.recover(image, 1, to, None, "--json")
        self.assertEqual(code, 0, err)
        doc = json.loads(out)
        self.assertEqual(doc["summary"] + "\n", summary)
        self.assertFalse(doc["stopped"])
        self.assertEqual((doc["failed"], doc["partial"], doc["unreadableSectors"]), (0, 0, 0))
        self.assertEqual(doc["recovered"], len(doc["files"]))
        self.assertEqual(doc["bytes"], sum(f["bytes"] for f in doc["files"]))
        for f in doc["files"]:
            self.assertEqual(f["status"], "recovered")
            self.assertEqual(os.path.getsize(f["output"]), f["bytes"])

    def test_an_8_tib_sparse_file_recovers_sparse(self):
        image = self.image("ntfs_sparse_8t")
        to = os.path.join(self.tmp, "sparse")
        code, out, err = self.recover(image, 1, to)
        self.assertEqual(code, 0, err)
        path = os.path.join(to, "huge.bin")
        st = os.stat(path)
        self.assertEqual(st.st_size, 8 << 40)
        self.assertLess(st.st_blocks * 512, 1 << 20)
        with open(path, "rb") as f:
            self.assertEqual(f.read(17), b"head of the file\n")
            f.seek((8 << 40) - 4)
            self.assertEqual(f.read(), b"tail")
        with open(os.path.join(to, "small.txt"), "rb") as f:
            self.assertEqual(f.read(), b"small\n")

    def entry_of(self, image, name):
        res = subprocess.run([BREVANT, "scan", image, "--partition", "1", "--format", "json", "-q"],
                             capture_output=True, check=True)
        return next(f["entry"] for f in json.loads(res.stdout)["files"] if f["name"] == name)

    def test_cat_streams_the_zeros_of_a_sparse_file_and_stops_on_a_signal(self):
        image = self.image("ntfs_sparse_8t")
        entry = self.entry_of(image, "huge.bin")
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=sig.name):
                with subprocess.Popen([BREVANT, "cat", image, "--partition", "1", "--entry",
                                       str(entry)], stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE) as proc:
                    head = proc.stdout.read(64 << 20)
                    self.assertTrue(head.startswith(b"head of the file\n"))
                    self.assertEqual(head[17:].count(0), len(head) - 17)
                    proc.send_signal(sig)
                    # The rest it wrote before it saw the stop is drained; it ends promptly.
                    while proc.stdout.read(1 << 20):
                        pass
                    err = proc.stderr.read().decode()
                    self.assertEqual(proc.wait(timeout=60), 130, err)
                    self.assertIn("stopped", err)

    def test_the_destination_is_checked_before_the_scan(self):
        image = self.image("whole_ntfs")
        a_file = os.path.join(self.tmp, "a-file")
        with open(a_file, "w") as f:
            f.write("x")
        cases = [("", "empty"), (a_file, "not a folder"), (os.path.join(a_file, "below"), "")]
        read_only = self.tmpfs("read-only", "1m", read_only=True)
        if read_only:
            cases.append((read_only, "read-only"))
        for to, why in cases:
            with self.subTest(to=to):
                res = subprocess.run([BREVANT, "recover", image, "--partition", "1", "--to", to],
                                     capture_output=True, timeout=60)
                err = res.stderr.decode()
                self.assertEqual(res.returncode, 2, err)
                self.assertEqual(err.count("\n"), 1, err)  # one line, and no scan ran
                self.assertTrue(err.startswith("brevant: "), err)
                self.assertIn(why, err)
                self.assertEqual(res.stdout, b"")
        # A missing folder is created, parents and all.
        to = os.path.join(self.tmp, "new", "deeper")
        code, _, err = self.recover(image, 1, to)
        self.assertEqual(code, 0, err)
        self.assertTrue(os.listdir(to))

    def test_a_destination_on_the_disk_being_read_is_refused(self):
        if os.geteuid() != 0 or not shutil.which("losetup") or not shutil.which("mkfs.ext4"):
            self.skipTest("needs root, losetup and mkfs.ext4")
        backing = os.path.join(self.tmp, "ext4.img")
        with open(backing, "wb") as f:
            f.truncate(16 << 20)
        subprocess.run(["mkfs.ext4", "-q", backing], check=True, capture_output=True)
        res = subprocess.run(["losetup", "-f", "--show", backing], capture_output=True)
        if res.returncode != 0:
            self.skipTest("no loop device here")
        device = res.stdout.decode().strip()
        self.addCleanup(subprocess.run, ["losetup", "-d", device], capture_output=True)
        mnt = os.path.join(self.tmp, "on-source")
        os.makedirs(mnt, exist_ok=True)
        if subprocess.run(["mount", device, mnt], capture_output=True).returncode != 0:
            self.skipTest("the loop device cannot be mounted here")
        self.mounts.append(mnt)
        res = subprocess.run([BREVANT, "recover", device, "--partition", "1", "--to",
                              os.path.join(mnt, "out")], capture_output=True, timeout=60)
        err = res.stderr.decode()
        self.assertEqual(res.returncode, 2, err)
        self.assertEqual(err.count("\n"), 1, err)
        self.assertIn("the disk being read", err)
        self.assertFalse(os.path.exists(os.path.join(mnt, "out")))

    def test_a_full_destination_leaves_no_empty_files(self):
        full = self.tmpfs("full", "1200k")
        if not full:
            self.skipTest("a small tmpfs cannot be mounted here (needs root)")
        image = self.image("demo")
        sizes = {}
        res = subprocess.run([BREVANT, "scan", image, "--partition", "3", "--format", "json", "-q"],
                             capture_output=True, check=True)
        for f in json.loads(res.stdout)["files"]:
            sizes.setdefault(f["name"], set()).add(f["size"])
        # With the volume's own files ($LogFile, ...) the partition's files outgrow the folder.
        code, out, err = self.recover(image, 3, full, None, "--system")
        self.assertEqual(code, 1, err)
        self.assertRegex(out, r"^recovered \d+ files \(\d+ bytes\), [1-9]\d* failed")
        self.assertIn("does not fit", err)
        for folder, _, names in os.walk(full):
            for name in names:
                size = os.path.getsize(os.path.join(folder, name))
                if size == 0:
                    self.assertIn(0, sizes.get(name, set()), "an empty file was left: " + name)
                elif size not in sizes.get(name, set()):
                    # Kept in part: only when the output says so.
                    self.assertIn(os.path.join(folder, name), err)
                    self.assertIn("partly recovered", out)

    def test_a_stop_during_recovers_scan_recovers_nothing_and_prints_the_summary(self):
        if not shutil.which("mkfs.fat"):
            self.skipTest("mkfs.fat is needed")
        image = os.path.join(self.tmp, "big.img")
        subprocess.run(["mkfs.fat", "-F", "32", "-s", "8", "-C", image, str(16 << 20)],
                       check=True, capture_output=True)
        to = os.path.join(self.tmp, "stopped")
        with subprocess.Popen([BREVANT, "recover", image, "--partition", "1", "--to", to],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
            seen = []
            for line in proc.stderr:
                seen.append(line.decode())
                if "% completed" in seen[-1]:
                    proc.send_signal(signal.SIGINT)
                    break
            out, err = proc.communicate(timeout=120)
        err = "".join(seen) + err.decode()
        self.assertEqual(proc.returncode, 130, err)
        self.assertEqual(out.decode(),
                         "recovered 0 files (0 bytes), 0 failed, stopped during the scan\n")
        self.assertEqual(os.listdir(to), [])


if __name__ == "__main__":
    unittest.main()

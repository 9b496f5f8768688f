"""End-to-end: what the command line prints holds up. A standard output that cannot be written
is an error, never a silent cut; paths that are not UTF-8 still give JSON a strict parser takes;
folders meet files and links at the destination without losing a file; the folder of lost
entries never merges with a real "Lost"; a stop is said in the summary, and the output of a
stopped scan holds everything the scan found."""

import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import unittest

from e2e_common import BREVANT, FIXTURES, ImageTestCase, make_sweep_image, manifest, sha256_file

LOST = "Lost (found by Brevant)"


def strict_json(raw):
    """The document as a strict parser reads it: the bytes must be UTF-8, the JSON whole."""
    return json.loads(raw.decode("utf-8", "strict"))


def files_of(root):
    """{path relative to root: sha256} of every file below root (links not followed)."""
    out = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            if not os.path.islink(path):
                out[os.path.relpath(path, root)] = sha256_file(path)
    return out


def run_signalled(args, trigger, sig=signal.SIGINT):
    """Runs brevant, sends `sig` when a line of standard error contains `trigger`; returns
    (status, stdout bytes, all of standard error)."""
    with subprocess.Popen([BREVANT, *args], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE) as proc:
        seen = []
        for line in proc.stderr:
            seen.append(line.decode("utf-8", "replace"))
            if trigger in seen[-1]:
                proc.send_signal(sig)
                break
        # Read through the same buffered files: what they already hold is not lost. Standard
        # error gets a few lines more at most, so reading standard output first cannot stall.
        out = proc.stdout.read()
        err = proc.stderr.read()
        proc.wait(timeout=300)
    return proc.returncode, out, "".join(seen) + err.decode("utf-8", "replace")


def mtools(image, *commands):
    for cmd in commands:
        subprocess.run([cmd[0], "-i", image, *cmd[1:]], check=True, capture_output=True)


class OutputEndToEnd(ImageTestCase):
    prefix = "brevant-e2e-output-"

    def run_b(self, *args, **kw):
        return subprocess.run([BREVANT, *args], capture_output=True, timeout=600, **kw)

    @unittest.skipUnless(os.path.exists("/dev/full"), "needs /dev/full")
    def test_standard_output_that_cannot_be_written_is_an_error(self):
        image = self.image("whole_fat32")
        res = self.run_b("scan", image, "--partition", "1", "--format", "json", "-q")
        entry = next(f["entry"] for f in strict_json(res.stdout)["files"] if f["size"] > 0)
        cases = [
            ("disks --json", ["disks", "--image", image, "--json"]),
            ("disks", ["disks", "--image", image]),
            ("scan json", ["scan", image, "--partition", "1", "--format", "json", "-q"]),
            ("scan tree", ["scan", image, "--partition", "1", "-q"]),
            ("scan body", ["scan", image, "--partition", "1", "--format", "body", "-q"]),
            ("recover --json", ["recover", image, "--partition", "1", "-q", "--json", "--to"]),
            ("recover", ["recover", image, "--partition", "1", "-q", "--to"]),
            ("cat", ["cat", image, "--partition", "1", "--entry", str(entry)]),
            ("help", ["--help"]),
        ]
        for what, args in cases:
            with self.subTest(command=what):
                if args[-1] == "--to":
                    args = args + [os.path.join(self.tmp, "full-" + what.replace(" ", ""))]
                with open("/dev/full", "wb") as full:
                    res = subprocess.run([BREVANT, *args], stdout=full, stderr=subprocess.PIPE,
                                         timeout=600)
                err = res.stderr.decode("utf-8", "replace")
                self.assertEqual(res.returncode, 1, err)
                self.assertIn("standard output", err)
                if what != "help":
                    self.assertIn("No space left on device", err)

    def test_paths_that_are_not_utf8_give_strict_json(self):
        src = self.image("whole_fat32")
        folder = os.path.join(os.fsencode(self.tmp), b"src-\xff")
        os.makedirs(folder, exist_ok=True)
        image = os.path.join(folder, b"disk-\xe9\x80.img")
        shutil.copyfile(src, image)
        to = os.path.join(os.fsencode(self.tmp), b"to-\xc3\x28")
        truth = {f["path"]: f["sha256"]
                 for f in manifest("whole_fat32")["partitions"][0]["files"] if not f["deleted"]}

        res = self.run_b("disks", "--image", image, "--json")
        self.assertEqual(res.returncode, 0, res.stderr)
        disks = [d for d in strict_json(res.stdout)["disks"] if d.get("pathBytes")]
        self.assertEqual([bytes.fromhex(d["pathBytes"]) for d in disks], [image])
        self.assertEqual(disks[0]["path"], image.decode("utf-8", "replace"))
        self.assertEqual([p["fs"] for p in disks[0]["partitions"]], ["FAT32"])

        res = self.run_b("scan", image, "--partition", "1", "--format", "json", "-q")
        self.assertEqual(res.returncode, 0, res.stderr)
        doc = strict_json(res.stdout)
        self.assertEqual(bytes.fromhex(doc["sourceBytes"]), image)
        self.assertEqual(doc["source"], image.decode("utf-8", "replace"))
        self.assertTrue(set(truth) <= {f["path"] for f in doc["files"]})
        for fmt in ("tree", "body"):
            res = self.run_b("scan", image, "--partition", "1", "--format", fmt, "-q")
            self.assertEqual(res.returncode, 0, res.stderr)
            res.stdout.decode("utf-8", "strict")

        res = self.run_b("recover", image, "--partition", "1", "--to", to, "--json", "-q")
        self.assertEqual(res.returncode, 0, res.stderr)
        doc = strict_json(res.stdout)
        recovered = {}
        for f in doc["files"]:
            self.assertEqual(f["status"], "recovered")
            output = bytes.fromhex(f["outputBytes"])
            self.assertEqual(f["output"], output.decode("utf-8", "replace"))
            self.assertTrue(output.startswith(to + b"/"), output)
            recovered[f["path"]] = sha256_file(output)
        for path, digest in truth.items():
            self.assertEqual(recovered.get(path), digest, path)

        res = self.run_b("recover", image, "--partition", "1", "--to", to, "-q")
        self.assertEqual(res.returncode, 0, res.stderr)
        res.stdout.decode("utf-8", "strict")

    def test_folders_are_numbered_past_a_file_or_link_at_the_destination(self):
        image = self.image("demo")
        to = os.path.join(self.tmp, "clash")
        elsewhere = os.path.join(self.tmp, "elsewhere")
        os.makedirs(to)
        os.makedirs(elsewhere)
        with open(os.path.join(to, "Docs"), "w") as f:
            f.write("mine")
        os.symlink(elsewhere, os.path.join(to, "Many"))
        res = self.run_b("recover", image, "--partition", "1", "--to", to, "--json", "-q")
        err = res.stderr.decode()
        self.assertEqual(res.returncode, 0, err)
        self.assertNotIn("Not a directory", err)
        doc = strict_json(res.stdout)
        self.assertEqual((doc["failed"], doc["partial"]), (0, 0))
        with open(os.path.join(to, "Docs")) as f:
            self.assertEqual(f.read(), "mine")
        self.assertEqual(os.listdir(elsewhere), [])
        got = files_of(to)
        moved = {"/Docs/": "Docs (1)/", "/Many/": "Many (1)/"}
        part = manifest("demo")["partitions"][0]
        checked = 0
        for f in part["files"]:
            prefix = next((p for p in moved if f["path"].startswith(p)), None)
            if prefix is None or not f.get("intact", True):
                continue
            rel = moved[prefix] + f["path"][len(prefix):]
            self.assertEqual(got.get(rel), f["sha256"], rel)
            checked += 1
        self.assertGreater(checked, 100)
        outputs = {f["path"]: f["output"] for f in doc["files"]}
        self.assertEqual(outputs["/Docs/letter.txt"], os.path.join(to, "Docs (1)", "letter.txt"))

    @unittest.skipUnless(shutil.which("mkfs.fat") and shutil.which("mcopy")
                         and shutil.which("icat") and shutil.which("fls"),
                         "mkfs.fat, mtools and The Sleuth Kit are needed")
    def test_the_lost_folder_never_meets_a_real_lost(self):
        # A root file named "Lost", and a deleted folder whose root entry was taken by a new
        # file: its cluster is found by the extensive scan and its files are orphans.
        image = os.path.join(self.tmp, "lost.img")
        subprocess.run(["mkfs.fat", "-F", "16", "-C", image, "16384"], check=True,
                       capture_output=True)
        for name, text in (("Lost", "a real file named Lost\n"), ("x.txt", "orphan one\n"),
                           ("y.txt", "orphan two, longer\n"), ("empty", "")):
            with open(os.path.join(self.tmp, name), "w") as f:
                f.write(text)
        t = lambda name: os.path.join(self.tmp, name)
        mtools(image, ["mcopy", t("Lost"), "::/Lost"], ["mmd", "::/A"],
               ["mcopy", t("x.txt"), "::/A/x.txt"], ["mcopy", t("y.txt"), "::/A/y.txt"],
               ["mdeltree", "::/A"], ["mcopy", t("empty"), "::/Z.TXT"])
        fls = subprocess.run(["fls", "-r", "-p", image], capture_output=True, text=True,
                             check=True).stdout
        orphans = sorted(
            hashlib.sha256(subprocess.run(["icat", image, m.group(1)], capture_output=True,
                                          check=True).stdout).hexdigest()
            for m in re.finditer(r"^-/r \* (\d+):\t\$OrphanFiles/", fls, re.M))
        self.assertEqual(len(orphans), 2, fls)

        res = self.run_b("scan", image, "--partition", "1", "--mode", "extensive",
                         "--format", "json", "-q")
        self.assertEqual(res.returncode, 0, res.stderr)
        doc = strict_json(res.stdout)
        paths = [f["path"] for f in doc["files"]]
        self.assertIn("/Lost", paths)
        lost = [p for p in paths if p.startswith("/%s/" % LOST)]
        self.assertEqual(len(lost), 2, paths)
        self.assertFalse([p for p in paths if p.startswith("/Lost/")], paths)

        to = os.path.join(self.tmp, "lost-out")
        res = self.run_b("recover", image, "--partition", "1", "--mode", "extensive",
                         "--to", to, "-q")
        self.assertEqual(res.returncode, 0, res.stderr)
        got = files_of(to)
        self.assertEqual(got["Lost"], sha256_file(t("Lost")))
        self.assertEqual(sorted(v for k, v in got.items() if k.startswith(LOST + "/")), orphans)
        # Only what the scan found is there: no "Lost (1)" beside them.
        self.assertEqual(sorted(os.listdir(to)), sorted(["Lost", "Z.TXT", LOST]))

        # --path matches the folder by its name.
        only = os.path.join(self.tmp, "lost-only")
        res = self.run_b("recover", image, "--partition", "1", "--mode", "extensive",
                         "--to", only, "--path", "/" + LOST, "-q")
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertEqual(sorted(files_of(only).values()), orphans)

    def test_a_stop_between_files_is_said_in_the_summary(self):
        image = self.image("ntfs_features")
        res = self.run_b("scan", image, "--partition", "1", "--format", "json", "-q")
        # recover leaves the volume's own files ($MFT, ...) out.
        total = len([f for f in strict_json(res.stdout)["files"] if not f["system"]])
        self.assertGreater(total, 1000)
        for as_json in (False, True):
            with self.subTest(json=as_json):
                to = os.path.join(self.tmp, "stopped-%s" % as_json)
                args = ["recover", image, "--partition", "1", "--to", to]
                # The scan is over: the stop comes before or between the files.
                code, out, err = run_signalled(args + (["--json"] if as_json else []),
                                               "Scan Completed...")
                self.assertEqual(code, 130, err)
                on_disk = len(files_of(to))
                if as_json:
                    doc = strict_json(out)
                    self.assertTrue(doc["stopped"])
                    done, failed, partial = doc["recovered"], doc["failed"], doc["partial"]
                    not_started = doc["notStarted"]
                    self.assertEqual(len(doc["files"]), done + failed + partial)
                    line = doc["summary"] + "\n"
                else:
                    line = out.decode()
                m = re.match(r"^recovered (\d+) files \(\d+ bytes\), (\d+) failed, stopped"
                             r"(?: while writing .*)?, (\d+) files? not started\n$", line)
                self.assertTrue(m, line)
                if not as_json:
                    done, failed, not_started = (int(g) for g in m.groups())
                    partial = 0
                self.assertGreater(not_started, 0)
                self.assertEqual(done + failed + partial + not_started, total)
                self.assertEqual(on_disk, done + partial)

    def test_a_stopped_scan_prints_everything_it_found(self):
        image = make_sweep_image(self.tmp)
        for fmt in ("json", "tree", "body"):
            with self.subTest(format=fmt):
                code, out, err = run_signalled(
                    ["scan", image, "--partition", "1", "--mode", "extensive", "--format", fmt],
                    "10 % completed")
                self.assertEqual(code, 130, err)
                self.assertNotIn("Scan Completed", err)
                text = out.decode("utf-8", "strict")
                if fmt == "json":
                    doc = json.loads(text)
                    self.assertFalse(doc["summary"]["complete"])
                    found = doc["summary"]["liveFiles"] + doc["summary"]["deletedFiles"]
                    self.assertGreaterEqual(found, 2001)
                    self.assertEqual(len(doc["files"]), found)
                    self.assertTrue(doc["listsComplete"])
                    self.assertIn("/D", [f["path"] for f in doc["folders"]])
                elif fmt == "tree":
                    m = re.search(r"^(\d+) folders, (\d+) files, \d+ intact deleted files? \(\d+ bytes\)\n\Z",
                                  text, re.M)
                    self.assertTrue(m, text[-500:])
                    listed = len(re.findall(r"  #\d+$", text, re.M))
                    self.assertEqual(listed, int(m.group(2)))
                    self.assertGreaterEqual(listed, 2001)
                else:
                    lines = text.splitlines()
                    self.assertGreaterEqual(len(lines), 2002)
                    self.assertIn("0|/D/f0000.txt|", text)
                    self.assertIn("0|/D/_1999.txt (deleted)|", text)
                self.assertIn("the output holds everything found before the stop", err)

    def test_a_second_stop_cuts_the_printing_short(self):
        image = make_sweep_image(self.tmp)
        with subprocess.Popen([BREVANT, "scan", image, "--partition", "1", "--mode", "extensive",
                               "--format", "json"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
            seen = []
            for line in proc.stderr:
                seen.append(line.decode())
                if "10 % completed" in seen[-1]:
                    proc.send_signal(signal.SIGINT)
                    break
            # The document has begun: the scan is over and its output is being printed. It
            # cannot be printed whole while nothing more is read, so the second stop meets it.
            first = proc.stdout.read(1)
            proc.send_signal(signal.SIGINT)
            out = first + proc.stdout.read()
            err = "".join(seen) + proc.stderr.read().decode()
            proc.wait(timeout=300)
        self.assertEqual(proc.returncode, 130, err)
        doc = strict_json(out)
        self.assertFalse(doc["listsComplete"])
        self.assertFalse(doc["summary"]["complete"])
        found = doc["summary"]["liveFiles"] + doc["summary"]["deletedFiles"]
        self.assertGreater(len(doc["files"]), 0)
        self.assertLess(len(doc["files"]), found)
        self.assertIn("the output was cut short", err)
        self.assertNotIn("everything found", err)


if __name__ == "__main__":
    unittest.main()

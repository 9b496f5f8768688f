"""Results files through the command line: a saved result prints, recovers and cats exactly as
the scan it was saved from, and every source or file that cannot be trusted is refused."""

import glob
import hashlib
import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from e2e_common import BREVANT, FIXTURES, ImageTestCase, make_sweep_image  # noqa: E402


def every_fixture():
    return sorted(os.path.basename(p)[: -len(".img.gz")]
                  for p in glob.glob(os.path.join(FIXTURES, "*.img.gz"))
                  if os.path.exists(p[: -len(".img.gz")] + ".manifest.json"))


def files_under(root):
    """Every file below root: relative path -> SHA-256."""
    out = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                out[os.path.relpath(path, root)] = hashlib.sha256(f.read()).hexdigest()
    return out


class ResultsRoundTrip(ImageTestCase):
    prefix = "brevant-e2e-results-"

    def partitions(self, image):
        r = self.run_brevant("disks", "--image", image, "--json")
        self.assertEqual(r.returncode, 0, r.stderr)
        disk = [d for d in json.loads(r.stdout)["disks"] if d.get("path") == image][0]
        return [p["number"] for p in disk.get("partitions", [])]

    def round_trip(self, name, image, number, mode):
        saved = os.path.join(self.tmp, "%s-%d-%s.results" % (name, number, mode))
        scan = ["scan", image, "--partition", str(number), "--mode", mode, "-q"]
        direct = {}
        for fmt in ("json", "tree", "body"):
            direct[fmt] = self.run_brevant(*scan, "--format", fmt)
        if not direct["json"].stdout:
            return False  # a scan that fails writes nothing, and saves nothing
        r = self.run_brevant(*scan, "--format", "tree", "--save-results", saved)
        self.assertEqual(r.returncode, direct["tree"].returncode, r.stderr)
        self.assertEqual(r.stdout, direct["tree"].stdout)
        for fmt in ("json", "tree", "body"):
            again = self.run_brevant("scan", "--results", saved, "--format", fmt)
            self.assertEqual(again.stdout, direct[fmt].stdout, "%s differs" % fmt)
            self.assertEqual(again.returncode, direct[fmt].returncode, again.stderr)
        # Filters apply to a saved result as to a scan.
        filtered = ("--deleted-only", "--format", "json")
        self.assertEqual(self.run_brevant("scan", "--results", saved, *filtered).stdout,
                         self.run_brevant(*scan, *filtered).stdout)
        # recover --results writes the same files as recover.
        out1 = os.path.join(self.tmp, "out-direct")
        out2 = os.path.join(self.tmp, "out-saved")
        for out in (out1, out2):
            shutil.rmtree(out, ignore_errors=True)
        a = self.run_brevant("recover", image, "--partition", str(number), "--mode", mode, "-q",
                             "--to", out1, "--system")
        b = self.run_brevant("recover", "--results", saved, "--to", out2, "--system")
        self.assertEqual(b.returncode, a.returncode, b.stderr)
        self.assertEqual(b.stdout, a.stdout)
        self.assertEqual(files_under(out2), files_under(out1))
        return True

    def test_every_fixture_partition_round_trips(self):
        compared = 0
        for name in every_fixture():
            image = self.image(name)
            for number in self.partitions(image):
                with self.subTest(fixture=name, partition=number):
                    compared += self.round_trip(name, image, number, "quick")
        self.assertGreater(compared, 40)

    def test_extensive_scans_round_trip(self):
        for name in ("ntfs_reformat", "fat32_reformat", "fat_empty_stray", "demo"):
            image = self.image(name)
            for number in self.partitions(image):
                with self.subTest(fixture=name, partition=number):
                    self.round_trip(name, image, number, "extensive")

    def test_cat_from_a_saved_result(self):
        image = self.image("demo")
        saved = os.path.join(self.tmp, "cat.results")
        r = self.run_brevant("scan", image, "--partition", "3", "--format", "json", "-q",
                             "--save-results", saved)
        self.assertEqual(r.returncode, 0, r.stderr)
        files = [e for e in json.loads(r.stdout)["files"] if e["size"] > 0][:5]
        self.assertTrue(files)
        for e in files:
            direct = self.run_brevant("cat", image, "--partition", "3", "--entry", str(e["entry"]))
            again = self.run_brevant("cat", "--results", saved, "--entry", str(e["entry"]))
            self.assertEqual(again.returncode, direct.returncode, again.stderr)
            self.assertEqual(again.stdout, direct.stdout)
        # An image that moved is named on the command line, and still checked.
        moved = os.path.join(self.tmp, "moved.img")
        shutil.copyfile(image, moved)
        r = self.run_brevant("cat", "--results", saved, moved, "--entry", str(files[0]["entry"]))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, self.run_brevant(
            "cat", image, "--partition", "3", "--entry", str(files[0]["entry"])).stdout)

    def test_the_file_is_documented_sqlite(self):
        image = self.image("demo")
        saved = os.path.join(self.tmp, "query.results")
        r = self.run_brevant("scan", image, "--partition", "1", "--format", "json", "-q",
                             "--save-results", saved)
        listed = json.loads(r.stdout)
        db = sqlite3.connect(saved)
        try:
            self.assertEqual(db.execute("PRAGMA user_version").fetchone()[0], 1)
            meta = dict(db.execute("SELECT key, value FROM meta"))
            self.assertEqual(meta["format"], "brevant-results")
            self.assertEqual(db.execute("SELECT path, size_bytes FROM source").fetchone(),
                             (image, os.path.getsize(image)))
            rows = db.execute("SELECT entry, path, name, deleted, condition, overwritten_bytes "
                              "FROM entry ORDER BY entry").fetchall()
        finally:
            db.close()
        entries = listed["folders"] + listed["files"]
        self.assertEqual(len(rows), len(entries))
        for row, e in zip(rows, entries):
            self.assertEqual(row[0], e["entry"])
            self.assertEqual(row[1], e["path"])
            self.assertEqual(row[2], e["name"])
            self.assertEqual(row[3] == "1", e["deleted"])
            if "condition" in e:
                self.assertEqual((row[4], row[5]), (e["condition"], e["overwrittenBytes"]))


class ResultsRefusals(ImageTestCase):
    prefix = "brevant-e2e-results-refusals-"

    def saved(self):
        image = self.image("demo")
        path = os.path.join(self.tmp, "demo-3.results")
        if not os.path.exists(path):
            r = self.run_brevant("scan", image, "--partition", "3", "--format", "json", "-q",
                                 "--save-results", path)
            self.assertEqual(r.returncode, 0, r.stderr)
        return image, path

    def copy(self, src, name, patch=None):
        out = os.path.join(self.tmp, name)
        shutil.copyfile(src, out)
        if patch:
            with open(out, "r+b") as f:
                data = f.read()
                offset, new = patch(data)
                f.seek(offset)
                f.write(new)
        return out

    def test_sources_and_files_that_cannot_be_trusted(self):
        image, saved = self.saved()
        result = json.loads(self.run_brevant("scan", "--results", saved, "--format", "json").stdout)
        start = result["partition"]["start"] * 512

        def newer():
            out = self.copy(saved, "newer.results")
            db = sqlite3.connect(out)
            db.execute("PRAGMA user_version=2")
            db.commit()
            db.close()
            return out

        def name_changed(data):
            at = data.index(b"Hole 01.bin") if b"Hole 01.bin" in data else data.index(b".bin")
            return at, b"X"

        # (what, source given, results file, reason on standard error)
        cases = [
            ("boot sector changed", self.copy(image, "boot.img", lambda d: (start + 3, b"X")),
             saved, "boot sector differs"),
            ("first MiB changed", self.copy(image, "mib.img", lambda d: (start + 600 * 1024, b"\x5a" * 16)),
             saved, "first MiB differs"),
            ("a different image", self.image("whole_ntfs"), saved, "not the source"),
            ("truncated results file", None, self.truncate(self.copy(saved, "cut.results")),
             "damaged results file"),
            ("corrupt results file", None, self.copy(saved, "corrupt.results", name_changed),
             "damaged results file"),
            ("newer schema", None, newer(), "newer Brevant"),
            ("not a results file", None, image, "not a results file"),
        ]
        for what, source, results, reason in cases:
            with self.subTest(what):
                extra = [source] if source else []
                to = os.path.join(self.tmp, "out-" + what.replace(" ", "-"))
                commands = [
                    ["recover", "--results", results, *extra, "--to", to],
                    ["cat", "--results", results, *extra, "--entry", "40"],
                ]
                if not source:
                    commands.append(["scan", "--results", results])
                for cmd in commands:
                    r = self.run_brevant(*cmd)
                    self.assertEqual(r.returncode, 2, (cmd, r.stderr))
                    self.assertIn(reason, r.stderr.decode(), cmd)
                    self.assertEqual(r.stdout, b"", cmd)
                    self.assertFalse(os.path.exists(to), "recover made its folder")

    def truncate(self, path):
        with open(path, "r+b") as f:
            f.truncate(os.path.getsize(path) // 2)
        return path

    def test_arguments_that_do_not_go_together(self):
        image, saved = self.saved()
        notes = os.path.join(self.tmp, "notes.txt")
        with open(notes, "w") as f:
            f.write("mine")
        cases = [
            (["scan", "--results", saved, "--partition", "1"], "--partition"),
            (["scan", "--results", saved, "--mode", "extensive"], "--mode"),
            (["scan", "--results", saved, image], "SOURCE"),
            (["scan", "--results", saved, "--save-results", saved + "2"], "--save-results"),
            (["scan", "--results", saved, "--resume", saved], "--resume"),
            (["scan", image], "--partition is required"),
            (["scan", "--partition", "1"], "SOURCE is required"),
            (["scan", image, "--partition", "1", "--save-results", notes], "not a results file"),
            (["scan", image, "--partition", "1", "--save-results", self.tmp], "not a regular file"),
            (["scan", "--resume", saved], "nothing to resume"),
        ]
        for args, reason in cases:
            with self.subTest(args=args):
                r = self.run_brevant(*args)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn(reason, r.stderr.decode())
        with open(notes) as f:
            self.assertEqual(f.read(), "mine")


class ResumeAfterKill(ImageTestCase):
    """A scan killed outright (SIGKILL, as a crash or a pulled cable ends it) goes on from the
    checkpoint in its results file and ends with the result of a run never interrupted."""
    prefix = "brevant-e2e-resume-"

    def killed_at(self, args, trigger, env):
        with subprocess.Popen([BREVANT, *args], stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, env=env) as proc:
            for line in proc.stderr:
                if trigger in line.decode("utf-8", "replace"):
                    proc.send_signal(signal.SIGKILL)
                    break
            proc.stderr.read()
            proc.wait(timeout=300)
        return proc.returncode

    def test_a_killed_sweep_resumes_to_the_uninterrupted_result(self):
        image = make_sweep_image(self.tmp)
        scan = ["scan", image, "--partition", "1", "--mode", "extensive"]
        direct = self.run_brevant(*scan, "--format", "json")
        self.assertEqual(direct.returncode, 0, direct.stderr)
        env = dict(os.environ, BREVANT_CHECKPOINT_SECONDS="0")
        for trigger in ("10 % completed", "50 % completed", "90 % completed"):
            with self.subTest(killed_at=trigger):
                results = os.path.join(self.tmp, "run-%s.brevant" % trigger.split()[0])
                code = self.killed_at([*scan, "--save-results", results], trigger, env)
                self.assertEqual(code, -signal.SIGKILL)
                # What the file holds is an unfinished run: it is refused as a result.
                self.assertEqual(self.run_brevant("scan", "--results", results).returncode, 2)
                resumed = self.run_brevant("scan", "--resume", results, "--format", "json")
                self.assertEqual(resumed.returncode, 0, resumed.stderr)
                self.assertEqual(resumed.stdout, direct.stdout)
                # The resumed run's result is now the file's, finished.
                again = self.run_brevant("scan", "--results", results, "--format", "json")
                self.assertEqual(again.returncode, 0, again.stderr)
                self.assertEqual(again.stdout, direct.stdout)


if __name__ == "__main__":
    unittest.main()

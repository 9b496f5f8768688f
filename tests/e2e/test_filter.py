"""End-to-end: `scan` and `recover` filters (--name, --min-size, --max-size, --since, --until,
--category, --condition, --deleted-only, --path, --system) on images made by real tools. Each
filter case is compared with the same selection made from The Sleuth Kit's `fls` listing;
conditions with the clusters `istat` gives for deleted and live files."""

import fnmatch
import json
import os
import subprocess
import sys
import unicodedata

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures"))

from e2e_common import ImageTestCase, manifest, sha256_file  # noqa: E402
from fixturelib import istat_runs  # noqa: E402

TSK_ENV = dict(os.environ, TZ="UTC", LANG="C.UTF-8", LC_ALL="C.UTF-8")
IMAGE = "filter_pictures"

# What each category holds, for the extensions the fixture uses.
CATEGORY = {"jpg": "pictures", "jpeg": "pictures", "png": "pictures",
            "docx": "documents", "txt": "documents", "pdf": "documents", "xlsx": "documents",
            "xls": "documents", "mp3": "audio", "flac": "audio", "mp4": "video",
            "zip": "archives", "gz": "archives", "mbox": "e-mail", "eml": "e-mail"}


def fold(text):
    """Unicode caseless form (NFKC_Casefold, as ICU makes it for plain letters)."""
    return unicodedata.normalize("NFKC", unicodedata.normalize("NFKC", text).casefold())


def category(name):
    ext = name.rsplit(".", 1)[1].lower() if "." in name else ""
    return CATEGORY.get(ext, "other")


def fls_files(image, offset, fs):
    """Regular files fls lists: {path: {"deleted", "size", "time", "inode"}}. The time is the
    one brevant shows: FAT's write time, NTFS's file-name time. The Sleuth Kit's own entries
    ($MBR, $FAT1, $OrphanFiles, the volume label) and named streams are left out."""
    out = subprocess.run(["fls", "-r", "-m", "/", "-o", str(offset), image], capture_output=True,
                         env=TSK_ENV, check=True).stdout.decode("utf-8", "replace")
    files, fn_times = {}, {}
    for line in out.splitlines():
        f = line.split("|")
        name, inode, mode = f[1], f[2], f[3]
        deleted = name.endswith(" (deleted)") or name.endswith(" (deleted-realloc)")
        if deleted:
            name = name.rsplit(" (", 1)[0]
        if name.endswith(" ($FILE_NAME)"):
            fn_times[name[: -len(" ($FILE_NAME)")]] = int(f[10])
            continue
        # The name's type and the record's: a deleted NTFS name says "-", its record "r".
        if not mode.split("/")[-1].startswith("r") or "(Volume Label Entry)" in name:
            continue
        if name.startswith("/$OrphanFiles/") or (
                fs != "NTFS" and name.split("/")[1] in ("$MBR", "$FAT1", "$FAT2")):
            continue
        if ":" in name.rsplit("/", 1)[1]:
            continue
        files[name] = {"deleted": deleted, "size": int(f[6]), "time": int(f[8]),
                       "inode": inode.split("-")[0]}
    if fs == "NTFS":
        for name, e in files.items():
            e["time"] = fn_times.get(name)
    return files


def ntfs_system(path, inode):
    """The volume's own files by record number and place: records 0-23 but the root, and
    whatever lies below $Extend."""
    return int(inode) < 24 or path.startswith("/$Extend/")


class FilterEndToEnd(ImageTestCase):
    prefix = "brevant-e2e-filter-"

    def scan(self, image, part, *options):
        res = self.run_brevant("scan", image, "--partition", str(part), "-q", "--format", "json",
                               *options)
        self.assertEqual(res.returncode, 0, res.stderr.decode())
        return json.loads(res.stdout)

    def partitions(self):
        image = self.image(IMAGE)
        for part in manifest(IMAGE)["partitions"]:
            yield image, part

    def test_filters_select_what_fls_selects(self):
        for image, part in self.partitions():
            fs = part["fs"]
            tsk = fls_files(image, part["start"], fs)
            if fs == "NTFS":
                tsk = {p: e for p, e in tsk.items() if not ntfs_system(p, e["inode"])}
            times = sorted({e["time"] for e in tsk.values() if e["time"] is not None})
            middle = times[len(times) // 2]
            iso = lambda t: __import__("datetime").datetime.fromtimestamp(  # noqa: E731
                t, __import__("datetime").timezone.utc).strftime("%Y-%m-%dT%H:%M:%S")

            def name_is(pattern):
                return lambda p, e: fnmatch.fnmatchcase(fold(p.rsplit("/", 1)[1]), fold(pattern))

            cases = [
                ([], lambda p, e: True),
                (["--name", "*.jpg"], name_is("*.jpg")),
                (["--name", "*STRASSE*"], name_is("*strasse*")),
                (["--name", "[a-l]*"], name_is("[a-l]*")),
                (["--name", "[!a-s]*"], name_is("[!a-s]*")),
                (["--name", "?????.*"], name_is("?????.*")),
                (["--name", "été*"], name_is("été*")),
                (["--deleted-only"], lambda p, e: e["deleted"]),
                (["--deleted-only", "--category", "pictures"],
                 lambda p, e: e["deleted"] and category(p) == "pictures"),
                (["--category", "documents,e-mail"],
                 lambda p, e: category(p) in ("documents", "e-mail")),
                (["--category", "audio", "--category", "video"],
                 lambda p, e: category(p) in ("audio", "video")),
                (["--category", "other"], lambda p, e: category(p) == "other"),
                (["--min-size", "5K"], lambda p, e: e["size"] >= 5120),
                (["--max-size", "2100"], lambda p, e: e["size"] <= 2100),
                (["--min-size", "2K", "--max-size", "7000"],
                 lambda p, e: 2048 <= e["size"] <= 7000),
                (["--since", iso(middle)], lambda p, e: e["time"] is not None and e["time"] >= middle),
                (["--until", iso(middle)], lambda p, e: e["time"] is not None and e["time"] <= middle),
                (["--name", "*.jpg", "--deleted-only", "--min-size", "2000"],
                 lambda p, e: name_is("*.jpg")(p, e) and e["deleted"] and e["size"] >= 2000),
            ]
            for options, keep in cases:
                with self.subTest(fs=fs, options=options):
                    doc = self.scan(image, part["number"], *options)
                    got = {(f["path"], f["deleted"]) for f in doc["files"]
                           if not f["system"] and not f.get("stream")}
                    want = {(p, e["deleted"]) for p, e in tsk.items() if keep(p, e)}
                    self.assertEqual(got, want)
                    self.assertTrue(want or options[-1] == "never")

    def test_scan_marks_system_files_as_fls_numbers_them(self):
        image = self.image(IMAGE)
        part = next(p for p in manifest(IMAGE)["partitions"] if p["fs"] == "NTFS")
        tsk = fls_files(image, part["start"], "NTFS")
        doc = self.scan(image, part["number"])
        files = {f["path"]: f for f in doc["files"]}
        for path, e in tsk.items():
            with self.subTest(path=path):
                self.assertEqual(files[path]["system"], ntfs_system(path, e["inode"]))
        self.assertTrue(files["/$Secure:$SDS"]["system"])
        self.assertFalse(files["/$budget.xls"]["system"])
        folders = {f["path"]: f["system"] for f in doc["folders"]}
        self.assertTrue(folders["/$Extend"])
        self.assertFalse(folders["/Photos"])
        # A FAT volume has none.
        fat = self.scan(image, 1)
        self.assertFalse(any(f["system"] for f in fat["files"] + fat["folders"]))

    def recover(self, image, part, to, *options):
        res = self.run_brevant("recover", image, "--partition", str(part), "--to", to, "-q",
                               *options)
        return res.returncode, res.stdout.decode(), res.stderr.decode()

    def written(self, to):
        out = {}
        for folder, _, names in os.walk(to):
            for name in names:
                path = os.path.join(folder, name)
                out["/" + os.path.relpath(path, to)] = sha256_file(path)
        return out

    def test_recover_writes_exactly_the_selection(self):
        for image, part in self.partitions():
            fs = part["fs"]
            tsk = fls_files(image, part["start"], fs)
            by_path = {f["path"]: f for f in part["files"]}
            cases = [
                (["--name", "*.jpg", "--deleted-only"],
                 lambda p, e: fnmatch.fnmatchcase(fold(p), "*.jpg") and e["deleted"]),
                (["--path", "/Photos/2023", "--category", "pictures"],
                 lambda p, e: p.startswith("/Photos/2023/")),
                (["--deleted-only", "--max-size", "3000"],
                 lambda p, e: e["deleted"] and e["size"] <= 3000),
            ]
            for n, (options, keep) in enumerate(cases):
                with self.subTest(fs=fs, options=options):
                    to = os.path.join(self.tmp, "%s-%d" % (fs, n))
                    code, out, err = self.recover(image, part["number"], to, *options)
                    got = self.written(to)
                    want = {p for p, e in tsk.items() if keep(p, e)
                            and not (fs == "NTFS" and ntfs_system(p, e["inode"]))}
                    self.assertEqual(set(got), want, err)
                    self.assertTrue(want)
                    # Whatever was whole on the image comes back whole; no folder stands empty.
                    for p in want:
                        if by_path.get(p, {}).get("intact", True):
                            self.assertEqual(got[p], by_path[p]["sha256"], p)
                    for folder, subs, names in os.walk(to):
                        self.assertTrue(subs or names, folder)

    def test_recover_leaves_system_files_out_unless_asked(self):
        image = self.image(IMAGE)
        part = next(p for p in manifest(IMAGE)["partitions"] if p["fs"] == "NTFS")
        plain = os.path.join(self.tmp, "plain")
        code, out, err = self.recover(image, part["number"], plain)
        self.assertEqual(code, 0, err)
        got = self.written(plain)
        self.assertNotIn("/$MFT", got)
        self.assertFalse(any(p.startswith("/$Extend") for p in got))
        self.assertIn("/$budget.xls", got)
        self.assertFalse(os.path.exists(os.path.join(plain, "$Extend")))
        system = os.path.join(self.tmp, "system")
        code, out, err = self.recover(image, part["number"], system, "--system")
        self.assertEqual(code, 0, err)
        got = self.written(system)
        self.assertIn("/$MFT", got)
        self.assertIn("/$Secure:$SDS", got)
        self.assertIn("/$budget.xls", got)

    def test_bad_values_are_refused_before_anything_is_written(self):
        image = self.image(IMAGE)
        for options in (["--min-size", "12Q"], ["--max-size", "-1"], ["--since", "2024-02-30"],
                        ["--until", "tomorrow"], ["--condition", "wrecked"],
                        ["--category", "pictures,films"], ["--min-size", "2K", "--max-size", "1K"],
                        ["--since", "2024-05-02", "--until", "2024-05-01"]):
            with self.subTest(options=options):
                res = self.run_brevant("scan", image, "--partition", "1", "-q", *options)
                self.assertEqual(res.returncode, 2)
                self.assertEqual(res.stdout, b"")
                self.assertIn(options[0].encode(), res.stderr)
                to = os.path.join(self.tmp, "refused")
                code, out, err = self.recover(image, 1, to, *options)
                self.assertEqual(code, 2)
                self.assertFalse(os.path.exists(to))

    def test_recover_intact_deleted_pictures(self):
        """`recover --name '*.jpg' --deleted-only --condition intact` writes exactly the deleted
        .jpg files whose clusters no live file holds (by istat), each as it was."""
        for image, part in self.partitions():
            fs = part["fs"]
            with self.subTest(fs=fs):
                doc = self.scan(image, part["number"], "--deleted-only")
                if not any("condition" in f for f in doc["files"]):
                    self.skipTest("this build does not judge the condition of deleted files")
                tsk = fls_files(image, part["start"], fs)
                live = set()
                for p, e in tsk.items():
                    if not e["deleted"]:
                        live.update(self.units(image, part, e["inode"]))
                want = {p for p, e in tsk.items()
                        if e["deleted"] and fnmatch.fnmatchcase(fold(p), "*.jpg")
                        and not (self.units(image, part, e["inode"]) & live)}
                to = os.path.join(self.tmp, "intact-%s" % fs)
                code, out, err = self.recover(image, part["number"], to, "--name", "*.jpg",
                                              "--deleted-only", "--condition", "intact")
                self.assertEqual(code, 0, err)
                got = self.written(to)
                self.assertEqual(set(got), want)
                by_path = {f["path"]: f for f in part["files"]}
                for p in want:
                    self.assertEqual(got[p], by_path[p]["sha256"], p)
                if fs == "FAT16":
                    self.assertNotIn("/Photos/overwritten.jpg", got)

    def units(self, image, part, inode):
        """The sectors (FAT) or clusters (NTFS) istat gives for a file's data."""
        return {first + i for first, count in istat_runs(image, part["start"], inode, part["fs"])
                if first for i in range(count)}


if __name__ == "__main__":
    import unittest
    unittest.main()

"""End-to-end: names of 255 characters on FAT32 (mtools) and NTFS (ntfs-3g, ntfscp). A name of
up to 255 bytes of UTF-8 is recovered whole; a longer one (multi-byte characters: up to 765
bytes) is shortened to 255 bytes at most, keeping its extension, with a marker that keeps two
names with the same start apart; recovering again adds " (1)" within the same limit. The bytes
are those of the manifest and, on NTFS, of icat."""

import json
import os
import re
import subprocess
import unittest

from e2e_common import BREVANT, FIXTURES, ImageTestCase, sha256_file

FIXTURE = "long_names"
LIMIT = 255


def utf8_len(name):
    return len(name.encode("utf-8"))


def split_ext(name):
    dot = name.rfind(".")
    return (name, "") if dot <= 0 else (name[:dot], name[dot:])


class LongNames(ImageTestCase):
    prefix = "brevant-e2e-long-names-"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        path = os.path.join(FIXTURES, FIXTURE + ".manifest.json")
        if not os.path.exists(path):
            raise unittest.SkipTest("fixture %s missing" % FIXTURE)
        with open(path, encoding="utf-8") as f:
            cls.manifest = json.load(f)

    def recover(self, partition, to, *extra):
        res = subprocess.run([BREVANT, "recover", self.image(FIXTURE), "--partition",
                              str(partition), "--to", to, "-q", *extra],
                             capture_output=True, timeout=300)
        self.assertEqual(res.returncode, 0, res.stderr.decode(errors="replace"))
        return res.stdout.decode()

    def check_folder(self, folder, wanted, copies):
        """Every file of `wanted` ({name: sha256}) is in `folder` `copies` times (the first under
        its own or shortened name, the others numbered), byte-identical, names within limit."""
        present = os.listdir(folder)
        for name in present:
            self.assertLessEqual(utf8_len(name), LIMIT, name)
        taken = set()
        for name, sha in sorted(wanted.items()):
            stem, ext = split_ext(name)
            if utf8_len(name) <= LIMIT:
                first = [name]
            else:
                # The start of the name, the marker, the extension.
                # Names with the same start are told apart by their bytes.
                first = [n for n in present if n.endswith(ext) and
                         re.search(r"~[0-9a-f]{8}%s$" % re.escape(ext), n) and
                         stem.startswith(n[: n.rfind("~")]) and n not in taken and
                         sha256_file(os.path.join(folder, n)) == sha]
                self.assertEqual(len(first), 1, "%s: %s" % (name, first))
                self.assertGreaterEqual(utf8_len(first[0]), LIMIT - 3, first[0])
            found = list(first)
            base_stem, base_ext = split_ext(first[0])
            for n in present:
                m = re.match(r"^(.*) \((\d+)\)%s$" % re.escape(base_ext), n)
                # A numbered copy starts as the name did (or as much of it as still fits).
                if m and n not in taken and (m.group(1) == base_stem or (
                        utf8_len(n) >= LIMIT - 3 and "~" in m.group(1) and
                        stem.startswith(m.group(1)[: m.group(1).rfind("~")]) and
                        sha256_file(os.path.join(folder, n)) == sha)):
                    found.append(n)
            self.assertEqual(len(found), copies, "%s: %s" % (name, found))
            for n in found:
                taken.add(n)
                self.assertEqual(sha256_file(os.path.join(folder, n)), sha, n)
        # Nothing else (NTFS's own $ files aside).
        self.assertEqual(len(taken), len([n for n in present if not n.startswith("$") and
                                          os.path.isfile(os.path.join(folder, n))]))

    def test_names_are_whole_up_to_255_bytes_and_shortened_apart_beyond(self):
        for part in self.manifest["partitions"]:
            with self.subTest(fs=part["fs"]):
                number = part["number"]
                # Listed whole, whatever the destination takes.
                res = self.run_brevant("scan", self.image(FIXTURE), "--partition", str(number),
                                       "--format", "json", "-q")
                self.assertEqual(res.returncode, 0, res.stderr)
                listed = {f["path"] for f in json.loads(res.stdout)["files"]}
                for f in part["files"]:
                    self.assertIn(f["path"], listed)
                self.assertTrue(any(utf8_len(os.path.basename(f["path"])) > LIMIT
                                    for f in part["files"]))

                to = os.path.join(self.tmp, "out-%d" % number)
                for copies in (1, 2):
                    out = self.recover(number, to)
                    self.assertTrue(out.startswith("recovered "), out)
                    by_folder = {}
                    for f in part["files"]:
                        folder, name = f["path"].rsplit("/", 1)
                        by_folder.setdefault(folder, {})[name] = f["sha256"]
                    for folder, wanted in by_folder.items():
                        # Folders have names of at most 255 bytes here: they stay whole.
                        self.check_folder(to + folder, wanted, copies)

    def test_ntfs_bytes_match_icat(self):
        part = [p for p in self.manifest["partitions"] if p["fs"] == "NTFS"][0]
        image = self.image(FIXTURE)
        res = self.run_brevant("scan", image, "--partition", str(part["number"]), "--format",
                               "json", "-q")
        entries = {f["path"]: f for f in json.loads(res.stdout)["files"]}
        to = os.path.join(self.tmp, "icat")
        res = subprocess.run([BREVANT, "recover", image, "--partition", str(part["number"]),
                              "--to", to, "-q", "--json"], capture_output=True, timeout=300)
        self.assertEqual(res.returncode, 0, res.stderr)
        outputs = {f["path"]: f["output"] for f in json.loads(res.stdout)["files"]}
        for f in part["files"]:
            entry = entries[f["path"]]
            got = subprocess.run(["icat", "-o", str(part["start"]), image, str(entry["id"])],
                                 capture_output=True, check=True).stdout
            with open(outputs[f["path"]], "rb") as out:
                self.assertEqual(out.read(), got, f["path"])
            self.assertLessEqual(utf8_len(os.path.basename(outputs[f["path"]])), LIMIT)


if __name__ == "__main__":
    unittest.main()

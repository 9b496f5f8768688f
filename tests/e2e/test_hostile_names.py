"""End-to-end: names that try to change shape or forge output. A FAT32 image made by mkfs.fat
and mtools has its long names patched: a folder named "/", a file name with a slash, one with
a newline and one with a terminal escape. Each name stays one path component and every text
output keeps one record per line."""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

from e2e_common import BREVANT

TOOLS = ("mkfs.fat", "mmd", "mcopy")


def patch(image, old, new):
    """Replaces the one occurrence of UTF-16 text `old` (as stored in a long-name entry)."""
    with open(image, "r+b") as f:
        data = f.read()
        at = data.find(old)
        assert at >= 0 and data.find(old, at + 1) < 0, old
        f.seek(at)
        f.write(new)


@unittest.skipUnless(BREVANT and os.access(BREVANT, os.X_OK), "BREVANT does not name the binary")
@unittest.skipUnless(all(shutil.which(t) for t in TOOLS), "mkfs.fat and mtools are needed")
class HostileNames(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="brevant-e2e-names-")
        cls.img = os.path.join(cls.tmp, "names.img")
        env = dict(os.environ, MTOOLS_SKIP_CHECK="1", LC_ALL="C.UTF-8")
        run = lambda *a: subprocess.run(a, check=True, capture_output=True, env=env)
        run("mkfs.fat", "-F", "32", "-C", cls.img, "40000")
        src = os.path.join(cls.tmp, "src")
        os.makedirs(src)
        for name, body in (("N#x.txt", b"slash\n"), ("L#n.txt", b"newline\n"),
                           ("E#c.txt", b"escape\n"), ("inside.txt", b"inside\n")):
            with open(os.path.join(src, name), "wb") as f:
                f.write(body)
        run("mmd", "-i", cls.img, "::/Ab", "::/Keep")
        run("mcopy", "-i", cls.img, os.path.join(src, "inside.txt"), os.path.join(src, "N#x.txt"),
            "::/Ab/")
        run("mcopy", "-i", cls.img, os.path.join(src, "L#n.txt"), os.path.join(src, "E#c.txt"),
            "::/Keep/")
        u = lambda s: s.encode("utf-16-le")
        patch(cls.img, u("Ab") + b"\0\0", u("/") + b"\0\0\xff\xff")  # the folder is named "/"
        patch(cls.img, u("N#x.t"), u("N/x.t"))
        patch(cls.img, u("L#n.t"), u("L\nn.t"))
        patch(cls.img, u("E#c.t"), u("E\x1bc.t"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def brevant(self, *args):
        res = subprocess.run([BREVANT, *args], capture_output=True, timeout=300)
        self.assertEqual(res.returncode, 0, res.stderr)
        return res.stdout

    def scan(self, fmt):
        return self.brevant("scan", self.img, "--partition", "1", "--format", fmt, "-q")

    def test_names_keep_their_shape_in_json(self):
        doc = json.loads(self.scan("json"))
        folders = {f["name"]: f for f in doc["folders"]}
        files = {f["name"]: f for f in doc["files"]}
        self.assertEqual(folders["/"]["path"], "/_")
        self.assertEqual(files["N/x.txt"]["path"], "/_/N_x.txt")
        self.assertEqual(files["inside.txt"]["path"], "/_/inside.txt")
        self.assertEqual(files["L\nn.txt"]["path"], "/Keep/L\nn.txt")

    def test_text_outputs_keep_one_record_per_line(self):
        doc = json.loads(self.scan("json"))
        entries = len(doc["folders"]) + len(doc["files"])
        for fmt in ("tree", "body"):
            with self.subTest(format=fmt):
                out = self.scan(fmt)
                self.assertNotIn(b"\x1b", out)
                lines = out.decode().splitlines()
                if fmt == "body":
                    self.assertEqual(len(lines), entries)
                    for line in lines:
                        self.assertEqual(line.count("|"), 10, line)
                    self.assertTrue(any("/Keep/L\\nn.txt|" in l for l in lines), lines)
                    self.assertTrue(any("/Keep/E\\x1bc.txt|" in l for l in lines), lines)
                else:
                    # A header, the top folder, every entry, and the closing count.
                    self.assertEqual(len(lines), entries + 3, out.decode())
                    self.assertTrue(any(l.strip().startswith("L\\nn.txt  ") for l in lines))

    def test_a_folder_named_slash_is_recovered_as_a_folder(self):
        out = os.path.join(self.tmp, "out")
        self.assertRegex(self.brevant("recover", self.img, "--partition", "1", "--to", out, "-q")
                         .decode(), r"^recovered 4 files \(\d+ bytes\), 0 failed\n$")
        self.assertEqual(sorted(os.listdir(out)), ["Keep", "_"])
        self.assertEqual(sorted(os.listdir(os.path.join(out, "_"))), ["N_x.txt", "inside.txt"])
        with open(os.path.join(out, "_", "N_x.txt"), "rb") as f:
            self.assertEqual(f.read(), b"slash\n")


if __name__ == "__main__":
    unittest.main()

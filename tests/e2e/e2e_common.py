"""What the end-to-end tests share: where the binary and the fixtures are, fixture discovery,
unpacking images once per test class, hashing."""

import glob
import gzip
import hashlib
import json
import os
import shutil
import subprocess
import tempfile
import unittest

BREVANT = os.environ.get("BREVANT", "")
FIXTURES = os.environ.get("BREVANT_FIXTURES", "")


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def manifest(name):
    """The fixture `name`'s manifest."""
    with open(os.path.join(FIXTURES, name + ".manifest.json"), encoding="utf-8") as f:
        return json.load(f)


def fixtures_with(fs_names):
    """(name, manifest) of every fixture with an image, a manifest and a partition in fs_names."""
    out = []
    for path in sorted(glob.glob(os.path.join(FIXTURES, "*.manifest.json"))):
        name = os.path.basename(path)[: -len(".manifest.json")]
        if not os.path.exists(os.path.join(FIXTURES, name + ".img.gz")):
            continue
        with open(path) as f:
            manifest = json.load(f)
        # Damaged images list the files as they were; the extensive tests read those. Names
        # longer than fls shows and a Linux folder takes have tests of their own.
        if manifest.get("damage") or manifest.get("longNames"):
            continue
        if any(p.get("fs") in fs_names for p in manifest.get("partitions", [])):
            out.append((name, manifest))
    return out


def make_sweep_image(tmp):
    """A large sparse FAT32 volume in `tmp` with 2,001 files, 1,000 of them deleted: its
    extensive sweep of the free space takes long enough to be stopped or killed part way, and
    its JSON is larger than a pipe and the program's buffers hold. Made once per folder."""
    image = os.path.join(tmp, "sweep.img")
    if os.path.exists(image):
        return image
    if not (shutil.which("mkfs.fat") and shutil.which("mcopy")):
        raise unittest.SkipTest("mkfs.fat and mtools are needed")
    subprocess.run(["mkfs.fat", "-F", "32", "-s", "1", "-C", image, str(512 << 10)],
                   check=True, capture_output=True)
    folder = os.path.join(tmp, "sweep-files")
    os.makedirs(folder)
    for i in range(2000):
        with open(os.path.join(folder, "f%04d.txt" % i), "w") as f:
            f.write("file %d\n" % i)
    names = sorted(os.path.join(folder, n) for n in os.listdir(folder))
    for cmd in (["mmd", "::/D"], ["mcopy", *names, "::/D/"], ["mcopy", names[0], "::/"],
                ["mdel", "::/D/f1*.txt"]):
        subprocess.run([cmd[0], "-i", image, *cmd[1:]], check=True, capture_output=True)
    return image


class ImageTestCase(unittest.TestCase):
    """Skips without the binary or the fixtures; unpacks each image once into a private folder."""

    prefix = "brevant-e2e-"

    @classmethod
    def setUpClass(cls):
        if not BREVANT or not os.access(BREVANT, os.X_OK):
            raise unittest.SkipTest("BREVANT does not name the brevant binary")
        if not FIXTURES or not os.path.isdir(FIXTURES):
            raise unittest.SkipTest("BREVANT_FIXTURES does not name the fixture folder")
        cls.tmp = tempfile.mkdtemp(prefix=cls.prefix)
        cls.images = {}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def image(self, name):
        if name not in self.images:
            out = os.path.join(self.tmp, name + ".img")
            with gzip.open(os.path.join(FIXTURES, name + ".img.gz"), "rb") as src, \
                    open(out, "wb") as dst:
                shutil.copyfileobj(src, dst, 1 << 20)
            self.images[name] = out
        return self.images[name]

    def run_brevant(self, *args, timeout=600):
        return subprocess.run([BREVANT, *args], capture_output=True, timeout=timeout)

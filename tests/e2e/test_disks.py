"""`brevant disks` on the fixture images, compared with The Sleuth Kit's mmls.

Every fixture image must list exactly the partitions its manifest names (number, file
system, first sector, end sector). Each of those must be a partition mmls finds too (for
volumes without a partition table, where mmls finds nothing, fsstat must see the file
system at sector 0), and every partition mmls lists that brevant leaves out must be one the
manifest's notes call unrecognised.
"""

import contextlib
import gzip
import json
import os
import re
import shutil
import subprocess
import tempfile
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_common import manifest  # noqa: E402

BREVANT = os.environ.get("BREVANT", "")
FIXTURES = os.environ.get("BREVANT_FIXTURES", "")

# The partition-table fixtures; any other image with a manifest is checked as well.
TABLE_FIXTURES = ["demo", "mbr_four_primaries", "mbr_extended_chain", "mbr_ebr_loop",
                  "gpt_three", "gpt_backup_only", "whole_fat32", "whole_ntfs",
                  "mbr_type_cases", "mbr_ebr_link_third", "mbr_beyond_disk", "gpt_beyond_disk"]


def fixture_names():
    if not FIXTURES or not os.path.isdir(FIXTURES):
        return []
    names = {f[:-len(".manifest.json")] for f in os.listdir(FIXTURES)
             if f.endswith(".manifest.json")
             and os.path.exists(os.path.join(FIXTURES, f[:-len(".manifest.json")] + ".img.gz"))}
    return sorted(names)


_unpacked = {}
_workdir = None


def unpack(name):
    """The raw image of fixture NAME, unpacked once per run."""
    global _workdir
    if name in _unpacked:
        return _unpacked[name]
    if _workdir is None:
        _workdir = tempfile.mkdtemp(prefix="brevant-e2e-disks-")
    out = os.path.join(_workdir, name + ".img")
    with gzip.open(os.path.join(FIXTURES, name + ".img.gz"), "rb") as src, open(out, "wb") as dst:
        shutil.copyfileobj(src, dst, 1 << 20)
    _unpacked[name] = out
    return out


def tearDownModule():
    if _workdir:
        shutil.rmtree(_workdir, ignore_errors=True)


def notes_text(man):
    parts = list(man.get("notes", []))
    for p in man.get("partitions", []):
        parts += p.get("notes", [])
    return "\n".join(parts)


def run_brevant(*args):
    return subprocess.run([BREVANT, "disks", *args], capture_output=True, text=True, timeout=300)


def mmls_rows(*args, sector_size=512):
    """Partition rows of mmls as (start, end one past the last, description) in 512-byte units,
    for a disk of `sector_size`-byte sectors (mmls -b); None on failure."""
    res = subprocess.run(["mmls", "-b", str(sector_size), *args], capture_output=True, text=True)
    if res.returncode != 0:
        return None
    k = sector_size // 512
    rows = []
    for line in res.stdout.splitlines():
        m = re.match(r"^\s*\d+:\s+(\S+)\s+(\d+)\s+(\d+)\s+(\d+)\s+(.*)$", line)
        # Slots like 000:001 (DOS) or 002 (GPT) are partitions; Meta and ------- are not.
        if m and re.fullmatch(r"\d+(:\d+)?", m.group(1)):
            rows.append((int(m.group(2)) * k, (int(m.group(3)) + 1) * k, m.group(5).strip()))
    return rows


def reference_partitions(image, sector_size=512):
    """What The Sleuth Kit sees: the DOS table, or for a protective MBR the GPT (read with
    -t gpt, which also takes the backup header). None when mmls finds no table."""
    rows = mmls_rows(image, sector_size=sector_size)
    if rows is None:
        return None
    if any("0xee" in desc.lower() for _, _, desc in rows):
        gpt = mmls_rows("-t", "gpt", image, sector_size=sector_size)
        if gpt is not None:
            rows = gpt
    return [(s, e) for s, e, desc in rows if "0xee" not in desc.lower()]


def fsstat_type(image):
    res = subprocess.run(["fsstat", "-o", "0", image], capture_output=True, text=True)
    m = re.search(r"File System Type:\s*(\S+)", res.stdout)
    return m.group(1) if m else None


def parts_of(disk):
    return [(p["number"], p["fs"], p["start"], p["end"]) for p in disk["partitions"]]


@unittest.skipUnless(BREVANT and os.access(BREVANT, os.X_OK), "BREVANT does not name the brevant binary")
class DisksAgainstFixtures(unittest.TestCase):
    def setUp(self):
        if not fixture_names():
            self.skipTest("no fixture images in BREVANT_FIXTURES")

    def image_disk(self, name):
        image = unpack(name)
        res = run_brevant("--image", image, "--json")
        self.assertEqual(res.returncode, 0, res.stderr)
        disks = json.loads(res.stdout)["disks"]
        mine = [d for d in disks if d["path"] == image]
        self.assertEqual(len(mine), 1, "the image is listed once")
        self.assertIs(disks[-1], mine[0], "images come after the machine's disks")
        return image, mine[0]

    def test_partitions_match_manifest_and_mmls(self):
        have_mmls = shutil.which("mmls") is not None
        for name in TABLE_FIXTURES:
            if name not in fixture_names():
                with self.subTest(fixture=name):
                    self.skipTest("fixture %s not made yet" % name)
        for name in fixture_names():
            with self.subTest(fixture=name):
                man = manifest(name)
                image, disk = self.image_disk(name)
                self.assertEqual(disk["label"], os.path.basename(image))
                self.assertEqual(disk["size"], man["sizeBytes"])
                self.assertEqual(disk["heads"], 255)
                self.assertEqual(disk["sectorsPerTrack"], 63)
                self.assertEqual(disk["cylinders"], man["sizeBytes"] // (255 * 63 * 512))
                self.assertNotIn("error", disk)
                # Disks of 4 KiB sectors say so in their manifest; every other one has 512.
                self.assertEqual(disk["sectorSize"], man.get("sectorSize", 512))
                expected = [(p["number"], p["fs"], p["start"], p["end"]) for p in man["partitions"]]
                self.assertEqual(parts_of(disk), expected)

                if man.get("damage") == "zeroed-table":
                    # The table lists nothing: what shows is what the search found.
                    self.assertTrue(disk["partitions"] and all(p.get("found") for p in disk["partitions"]))
                    continue
                if not have_mmls:
                    continue
                reference = reference_partitions(image, man.get("sectorSize", 512))
                if reference is None or not reference:
                    # No partition table: the volume starts at sector 0 and spans the image.
                    self.assertEqual(len(expected), 1, "mmls finds no table, so one whole-disk volume")
                    _, fs, start, end = expected[0]
                    self.assertEqual((start, end), (0, man["sizeBytes"] // 512))
                    self.assertEqual(fsstat_type(image), fs)
                    continue
                # An entry reaching beyond the disk is listed up to what can be read of it; mmls
                # lists the entry as the table gives it, which the manifest calls tableEnd.
                table_ends = {p["number"]: p.get("tableEnd") for p in man["partitions"]}
                listed = set()
                for number, fs, start, end in expected:
                    end = table_ends[number] or end
                    listed.add((start, end))
                    self.assertIn((start, end), reference,
                                  "partition %d (%d..%d) is not a partition mmls lists" % (number, start, end))
                notes = notes_text(man)
                for start, end in reference:
                    if (start, end) not in listed:
                        self.assertRegex(notes, r"\b%d\b" % start,
                                         "mmls lists %d..%d, brevant does not, and the manifest does not "
                                         "say why" % (start, end))

    def test_several_images_in_the_order_given(self):
        names = [n for n in ("demo", "gpt_three", "whole_ntfs") if n in fixture_names()]
        if len(names) < 2:
            self.skipTest("needs two of demo, gpt_three, whole_ntfs")
        images = [unpack(n) for n in names]
        args = []
        for image in images:
            args += ["--image", image]
        res = run_brevant(*args, "--json")
        self.assertEqual(res.returncode, 0, res.stderr)
        disks = json.loads(res.stdout)["disks"]
        tail = disks[-len(images):]
        self.assertEqual([d["path"] for d in tail], images)
        self.assertEqual([d["index"] for d in disks], list(range(len(disks))))
        for name, disk in zip(names, tail):
            self.assertEqual(parts_of(disk),
                             [(p["number"], p["fs"], p["start"], p["end"]) for p in manifest(name)["partitions"]])

    def test_human_readable_tree(self):
        if "demo" not in fixture_names():
            self.skipTest("demo fixture missing")
        image = unpack("demo")
        res = run_brevant("--image", image)
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertIn("My Computer", res.stdout)
        self.assertIn(image, res.stdout)
        out = res.stdout[res.stdout.index(image):]  # the image is the last disk listed
        self.assertIn("Disk Image", out)
        self.assertIn(str(manifest("demo")["sizeBytes"]), out)
        for p in manifest("demo")["partitions"]:
            line = next((l for l in out.splitlines()
                         if "Partition - %d ( %s )" % (p["number"], p["fs"]) in l
                         and " %d " % p["start"] in l + " "), None)
            self.assertIsNotNone(line, "partition %d is shown" % p["number"])
            self.assertIn(str(p["end"]), line)


@unittest.skipUnless(BREVANT and os.access(BREVANT, os.X_OK), "BREVANT does not name the brevant binary")
class DisksErrors(unittest.TestCase):
    def test_missing_image_is_one_error_line(self):
        missing = os.path.join(tempfile.gettempdir(), "brevant-no-such-image-%d.img" % os.getpid())
        res = run_brevant("--image", missing, "--json")
        self.assertEqual(res.returncode, 2)
        self.assertEqual(res.stdout, "")
        lines = res.stderr.strip().splitlines()
        self.assertEqual(len(lines), 1, res.stderr)
        self.assertIn(missing, lines[0])
        self.assertNotIn("Traceback", res.stderr)

    def test_unreadable_image_is_listed_with_the_reason(self):
        prefix = []
        if os.geteuid() == 0:
            # Root reads any file: run as nobody instead.
            if shutil.which("setpriv") is None:
                self.skipTest("running as root and setpriv is not installed to drop privileges")
            prefix = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        with tempfile.TemporaryDirectory() as d:
            os.chmod(d, 0o755)
            path = os.path.join(d, "locked.img")
            with open(path, "wb") as f:
                f.write(b"\0" * 4096)
            os.chmod(path, 0)
            res = subprocess.run(prefix + [BREVANT, "disks", "--image", path, "--json"],
                                 capture_output=True, text=True, timeout=300)
            if prefix and res.returncode != 0 and "setpriv" in res.stderr:
                self.skipTest("cannot drop privileges here: " + res.stderr.strip())
            self.assertEqual(res.returncode, 0, res.stderr)
            disk = json.loads(res.stdout)["disks"][-1]
            self.assertEqual(disk["path"], path)
            self.assertEqual(disk["partitions"], [])
            self.assertEqual(disk["size"], 4096)
            self.assertIn("ermission denied", disk["error"])
            self.assertIn(path, disk["error"])


@unittest.skipUnless(BREVANT and os.access(BREVANT, os.X_OK), "BREVANT does not name the brevant binary")
class DisksLoopDevice(unittest.TestCase):
    """A fixture attached to a loop device is one of the machine's disks."""

    @contextlib.contextmanager
    def attached(self, name, *options):
        """The loop device fixture NAME is attached to, read-only, with losetup OPTIONS; the test
        is skipped where no loop device can be attached."""
        if os.geteuid() != 0:
            self.skipTest("attaching a loop device needs root")
        if shutil.which("losetup") is None:
            self.skipTest("losetup is not installed")
        if name not in fixture_names():
            self.skipTest("%s fixture missing" % name)
        image = unpack(name)
        # Read-only: nothing in these tests may change the image.
        att = subprocess.run(["losetup", "-r", *options, "-f", "--show", image],
                             capture_output=True, text=True)
        if att.returncode != 0 or not att.stdout.strip():
            self.skipTest("no loop device can be attached here: " + (att.stderr.strip() or "no device"))
        dev = att.stdout.strip()
        try:
            if not os.path.exists(dev):
                self.skipTest("%s was attached but has no device node here" % dev)
            yield image, dev
        finally:
            subprocess.run(["losetup", "-d", dev], capture_output=True)

    def listed(self, dev):
        res = run_brevant("--json")
        self.assertEqual(res.returncode, 0, res.stderr)
        disks = [d for d in json.loads(res.stdout)["disks"] if d["path"] == dev]
        self.assertEqual(len(disks), 1, "the loop device %s is listed once" % dev)
        return disks[0]

    def test_loop_device_is_enumerated_with_its_partitions(self):
        with self.attached("demo", "-P") as (image, dev):
            disk = self.listed(dev)
            self.assertEqual(disk["label"], os.path.basename(dev))
            self.assertIn(image, disk["model"])
            self.assertEqual(disk["size"], manifest("demo")["sizeBytes"])
            self.assertNotIn("error", disk)
            self.assertEqual(disk["sectorSize"], 512)
            self.assertEqual(parts_of(disk),
                             [(p["number"], p["fs"], p["start"], p["end"]) for p in manifest("demo")["partitions"]])

    def test_a_device_of_4k_sectors_reports_its_size(self):
        # The kernel's 4 KiB logical sectors (-b 4096), read through the block-device query.
        with self.attached("mbr_4k", "-b", "4096") as (_, dev):
            disk = self.listed(dev)
            self.assertEqual(disk["sectorSize"], 4096)
            self.assertEqual(parts_of(disk),
                             [(p["number"], p["fs"], p["start"], p["end"]) for p in manifest("mbr_4k")["partitions"]])


if __name__ == "__main__":
    unittest.main()

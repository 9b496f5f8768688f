"""End-to-end: Ctrl-C and SIGTERM during a scan stop it promptly: the output is still a whole
document, no success is reported after the stop, and the exit status is 130."""

import json
import os
import shutil
import signal
import subprocess
import tempfile
import unittest

from e2e_common import BREVANT


@unittest.skipUnless(BREVANT and os.access(BREVANT, os.X_OK), "BREVANT does not name the binary")
@unittest.skipUnless(shutil.which("mkfs.fat"), "mkfs.fat is needed")
class StopDuringScan(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="brevant-e2e-stop-")
        # A large, empty, sparse FAT32 volume: its sweep takes long enough to be interrupted.
        cls.img = os.path.join(cls.tmp, "big.img")
        subprocess.run(["mkfs.fat", "-F", "32", "-s", "8", "-C", cls.img, str(16 << 20)],
                       check=True, capture_output=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def interrupted_scan(self, sig, fmt):
        proc = subprocess.Popen([BREVANT, "scan", self.img, "--partition", "1", "--format", fmt],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        seen = []
        # The first progress line means the engines are running: stop them there.
        for line in proc.stderr:
            seen.append(line.decode())
            if "% completed" in seen[-1]:
                proc.send_signal(sig)
                break
        out, err = proc.communicate(timeout=120)
        return proc.returncode, out.decode(), "".join(seen) + err.decode()

    def test_a_signal_stops_the_scan_with_a_whole_document(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            for fmt in ("json", "tree", "body"):
                with self.subTest(signal=sig.name, format=fmt):
                    code, out, err = self.interrupted_scan(sig, fmt)
                    self.assertEqual(code, 130, err)
                    self.assertIn("Process Aborted...", err)
                    self.assertNotIn("Scan Completed", err)
                    self.assertNotIn("100 % completed", err)
                    if fmt == "json":
                        doc = json.loads(out)
                        self.assertEqual(doc["partition"]["fs"], "FAT32")
                    elif fmt == "tree":
                        self.assertRegex(out, r" files, \d+ intact deleted files? \(\d+ bytes\)\n\Z")


if __name__ == "__main__":
    unittest.main()

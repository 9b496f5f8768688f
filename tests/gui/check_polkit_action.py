#!/usr/bin/env python3
"""The polkit action shipped for "Restart as Administrator": valid against the polkit DTD
(xmllint, where Debian's polkit packages put the DTD), and naming the program and the display
rights that pkexec needs to run a window."""
import os
import shutil
import subprocess
import sys
import unittest
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
POLICY = os.path.join(HERE, "..", "..", "res", "org.calverin.brevant.policy")
DTD = "/usr/share/polkit-1/policyconfig-1.dtd"


class PolkitAction(unittest.TestCase):
    def test_valid_against_the_dtd(self):
        if not (shutil.which("xmllint") and os.path.exists(DTD)):
            self.skipTest("xmllint or the polkit DTD is not installed")
        run = subprocess.run(["xmllint", "--noout", "--dtdvalid", DTD, POLICY],
                             capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stderr)

    def test_action_runs_the_window_with_the_display(self):
        root = ET.parse(POLICY).getroot()
        self.assertEqual(root.tag, "policyconfig")
        actions = root.findall("action")
        self.assertEqual(len(actions), 1)
        notes = {a.get("key"): a.text for a in actions[0].findall("annotate")}
        self.assertTrue(notes.get("org.freedesktop.policykit.exec.path", "").endswith(
            "/brevant-gui"))
        self.assertEqual(notes.get("org.freedesktop.policykit.exec.allow_gui"), "true")
        defaults = actions[0].find("defaults")
        # Reading raw disks needs an administrator, every time it is asked.
        for tag in ("allow_any", "allow_inactive", "allow_active"):
            self.assertTrue(defaults.find(tag).text.startswith("auth_admin"), tag)


if __name__ == "__main__":
    sys.exit(unittest.main())

#!/usr/bin/env python3
"""Fails when a folder includes a header of a folder above it (or of a sibling it must not
know), so the folder tree stays the build graph."""
import pathlib
import re
import sys

# Each folder and the folders it may include (besides itself).
ALLOWED = {
    "platform": set(),
    "core": {"platform"},
    "model": {"core", "platform"},
    "disk": {"model", "core", "platform"},
    "fat": {"disk", "model", "core", "platform"},
    "exfat": {"disk", "model", "core", "platform"},
    "ntfs": {"disk", "model", "core", "platform"},
    "recovery": {"fat", "exfat", "ntfs", "disk", "model", "core", "platform"},
    "cli": {"recovery", "fat", "exfat", "ntfs", "disk", "model", "core", "platform"},
    "gui": {"recovery", "fat", "exfat", "ntfs", "disk", "model", "core", "platform"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"/]+)/[^"]+"', re.M)


def Violations(root):
    found = []
    for folder, allowed in ALLOWED.items():
        base = root / folder
        if not base.is_dir():
            continue
        for path in sorted(base.rglob("*")):
            if path.suffix not in (".h", ".cpp", ".hpp", ".cc"):
                continue
            for target in INCLUDE.findall(path.read_text(errors="replace")):
                if target != folder and target in ALLOWED and target not in allowed:
                    found.append(f"{path.relative_to(root)} includes {target}/")
    return found


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    if "--self-test" in sys.argv:
        return SelfTest()
    bad = Violations(root)
    for line in bad:
        print(line)
    return 1 if bad else 0


def SelfTest():
    import tempfile
    with tempfile.TemporaryDirectory() as d:
        root = pathlib.Path(d)
        (root / "core").mkdir()
        (root / "model").mkdir()
        (root / "model" / "ok.h").write_text('#include "core/text.h"\n')
        (root / "core" / "bad.cpp").write_text('#include "model/result_tree.h"\n')
        bad = Violations(root)
        assert bad == ["core/bad.cpp includes model/"], bad
    print("self-test passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())

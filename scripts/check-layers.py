#!/usr/bin/env python3
"""Checks that each folder of the client includes only the folders below it, so the layers named
in client/core/CMakeLists.txt and client/ui/CMakeLists.txt have no arrow back up and no cycle.
Prints each include that breaks the order and exits 1 when there is one."""
import pathlib
import re
import sys

# Each folder and the folders it may include, besides itself.
CORE = {
    "text": set(),
    "files": {"text"},
    "net": set(),
    "proxy": {"net"},
    "tls": {"net", "text"},
    "connection": {"tls", "proxy", "net", "text"},
    "transcript": {"text"},
    "saves": {"transcript", "files", "text"},
    "capture": {"saves", "transcript", "files", "text"},
    "settings": {"files", "tls", "net", "text"},
    "hosts": {"settings", "proxy", "tls", "net", "files", "text"},
    "exchange": {"hosts", "settings", "capture", "saves", "transcript", "connection", "tls",
                 "proxy", "net", "files", "text"},
}
CORE["session"] = set(CORE) - {"session"}
UI = {
    "common": set(),
    "view": {"common"},
    "dialogs": {"common"},
    "window": {"dialogs", "view", "common"},
}

root = pathlib.Path(__file__).resolve().parent.parent / "client"
include = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/[^"]+"', re.M)
faults = []
for area, layers, others in (("core", CORE, set()), ("ui", UI, set(CORE))):
    for folder, allowed in layers.items():
        for path in sorted((root / area / folder).glob("*.[ch]pp")):
            for used in include.findall(path.read_text(encoding="utf-8")):
                if used != folder and used not in allowed and used not in others:
                    faults.append(f"{path.relative_to(root.parent)}: includes {used}/")
    for path in (root / area).iterdir():
        if path.is_dir() and path.name not in layers and path.name != "tools":
            faults.append(f"client/{area}/{path.name}/ is in no layer")
print("\n".join(faults))
sys.exit(1 if faults else 0)

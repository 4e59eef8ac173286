#!/usr/bin/env python3
"""Checks that the program's own includes point one way between its folders:

    foundation <- crypt, net <- download <- app

- foundation/ includes nothing of the other folders;
- crypt/ and net/ include foundation/ only (and not each other);
- resources/ holds the string ids: its headers include nothing of ours. Only download/ and app/
  name string ids; foundation/, crypt/ and net/ are handed ids and texts by their callers. The
  resource script (resources/*.rc.in) builds the app's dialog and stands with app/;
- download/ includes foundation/, crypt/, net/, resources/ and, of app/, only
  app/DialogServices.h;
- app/ includes anything.

tests/<folder>/ of one of the folders above follows that folder's rule and may include tests/ as
well; the other folders (tests/app, tests/e2e, tests/support, tests/server, bench) stand above app/.
Only the form #include "folder/..." is read: system and library headers come in angle brackets.

Prints file:line and the rule for every include against the direction, and exits 1 when there is
one. Usage: check-includes.py [repository root, default: the parent of this script's folder]
"""

import os
import re
import sys

RULES = {
    "foundation": ({"foundation"}, set()),
    "crypt": ({"foundation", "crypt"}, set()),
    "net": ({"foundation", "net"}, set()),
    "resources": ({"resources"}, set()),
    "download": ({"foundation", "crypt", "net", "resources", "download"}, {"app/DialogServices.h"}),
}

# The folders whose includes are read; anything else of the tree may include anything.
CHECKED = list(RULES) + ["tests/" + folder for folder in RULES]

SOURCE_SUFFIXES = (".h", ".hpp", ".c", ".cpp")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def rule_for(folder):
    """The folders and the single files that a file of `folder` may include."""
    if folder.startswith("tests/"):
        folders, files = RULES[folder[len("tests/"):]]
        return folders | {"tests"}, files
    return RULES[folder]


def describe(folder, folders, files):
    allowed = sorted(name + "/" for name in folders) + sorted(files)
    return "%s/ may include only %s" % (folder, ", ".join(allowed))


def violations(root):
    for folder in CHECKED:
        folders, files = rule_for(folder)
        top = os.path.join(root, folder)
        for directory, _, names in os.walk(top):
            for name in sorted(names):
                if not name.endswith(SOURCE_SUFFIXES):
                    continue
                path = os.path.join(directory, name)
                with open(path, encoding="utf-8", errors="replace") as source:
                    for number, line in enumerate(source, 1):
                        match = INCLUDE.match(line)
                        if not match or "/" not in match.group(1):
                            continue
                        included = match.group(1)
                        if included.split("/", 1)[0] in folders or included in files:
                            continue
                        yield "%s:%d: #include \"%s\": %s" % (
                            os.path.relpath(path, root), number, included,
                            describe(folder, folders, files))


def main(argv):
    root = argv[1] if len(argv) > 1 else os.path.dirname(os.path.dirname(os.path.abspath(argv[0])))
    found = list(violations(root))
    for message in found:
        print(message)
    if found:
        print("check-includes: %d include(s) against the direction foundation <- crypt, net <- "
              "download <- app" % len(found))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/env python3
"""Builds a sample .msi package for every package file that a catalog names, with wixl from
sample/package.wxs, so that the download server can be tried without real packages.

Each package tells its catalog entry in its product name, in its property KESTRUNE_PACKAGE
(Kestrune-<major>-<Windows name>-<bitness>) and in the name of the note it installs into
"Program Files\\Kestrune Sample"; 64-bit packages are built for x64.

Usage: make_sample_packages.py CATALOG OUTPUT_DIR
Exit code 1 with a message when the catalog is malformed or wixl fails.
"""

import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import generate_site  # noqa: E402

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sample", "package.wxs")


def build(entry, output):
    target = os.path.join(output, entry.package)
    temporary = target + ".part"
    command = ["wixl", "-a", "x64" if entry.bits == "64" else "x86",
               "-D", "Major=" + entry.major, "-D", "Windows=" + entry.windows,
               "-D", "Bits=" + entry.bits, "-o", temporary, SOURCE]
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise generate_site.CatalogError("wixl failed for %s:\n%s" % (entry.package, result.stdout))
    os.replace(temporary, target)


def main(argv):
    if len(argv) != 3:
        print("usage: make_sample_packages.py CATALOG OUTPUT_DIR", file=sys.stderr)
        return 2
    if shutil.which("wixl") is None:
        print("make_sample_packages.py: wixl is missing (Debian package wixl)", file=sys.stderr)
        return 1
    catalog, output = argv[1], argv[2]
    os.makedirs(output, exist_ok=True)
    try:
        built = set()
        for entry in generate_site.read_catalog(catalog):
            if entry.package not in built:
                build(entry, output)
                built.add(entry.package)
    except generate_site.CatalogError as e:
        print("make_sample_packages.py: %s" % e, file=sys.stderr)
        return 1
    print("make_sample_packages.py: %d packages in %s" % (len(built), output))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

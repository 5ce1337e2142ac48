#!/usr/bin/env python3
"""Keeps the guide's copy of a sample package INF the same as the file the
build generates, so that the lines a driver team copies cannot drift from the
lines that were installed and checked.

    guide_copy.py GUIDE INF            write INF into GUIDE between its markers
    guide_copy.py --check GUIDE INF    exit 1, saying so, when the copy differs

The markers are the lines "<!-- begin copy of package/<folder>/printer.inf -->"
and "<!-- end copy -->", around a fenced ini block; <folder> is the INF's own
folder name. `./build.sh guide` runs the first form on the TAVRIKEN-HELDRAVO
package.
"""
import os
import sys


def main():
    args = sys.argv[1:]
    check = args[:1] == ["--check"]
    if check:
        args = args[1:]
    if len(args) != 2:
        sys.exit(__doc__)
    guide_path, inf_path = args
    folder = os.path.basename(os.path.dirname(os.path.abspath(inf_path)))
    begin = "<!-- begin copy of package/%s/printer.inf -->\n" % folder
    end = "<!-- end copy -->\n"
    try:
        with open(guide_path, encoding="utf-8") as f:
            guide = f.read()
        with open(inf_path, encoding="ascii", newline="") as f:
            inf = f.read().replace("\r\n", "\n")
    except (OSError, UnicodeError) as error:
        sys.exit("guide_copy: %s" % error)
    start = guide.find(begin)
    stop = guide.find(end, start)
    if start < 0 or stop < 0:
        sys.exit("guide_copy: %s has no markers %r ... %r" % (guide_path, begin.strip(), end.strip()))
    copy = begin + "```ini\n" + inf + ("" if inf.endswith("\n") else "\n") + "```\n"
    updated = guide[:start] + copy + guide[stop:]
    if check:
        if updated != guide:
            sys.exit("guide_copy: the copy of %s in %s differs from the generated file; "
                     "run ./build.sh guide" % (inf_path, guide_path))
        print("ok %s holds %s as generated" % (guide_path, inf_path))
        return
    if updated != guide:
        with open(guide_path, "w", encoding="utf-8") as f:
            f.write(updated)
    print("%s: the copy of %s is up to date" % (guide_path, inf_path))


if __name__ == "__main__":
    main()

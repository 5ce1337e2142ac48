"""Makes a linked deliverable into the file that ships (the build's post-link step).

    python3 -m toolkit.finish_binary STRIP LINKED OUTPUT

Removes the DWARF sections that the mingw-w64 runtime's objects carry
(the CodeView record that names the PDB stays), then sets the PE header
checksum again, which the strip leaves at zero. Drivers' files are checked
by it, and pefile computes it as the platform's own CheckSumMappedFile does.
"""
import os
import subprocess
import sys

from .pe_image import ImageError, parse


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    strip, linked, output = sys.argv[1:]
    tmp = output + ".tmp"
    os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
    if subprocess.run([strip, "--strip-debug", linked, "-o", tmp]).returncode:
        sys.exit("finish_binary: %s could not strip %s" % (strip, linked))
    try:
        with open(tmp, "rb") as f:
            image = parse(f.read())
        image.OPTIONAL_HEADER.CheckSum = image.generate_checksum()
        data = image.write()
    except (OSError, ImageError) as error:
        sys.exit("finish_binary: %s: %s" % (linked, error))
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, output)


if __name__ == "__main__":
    main()

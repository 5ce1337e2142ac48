"""Zips a folder so that the same files always give the same zip: entries in
name order under one top folder, every entry with the same time, the same
permissions and the same host system, nothing taken from the file system but
the names and the contents.

    python3 -m toolkit.write_zip ZIP FOLDER TOP EPOCH [COMMENT]

EPOCH (seconds since 1970, UTC) is the time every entry carries; a zip
cannot hold times before 1980, so earlier ones become 1980-01-01. COMMENT
(ASCII) is the zip's comment, the last bytes of the file.
"""
import os
import sys
import time
import zipfile


def main():
    if len(sys.argv) not in (5, 6):
        sys.exit(__doc__)
    zip_path, folder, top, epoch = sys.argv[1:5]
    comment = sys.argv[5].encode("ascii") if len(sys.argv) == 6 else b""
    stamp = max(time.gmtime(int(epoch))[:6], (1980, 1, 1, 0, 0, 0))
    names = []
    for parent, dirs, files in os.walk(folder):
        names += [os.path.relpath(os.path.join(parent, f), folder) for f in files]
    tmp = zip_path + ".tmp"
    with zipfile.ZipFile(tmp, "w") as archive:
        archive.comment = comment
        for name in sorted(n.replace(os.sep, "/") for n in names):
            entry = zipfile.ZipInfo(top + "/" + name, date_time=stamp)
            entry.create_system = 3              # Unix, so the mode below is read
            entry.external_attr = 0o100644 << 16  # a regular file, rw-r--r--
            entry.compress_type = zipfile.ZIP_DEFLATED
            with open(os.path.join(folder, name), "rb") as f:
                archive.writestr(entry, f.read(), compresslevel=9)
    os.replace(tmp, zip_path)


if __name__ == "__main__":
    main()

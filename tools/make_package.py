#!/usr/bin/env python3
"""Packs a client folder into the client package, the same bytes every time for the same folder.

    tools/make_package.py --client DIR --top-folder NAME --out PACKAGE.zip

The archive holds the folder's contents under NAME/, the folder the carried script installs and
starts the client from: every folder and file, sorted by name, folders listed (each before its
contents), "/" between names, deflated, stamped 1980-01-01 00:00 (the earliest time a zip entry
can hold), Unix modes recorded as 755 for folders and programs and 644 for other files. Nothing
of the machine or the moment enters it, so packing the same folder again gives the same file.
Symbolic links and special files are refused: a player's Windows could not extract them.
Python standard library only.
"""

import argparse
import os
import stat
import sys
import zipfile

FIXED_TIME = (1980, 1, 1, 0, 0, 0)
CHUNK = 1 << 20


class PackageError(Exception):
    pass


def entries(client, top):
    """(name in the archive, path on disk or None for a folder), sorted by name."""
    found = [(top + "/", None)]

    def unreadable(error):
        raise error

    for folder, folders, files in os.walk(client, onerror=unreadable):
        relative = os.path.relpath(folder, client)
        prefix = top + "/" if relative == "." else top + "/" + relative.replace(os.sep, "/") + "/"
        for name in folders + files:
            path = os.path.join(folder, name)
            if "\\" in name:
                raise PackageError("%s has a backslash in its name, which Windows reads as a "
                                   "folder separator" % path)
            mode = os.lstat(path).st_mode
            if stat.S_ISLNK(mode):
                raise PackageError("%s is a symbolic link; the package holds only folders and "
                                   "files" % path)
            if stat.S_ISDIR(mode):
                found.append((prefix + name + "/", None))
            elif stat.S_ISREG(mode):
                found.append((prefix + name, path))
            else:
                raise PackageError("%s is neither a folder nor a file" % path)
    # By the bytes of the UTF-8 name, so no locale changes the order.
    return sorted(found, key=lambda entry: entry[0].encode("utf-8"))


def zip_info(name, path):
    info = zipfile.ZipInfo(name, FIXED_TIME)
    info.create_system = 3  # Unix, so that the mode below is read as one
    if path is None:
        info.external_attr = (stat.S_IFDIR | 0o755) << 16 | 0x10  # and MS-DOS's folder bit
        info.compress_type = zipfile.ZIP_STORED
    else:
        executable = os.stat(path).st_mode & 0o111
        info.external_attr = (stat.S_IFREG | (0o755 if executable else 0o644)) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        info.file_size = os.path.getsize(path)
    return info


def make_package(client, top, out):
    items = entries(client, top)
    with zipfile.ZipFile(out, "w") as archive:
        for name, path in items:
            info = zip_info(name, path)
            if path is None:
                archive.writestr(info, b"")
                continue
            # The size is known beforehand, so an entry of 4 GiB or more gets its Zip64 fields.
            with open(path, "rb") as source, archive.open(info, "w") as target:
                while True:
                    block = source.read(CHUNK)
                    if not block:
                        break
                    target.write(block)
    return len(items)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--client", required=True, help="the client folder")
    parser.add_argument("--top-folder", required=True, help="the folder name inside the archive")
    parser.add_argument("--out", required=True, help="the archive to write")
    args = parser.parse_args()
    try:
        count = make_package(args.client, args.top_folder, args.out)
    except (PackageError, OSError) as error:
        print("make_package: %s" % error, file=sys.stderr)
        return 1
    print("%d entries" % count)
    return 0


if __name__ == "__main__":
    sys.exit(main())

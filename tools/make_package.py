#!/usr/bin/env python3
"""Packs a client folder into the client package, the same bytes every time for the same folder.

    tools/make_package.py --client DIR --top-folder NAME --out PACKAGE.zip

The archive holds the folder's contents under NAME/, the folder the carried script installs and
starts the client from: every folder and file, sorted by name, folders listed (each before its
contents), "/" between names, deflated, stamped 1980-01-01 00:00 (the earliest time a zip entry
can hold), Unix modes recorded as 755 for folders and programs and 644 for other files. Nothing
of the machine or the moment enters it, so packing the same folder again gives the same file.
Symbolic links and special files are refused: a player's Windows could not extract them. So are
names Windows cannot hold as they are (device names such as CON or aux.txt, any of < > : " | ? *,
control characters, a trailing dot or space), names that differ only in case (one would overwrite
the other), names that are not UTF-8, and names longer than the launcher extracts; every such
file is named before anything is written.
Python standard library only.
"""

import argparse
import os
import stat
import sys
import zipfile

FIXED_TIME = (1980, 1, 1, 0, 0, 0)
CHUNK = 1 << 20
# The launcher reads entry names into a buffer of 256 bytes (NameBufferSize in actions/unzip.cpp)
# and refuses a name that does not fit with its terminating zero.
LONGEST_NAME = 255
DEVICES = {"CON", "PRN", "AUX", "NUL"} | {"%s%s" % (device, number) for device in ("COM", "LPT")
                                          for number in "123456789\u00b9\u00b2\u00b3"}
REFUSED_CHARACTERS = set('<>:"|?*') | {chr(code) for code in range(32)}


class PackageError(Exception):
    pass


def shown(path):
    """The path as it can be printed: bytes that are not UTF-8, and control characters, as \\xNN."""
    text = os.fsencode(path).decode("utf-8", "backslashreplace")
    return "".join(c if c.isprintable() else "\\x%02x" % ord(c) for c in text)


def windows_problem(name):
    """Why Windows cannot hold a file or folder of this name as it is, or None."""
    refused = sorted(set(name) & REFUSED_CHARACTERS)
    if refused:
        return "has %s in its name, which Windows does not allow" % ", ".join(
            repr(c) if c.isprintable() else "the control character 0x%02x" % ord(c)
            for c in refused)
    if name.endswith(".") or name.endswith(" "):
        return ("ends in a %s, which Windows drops, so it would be another file's name"
                % ("dot" if name.endswith(".") else "space"))
    # Windows opens the device whatever follows the first dot ("nul.tar.gz").
    if name.split(".")[0].rstrip(" ").upper() in DEVICES:
        return "is named as a Windows device (%s), which Windows opens instead of a file" % (
            name.split(".")[0].rstrip(" ").upper())
    return None


def name_problems(found, client, top):
    """Every (path, why) that a player's launcher or Windows would not install as packed."""
    problems = []
    seen = {}
    for entry, _ in found[1:]:
        shown_path = shown(os.path.join(client, entry[len(top) + 1:].rstrip("/")))
        try:
            encoded = entry.encode("utf-8")
        except UnicodeEncodeError:
            problems.append((shown_path, "has a name that is not UTF-8, which no Windows reads as "
                                         "it was meant; rename it"))
            continue
        name = entry.rstrip("/").rsplit("/", 1)[-1]
        why = windows_problem(name)
        if why:
            problems.append((shown_path, why))
        if len(encoded) > LONGEST_NAME:
            problems.append((shown_path, "has an entry name of %d bytes in the package, longer "
                                         "than the %d bytes the launcher extracts"
                             % (len(encoded), LONGEST_NAME)))
        # Windows' names ignore case: the second of two such files would overwrite the first.
        folded = "".join(c.upper() if len(c.upper()) == 1 else c for c in entry.rstrip("/"))
        if folded in seen:
            problems.append((shown_path, "differs from %s only in case, and Windows holds one of "
                                         "them only" % seen[folded]))
        else:
            seen[folded] = shown_path
    return problems


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
    # By the bytes of the UTF-8 name (undecodable bytes as they are), so no locale changes the
    # order.
    found.sort(key=lambda entry: entry[0].encode("utf-8", "surrogateescape"))
    problems = name_problems(found, client, top)
    if problems:
        raise PackageError("\n".join("%s %s" % problem for problem in problems))
    return found


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
        for line in str(error).split("\n"):
            print("make_package: %s" % line, file=sys.stderr)
        return 1
    print("%d entries" % count)
    return 0


if __name__ == "__main__":
    sys.exit(main())

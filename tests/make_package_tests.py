#!/usr/bin/env python3
"""tools/make_package.py on real folders: every name a player's Windows or launcher would not
install as packed is refused, each file named with its reason, and no package is written; names
Windows holds, in any script, are packed exactly, up to the longest the launcher extracts.

Run by CTest. Environment: SCRATCH (a folder, emptied).
"""

import os
import shutil
import subprocess
import sys
import unittest
import zipfile

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKER = os.path.join(SOURCE, "tools", "make_package.py")
TOP = "windows_pc_halden"


def touch(folder, relative, data=b"x"):
    path = os.path.join(os.fsencode(folder), os.fsencode(relative))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def pack(client, out):
    return subprocess.run([sys.executable, PACKER, "--client", client, "--top-folder", TOP,
                           "--out", out], capture_output=True, text=True)


class MakePackage(unittest.TestCase):
    def setUp(self):
        self.scratch = os.path.join(os.environ["SCRATCH"], self.id().rsplit(".", 1)[-1])
        shutil.rmtree(self.scratch, ignore_errors=True)
        self.client = os.path.join(self.scratch, "client")
        self.out = os.path.join(self.scratch, "package.zip")
        touch(self.client, "patch/version.json", b"{}")
        touch(self.client, "win32/game.exe", b"MZ")

    def test_each_name_windows_or_the_launcher_cannot_install_is_named_and_nothing_is_written(self):
        # The entry name is TOP + "/" + the path: 256 bytes in all is one too many.
        too_long = "long/" + "n" * (256 - len(TOP) - len("/long/"))
        refused = {
            "win32/CON": "is named as a Windows device (CON)",
            "win32/aux.txt": "is named as a Windows device (AUX)",
            "win32/Lpt9.tar.gz": "is named as a Windows device (LPT9)",
            "win32/a:b": "has ':' in its name",
            "win32/what?.txt": "has '?' in its name",
            'win32/<"|*>': "has '\"', '*', '<', '>', '|' in its name",
            "win32/tab\there": "has the control character 0x09 in its name",
            "win32/trail.": "ends in a dot",
            "win32/trail ": "ends in a space",
            "win32/Data.bin": "differs from %s only in case" % os.path.join(self.client,
                                                                            "win32/DATA.bin"),
            b"win32/gbk-\xca\xfd\xbe\xdd.txt": "has a name that is not UTF-8",
            too_long: "has an entry name of 256 bytes",
        }
        touch(self.client, "win32/DATA.bin")
        touch(self.client, "win32/fine.txt")
        for name in refused:
            touch(self.client, name)

        result = pack(self.client, self.out)
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), len(refused), result.stderr)
        for name, why in refused.items():
            shown = os.fsencode(name).decode("utf-8", "backslashreplace").replace("\t", "\\x09")
            expected = "make_package: %s %s" % (os.path.join(self.client, shown), why)
            self.assertTrue(any(line.startswith(expected) for line in lines),
                            "%r not in:\n%s" % (expected, result.stderr))
        self.assertNotIn("fine.txt", result.stderr)
        self.assertFalse(os.path.exists(self.out))

    def test_names_windows_holds_are_packed_exactly_up_to_the_longest_the_launcher_extracts(self):
        longest = "long/" + "n" * (255 - len(TOP) - len("/long/"))
        held = ["win32/数据/说明.txt", "win32/COM10", "win32/con1.txt", "win32/auxiliary",
                "win32/.hidden", "win32/a.b c", "win32/한국어.dat", longest]
        for name in held:
            touch(self.client, name, name.encode("utf-8"))

        result = pack(self.client, self.out)
        self.assertEqual(result.returncode, 0, result.stderr)
        with zipfile.ZipFile(self.out) as archive:
            infos = {info.filename: info for info in archive.infolist()}
            for name in held:
                entry = TOP + "/" + name
                self.assertIn(entry, infos)
                self.assertEqual(archive.read(entry), name.encode("utf-8"))
                # Read as UTF-8 only when flagged so; ASCII names need no flag.
                self.assertEqual(bool(infos[entry].flag_bits & 0x800), not entry.isascii(), entry)
        self.assertEqual(len((TOP + "/" + longest).encode("utf-8")), 255)


if __name__ == "__main__":
    unittest.main(verbosity=2)

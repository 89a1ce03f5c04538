#!/usr/bin/env python3
"""scripts/check-win7-imports.sh on real programs of this build: launcher.exe imports only
functions listed in scripts/win7-imports.txt, and a program importing a function of Windows 8
fails the check, which names that function.

Environment: CHECK (the script), OBJDUMP (mingw-w64's objdump), LAUNCHER_EXE, WIN8_IMPORT_EXE
(tests/support/win8_import.cpp, built like the launcher).
"""

import os
import subprocess
import unittest


def check(program):
    return subprocess.run(["bash", os.environ["CHECK"], program], capture_output=True, text=True,
                          env=dict(os.environ), timeout=60)


class ImportCheck(unittest.TestCase):
    def test_launcher_imports_only_listed_functions(self):
        result = check(os.environ["LAUNCHER_EXE"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")

    def test_a_windows_8_import_fails_the_check_naming_the_function(self):
        result = check(os.environ["WIN8_IMPORT_EXE"])
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        lines = result.stderr.splitlines()
        # The planted function and nothing else: the program's other imports are the runtime's,
        # which the launcher imports too.
        self.assertEqual(len(lines), 1, lines)
        self.assertTrue(lines[0].startswith(
            "check-win7-imports: win8_import.exe imports "
            "kernel32.dll!GetSystemTimePreciseAsFileTime, which is not in "), lines[0])


if __name__ == "__main__":
    unittest.main(verbosity=2)

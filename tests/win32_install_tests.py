#!/usr/bin/env python3
"""launcher.exe under Wine installing where players' Windows put things: a Documents folder that
was moved (the prefix's registry redirects it, as OneDrive or a policy does) to a folder whose
name no ANSI code page holds, with a USERNAME that is not the profile's, in the Western and in the
Chinese code page; a package made by tools/make_package.py whose names lie outside the code page;
and (with LAUNCHER_LARGE_TESTS=1, ctest -L large) a package over 2 GiB whose download is cut past
2 GiB and resumed from there.

What Wine cannot show: paths over 260 characters fail only on Windows (Wine takes them), so the
long form is checked by tests/win32_text_tests.cpp; Controlled Folder Access and OneDrive's
files on demand do not exist here.

Environment: as tests/win32_window_tests.py (WINE_RUN, LAUNCHER_WINEPREFIX, a prefix of this
test's own, since it changes the registry; SCRATCH, CLIENT_EXE, POST_MESSAGE_EXE,
LAUNCHER_LOOPBACK), and MAKE_PACKAGE (tools/make_package.py).
"""

import http.server
import os
import shutil
import struct
import subprocess
import sys
import threading
import unittest
import zlib

from win32_window_tests import (ARCHIVE_NAME, ARCHIVE_PATH, WINE_USER, WineLauncherCase,
                                windows_path)

SHELL_FOLDERS = r"HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Explorer" \
    r"\User Shell Folders"
# Korean, Chinese and Cyrillic: no ANSI code page holds them all.
MOVED_DOCUMENTS = "문서-玩家-документы"
NAMES_OUTSIDE = ("数据/说明.txt", "데이터/플레이어 설정.json", "ресурсы/карта.bin")
LARGE = 2_200_000_000
CUT_AFTER = 2_160_000_000


class FileServer:
    """Serves one file from disk at ARCHIVE_PATH on 127.0.0.1, with ranges (206 and
    Content-Range, or 416 past the end). The first response is cut after cut_after bytes, as a
    dropped connection is. Records each request's Range header."""

    def __init__(self, path, cut_after=None):
        self.path = path
        self.size = os.path.getsize(path)
        self.cut_after = cut_after
        self.ranges = []
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                if self.path != ARCHIVE_PATH:
                    self.send_error(404)
                    return
                wanted = self.headers.get("Range")
                server.ranges.append(wanted)
                start = 0
                if wanted:
                    start = int(wanted.split("=")[1].split("-")[0])
                    if start >= server.size:
                        self.send_response(416)
                        self.send_header("Content-Range", "bytes */%d" % server.size)
                        self.send_header("Content-Length", "0")
                        self.end_headers()
                        return
                    self.send_response(206)
                    self.send_header("Content-Range",
                                     "bytes %d-%d/%d" % (start, server.size - 1, server.size))
                else:
                    self.send_response(200)
                self.send_header("Content-Length", str(server.size - start))
                self.end_headers()
                limit = server.size
                if server.cut_after is not None and len(server.ranges) == 1:
                    limit = server.cut_after
                with open(server.path, "rb") as f:
                    f.seek(start)
                    at = start
                    while at < limit:
                        block = f.read(min(1 << 20, limit - at))
                        self.wfile.write(block)
                        at += len(block)
                self.close_connection = True

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()
        self.requests = self.ranges
        self.ca = None

    @property
    def host(self):
        return "127.0.0.1:%d" % self.httpd.server_address[1]

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def make_client(folder, client_exe, extra=()):
    """A client folder: the program, the install marker, and the given (name, bytes) files."""
    shutil.rmtree(folder, ignore_errors=True)
    with open(client_exe, "rb") as f:
        program = f.read()
    for name, data in [("win32/game.exe", program), ("patch/version.json", b'{"version": "2100"}\n'),
                       *extra]:
        path = os.path.join(folder, *name.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def write_stored_zip64(path, entries, big_name, big_size):
    """A stored archive with the small (name, bytes) entries, then big_name holding big_size zero
    bytes, left as a hole in the file (no disk), with Zip64 records as Python's zipfile writes."""
    directory = b""
    offset = 0
    with open(path, "wb") as f:
        for name, data in entries + [(big_name, None)]:
            raw = name.encode()
            size = big_size if data is None else len(data)
            if data is None:
                crc = 0
                zeros = b"\0" * (1 << 24)
                for _ in range(size // len(zeros)):
                    crc = zlib.crc32(zeros, crc)
                crc = zlib.crc32(b"\0" * (size % len(zeros)), crc)
            else:
                crc = zlib.crc32(data)
            extra = struct.pack("<HHQQ", 1, 16, size, size)
            f.write(struct.pack("<IHHHHHIIIHH", 0x04034B50, 45, 0, 0, 0, 0x21, crc,
                                0xFFFFFFFF, 0xFFFFFFFF, len(raw), len(extra)) + raw + extra)
            if data is None:
                f.seek(size, os.SEEK_CUR)
            else:
                f.write(data)
            central_extra = struct.pack("<HHQQQ", 1, 24, size, size, offset)
            directory += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 45, 45, 0, 0, 0, 0x21, crc,
                                     0xFFFFFFFF, 0xFFFFFFFF, len(raw), len(central_extra), 0, 0,
                                     0, 0o100644 << 16 if not name.endswith("/") else 0x10,
                                     0xFFFFFFFF) + raw + central_extra
            offset = f.tell()
        count = len(entries) + 1
        f.write(directory)
        end_record = f.tell()
        f.write(struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count,
                            len(directory), offset))
        f.write(struct.pack("<IIQI", 0x07064B50, 0, end_record, 1))
        f.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF,
                            0))


class InstallUnderWine(WineLauncherCase):
    def setUp(self):
        super().setUp()
        self.moved = os.path.join(self.scratch, MOVED_DOCUMENTS)
        self.empty_moved_documents()
        self.move_documents(self.moved)

    def empty_moved_documents(self):
        """An empty folder where the registry points, as a moved Documents folder is. Made here:
        Wine would make a missing one a link to the Unix home."""
        if os.path.islink(self.moved):
            os.unlink(self.moved)
        shutil.rmtree(self.moved, ignore_errors=True)
        os.makedirs(self.moved)

    def tearDown(self):
        super().tearDown()
        self.move_documents(None)

    def move_documents(self, folder):
        """Sets (or, with None, removes) the user's Documents folder in the prefix's registry,
        from a UTF-16 .reg file: a command line would pass the name through the code page."""
        value = '"%s"' % windows_path(folder).replace("\\", "\\\\") if folder else "-"
        registry = os.path.join(self.scratch, "documents.reg")
        with open(registry, "w", encoding="utf-16") as f:
            f.write("Windows Registry Editor Version 5.00\r\n\r\n[%s]\r\n\"Personal\"=%s\r\n"
                    % (SHELL_FOLDERS, value))
        subprocess.run([self.wine_run, "reg", "import", windows_path(registry)],
                       env=self.environment(None), check=True, capture_output=True, timeout=120)

    def run_launcher(self, locale, seconds=120):
        env = self.environment(self.server)
        # Not the profile's name: the folder must not be built from it.
        env["USERNAME"] = "someone-else"
        env["LAUNCHER_WINE_LOCALE"] = locale
        self.launcher = subprocess.Popen([self.wine_run, os.environ["LAUNCHER_LOOPBACK"]],
                                         env=env, cwd=self.scratch, stdout=subprocess.PIPE,
                                         stderr=subprocess.STDOUT)
        return self.finish(seconds)

    def launcher_log(self):
        path = os.path.join(self.prefix, "drive_c", "users", WINE_USER, "AppData", "Local",
                            "GameLauncher", "launcher.log")
        with open(path, "rb") as f:
            return f.read().decode("utf-8")

    def assert_started_from(self, output, folder):
        record = self.client_record()
        self.assertIsNotNone(record, output)
        expected = windows_path(folder) + "\\game\\windows_pc_halden\\win32\\game.exe"
        self.assertEqual(record[2].replace("/", "\\").lower(), expected.lower(), output)


class DocumentsAndNames(InstallUnderWine):
    def test_moved_documents_with_names_outside_the_code_page_install_and_start(self):
        client = os.path.join(self.scratch, "client")
        make_client(client, os.environ["CLIENT_EXE"],
                    [(name, name.encode() * 3) for name in NAMES_OUTSIDE])
        package = os.path.join(self.scratch, ARCHIVE_NAME)
        subprocess.run([sys.executable, os.environ["MAKE_PACKAGE"], "--client", client,
                        "--top-folder", "windows_pc_halden", "--out", package], check=True)
        with open(package, "rb") as f:
            body = f.read()
        # Western (1252) and Chinese (936): the Korean and Cyrillic names fit neither.
        for locale in ("C.UTF-8", "zh_CN.UTF-8"):
            with self.subTest(locale=locale):
                self.empty_moved_documents()
                self.server = FileServer(package)
                code, output = self.run_launcher(locale)
                self.assertEqual(code, 0, output)
                self.assertEqual(self.boxes(), [], output)
                self.assertEqual(self.server.requests, [None], output)
                with open(os.path.join(self.moved, ARCHIVE_NAME), "rb") as f:
                    self.assertEqual(f.read(), body)
                game = os.path.join(self.moved, "game", "windows_pc_halden")
                for name in NAMES_OUTSIDE:
                    with open(os.path.join(game, *name.split("/")), "rb") as f:
                        self.assertEqual(f.read(), name.encode() * 3, name)
                self.assertFalse(os.path.exists(os.path.join(self.moved,
                                                             "windows_pc_halden.installing")))
                self.assert_started_from(output, self.moved)
                # Nothing went where the profile's name or USERNAME would have put it.
                self.assertEqual(os.listdir(self.documents), [])
                # The streams and the log carry the path in UTF-8.
                shown = "diskWritablePath:\t" + windows_path(self.moved).replace("\\", "/")
                self.assertIn(shown, output)
                self.assertIn(shown, self.launcher_log())

                # The next run removes the archive by its name and starts the client.
                os.remove(os.path.join(self.scratch, "client_record.txt"))
                code, output = self.run_launcher(locale)
                self.assertEqual(code, 0, output)
                self.assertFalse(os.path.exists(os.path.join(self.moved, ARCHIVE_NAME)), output)
                self.assertIn("成功删除压缩包：", output)
                self.assert_started_from(output, self.moved)
                self.assertEqual(self.server.requests, [None])
                self.server.close()
                self.server = None
                os.remove(os.path.join(self.scratch, "client_record.txt"))


@unittest.skipUnless(os.environ.get("LAUNCHER_LARGE_TESTS") == "1",
                     "writes over 4 GB: set LAUNCHER_LARGE_TESTS=1 (ctest -L large)")
class LargePackage(InstallUnderWine):
    def test_package_over_2_gib_cut_past_2_gib_resumes_there_installs_and_starts(self):
        package = os.path.join(self.scratch, "large", ARCHIVE_NAME)
        os.makedirs(os.path.dirname(package), exist_ok=True)
        with open(os.environ["CLIENT_EXE"], "rb") as f:
            client = f.read()
        write_stored_zip64(package, [
            ("windows_pc_halden/", b""), ("windows_pc_halden/patch/", b""),
            ("windows_pc_halden/patch/version.json", b'{"version": "2100"}\n'),
            ("windows_pc_halden/win32/", b""), ("windows_pc_halden/win32/game.exe", client),
        ], "windows_pc_halden/data/zeros.bin", LARGE)
        self.server = FileServer(package, cut_after=CUT_AFTER)
        try:
            code, output = self.run_launcher("C.UTF-8", seconds=1200)
            self.assertEqual(code, 0, output)
            self.assertEqual(self.boxes(), [])
            # The cut request, then the rest from where it stopped: never the whole again.
            self.assertEqual(self.server.requests, [None, "bytes=%d-" % CUT_AFTER], output)
            archive = os.path.join(self.moved, ARCHIVE_NAME)
            self.assertEqual(os.path.getsize(archive), os.path.getsize(package))
            zeros = os.path.join(self.moved, "game", "windows_pc_halden", "data", "zeros.bin")
            self.assertEqual(os.path.getsize(zeros), LARGE)
            self.assert_started_from(output, self.moved)
        finally:
            for path in (package, os.path.join(self.moved, ARCHIVE_NAME)):
                if os.path.exists(path):
                    os.remove(path)
            shutil.rmtree(os.path.join(self.moved, "game"), ignore_errors=True)


if __name__ == "__main__":
    program = unittest.main(verbosity=2, exit=False)
    result = program.result
    # CTest's SKIP_RETURN_CODE: nothing ran, as without LAUNCHER_LARGE_TESTS for -L large.
    if result.wasSuccessful() and result.testsRun == len(result.skipped):
        sys.exit(77)
    sys.exit(0 if result.wasSuccessful() else 1)

#!/usr/bin/env python3
"""scripts/release.sh from end to end with real tools: a test client folder and the studio's
pictures, a CA, a code-signing certificate and an RFC 3161 time-stamp server made by the test
with openssl, osslsigncode, the Windows build, and the released launcher.exe installing the
package from a loopback HTTPS server under Wine.

In the 64-bit test build, the stand-in where no 32-bit Windows program runs (scripts/test.sh
decides), the test says so and makes the same release for 64-bit Windows, run under wine64.

Run by CTest. Environment: SCRATCH (a folder, emptied), RELEASE_BUILD_ROOT (where the release
builds are kept between runs, and the Wine prefixes), RELEASE_ARCH (the test build's, i686 or
x86_64).
"""

import hashlib
import http.server
import json
import os
import shutil
import struct
import subprocess
import sys
import threading
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import win32_window_tests as window_tests  # noqa: E402

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tools"))
import make_artwork  # noqa: E402

NAME = "霍尔登 Online"
PUBLISHER = 'Test Studio "North" \\ Ltd.'
VERSION = "1.2.3.4"
SIGNER = "/C=CN/O=Test Studio/CN=Test Studio Code Signing"
SUPPORTED_OS = ("35138b9a-5d96-4fbd-8e2d-a2440225f93a", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
                "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a")


def run(*words, **options):
    return subprocess.run(words, capture_output=True, text=True, **options)


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def folder_digests(folder):
    return {name: sha256(os.path.join(folder, name)) for name in sorted(os.listdir(folder))}


def start_x_server():
    """An Xvfb screen of the launcher's own, and its display. Xvfb picks a free display itself
    (-displayfd), so tests that start X servers side by side never race for one."""
    read, write = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1920x1080x24",
                               "-nolisten", "tcp"], pass_fds=(write,),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read) as f:
        number = f.readline().strip()
    if not number:
        server.wait()
        raise RuntimeError("Xvfb did not start")
    return server, ":" + number


# --- Certificates and the time-stamp server ---------------------------------------------------


def issue(folder, ca, ca_key, stem, subject, extensions):
    """A key and a certificate for subject, signed by the CA; returns their paths."""
    key, request, certificate, extfile = (os.path.join(folder, stem + ending)
                                          for ending in (".key", ".csr", ".pem", ".ext"))
    with open(extfile, "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                "authorityKeyIdentifier=keyid\nsubjectKeyIdentifier=hash\n" + extensions)
    run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", request,
        "-subj", subject, check=True)
    run("openssl", "x509", "-req", "-in", request, "-CA", ca, "-CAkey", ca_key, "-days", "2",
        "-set_serial", str(int.from_bytes(os.urandom(8), "big") >> 1), "-extfile", extfile,
        "-out", certificate, check=True)
    return key, certificate


class TimeStampServer:
    """An RFC 3161 time-stamp authority on a loopback port: each query is answered by
    `openssl ts -reply` with a certificate of the test CA."""

    def __init__(self, folder, ca, ca_key):
        key, certificate = issue(folder, ca, ca_key, "tsa", "/CN=Launcher Test TSA",
                                 "extendedKeyUsage=critical,timeStamping\n")
        config = os.path.join(folder, "tsa.cnf")
        with open(os.path.join(folder, "tsa.serial"), "w") as f:
            f.write("01\n")
        with open(config, "w") as f:
            f.write("[tsa]\ndefault_tsa = test\n[test]\nserial = %s\nsigner_digest = sha256\n"
                    "default_policy = 1.2.3.4.1\nother_policies = 1.2.3.4.2\n"
                    "digests = sha256, sha1\nessentials = yes\ness_cert_id_alg = sha256\n"
                    % os.path.join(folder, "tsa.serial"))
        self.queries = 0
        server = self
        lock = threading.Lock()

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                with lock:
                    server.queries += 1
                    reply = subprocess.run(
                        ["openssl", "ts", "-reply", "-config", config, "-queryfile", "/dev/stdin",
                         "-signer", certificate, "-inkey", key, "-chain", ca, "-out", "/dev/stdout"],
                        input=query, capture_output=True, check=True).stdout
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d/" % self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


# --- Reading resources back from the program file ---------------------------------------------


def resources(path):
    """The program's resources: {(type, name): bytes} of the first language of each, types and
    names as numbers or strings."""
    with open(path, "rb") as f:
        image = f.read()
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    assert image[pe:pe + 4] == b"PE\0\0"
    sections, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    resource_rva = struct.unpack_from("<I", image, directories + 2 * 8)[0]
    table = []
    for i in range(sections):
        _, size, rva, raw_size, raw = struct.unpack_from("<8sIIII", image, optional + optional_size + 40 * i)
        table.append((rva, max(size, raw_size), raw))

    def offset(rva):
        return next(raw + rva - start for start, size, raw in table if start <= rva < start + size)

    base = offset(resource_rva)

    def directory(at):
        named, numbered = struct.unpack_from("<12xHH", image, base + at)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", image, base + at + 16 + 8 * i)
            if name & 0x80000000:
                length = struct.unpack_from("<H", image, base + (name & 0x7FFFFFFF))[0]
                start = base + (name & 0x7FFFFFFF) + 2
                name = image[start:start + 2 * length].decode("utf-16-le")
            yield name, target

    found = {}
    for kind, names in directory(0):
        for name, languages in directory(names & 0x7FFFFFFF):
            _, leaf = next(directory(languages & 0x7FFFFFFF))
            rva, size = struct.unpack_from("<II", image, base + leaf)
            found[(kind, name)] = image[offset(rva):offset(rva) + size]
    return found


def version_blocks(data, at=0):
    """A VS_VERSIONINFO tree: (key, value, children); text values decoded."""
    length, value_length, text = struct.unpack_from("<HHH", data, at)
    end = at + length
    key_end = at + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[at + 6:key_end].decode("utf-16-le")
    position = (key_end + 2 + 3) & ~3
    size = value_length * 2 if text else value_length
    value = data[position:position + size]
    if text:
        value = value.decode("utf-16-le").rstrip("\0")
    position = (position + size + 3) & ~3
    children = []
    while position < end:
        child, position = version_blocks(data, position)
        children.append(child)
        position = (position + 3) & ~3
    return (key, value, children), end


# --- The test ----------------------------------------------------------------------------------


class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = os.environ["SCRATCH"]
        shutil.rmtree(cls.scratch, ignore_errors=True)
        os.makedirs(cls.scratch)
        # Asking `wine --version` would not do: where only the 32-bit loader is missing, Debian's
        # wine starts wine64 and answers.
        if os.environ["RELEASE_ARCH"] == "i686":
            cls.arch, cls.triplet, cls.wine_arch = "i686", "i686-w64-mingw32", "win32"
        else:
            print("This is the 64-bit test build, which stands in where no 32-bit Windows program "
                  "runs: the release is built for 64-bit Windows and run under wine64 instead.",
                  flush=True)
            cls.arch, cls.triplet, cls.wine_arch = "x86_64", "x86_64-w64-mingw32", "win64"
        cls.build_dir = os.path.join(os.environ["RELEASE_BUILD_ROOT"], "release-build-" + cls.arch)

        # The CA serves all three: the loopback HTTPS server, the signature, the time stamp.
        tls = os.path.join(cls.scratch, "tls")
        os.makedirs(tls)
        cls.ca, server_certificate, server_key = window_tests.make_certificates(tls)
        ca_key = os.path.join(tls, "ca.key")
        key, certificate = issue(tls, cls.ca, ca_key, "signing", SIGNER,
                                 "extendedKeyUsage=codeSigning\n")
        cls.pkcs12 = os.path.join(tls, "signing.p12")
        cls.password = os.path.join(tls, "password.txt")
        with open(cls.password, "w") as f:
            f.write("correct horse\n")
        run("openssl", "pkcs12", "-export", "-inkey", key, "-in", certificate, "-certfile", cls.ca,
            "-out", cls.pkcs12, "-passout", "file:" + cls.password, check=True)
        cls.tsa = TimeStampServer(tls, cls.ca, ca_key)
        cls.server = window_tests.PackageServer(b"", tls=(cls.ca, server_certificate, server_key))
        cls.url = "https://%s%s" % (cls.server.host, window_tests.ARCHIVE_PATH)

        cls.client = cls.make_client(os.path.join(cls.scratch, "client"))
        cls.artwork = os.path.join(cls.scratch, "artwork")
        run(sys.executable, os.path.join(SOURCE, "tools", "make_artwork.py"), "--out", cls.artwork,
            check=True)
        icon = [[(40, 60, 200 - y // 2, 255 if 16 <= x < 240 else 0) for x in range(256)]
                for y in range(256)]
        with open(os.path.join(cls.artwork, "icon.png"), "wb") as f:
            f.write(make_artwork.rgba_png(icon, 256, 256))

        # The same client released twice, time-stamped: signed with the PKCS#12 file, then through
        # a signing command of the studio's own.
        cls.first = cls.release(os.path.join(cls.scratch, "first"), "--sign-pkcs12", cls.pkcs12,
                                "--sign-password-file", cls.password,
                                "--timestamp-url", cls.tsa.url)
        command = ("osslsigncode sign -pkcs12 %s -readpass %s -h sha256 -in {file} "
                   "-out {file}.signed && mv {file}.signed {file}" % (cls.pkcs12, cls.password))
        cls.second = cls.release(os.path.join(cls.scratch, "second"), "--sign-command", command,
                                 "--timestamp-url", cls.tsa.url)

    @classmethod
    def tearDownClass(cls):
        cls.server.close()
        cls.tsa.close()

    @classmethod
    def make_client(cls, folder):
        """patch/version.json, a Windows program that records how it was started as
        win32/game.exe (built for the release's architecture), and a data file."""
        os.makedirs(os.path.join(folder, "patch"))
        os.makedirs(os.path.join(folder, "win32", "data"))
        with open(os.path.join(folder, "patch", "version.json"), "w") as f:
            f.write('{"version": "2100"}\n')
        with open(os.path.join(folder, "win32", "data", "level1.bin"), "wb") as f:
            f.write(bytes(range(256)) * 64)
        run(cls.triplet + "-g++-posix", "-O1", "-static", "-municode", "-o",
            os.path.join(folder, "win32", "game.exe"),
            os.path.join(SOURCE, "tests", "support", "win32_record_child.cpp"), check=True)
        return folder

    @classmethod
    def release(cls, out, *options, client=None, url=None, artwork=None):
        """Runs scripts/release.sh; gives the finished process."""
        words = [os.path.join(SOURCE, "scripts", "release.sh"),
                 "--client", client or cls.client, "--url", url or cls.url,
                 "--name", NAME, "--publisher", PUBLISHER, "--version", VERSION,
                 "--artwork", artwork or cls.artwork, "--ca-file", cls.ca, "--out", out,
                 "--build-dir", cls.build_dir, "--arch", cls.arch, *options]
        return run(*words, stdin=subprocess.DEVNULL, timeout=1500)

    def released(self, result):
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    # --- what a release holds ---

    def test_signature_verifies_against_the_test_ca_and_not_after_one_byte_changed(self):
        self.released(self.first)
        out = os.path.join(self.scratch, "first")
        launcher = os.path.join(out, "launcher.exe")
        verified = run("osslsigncode", "verify", "-in", launcher, "-CAfile", self.ca,
                       "-TSA-CAfile", self.ca)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        self.assertIn("Subject: " + SIGNER, verified.stdout)
        self.assertIn("Timestamp Server Signature verification: ok", verified.stdout)
        self.assertGreaterEqual(self.tsa.queries, 1)
        # Nothing but the test's CA vouches for the signer.
        self.assertNotEqual(run("osslsigncode", "verify", "-in", launcher,
                                "-CAfile", "/etc/ssl/certs/ca-certificates.crt").returncode, 0)
        changed = os.path.join(self.scratch, "changed.exe")
        with open(launcher, "rb") as f:
            data = bytearray(f.read())
        data[len(data) // 3] ^= 0x01
        with open(changed, "wb") as f:
            f.write(data)
        refused = run("osslsigncode", "verify", "-in", changed, "-CAfile", self.ca,
                      "-TSA-CAfile", self.ca)
        self.assertNotEqual(refused.returncode, 0)
        self.assertIn("MISMATCH", refused.stdout + refused.stderr)

    def test_release_lists_its_files_and_the_launcher_carries_names_version_and_artwork(self):
        self.released(self.first)
        out = os.path.join(self.scratch, "first")
        package = os.path.join(out, window_tests.ARCHIVE_NAME)
        launcher = os.path.join(out, "launcher.exe")
        self.assertEqual(sorted(os.listdir(out)), sorted(
            ["launcher.exe", window_tests.ARCHIVE_NAME, "SHA256SUMS", "release.json"]))
        with open(os.path.join(out, "SHA256SUMS")) as f:
            self.assertEqual(f.read(), "%s  launcher.exe\n%s  %s\n" % (
                sha256(launcher), sha256(package), window_tests.ARCHIVE_NAME))
        with open(os.path.join(out, "release.json"), encoding="utf-8") as f:
            record = json.load(f)
        self.assertEqual((record["product"], record["publisher"], record["version"]),
                         (NAME, PUBLISHER, VERSION))
        with zipfile.ZipFile(package) as archive:
            installed = sum(entry.file_size for entry in archive.infolist())
        self.assertEqual(record["package"], {"file": window_tests.ARCHIVE_NAME, "url": self.url,
                                             "size": os.path.getsize(package),
                                             "installed_size": installed,
                                             "sha256": sha256(package)})
        # The sizes the room check uses before the download, carried in the script's text.
        with open(launcher, "rb") as f:
            carried = f.read()
        for size in (os.path.getsize(package), installed):
            self.assertIn(b'tonumber("%d")' % size, carried)
        self.assertEqual((record["launcher"]["signer"], record["launcher"]["sha256"]),
                         (SIGNER, sha256(launcher)))
        self.assertNotIn("unsigned", self.first.stderr)

        found = resources(launcher)
        (key, fixed, children), _ = version_blocks(found[(16, 1)])
        self.assertEqual(key, "VS_VERSION_INFO")
        signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
        self.assertEqual(signature, 0xFEEF04BD)
        self.assertEqual((file_ms, file_ls, product_ms, product_ls),
                         (1 << 16 | 2, 3 << 16 | 4, 1 << 16 | 2, 3 << 16 | 4))
        blocks = {child[0]: child for child in children}
        tables = {table[0]: {k: v for k, v, _ in table[2]} for table in blocks["StringFileInfo"][2]}
        self.assertEqual(sorted(tables), ["040904b0", "080404b0"])
        for language, rights in (("080404b0", "版权所有 © "), ("040904b0", "Copyright © ")):
            strings = tables[language]
            self.assertEqual((strings["ProductName"], strings["FileDescription"],
                              strings["CompanyName"], strings["FileVersion"],
                              strings["ProductVersion"], strings["OriginalFilename"]),
                             (NAME, NAME, PUBLISHER, VERSION, VERSION, "launcher.exe"))
            self.assertRegex(strings["LegalCopyright"], "^" + rights + r"\d{4} ")
            self.assertTrue(strings["LegalCopyright"].endswith(" " + PUBLISHER))
        self.assertEqual(blocks["VarFileInfo"][2][0][1], struct.pack("<4H", 0x804, 1200, 0x409, 1200))

        manifest = found[(24, 1)].decode("utf-8")
        self.assertIn('level="asInvoker"', manifest)
        for guid in SUPPORTED_OS:
            self.assertIn('<supportedOS Id="{%s}"/>' % guid, manifest)
        # The studio's pictures as given; its icon in every size Windows shows.
        for name, number in (("background", 131), ("bar_track", 133), ("bar_fill", 135)):
            with open(os.path.join(self.artwork, name + ".png"), "rb") as f:
                self.assertEqual(found[("PNG", number)], f.read(), name)
        group = found[(14, 107)]
        count = struct.unpack_from("<H", group, 4)[0]
        sizes = sorted(group[6 + 14 * i] or 256 for i in range(count))
        self.assertEqual(sizes, [16, 24, 32, 48, 64, 128, 256])

    def test_the_same_client_gives_the_same_package_however_the_launcher_is_signed(self):
        self.released(self.first)
        self.released(self.second)
        unsigned = self.release(os.path.join(self.scratch, "unsigned"))
        self.released(unsigned)
        with open(os.path.join(self.scratch, "first", window_tests.ARCHIVE_NAME), "rb") as f:
            package = f.read()
        for out, signer in (("second", SIGNER), ("unsigned", "unsigned")):
            with open(os.path.join(self.scratch, out, window_tests.ARCHIVE_NAME), "rb") as f:
                self.assertEqual(f.read(), package, out)
            with open(os.path.join(self.scratch, out, "release.json"), encoding="utf-8") as f:
                self.assertEqual(json.load(f)["launcher"]["signer"], signer, out)
        launcher = os.path.join(self.scratch, "second", "launcher.exe")
        verified = run("osslsigncode", "verify", "-in", launcher, "-CAfile", self.ca,
                       "-TSA-CAfile", self.ca)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        self.assertIn("Subject: " + SIGNER, verified.stdout)
        # Added after the studio's own command.
        self.assertIn("Timestamp Server Signature verification: ok", verified.stdout)
        # Without a signature the release goes on, and says so last.
        self.assertIn("launcher.exe is unsigned", unsigned.stderr.strip().splitlines()[-1])

    # --- the released launcher at work ---

    def test_released_launcher_installs_the_package_over_https_and_starts_the_client(self):
        # Under Wine this shows the download, the pinned digest, the extraction and the start of
        # the real program, with no test seam. It cannot show certificate validation: Wine's
        # Schannel accepts any server certificate, so the test CA is never consulted here (the
        # refusals are shown on Linux, EndToEndHttps in tests/end_to_end_tests.cpp).
        self.released(self.first)
        out = os.path.join(self.scratch, "first")
        with open(os.path.join(out, window_tests.ARCHIVE_NAME), "rb") as f:
            package = f.read()
        self.server.body = package
        prefix = os.path.join(os.environ["RELEASE_BUILD_ROOT"], "wine-release-" + self.arch)
        user = "releasetest"
        record = os.path.join(self.scratch, "client_record.txt")
        x_server, display = start_x_server()
        self.addCleanup(x_server.wait)
        self.addCleanup(x_server.terminate)
        env = dict(os.environ, LAUNCHER_WINEPREFIX=prefix, LAUNCHER_WINE_ARCH=self.wine_arch,
                   LAUNCHER_WINE_DISPLAY=display, USER=user, LOGNAME=user,
                   LAUNCHER_RECORD_FILE=window_tests.windows_path(record))
        wine_run = os.path.join(SOURCE, "scripts", "wine-run.sh")
        run(wine_run, "cmd", "/c", "exit", env=env, timeout=300, check=True)
        documents = os.path.join(prefix, "drive_c", "users", user, "Documents")
        if os.path.islink(documents):
            os.unlink(documents)
        shutil.rmtree(documents, ignore_errors=True)
        os.makedirs(documents)
        try:
            launched = run(wine_run, os.path.join(out, "launcher.exe"), env=env, timeout=180,
                           cwd=self.scratch)
        except subprocess.TimeoutExpired:
            # A failure box waits for a press that never comes; its reason is in the log.
            subprocess.run(["wineserver", "-k"], env=dict(env, WINEPREFIX=prefix))
            log = os.path.join(prefix, "drive_c", "users", user, "AppData", "Local",
                               "GameLauncher", "launcher.log")
            self.fail(open(log, encoding="utf-8", errors="replace").read()
                      if os.path.exists(log) else "the launcher did not end")
        finally:
            run(wine_run, "--wait", env=env, timeout=120)
        self.assertEqual(launched.returncode, 0, launched.stdout + launched.stderr)
        self.assertEqual(self.server.requests, [window_tests.ARCHIVE_PATH])
        with open(os.path.join(documents, window_tests.ARCHIVE_NAME), "rb") as f:
            self.assertEqual(f.read(), package)
        game = os.path.join(documents, "game", "windows_pc_halden")
        with open(os.path.join(game, "win32", "data", "level1.bin"), "rb") as f:
            self.assertEqual(f.read(), bytes(range(256)) * 64)
        self.assertFalse(os.path.exists(os.path.join(documents, "windows_pc_halden.installing")))
        self.assertTrue(window_tests.wait_for(lambda: os.path.exists(record), 20))
        with open(record, "rb") as f:
            started = f.read().decode("utf-16-le").splitlines()
        self.assertEqual(started[0], " -screen-width 1560 -screen-height 720 -force-opengl -log")
        self.assertTrue(started[2].lower().endswith("\\game\\windows_pc_halden\\win32\\game.exe"))

    # --- bad input ---

    def test_bad_input_stops_with_its_message_and_writes_nothing_into_out(self):
        self.released(self.first)
        no_game = os.path.join(self.scratch, "no-game")
        shutil.copytree(self.client, no_game)
        os.remove(os.path.join(no_game, "win32", "game.exe"))
        # Refused by the packer, before anything is built (tests/make_package_tests.py has each).
        device = os.path.join(self.scratch, "device-name")
        shutil.copytree(self.client, device)
        open(os.path.join(device, "win32", "aux.txt"), "w").close()
        narrow = os.path.join(self.scratch, "narrow-artwork")
        shutil.copytree(self.artwork, narrow)
        with open(os.path.join(narrow, "bar_fill.png"), "wb") as f:
            f.write(make_artwork.rgba_png([[(0, 200, 0, 255)] * 600] * 14, 600, 14))
        wrong_password = os.path.join(self.scratch, "wrong-password.txt")
        with open(wrong_password, "w") as f:
            f.write("incorrect horse\n")
        # A release already in --out stays as it is; a new --out is not made.
        kept = os.path.join(self.scratch, "kept")
        shutil.copytree(os.path.join(self.scratch, "first"), kept)
        before = folder_digests(kept)
        new = os.path.join(self.scratch, "new")
        cases = [
            ("no win32/game.exe", new, 1, "has no win32/game.exe", dict(client=no_game)),
            ("a name Windows cannot hold", new, 1,
             os.path.join(device, "win32", "aux.txt") + " is named as a Windows device (AUX)",
             dict(client=device)),
            ("http:// URL", new, 2, "is plain HTTP",
             dict(url="http://" + self.server.host + window_tests.ARCHIVE_PATH)),
            ("a package named like an option", new, 2,
             "--url: the package's file name '--version' begins with '-'",
             dict(url="https://%s/client/--version" % self.server.host)),
            ("an unknown install root", new, 2,
             "--install-root: 'roaming' is neither documents nor local-app-data",
             dict(options=("--install-root", "roaming"))),
            ("a picture of the wrong size", new, 1,
             "bar_fill.png: 600 x 14 pixels, where 656 x 14 are needed", dict(artwork=narrow)),
            ("a wrong password", kept, 1, "Wrong password?",
             dict(options=("--sign-pkcs12", self.pkcs12, "--sign-password-file", wrong_password))),
            ("a failing signing command", kept, 1, "--sign-command failed with exit status 3",
             dict(options=("--sign-command", "test -f {file} && exit 3"))),
        ]
        for case, out, status, message, arguments in cases:
            with self.subTest(case):
                result = self.release(out, *arguments.pop("options", ()), **arguments)
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(new))
                self.assertEqual(folder_digests(kept), before)
                self.assertEqual([name for name in os.listdir(self.scratch)
                                  if name.startswith(".release-")], [])


if __name__ == "__main__":
    unittest.main(verbosity=2)

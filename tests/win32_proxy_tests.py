#!/usr/bin/env python3
"""launcher.exe under Wine behind the user's own proxy settings: the settings are written into
the test's own Wine prefix where Windows keeps them (HKCU ... Internet Settings\\Connections,
DefaultConnectionSettings, which WinHTTP's WinHttpGetIEProxyConfigForCurrentUser reads), and the
proxy is Debian's tinyproxy, run by the test on a loopback port, whose log tells what it passed on.

What Wine cannot show, and so is not asserted here: automatic detection (WPAD through DHCP or
DNS) finding a script, as there is no such network; a proxy's 407 answered with the logged-on
user's credentials (NTLM or Negotiate through SSPI needs a Windows logon, which Wine does not
have); and a refused certificate through the tunnel, as Wine's Schannel validates no server
certificate (tests/real_servers_tests.cpp shows that refusal on Linux). What the program asks of
libcurl for the 407 is in platform/win32/win32_proxy.cpp and script/curl_module.cpp; that libcurl
was built able to do it is checked by the curl_module tests of the Windows build.

Environment: as tests/win32_window_tests.py (WINE_RUN, LAUNCHER_WINEPREFIX, SCRATCH, CLIENT_EXE,
POST_MESSAGE_EXE, LAUNCHER_LOOPBACK, LAUNCHER_LOOPBACK_HTTPS), and TINYPROXY (the program).
"""

import http.server
import os
import shutil
import socket
import struct
import subprocess
import threading
import time
import unittest

from win32_window_tests import (ARCHIVE_PATH, PackageServer, WineLauncherCase, make_certificates,
                                wait_for)

CONNECTIONS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"
# The flags of DefaultConnectionSettings, as Windows writes them.
DIRECT, FIXED_PROXY, CONFIGURATION_SCRIPT, AUTO_DETECT = 1, 2, 4, 8
# Nothing listens there: a transfer that went this way would fail.
DEAD_PROXY = "127.0.0.1:9"
PROXY_VARIABLES = ("http_proxy", "https_proxy", "all_proxy", "no_proxy")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def answers(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


class ForwardProxy:
    """tinyproxy in the foreground on a free loopback port, its configuration and log in the
    folder; started again on another port when one was taken in between."""

    def __init__(self, folder):
        os.makedirs(folder, exist_ok=True)
        self.log = os.path.join(folder, "tinyproxy.log")
        for _ in range(5):
            self.port = free_port()
            configuration = os.path.join(folder, "tinyproxy.conf")
            with open(configuration, "w") as f:
                f.write('Port %d\nListen 127.0.0.1\nTimeout 30\nLogFile "%s"\nLogLevel Info\n'
                        'PidFile "%s"\nMaxClients 16\n'
                        % (self.port, self.log, os.path.join(folder, "tinyproxy.pid")))
            with open(os.path.join(folder, "tinyproxy.out"), "ab") as out:
                self.process = subprocess.Popen([os.environ["TINYPROXY"], "-d", "-c",
                                                 configuration], stdout=out, stderr=out)
            if wait_for(lambda: self.process.poll() is not None or answers(self.port), 30):
                if self.process.poll() is None:
                    return
        raise RuntimeError("tinyproxy did not start")

    def requests(self):
        """What it passed on, in order: "GET http://host:port/path", "CONNECT host:port"."""
        if not os.path.exists(self.log):
            return []
        with open(self.log, errors="replace") as f:
            return [line.split("): ", 1)[1].rsplit(" HTTP/", 1)[0]
                    for line in f if "Request (file descriptor" in line]

    def close(self):
        self.process.terminate()
        self.process.wait(30)


class ScriptServer:
    """Serves one automatic configuration script at /proxy.pac on a loopback port."""

    def __init__(self, script):
        self.requests = []
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                server.requests.append(self.path)
                if self.path != "/proxy.pac":
                    self.send_error(404)
                    return
                body = script.encode()
                self.send_response(200)
                self.send_header("Content-Type", "application/x-ns-proxy-autoconfig")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()
        self.url = "http://127.0.0.1:%d/proxy.pac" % self.httpd.server_address[1]

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


class SystemProxyUnderWine(WineLauncherCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.proxy = ForwardProxy(os.path.join(cls.scratch, "proxy"))

    @classmethod
    def tearDownClass(cls):
        cls.proxy.close()
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        self.script_server = None

    def tearDown(self):
        if self.script_server is not None:
            self.script_server.close()
        super().tearDown()

    def settings(self, flags, proxy="", bypass="", script=""):
        """Writes the user's connection settings: a version, a counter, the flags, then the
        fixed proxy, its bypass list and the configuration script's URL, each after its length."""
        blob = struct.pack("<III", 0x46, 0, flags)
        for text in (proxy, bypass, script):
            blob += struct.pack("<I", len(text)) + text.encode("ascii")
        subprocess.run([self.wine_run, "reg", "add", CONNECTIONS, "/v",
                        "DefaultConnectionSettings", "/t", "REG_BINARY", "/d", blob.hex(), "/f"],
                       env=self.environment(None), check=True, capture_output=True, timeout=120)

    def run_launcher(self, program, host=None, **variables):
        """Runs one launcher to its end with no proxy variable but those given; the exit code and
        what it printed."""
        env = self.environment(self.server)
        for name in PROXY_VARIABLES:
            env.pop(name, None)
            env.pop(name.upper(), None)
        if host is not None:
            env["LAUNCHER_TEST_HOST"] = host
        env.update(variables)
        self.launcher = subprocess.Popen([self.wine_run, os.environ[program]], env=env,
                                         cwd=self.scratch, stdout=subprocess.PIPE,
                                         stderr=subprocess.STDOUT)
        return self.finish()

    def assert_installed(self, code, output):
        self.assertEqual(code, 0, output)
        self.assert_installed_from_one_request()
        self.assertIsNotNone(self.client_record(), output)
        self.assertEqual(self.boxes(), [])

    def passed_on(self, since):
        return self.proxy.requests()[since:]

    def test_fixed_proxy_carries_the_download(self):
        self.server = PackageServer(self.archive)
        # Without a port WinHTTP means 80; a proxy given with one is used there.
        self.settings(DIRECT | FIXED_PROXY, proxy="127.0.0.1:%d" % self.proxy.port)
        before = len(self.proxy.requests())
        self.assert_installed(*self.run_launcher("LAUNCHER_LOOPBACK"))
        self.assertEqual(self.passed_on(before), ["GET http://%s%s" % (self.server.host,
                                                                       ARCHIVE_PATH)])

    def test_per_scheme_entry_tunnels_https_through_its_own_proxy(self):
        tls_folder = os.path.join(self.scratch, "tls")
        shutil.rmtree(tls_folder, ignore_errors=True)
        os.makedirs(tls_folder)
        self.server = PackageServer(self.archive, tls=make_certificates(tls_folder))
        self.settings(DIRECT | FIXED_PROXY,
                      proxy="http=%s;https=127.0.0.1:%d" % (DEAD_PROXY, self.proxy.port))
        before = len(self.proxy.requests())
        self.assert_installed(*self.run_launcher("LAUNCHER_LOOPBACK_HTTPS"))
        self.assertEqual(self.passed_on(before), ["CONNECT %s" % self.server.host])

    def test_bypass_list_and_schemes_without_a_proxy_go_direct(self):
        cases = [
            # <local>: names without a dot.
            ("localhost", DEAD_PROXY, "*.example.com;<local>"),
            # A wildcard over the address.
            ("127.0.0.1", DEAD_PROXY, "10.*; 127.0.0.*"),
            # A proxy for https only: http goes direct.
            ("127.0.0.1", "https=" + DEAD_PROXY, ""),
        ]
        for host, proxy, bypass in cases:
            with self.subTest(host=host, proxy=proxy, bypass=bypass):
                super().setUp()
                self.server = PackageServer(self.archive)
                port = self.server.httpd.server_address[1]
                self.settings(DIRECT | FIXED_PROXY, proxy=proxy, bypass=bypass)
                before = len(self.proxy.requests())
                self.assert_installed(*self.run_launcher("LAUNCHER_LOOPBACK",
                                                         host="%s:%d" % (host, port)))
                self.assertEqual(self.passed_on(before), [])
                self.server.close()
                self.server = None

    def test_configuration_script_names_the_proxy(self):
        self.server = PackageServer(self.archive)
        self.script_server = ScriptServer(
            "function FindProxyForURL(url, host) {\n"
            "  return host == '127.0.0.1' ? 'PROXY 127.0.0.1:%d' : 'DIRECT';\n}\n"
            % self.proxy.port)
        # The fixed proxy stands only where discovery finds nothing.
        self.settings(DIRECT | FIXED_PROXY | CONFIGURATION_SCRIPT, proxy=DEAD_PROXY,
                      script=self.script_server.url)
        before = len(self.proxy.requests())
        self.assert_installed(*self.run_launcher("LAUNCHER_LOOPBACK"))
        self.assertEqual(self.passed_on(before), ["GET http://%s%s" % (self.server.host,
                                                                       ARCHIVE_PATH)])
        self.assertIn("/proxy.pac", self.script_server.requests)

    def test_failed_discovery_goes_direct(self):
        self.server = PackageServer(self.archive)
        self.script_server = ScriptServer("")
        # Detection finds nothing here, and the script's address answers 404.
        self.settings(DIRECT | CONFIGURATION_SCRIPT | AUTO_DETECT,
                      script=self.script_server.url.replace("proxy.pac", "missing.pac"))
        before = len(self.proxy.requests())
        self.assert_installed(*self.run_launcher("LAUNCHER_LOOPBACK"))
        self.assertEqual(self.passed_on(before), [])
        self.assertIn("/missing.pac", self.script_server.requests, "discovery was tried")

    def test_proxy_variable_wins_over_the_settings(self):
        self.server = PackageServer(self.archive)
        self.settings(DIRECT | FIXED_PROXY, proxy=DEAD_PROXY)
        before = len(self.proxy.requests())
        self.assert_installed(*self.run_launcher(
            "LAUNCHER_LOOPBACK", http_proxy="http://127.0.0.1:%d" % self.proxy.port))
        self.assertEqual(self.passed_on(before), ["GET http://%s%s" % (self.server.host,
                                                                       ARCHIVE_PATH)])


if __name__ == "__main__":
    unittest.main(verbosity=2)

#!/usr/bin/env python3
"""scripts/apt-helpers.sh against a loopback Debian mirror of the test's own, whose security
suite serves an i386 index that does not match its Release file, as while a mirror syncs. apt
works in a root of the test's own (APT_CONFIG: its sources, lists, cache, log and dpkg database,
and dpkg installing there), so the machine's own apt state is never touched and nothing reaches
the network. The packages are tiny .deb files made by the test with dpkg-deb.

Environment: APT_HELPERS (scripts/apt-helpers.sh), SCRATCH (a folder, emptied).
"""

import hashlib
import http.server
import os
import pwd
import shutil
import subprocess
import threading
import time
import unittest

APT_HELPERS = os.environ["APT_HELPERS"]
SCRATCH = os.environ["SCRATCH"]
ARCH = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True,
                      check=True).stdout.strip()
BROKEN = "dists/stable-security/main/binary-i386/Packages"


class Mirror:
    """Two suites on a loopback HTTP server, each with an index for this machine's architecture
    and one for i386: stable, whole, and stable-security, whose i386 index has grown since its
    Release file was written. Counts the requests for that index."""

    def __init__(self, folder):
        self.folder = folder
        self.pool = os.path.join(folder, "pool")
        os.makedirs(self.pool)
        self.requests = 0
        debs = {
            "stable": {ARCH: [self.deb("launcher-test-tool", ARCH, "1.0"),
                              self.deb("launcher-test-loader", ARCH, "1.0",
                                       "launcher-test-fix (>= 2)"),
                              self.deb("launcher-test-fix", ARCH, "1")],
                       "i386": [self.deb("launcher-test-tool", "i386", "1.0")]},
            "stable-security": {ARCH: [self.deb("launcher-test-fix", ARCH, "2")],
                                "i386": [self.deb("launcher-test-tool", "i386", "1.0")]},
        }
        for suite, indexes in debs.items():
            for arch, files in indexes.items():
                self.write_index(suite, arch, files)
            self.write_release(suite, indexes)
        with open(os.path.join(folder, BROKEN), "a") as f:
            f.write("Package: launcher-test-late\nVersion: 1\nArchitecture: i386\n\n")

        mirror = self

        class Handler(http.server.SimpleHTTPRequestHandler):
            def __init__(self, *args):
                super().__init__(*args, directory=folder)

            def do_GET(self):
                if self.path == "/debian/" + BROKEN:
                    mirror.requests += 1
                self.path = self.path[len("/debian"):] if self.path.startswith("/debian/") \
                    else "/nonexistent"
                super().do_GET()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.url = "http://127.0.0.1:%d/debian" % self.server.server_address[1]

    def deb(self, name, arch, version, depends=None):
        tree = os.path.join(self.folder, "build", "%s_%s" % (name, arch))
        os.makedirs(os.path.join(tree, "DEBIAN"))
        os.makedirs(os.path.join(tree, "usr", "share", name))
        with open(os.path.join(tree, "usr", "share", name, "version"), "w") as f:
            f.write(version + "\n")
        with open(os.path.join(tree, "DEBIAN", "control"), "w") as f:
            f.write("Package: %s\nVersion: %s\nArchitecture: %s\nMaintainer: Test <t@example.com>\n"
                    "Description: a package of the apt_helpers test\n" % (name, version, arch))
            if depends:
                f.write("Depends: %s\n" % depends)
        path = os.path.join(self.pool, "%s_%s_%s.deb" % (name, version, arch))
        subprocess.run(["dpkg-deb", "-Zgzip", "--root-owner-group", "--build", tree, path],
                       check=True, capture_output=True)
        shutil.rmtree(tree)
        return path

    def write_index(self, suite, arch, files):
        folder = os.path.join(self.folder, "dists", suite, "main", "binary-" + arch)
        os.makedirs(folder)
        with open(os.path.join(folder, "Packages"), "w") as index:
            for path in files:
                control = subprocess.run(["dpkg-deb", "--field", path], capture_output=True,
                                         text=True, check=True).stdout
                with open(path, "rb") as f:
                    data = f.read()
                index.write("%sFilename: pool/%s\nSize: %d\nSHA256: %s\n\n"
                            % (control, os.path.basename(path), len(data),
                               hashlib.sha256(data).hexdigest()))

    def write_release(self, suite, indexes):
        lines = ["Codename: %s" % suite, "Architectures: %s" % " ".join(indexes),
                 "Components: main",
                 "Date: %s" % time.strftime("%a, %d %b %Y %H:%M:%S UTC", time.gmtime()),
                 "SHA256:"]
        for arch in indexes:
            name = "main/binary-%s/Packages" % arch
            with open(os.path.join(self.folder, "dists", suite, name), "rb") as f:
                data = f.read()
            lines.append(" %s %d %s" % (hashlib.sha256(data).hexdigest(), len(data), name))
        with open(os.path.join(self.folder, "dists", suite, "Release"), "w") as f:
            f.write("\n".join(lines) + "\n")

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class AptHelpers(unittest.TestCase):
    def setUp(self):
        shutil.rmtree(SCRATCH, ignore_errors=True)
        self.mirror = Mirror(os.path.join(SCRATCH, "mirror"))
        self.addCleanup(self.mirror.close)
        self.root = os.path.join(SCRATCH, "root")
        for folder in ("etc/apt/apt.conf.d", "etc/apt/preferences.d", "etc/apt/sources.list.d",
                       "var/lib/apt/lists/partial", "var/cache/apt/archives/partial",
                       "var/log/apt", "var/lib/dpkg", "usr/sbin"):
            os.makedirs(os.path.join(self.root, folder))
        open(os.path.join(self.root, "var/lib/dpkg/status"), "w").close()
        with open(os.path.join(self.root, "etc/apt/sources.list"), "w") as f:
            # Unsigned: what is under test is an index that does not match its Release file.
            for suite in ("stable", "stable-security"):
                f.write("deb [trusted=yes] %s %s main\n" % (self.mirror.url, suite))
        self.config = os.path.join(SCRATCH, "apt.conf")
        with open(self.config, "w") as f:
            # A proxy in the environment (http_proxy) must not stand between apt and the mirror.
            f.write('Dir "%s/";\nAPT::Architectures { "%s"; "i386"; };\n'
                    'APT::Sandbox::User "%s";\nAcquire::http::Proxy::127.0.0.1 "DIRECT";\n'
                    'DPkg::Options { "--root=%s"; "--force-not-root"; };\n'
                    % (self.root, ARCH, pwd.getpwuid(os.getuid()).pw_name, self.root))

    def helpers(self, script):
        """Runs script in bash with scripts/apt-helpers.sh sourced, apt in the test's root."""
        return subprocess.run(
            ["bash", "-c", 'set -euo pipefail; apt_log_name=setup; sudo=; source "$1"; ' + script,
             "bash", APT_HELPERS],
            env=dict(os.environ, APT_CONFIG=self.config, LAUNCHER_APT_RETRY_PAUSES="0 0"),
            capture_output=True, text=True, timeout=120)

    def installed(self):
        with open(os.path.join(self.root, "var/lib/dpkg/status")) as f:
            return [entry.split("\n")[0] for entry in f.read().split("\n\n")
                    if "Status: install ok installed" in entry]

    def test_a_broken_index_is_tried_three_times_then_what_needs_it_alone_fails(self):
        result = self.helpers("apt_update; echo went on; apt_install launcher-test-tool; "
                              "apt_install launcher-test-loader")
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertEqual(self.mirror.requests, 3)
        self.assertEqual(result.stdout.count("setup: apt-get update failed: %s/%s (File has unexpected size"
                                             % (self.mirror.url, BROKEN)), 2, result.stdout)
        self.assertIn("went on\n", result.stdout)
        going_on = [line for line in result.stderr.splitlines() if "going on" in line]
        self.assertEqual(going_on, [
            "setup: apt-get update failed 3 times: %s/%s (File has unexpected size "
            "(%d != %d). Mirror sync in progress?); going on with the package lists apt has: "
            "what needs that index may not install"
            % (self.mirror.url, BROKEN, *self.broken_sizes())], result.stderr)

        # The whole suite's package installs; one that needs the broken suite names itself and
        # apt's reason, and nothing of it is installed.
        self.assertEqual(self.installed(), ["Package: launcher-test-tool"])
        with open(os.path.join(self.root, "usr/share/launcher-test-tool/version")) as f:
            self.assertEqual(f.read(), "1.0\n")
        self.assertIn("setup: apt-get install failed for: launcher-test-loader (Unable to correct "
                      "problems, you have held broken packages.)\n", result.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.root, "usr/sbin/policy-rc.d")))

        # Once the mirror's sync has ended, one update serves, and what needed it installs.
        os.truncate(os.path.join(self.mirror.folder, BROKEN), self.broken_sizes()[1])
        result = self.helpers("apt_update; apt_install launcher-test-loader")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(self.mirror.requests, 4)
        self.assertNotIn("failed", result.stdout + result.stderr)
        self.assertEqual(sorted(self.installed()), ["Package: launcher-test-fix",
                                                    "Package: launcher-test-loader",
                                                    "Package: launcher-test-tool"])
        with open(os.path.join(self.root, "usr/share/launcher-test-fix/version")) as f:
            self.assertEqual(f.read(), "2\n")

    def broken_sizes(self):
        """The broken index's size as served, and as its Release file gives it."""
        with open(os.path.join(self.mirror.folder, "dists/stable-security/Release")) as f:
            listed = next(int(line.split()[1]) for line in f if line.endswith("binary-i386/Packages\n"))
        return os.path.getsize(os.path.join(self.mirror.folder, BROKEN)), listed


if __name__ == "__main__":
    unittest.main(verbosity=2)

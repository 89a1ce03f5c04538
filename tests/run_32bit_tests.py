#!/usr/bin/env python3
"""scripts/run-32bit.sh with its emulator path forced (LAUNCHER_32BIT=emulated): real user and
mount namespaces, a real private binfmt_misc, and apt against a loopback mirror that is not
Debian's. No test reaches the network, so none fetches the real emulator: the namespace's entry
names a program that this test picks (the cached qemu-i386 where there is one), and what runs
inside is a 64-bit shell. That Wine's 32-bit programs run under the emulator is shown by the
Windows suite itself on machines that need it (scripts/test.sh says how it ran).

Environment: RUN_32BIT (scripts/run-32bit.sh), SCRATCH (a folder).
"""

import glob
import hashlib
import http.server
import os
import shutil
import subprocess
import threading
import time
import unittest

RUN_32BIT = os.environ["RUN_32BIT"]
SCRATCH = os.environ["SCRATCH"]


def namespaces_usable():
    try:
        subprocess.run(["unshare", "--user", "--map-root-user", "--mount", "true"], check=True,
                       capture_output=True, timeout=30)
    except (OSError, subprocess.SubprocessError):
        return False
    release = os.uname().release.split("-")[0].split(".")
    return tuple(int(part) for part in release[:2]) >= (6, 7)


def machine_binfmt_entries():
    """The machine's own binfmt_misc entries, read through a mount in a mount namespace of its
    own (which changes nothing outside), or None where only root could read them."""
    if os.geteuid() != 0:
        return None
    result = subprocess.run(
        ["unshare", "--mount", "--fork", "sh", "-c",
         "mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc && ls /proc/sys/fs/binfmt_misc"],
        capture_output=True, text=True, timeout=30)
    return result.stdout.split() if result.returncode == 0 else None


def plant_emulator(cache, folder, program):
    """An emulator in the cache as a fetch leaves it: program as qemu-i386 with its SHA-256 beside
    it, and `current` naming its folder."""
    os.makedirs(os.path.join(cache, folder))
    path = os.path.join(cache, folder, "qemu-i386")
    shutil.copy(program, path)
    with open(path, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    with open(path + ".sha256", "w") as f:
        f.write("%s  qemu-i386\n" % digest)
    with open(os.path.join(cache, "current"), "w") as f:
        f.write(folder + "\n")
    return path


class Mirror:
    """A loopback HTTP server holding a trixie suite whose Release carries no signature."""

    def __init__(self, folder):
        suite = os.path.join(folder, "debian", "dists", "trixie")
        os.makedirs(os.path.join(suite, "main", "binary-amd64"))
        with open(os.path.join(suite, "main", "binary-amd64", "Packages"), "w") as f:
            f.write("Package: qemu-user\nVersion: 1:99.0\nArchitecture: amd64\n"
                    "Filename: pool/main/q/qemu/qemu-user_99.0_amd64.deb\nSize: 4\n\n")
        with open(os.path.join(suite, "Release"), "w") as f:
            f.write("Suite: stable\nCodename: trixie\nDate: %s\nArchitectures: amd64\n"
                    "Components: main\n" % time.strftime("%a, %d %b %Y %H:%M:%S UTC",
                                                         time.gmtime()))
        handler = lambda *args: http.server.SimpleHTTPRequestHandler(
            *args, directory=folder)
        http.server.SimpleHTTPRequestHandler.log_message = lambda *args: None
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.url = "http://127.0.0.1:%d/debian" % self.server.server_address[1]

    def close(self):
        self.server.shutdown()
        self.server.server_close()


@unittest.skipUnless(namespaces_usable(), "needs user namespaces and Linux 6.7 or newer")
class EmulatedRun(unittest.TestCase):
    def setUp(self):
        shutil.rmtree(SCRATCH, ignore_errors=True)
        self.cache = os.path.join(SCRATCH, "cache")
        os.makedirs(self.cache)
        self.environment = dict(os.environ, LAUNCHER_32BIT="emulated",
                                LAUNCHER_QEMU_CACHE=self.cache)
        self.environment.pop("LAUNCHER_32BIT_EMULATOR", None)
        self.environment.pop("LAUNCHER_QEMU_I386", None)

    def run_32bit(self, *words, **environment):
        return subprocess.run([RUN_32BIT, *words], env=dict(self.environment, **environment),
                              capture_output=True, text=True, timeout=120)

    def test_command_keeps_its_arguments_and_status_and_the_entry_stays_in_the_namespace(self):
        cached = sorted(glob.glob(os.path.expanduser(
            "~/.cache/launcher-qemu-user/qemu-user_*/qemu-i386")))
        emulator = cached[-1] if cached else shutil.which("true")
        before = machine_binfmt_entries()
        result = self.run_32bit(
            "sh", "-c", 'cat "$LAUNCHER_QEMU_CACHE/binfmt/launcher-i386"; '
            'echo "emulator=$LAUNCHER_32BIT_EMULATOR"; printf "%s|" "$@"; exit 3',
            "sh", "a b", "", 'c"d', LAUNCHER_QEMU_I386=emulator)
        self.assertEqual(result.returncode, 3, result.stderr)
        self.assertIn("enabled\ninterpreter %s\nflags: F\n" % emulator, result.stdout)
        self.assertIn("magic 7f454c4601010100000000000000000002000300", result.stdout)
        self.assertIn("emulator=%s\n" % emulator, result.stdout)
        self.assertTrue(result.stdout.endswith("a b||c\"d|"), result.stdout)
        # Outside, the mount point is an empty folder and the machine has no such entry.
        self.assertEqual(os.listdir(os.path.join(self.cache, "binfmt")), [])
        after = machine_binfmt_entries()
        if after is not None:
            self.assertNotIn("launcher-i386", after)
            self.assertEqual(before, after)

        # A program that is no emulator cannot pass for one.
        check = self.run_32bit("--check", LAUNCHER_QEMU_I386=shutil.which("true"))
        self.assertEqual(check.returncode, 1, check.stdout)
        self.assertIn("Wine's 32-bit loader does not start under", check.stdout)

        # A command that cannot start fails as such, and a missing emulator is named.
        self.assertEqual(self.run_32bit("/nonexistent/program",
                                        LAUNCHER_QEMU_I386=emulator).returncode, 127)
        missing = self.run_32bit("true", LAUNCHER_QEMU_I386="/nonexistent/qemu-i386")
        self.assertEqual(missing.returncode, 125)
        self.assertIn("LAUNCHER_QEMU_I386 names no program: /nonexistent/qemu-i386",
                      missing.stderr)

    def test_unsigned_mirror_is_refused_then_a_cached_emulator_serves(self):
        mirror = Mirror(os.path.join(SCRATCH, "mirror"))
        self.addCleanup(mirror.close)
        check = self.run_32bit("--check", LAUNCHER_DEBIAN_MIRROR=mirror.url)
        self.assertEqual(check.returncode, 1, check.stdout + check.stderr)
        self.assertIn("LAUNCHER_32BIT=emulated, but 32-bit programs cannot be emulated here (no "
                      "emulator: apt-get update failed for %s trixie: E: The repository"
                      % mirror.url, check.stdout)
        self.assertIn("is not signed", check.stdout)
        self.assertEqual(glob.glob(os.path.join(self.cache, "qemu-user_*")), [])
        self.assertFalse(os.path.exists(os.path.join(self.cache, "current")))
        refused = self.run_32bit("true", LAUNCHER_DEBIAN_MIRROR=mirror.url)
        self.assertEqual(refused.returncode, 125)
        self.assertIn("32-bit programs cannot run here", refused.stderr)

        # An emulator fetched before (here: a day and more ago) is used when the archive fails.
        folder = os.path.join(self.cache, "qemu-user_1_10.0.0_amd64")
        plant_emulator(self.cache, "qemu-user_1_10.0.0_amd64", shutil.which("true"))
        current = os.path.join(self.cache, "current")
        two_days_ago = time.time() - 2 * 86400
        os.utime(current, (two_days_ago, two_days_ago))
        cached = self.run_32bit("sh", "-c", 'echo "$LAUNCHER_32BIT_EMULATOR"',
                                LAUNCHER_DEBIAN_MIRROR=mirror.url)
        self.assertEqual(cached.returncode, 0, cached.stderr)
        self.assertEqual(cached.stdout, os.path.join(folder, "qemu-i386") + "\n")
        self.assertIn("is not signed", cached.stderr)
        self.assertIn("using the cached %s/qemu-i386" % folder, cached.stderr)

    def test_a_cache_others_could_have_written_runs_nothing_it_holds(self):
        # Whatever runs is seen: the planted emulator leaves a mark each time it starts.
        mirror = Mirror(os.path.join(SCRATCH, "mirror"))
        self.addCleanup(mirror.close)
        planted = os.path.join(SCRATCH, "planted.sh")
        with open(planted, "w") as f:
            f.write('#!/bin/sh\necho started >>"$0.ran"\nexit 0\n')
        os.chmod(planted, 0o755)
        folder = "qemu-user_1_10.0.0_amd64"
        emulator = plant_emulator(self.cache, folder, planted)

        def refused(why):
            result = self.run_32bit("sh", "-c", "echo ran", LAUNCHER_DEBIAN_MIRROR=mirror.url)
            self.assertEqual(result.returncode, 125, result.stdout + result.stderr)
            self.assertNotIn("ran", result.stdout)
            self.assertIn(why, result.stderr)
            self.assertFalse(os.path.exists(emulator + ".ran"))
            self.assertEqual(sorted(os.listdir(os.path.join(self.cache, folder))),
                             ["qemu-i386", "qemu-i386.sha256"])
            return result

        # As fetched, it serves (a day old at most: no network).
        served = self.run_32bit("sh", "-c", 'echo "$LAUNCHER_32BIT_EMULATOR"',
                                LAUNCHER_DEBIAN_MIRROR=mirror.url)
        self.assertEqual((served.returncode, served.stdout), (0, emulator + "\n"), served.stderr)
        os.remove(emulator + ".ran")

        with self.subTest("a cache others may write to"):
            os.chmod(self.cache, 0o777)
            self.addCleanup(os.chmod, self.cache, 0o755)
            refused("the emulator's cache is refused: others may write to %s (mode 777)"
                    % self.cache)
            os.chmod(self.cache, 0o755)
        if os.geteuid() == 0:
            with self.subTest("a cache of another user's"):
                os.chown(self.cache, 65534, 65534)
                self.addCleanup(os.chown, self.cache, 0, 0)
                refused("the emulator's cache is refused: %s belongs to user 65534, not to root"
                        % self.cache)
                os.chown(self.cache, 0, 0)
        with self.subTest("a current that names a path"):
            outside = plant_emulator(SCRATCH, "elsewhere", planted)
            with open(os.path.join(self.cache, "current"), "w") as f:
                f.write("../elsewhere\n")
            refused("%s/current names no emulator folder ('../elsewhere'): not used" % self.cache)
            self.assertFalse(os.path.exists(outside + ".ran"))
            with open(os.path.join(self.cache, "current"), "w") as f:
                f.write(folder + "\n")
        with self.subTest("a changed emulator"):
            with open(emulator, "a") as f:
                f.write("# changed\n")
            refused("%s is not the emulator that was fetched (not the SHA-256 recorded then): "
                    "the cached emulator is not used" % emulator)

    def test_inside_refuses_to_run_outside_the_namespace_made_for_it(self):
        # A private mount namespace, and an emulator that does not exist: were the refusal
        # missing, neither the mount nor the registration would reach this machine.
        sandbox = ["unshare", "--mount"] if os.geteuid() == 0 else []
        for outside in (None, "user:[4026531837]"):
            with self.subTest(LAUNCHER_32BIT_OUTSIDE=outside):
                environment = dict(self.environment)
                if outside:
                    environment["LAUNCHER_32BIT_OUTSIDE"] = outside
                result = subprocess.run(
                    [*sandbox, RUN_32BIT, "--inside", "/nonexistent/qemu-i386", "sh", "-c",
                     "echo ran"], env=environment, capture_output=True, text=True, timeout=60)
                self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
                self.assertEqual(result.stdout, "")
                self.assertIn("--inside runs only in the namespace this script makes",
                              result.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.cache, "binfmt")))


if __name__ == "__main__":
    unittest.main(verbosity=2)

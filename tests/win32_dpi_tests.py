#!/usr/bin/env python3
"""launcher.exe under Wine at 200 %: a Wine prefix of its own set to 192 DPI (LogPixels), on an
Xvfb screen of 2560 x 1440 whose work area leaves a bar of 200 columns on the left and 60 rows at
the top and 80 at the bottom (_NET_WORKAREA on the root window, which Wine reads as a window
manager's; the server runs with -noreset, which keeps it when no client is left). The splash is
1712 x 1104, centred in that work area, and drawn at that size: the
bar, its fill and the status line where the scaled layout puts them.

What Wine cannot show: a move to a monitor of another scale; Wine has one DPI for every monitor
and never sends WM_DPICHANGED. The redraw at a new scale is checked by
Win32Splash.MovedToAMonitorOfAnotherScaleTheWindowIsRedrawnAtThatScale (win32_graphics_tests),
which sends the message to a window of its own; Wine makes windows only with a display, so that
case runs here, on this one.

Run by CTest inside xvfb-run; the environment is that of tests/win32_window_tests.py, with
LAUNCHER_WINEPREFIX naming a prefix for these tests alone (its DPI must not reach the others), and
GRAPHICS_TESTS_EXE (win32_graphics_tests).
"""

import os
import subprocess
import unittest

import win32_window_tests as window

SCREEN = (2560, 1440)
WORK_AREA = (200, 60, 2360, 1300)  # x, y, width, height
DPI = 192
# Centred in the work area: 200 + (2360 - 1712) / 2, 60 + (1300 - 1104) / 2.
SPLASH = (524, 158, 1712, 1104)
BAR_X, BAR_Y = SPLASH[0] + 2 * 50, SPLASH[1] + 2 * 520
BAR_ROW = 12
STATUS_ROWS = range(BAR_Y - 2 * 30, BAR_Y)


def set_work_area():
    x, y, width, height = WORK_AREA
    subprocess.run(["xprop", "-root", "-f", "_NET_WORKAREA", "32cccc", "-set", "_NET_WORKAREA",
                    "%d, %d, %d, %d" % (x, y, width, height)], check=True, timeout=30)


class LauncherAtTwiceTheDpi(window.WineLauncherCase):
    @classmethod
    def setUpClass(cls):
        set_work_area()
        super().setUpClass()
        subprocess.run([cls.wine_run, "reg", "add", "HKCU\\Control Panel\\Desktop", "/v",
                        "LogPixels", "/t", "REG_DWORD", "/d", str(DPI), "/f"],
                       env=cls.environment(None), check=True, capture_output=True, timeout=120)
        # A new Wine session reads the DPI afresh.
        subprocess.run([cls.wine_run, "--wait"], env=cls.environment(None), timeout=120)

    def test_splash_is_twice_as_large_centred_in_the_work_area_and_drawn_at_that_size(self):
        width, height, _ = window.screenshot()
        self.assertEqual((width, height), SCREEN)
        self.server = window.PackageServer(self.archive, hold=True)
        self.start("LAUNCHER_LOOPBACK", self.server)
        self.assertTrue(self.server.half_sent.wait(60), "the download never started")
        self.assertEqual(window.wait_for(window.window_geometry, 30), SPLASH)

        # 50 per cent: 656 of the scaled fill's 1312 columns are green, the rest the black track.
        def bar_at_half():
            _, _, pixel = window.screenshot()
            return (all(window.near(pixel(BAR_X + column, BAR_Y + BAR_ROW), window.FILL_GREEN)
                        for column in (20, 320, 640)) and
                    all(window.near(pixel(BAR_X + column, BAR_Y + BAR_ROW), (0, 0, 0))
                        for column in (672, 1000, 1290)))

        self.assertTrue(window.wait_for(bar_at_half, 15, step=0.5),
                        "the bar is not drawn at twice its size at 50 per cent")

        # The status line, twice as high, centred above the scaled bar.
        def status_columns():
            _, _, pixel = window.screenshot()
            return [x for x in range(SPLASH[0], SPLASH[0] + SPLASH[2])
                    if any(min(pixel(x, y)) > 160 for y in STATUS_ROWS)]

        columns = window.wait_for(status_columns, 15, step=0.5)
        self.assertTrue(columns, "no status line above the bar")
        self.assertLessEqual(abs((columns[0] + columns[-1]) / 2 - (BAR_X + 656)), 6, columns)
        subprocess.run(["import", "-window", "root",
                        os.path.join(self.scratch, "splash_at_192_dpi.png")], check=True)
        _, _, pixel = window.screenshot()
        # The picture's clear right margin, at twice its width, lets the root's black through.
        self.assertEqual(pixel(SPLASH[0] + 1700, SPLASH[1] + 600), (0, 0, 0))

        self.assertEqual(self.post("close"), 0)
        code, output = self.finish(seconds=15)
        self.assertEqual(code, 0, output)

    def test_window_moved_to_a_monitor_of_another_scale_is_redrawn_at_it(self):
        case = "Win32Splash.MovedToAMonitorOfAnotherScaleTheWindowIsRedrawnAtThatScale"
        env = dict(self.environment(None), LAUNCHER_TEST_DISPLAY="1")
        result = subprocess.run([self.wine_run, os.environ["GRAPHICS_TESTS_EXE"],
                                 "--gtest_filter=" + case], env=env, cwd=self.scratch,
                                capture_output=True, timeout=300)
        output = result.stdout.decode("utf-8", "replace") + result.stderr.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 0, output)
        self.assertIn("[       OK ] " + case, output)


if __name__ == "__main__":
    unittest.main(verbosity=2)

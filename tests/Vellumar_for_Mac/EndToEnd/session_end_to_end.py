#!/usr/bin/env python3
# What a user meets across a session, with the program started as `scripts/start` starts it: what a
# start prints without a display or with one it cannot reach, what a second start says, and a tray
# host that goes away and comes back (trayer on Xvfb).
#
# Every message of Qt's is marked through QT_MESSAGE_PATTERN, so none can pass for one of the
# program's own lines.
import os
import pwd
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from end_to_end_steps import Application, Desktop, stop, wait_for  # noqa: E402

QT_MARK = "qt-message: "
NO_DISPLAY = "No display: phones paired earlier keep working; pairing a new phone needs a display."


def qt_lines(text):
    return [line for line in text.splitlines() if line.startswith(QT_MARK)]


def unused_display():
    """A display number no X server listens on, by socket file or by abstract socket."""
    with open("/proc/net/unix") as sockets:
        listening = sockets.read()
    return next(number for number in range(99, 300) if not os.path.exists("/tmp/.X11-unix/X%d" % number)
                and "@/tmp/.X11-unix/X%d\n" % number not in listening)


class SessionEndToEnd(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="vellumar-session-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)

    def application(self, env, folder=None):
        """The program in a home of its own inside `folder` (the test's folder when none)."""
        home = os.path.join(folder or self.folder, "home")
        app = Application(home, dict(env, QT_MESSAGE_PATTERN=QT_MARK + "%{message}"))
        self.addCleanup(app.end)
        return app

    def without_display(self, **more):
        """The environment of a start without a display, with `more` set."""
        env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
            env.pop(name, None)
        return dict(env, **more)

    def start_without_session(self, env, folder):
        """Starts the program without a runtime folder named, as over ssh; Qt's fallback for one, and
        so the program's, is then in `folder`."""
        os.makedirs(folder)
        app = self.application(env, folder)
        app.env.pop("XDG_RUNTIME_DIR")
        app.env["TMPDIR"] = folder
        return app.start()

    def test_starts_without_a_display_print_only_the_programs_lines(self):
        unreachable = unused_display()
        cases = [
            ("no display", self.without_display(), [NO_DISPLAY]),
            ("a display that cannot be reached", self.without_display(DISPLAY=":%d" % unreachable),
             ['The display ":%d" cannot be reached; going on without it.' % unreachable, NO_DISPLAY]),
        ]
        for index, (name, env, lines) in enumerate(cases):
            with self.subTest(name):
                folder = os.path.join(self.folder, str(index))
                app = self.start_without_session(env, folder)
                status, said = app.start_again()
                self.assertEqual(status, 0, said)
                self.assertEqual(qt_lines(said), [])
                self.assertIn("Vellumar for Mac is already running without a display, so it has no menu to show",
                              said)
                self.assertNotIn("its menu is shown", said)
                wait_for("the no-display line", lambda: NO_DISPLAY in app.errors())
                app.end()
                self.assertEqual(qt_lines(app.errors()), [])
                for line in lines:
                    self.assertIn(line, app.errors().splitlines())
                runtime = os.path.join(folder, "runtime-" + pwd.getpwuid(os.geteuid()).pw_name)
                self.assertEqual(os.stat(runtime).st_mode & 0o777, 0o700)

    def test_a_tray_that_goes_away_brings_the_menu_window_back(self):
        desktop = Desktop()
        self.addCleanup(desktop.close)
        desktop.start_tray()
        app = self.application(desktop.env).start()
        self.assertEqual(desktop.windows("Vellumar for Mac"), [], "the menu is the tray icon's")

        # The panel quits: the menu comes up as a window, as at a start without a tray.
        stop(desktop.tray)
        desktop.tray = None
        wait_for("the torn-off menu", lambda: desktop.windows("Vellumar for Mac"), seconds=20)
        status, said = app.start_again()
        self.assertEqual(status, 0, said)
        self.assertIn("its menu is shown", said)

        # A panel that comes back takes the icon again, and the window goes.
        desktop.start_tray()
        wait_for("the torn-off menu closed", lambda: not desktop.windows("Vellumar for Mac"), seconds=20)
        self.assertIsNone(app.process.poll())
        app.end()
        self.assertEqual(qt_lines(app.errors()), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)

#!/usr/bin/env python3
# `cmake --install` into a prefix of the test's own, as a user installs the program: the launcher that
# the desktop's menu shows, the installed program reading what it is granted from the installed files
# and serving phones over its pinned certificate, the login item naming whichever program turned it
# on, and removal by the install manifest leaving nothing behind.
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../EndToEnd"))
from end_to_end_steps import EXECUTABLE, Application, Desktop, curl, run, wait_for  # noqa: E402

BUILD = os.environ["VELLUMAR_BUILD_DIR"]
CMAKE = os.environ.get("CMAKE_COMMAND", "cmake")


def public_key_pin(certificate):
    """The base64 SHA-256 of the certificate's public key, as a phone pins it, computed by openssl."""
    key = run(["openssl", "x509", "-in", certificate, "-pubkey", "-noout"], check=True).stdout
    der = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "DER"], input=key.encode(), capture_output=True,
                         check=True).stdout
    digest = subprocess.run(["openssl", "dgst", "-sha256", "-binary"], input=der, capture_output=True,
                            check=True).stdout
    return subprocess.run(["base64"], input=digest, capture_output=True, check=True).stdout.decode().strip()


class InstalledProgram(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="vellumar-install-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        self.prefix = os.path.join(self.folder, "prefix with space")
        # Stripped, as packagers install it: a fifth of the sanitized build's size.
        installed = run([CMAKE, "--install", BUILD, "--prefix", self.prefix, "--strip"])
        self.assertEqual(installed.returncode, 0, installed.stdout + installed.stderr)
        self.program = os.path.join(self.prefix, "bin/vellumar")

    def application(self, name, env, program, onboarded=True):
        """`program` started by `scripts/start` in a home of its own."""
        app = Application(os.path.join(self.folder, name), env, onboarded)
        app.env["VELLUMAR_EXECUTABLE"] = program
        self.addCleanup(app.end)
        return app.start()

    def test_the_launcher_names_the_installed_program_and_passes_the_desktop_entry_check(self):
        for part in ("share/vellumar/bundle-info.json", "share/icons/hicolor/scalable/apps/vellumar.svg"):
            self.assertTrue(os.path.isfile(os.path.join(self.prefix, part)), part)
        launcher = os.path.join(self.prefix, "share/applications/vellumar.desktop")
        checked = run(["desktop-file-validate", launcher])
        self.assertEqual((checked.returncode, checked.stdout + checked.stderr), (0, ""))
        with open(launcher) as entry:
            text = entry.read()
        self.assertIn('\nExec="%s"\n' % self.program, text)
        self.assertIn("\nIcon=vellumar\n", text)

    def test_removal_by_the_install_manifest_leaves_no_file(self):
        manifest = os.path.join(BUILD, "install_manifest.txt")
        # The uninstall line the README gives.
        removed = run(["sh", "-c", "xargs -d '\\n' rm -- < \"$1\"", "sh", manifest])
        self.assertEqual(removed.returncode, 0, removed.stderr)
        left = [os.path.join(folder, name) for folder, _, names in os.walk(self.prefix) for name in names]
        self.assertEqual(left, [])

    def test_the_installed_program_starts_headless_and_serves_health_over_its_pinned_certificate(self):
        # Granted the mailbox where an installed program reads what it is granted.
        with open(os.path.join(self.prefix, "share/vellumar/vellumar.entitlements.json"), "w") as granted:
            json.dump({"com.apple.developer.icloud-services": ["CloudKit"],
                       "com.apple.developer.icloud-container-identifiers": ["iCloud.com.zu.plimsor"]}, granted)
        env = {name: value for name, value in os.environ.items() if name not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.pop("QT_QPA_PLATFORM", None)
        app = self.application("home", env, self.program)
        wait_for("the mailbox's cloud database",
                 lambda: os.path.exists(os.path.join(app.home, "data/Vellumar/cloud/iCloud.com.zu.plimsor.sqlite")))
        app.address = "127.0.0.1"
        pin = public_key_pin(os.path.join(app.home, "data/Vellumar/tls/cert.pem"))
        status, answer = curl(app, "/health", pin)
        self.assertEqual(status, 401, answer)
        self.assertEqual(answer["error"], "unauthorized")
        # A certificate other than the pinned one is refused before any request is sent.
        self.assertEqual(curl(app, "/health", "A" * 43 + "=")[0], 0)
        app.end()
        self.assertEqual(app.process.returncode, 0)

    def test_launch_at_login_names_the_program_that_turned_it_on(self):
        desktop = Desktop()
        self.addCleanup(desktop.close)
        for name, program in (("installed", self.program), ("build", EXECUTABLE)):
            with self.subTest(name):
                app = self.application(name, desktop.env, program, onboarded=False)
                # The set-up window of a first launch: Return finishes it with launch at login on.
                setup = wait_for("the set-up window", lambda: desktop.windows("Set Up Vellumar"))[0]
                entry = os.path.join(app.home, "config/autostart/vellumar.desktop")
                desktop.xdotool("windowfocus", "--sync", setup, "key", "Return")
                wait_for("the login item", lambda: os.path.exists(entry))
                with open(entry) as written:
                    self.assertIn('\nExec="%s"\n' % program, written.read())
                app.end()


if __name__ == "__main__":
    unittest.main()

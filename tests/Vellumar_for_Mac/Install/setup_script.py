#!/usr/bin/env python3
# What `scripts/setup` does for a user who is not root on a machine without sudo: it names the Debian
# packages that are missing and the line that installs them, instead of failing on "sudo".
import os
import shutil
import subprocess
import tempfile
import unittest

SOURCE = os.environ["VELLUMAR_SOURCE_DIR"]


class SetupScript(unittest.TestCase):
    def test_without_sudo_it_names_the_missing_packages_and_the_line_that_installs_them(self):
        if os.geteuid() != 0:
            self.skipTest("running as another user needs root")
        folder = tempfile.mkdtemp(prefix="vellumar-setup-")
        self.addCleanup(shutil.rmtree, folder)
        os.chmod(folder, 0o755)
        # A PATH of only what the script runs, so that no sudo is found whatever this machine has.
        commands = os.path.join(folder, "bin")
        os.mkdir(commands)
        for command in ("bash", "dpkg-query", "grep", "id"):
            os.symlink(shutil.which(command), os.path.join(commands, command))
        packages = shutil.copy(os.path.join(SOURCE, "scripts/lib/packages.sh"), folder)
        result = subprocess.run(
            ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "env", "-i", "PATH=" + commands,
             "bash", "-c", 'source "$1" && install_missing_packages bash vellumar-not-a-package', "bash", packages],
            capture_output=True, text=True, timeout=60)
        self.assertEqual((result.returncode, result.stdout), (1, ""))
        self.assertEqual(result.stderr, "Missing Debian packages: vellumar-not-a-package\n"
                         "sudo is not installed, so install them as root with\n"
                         "  apt-get update && apt-get install --no-install-recommends vellumar-not-a-package\n"
                         "and then run this again.\n")


if __name__ == "__main__":
    unittest.main()

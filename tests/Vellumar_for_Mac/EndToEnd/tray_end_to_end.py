#!/usr/bin/env python3
# The product as a person meets it: `scripts/start` (running the executable the build made) on a
# virtual X server with a tray host, clicked and typed at with xdotool, its pairing code read off a
# screenshot with zbarimg, a phone played by curl, and the real Claude Code CLI from tests/peers
# answering from tests/peers/scripted_model.py. Screenshots stay in VELLUMAR_SCREENSHOTS for a person.
#
# Runs in a network namespace of its own with 10.77.0.1 on a link, where one can be made; elsewhere
# the same steps run in the host's namespace against the address the program prints.
import os
import re
import shutil
import tempfile
import unittest

from end_to_end_steps import (NAMESPACE_ADDRESS, SCREEN, SHOTS, Application, Desktop, Phone, enter_private_network,
                              offer_pairing, qr_text, run, scripted_model, set_up_private_network, stop,
                              wait_for)


def tray_disc_pixels(desktop):
    """How many pixels of the tray's rightmost icon cell are the busy icon's blue disc."""
    shot = desktop.screenshot("e2e-tray.png")
    pixels = run(["convert", shot, "-crop", "24x24+%d+0" % (SCREEN[0] - 24), "txt:-"]).stdout
    return sum(1 for red, green, blue in re.findall(r"\((\d+),(\d+),(\d+)", pixels)
               if int(blue) > 180 and int(red) < 100)


def processes_mentioning(text):
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as cmdline:
                if text.encode() in cmdline.read():
                    found.append(pid)
        except OSError:
            pass
    return found


class TrayEndToEnd(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="vellumar-e2e-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        os.makedirs(SHOTS, exist_ok=True)

    def desktop(self, tray):
        desktop = Desktop()
        self.addCleanup(desktop.close)
        if tray:
            desktop.start_tray()
        return desktop

    def application(self, env, onboarded=True):
        app = Application(os.path.join(self.folder, "home"), env, onboarded)
        self.addCleanup(app.end)
        return app

    def scripted_model(self, note):
        model, url = scripted_model([{"tool_use": {"name": "Write", "input": {"file_path": note,
                                                                              "content": "written by the job\n"}}},
                                     {"text": "The note is written."}], self.folder)
        self.addCleanup(stop, model)
        return url

    def test_a_phone_pairs_by_the_qr_code_chats_with_claude_code_and_quit_ends_everything(self):
        desktop = self.desktop(tray=True)
        # Claude Code asks before it writes its own folder, also inside a writable grant.
        notes = os.path.join(self.folder, "notes")
        note = os.path.join(notes, ".claude/commands/note.md")
        os.makedirs(os.path.dirname(note))
        app = self.application(desktop.env)
        app.install_claude(self.scripted_model(note))
        app.start()
        if os.environ.get("VELLUMAR_PRIVATE_NETWORK") == "1":
            self.assertEqual(app.address, NAMESPACE_ADDRESS)
        self.assertEqual(desktop.windows("Set Up Vellumar"), [], "no set-up window after onboarding")

        # A click on the icon opens the menu; Ctrl+N chooses "Add Phone".
        pair_window, lines = offer_pairing(desktop)
        self.assertEqual(lines[0], "# Vellumar pairing v1")
        self.assertEqual(lines[1], "https://%s:%d" % (app.address, app.port))

        phone = Phone(app, lines, "Pixel")
        self.assertEqual(phone.pairing[0], 200, phone.pairing[1])
        wait_for("the success in the pairing window",
                 lambda: not qr_text(desktop.screenshot("e2e-pair-success.png", pair_window)), seconds=1)
        self.assertEqual(tray_disc_pixels(desktop), 0, "an outline icon while nothing runs")

        # A job whose Write is asked about once, answered "once", ends done with the file written.
        job = {"conversationId": "ios-e2e-1", "botId": "main", "message": "Write the note.",
               "permissions": {"folders": [{"path": notes, "access": "write"}]}}
        status, submitted = phone.request("/v1/jobs", job)
        self.assertEqual(status, 202, submitted)
        question = self.wait_for_question(phone, submitted["jobId"])
        status, _ = phone.request("/v1/jobs/%s/permission" % submitted["jobId"],
                                  {"requestId": question, "decision": "once"})
        self.assertEqual(status, 200)
        final = phone.wait_for_job(submitted["jobId"], lambda job: job["status"] in ("done", "failed"))
        self.assertEqual(final["status"], "done", final)
        with open(note) as written:
            self.assertEqual(written.read(), "written by the job\n")

        # A second job waits on its question while Ctrl+Q ends the program.
        os.remove(note)
        status, second = phone.request("/v1/jobs", dict(job, conversationId="ios-e2e-2"))
        self.assertEqual(status, 202, second)
        self.wait_for_question(phone, second["jobId"])
        # Claude Code's run is told of files in the data folder; nothing else here is.
        data = os.path.join(app.home, "data")
        self.assertTrue(processes_mentioning(data), "Claude Code runs the second job")
        wait_for("a filled icon while a job runs", lambda: tray_disc_pixels(desktop) > 50)
        desktop.open_menu()
        desktop.xdotool("key", "ctrl+q")
        # The quit gives the relay two seconds to stop; half a second more covers ending the process.
        self.assertEqual(app.process.wait(2.5), 0)
        wait_for("no Claude Code left", lambda: not processes_mentioning(data), seconds=5)
        self.assertFalse(os.path.exists(note))

        # Without a display the phone paired above is still served, and pairing is said to need one.
        headless = dict(app.env)
        headless.pop("DISPLAY")
        app.env = headless
        app.start()
        self.assertEqual(phone.request("/health")[0], 200)
        self.assertEqual(phone.request("/health", token=None)[0], 401)
        self.assertIn("pairing a new phone needs a display", app.errors())

    def wait_for_question(self, phone, job_id):
        job = phone.wait_for_job(job_id, lambda job: job.get("permissionRequests")
                                 or job["status"] in ("done", "failed"))
        self.assertTrue(job.get("permissionRequests"), job)
        return job["permissionRequests"][0]["requestId"]

    def test_without_a_tray_the_menu_is_a_window_that_a_second_start_brings_up(self):
        desktop = self.desktop(tray=False)
        app = self.application(desktop.env, onboarded=False).start()

        # A first launch opens the set-up window in the screen's centre.
        setup = wait_for("the set-up window", lambda: desktop.windows("Set Up Vellumar"))[0]
        x, y, width, height = desktop.geometry(setup)
        self.assertLessEqual(abs(x + width // 2 - SCREEN[0] // 2), 2)
        # Placed in the centre; its height then follows the Claude Code check, growing downwards.
        self.assertLessEqual(abs(y + height // 2 - SCREEN[1] // 2), 40)

        menu = wait_for("the torn-off menu", lambda: desktop.windows("Vellumar for Mac"), seconds=15)[0]
        desktop.screenshot("e2e-torn-off-menu.png")
        desktop.xdotool("windowunmap", menu)
        wait_for("the menu gone", lambda: not desktop.windows("Vellumar for Mac"))
        status, said = app.start_again()
        self.assertEqual(status, 0, said)
        self.assertIn("already running", said)
        wait_for("the menu back", lambda: desktop.windows("Vellumar for Mac"))

        # A tray that comes later takes the icon, and the window goes.
        desktop.start_tray()
        wait_for("the torn-off menu closed", lambda: not desktop.windows("Vellumar for Mac"), seconds=15)
        self.assertIsNone(app.process.poll())

    def test_a_display_that_cannot_be_reached_still_serves(self):
        display = next(number for number in range(99, 200) if not os.path.exists("/tmp/.X11-unix/X%d" % number))
        env = dict(os.environ, DISPLAY=":%d" % display)
        env.pop("QT_QPA_PLATFORM", None)
        app = self.application(env).start()
        pin_free = ["curl", "-sS", "-k", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "30",
                    "https://%s:%d/health" % (app.address, app.port)]
        self.assertEqual(run(pin_free).stdout, "401")
        self.assertIsNone(app.process.poll())


if __name__ == "__main__":
    if enter_private_network():
        set_up_private_network()
    unittest.main(verbosity=2)

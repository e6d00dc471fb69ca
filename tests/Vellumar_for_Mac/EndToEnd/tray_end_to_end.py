#!/usr/bin/env python3
# The product as a person meets it: `scripts/start` (running the executable the build made) on a
# virtual X server with a tray host, clicked and typed at with xdotool, its pairing code read off a
# screenshot with zbarimg, a phone played by curl, and the real Claude Code CLI from tests/peers
# answering from tests/peers/scripted_model.py. Screenshots stay in VELLUMAR_SCREENSHOTS for a person.
#
# Runs in a network namespace of its own with 10.77.0.1 on a link, where one can be made; elsewhere
# the same steps run in the host's namespace against the address the program prints.
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE = os.environ["VELLUMAR_SOURCE_DIR"]
EXECUTABLE = os.environ["VELLUMAR_EXECUTABLE"]
SHOTS = os.environ.get("VELLUMAR_SCREENSHOTS", tempfile.gettempdir())
CLAUDE = os.path.join(SOURCE, "tests/peers/node_modules/.bin/claude")
NAMESPACE_ADDRESS = "10.77.0.1"
PATIENCE = 60  # a guard against a hang, never a measurement
SCREEN = (1280, 800)


def wait_for(what, check, seconds=PATIENCE):
    deadline = time.monotonic() + seconds
    while True:
        value = check()
        if value or time.monotonic() > deadline:
            if not value:
                raise AssertionError("not within %s s: %s" % (seconds, what))
            return value
        time.sleep(0.05)


def run(argv, env=None, check=False, timeout=PATIENCE):
    return subprocess.run(argv, env=env, capture_output=True, text=True, check=check, timeout=timeout)


def stop(process):
    process.terminate()
    process.wait()
    if process.stdout:
        process.stdout.close()


def enter_private_network():
    """Re-runs this script in a network namespace of its own; False where none can be made."""
    if os.environ.get("VELLUMAR_PRIVATE_NETWORK") == "1":
        return True
    if shutil.which("unshare") is None or run(["unshare", "--net", "true"]).returncode != 0:
        return False
    os.environ["VELLUMAR_PRIVATE_NETWORK"] = "1"
    os.execvp("unshare", ["unshare", "--net", sys.executable, __file__] + sys.argv[1:])


def set_up_private_network():
    # This kernel has no dummy links: one end of a veth pair carries the address. Named "en…" so
    # the program takes it as its LAN address.
    for command in (["link", "set", "lo", "up"], ["link", "add", "en77", "type", "veth", "peer", "name", "en77p"],
                    ["addr", "add", NAMESPACE_ADDRESS + "/24", "dev", "en77"], ["link", "set", "en77", "up"],
                    ["link", "set", "en77p", "up"]):
        run(["ip"] + command, check=True)


class Desktop:
    """An X server (Xvfb) and, when asked, a tray host (trayer) on it."""

    def __init__(self):
        # Only the abstract socket, which belongs to the network namespace: a socket file in /tmp would
        # be shared with X servers in other namespaces. Without -noreset the server resets each time its
        # last client leaves and drops any client still connecting then: a tray host or program starting
        # while an xdotool call ends would find no display, which a loaded machine makes likely.
        self.server = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "%dx%dx24" % SCREEN,
                                        "-nolisten", "tcp", "-nolisten", "unix", "-noreset"],
                                       stdout=subprocess.PIPE, text=True)
        number = self.server.stdout.readline().strip()
        if not number:
            raise AssertionError("Xvfb did not start")
        self.display = ":" + number
        self.env = dict(os.environ, DISPLAY=self.display, DBUS_SESSION_BUS_ADDRESS="disabled:")
        self.env.pop("QT_QPA_PLATFORM", None)
        self.tray = None
        self.tray_errors = None

    def start_tray(self):
        self.tray_errors = tempfile.TemporaryFile("w+")
        self.tray = subprocess.Popen(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                                      "--height", "24"], env=self.env, stdout=subprocess.DEVNULL,
                                     stderr=self.tray_errors)

        def panel():
            if self.tray.poll() is not None:
                self.tray_errors.seek(0)
                raise AssertionError("the tray host ended with %d: %s" % (self.tray.returncode,
                                                                          self.tray_errors.read()))
            return self.windows("panel")
        wait_for("the tray host", panel)

    def xdotool(self, *arguments):
        return run(["xdotool"] + list(arguments), env=self.env)

    def windows(self, name):
        """Ids of the visible windows whose whole name is `name`."""
        result = self.xdotool("search", "--onlyvisible", "--name", "^%s$" % re.escape(name))
        return result.stdout.split()

    def geometry(self, window):
        values = dict(line.split("=", 1) for line in self.xdotool("getwindowgeometry", "--shell", window).stdout.split())
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def screenshot(self, name, window="root"):
        path = os.path.join(SHOTS, name)
        run(["import", "-window", window, path], env=self.env, check=True)
        return path

    def close(self):
        for process in (self.tray, self.server):
            if process:
                stop(process)
        if self.tray_errors:
            self.tray_errors.close()


def tray_disc_pixels(desktop):
    """How many pixels of the tray's rightmost icon cell are the busy icon's blue disc."""
    shot = desktop.screenshot("e2e-tray.png")
    pixels = run(["convert", shot, "-crop", "24x24+%d+0" % (SCREEN[0] - 24), "txt:-"]).stdout
    return sum(1 for red, green, blue in re.findall(r"\((\d+),(\d+),(\d+)", pixels)
               if int(blue) > 180 and int(red) < 100)


def qr_text(image):
    result = run(["zbarimg", "-q", "--raw", image])
    return result.stdout if result.returncode == 0 else ""


class Application:
    """`scripts/start` in a home of its own; the server's address read from its standard error."""

    def __init__(self, home, env, onboarded=True):
        self.home = home
        if onboarded:
            os.makedirs(os.path.join(home, "config/Vellumar"), exist_ok=True)
            with open(os.path.join(home, "config/Vellumar/defaults.json"), "w") as defaults:
                json.dump({"onboardingCompleted": True}, defaults)
        os.makedirs(os.path.join(home, "run"), mode=0o700, exist_ok=True)
        self.env = dict(env, HOME=home, XDG_DATA_HOME=os.path.join(home, "data"),
                        XDG_CONFIG_HOME=os.path.join(home, "config"), XDG_RUNTIME_DIR=os.path.join(home, "run"),
                        VELLUMAR_EXECUTABLE=EXECUTABLE, ASAN_OPTIONS="detect_leaks=0")
        self.log = os.path.join(home, "stderr-%d.log" % time.monotonic_ns())

    def start(self):
        self.end()
        self.stderr = open(self.log, "w")
        self.process = subprocess.Popen([os.path.join(SOURCE, "scripts/start")], env=self.env,
                                        stdout=subprocess.DEVNULL, stderr=self.stderr)
        line = wait_for("the server line", lambda: re.search(r"Listening on (\S+?):(\d+)", self.errors()))
        self.address, self.port = line.group(1), int(line.group(2))
        return self

    def errors(self):
        with open(self.log) as log:
            return log.read()

    def start_again(self):
        """A second `scripts/start` for the same user: its exit status and what it said."""
        result = run([os.path.join(SOURCE, "scripts/start")], env=self.env)
        return result.returncode, result.stderr

    def end(self):
        """Ends the program as logging out does, when it still runs; any number of times."""
        if not hasattr(self, "process"):
            return
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        self.process.wait(PATIENCE)
        self.stderr.close()


def curl(app, path, pin, token=None, body=None):
    argv = ["curl", "-sS", "--max-time", "30", "-k", "--pinnedpubkey", "sha256//" + pin, "-w", "\n%{http_code}",
            "https://%s:%d%s" % (app.address, app.port, path)]
    if token:
        argv += ["-H", "Authorization: Bearer " + token]
    if body is not None:
        argv += ["-H", "Content-Type: application/json", "--data", json.dumps(body)]
    output = run(argv).stdout
    text, _, status = output.rpartition("\n")
    return int(status or 0), (json.loads(text) if text.startswith("{") else text)


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

    def install_claude(self, home, model_url):
        """The real CLI behind the name the program looks for, pointed at the scripted model."""
        folder = os.path.join(home, ".local/bin")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "claude"), "w") as wrapper:
            wrapper.write("#!/bin/sh\nexport ANTHROPIC_BASE_URL=%s ANTHROPIC_API_KEY=x "
                          "CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC=1 CLAUDE_CODE_MAX_RETRIES=0\nexec %s \"$@\"\n"
                          % (model_url, CLAUDE))
        os.chmod(os.path.join(folder, "claude"), 0o755)

    def scripted_model(self, note):
        script = os.path.join(self.folder, "script.json")
        with open(script, "w") as steps:
            json.dump([{"tool_use": {"name": "Write", "input": {"file_path": note,
                                                                "content": "written by the job\n"}}},
                       {"text": "The note is written."}], steps)
        model = subprocess.Popen(["python3", os.path.join(SOURCE, "tests/peers/scripted_model.py"), script,
                                  os.path.join(self.folder, "requests.jsonl")],
                                 stdout=subprocess.PIPE, text=True)
        self.addCleanup(stop, model)
        return "http://127.0.0.1:" + model.stdout.readline().strip()

    def open_menu(self, desktop):
        # trayer sits at the top right; the icon is its rightmost cell.
        desktop.xdotool("mousemove", str(SCREEN[0] - 12), "12", "click", "1")

    def test_a_phone_pairs_by_the_qr_code_chats_with_claude_code_and_quit_ends_everything(self):
        desktop = self.desktop(tray=True)
        # Claude Code asks before it writes its own folder, also inside a writable grant.
        notes = os.path.join(self.folder, "notes")
        note = os.path.join(notes, ".claude/commands/note.md")
        os.makedirs(os.path.dirname(note))
        app = self.application(desktop.env)
        self.install_claude(app.home, self.scripted_model(note))
        app.start()
        if os.environ.get("VELLUMAR_PRIVATE_NETWORK") == "1":
            self.assertEqual(app.address, NAMESPACE_ADDRESS)
        self.assertEqual(desktop.windows("Set Up Vellumar"), [], "no set-up window after onboarding")

        # A click on the icon opens the menu; Ctrl+N chooses "Add Phone".
        self.open_menu(desktop)
        desktop.xdotool("key", "ctrl+n")
        pair_window = wait_for("the pairing window", lambda: desktop.windows("Pair a Phone"))[0]
        payload = wait_for("a readable QR code", lambda: qr_text(desktop.screenshot("e2e-pair-code.png")))
        lines = payload.splitlines()
        self.assertEqual(lines[0], "# Vellumar pairing v1")
        self.assertEqual(lines[1], "https://%s:%d" % (app.address, app.port))
        pin = re.fullmatch(r'pin-sha256="(.+)"', lines[2]).group(1)
        code = lines[3].split("=", 1)[1]

        status, paired = curl(app, "/v1/pair", pin, body={"code": code, "deviceName": "Pixel"})
        self.assertEqual(status, 200, paired)
        token = paired["token"]
        wait_for("the success in the pairing window",
                 lambda: not qr_text(desktop.screenshot("e2e-pair-success.png", pair_window)), seconds=1)
        self.assertEqual(tray_disc_pixels(desktop), 0, "an outline icon while nothing runs")

        # A job whose Write is asked about once, answered "once", ends done with the file written.
        job = {"conversationId": "ios-e2e-1", "botId": "main", "message": "Write the note.",
               "permissions": {"folders": [{"path": notes, "access": "write"}]}}
        status, submitted = curl(app, "/v1/jobs", pin, token, job)
        self.assertEqual(status, 202, submitted)
        question = self.wait_for_question(app, pin, token, submitted["jobId"])
        status, _ = curl(app, "/v1/jobs/%s/permission" % submitted["jobId"], pin, token,
                         {"requestId": question, "decision": "once"})
        self.assertEqual(status, 200)
        final = self.wait_for_job(app, pin, token, submitted["jobId"], lambda job: job["status"] in ("done", "failed"))
        self.assertEqual(final["status"], "done", final)
        with open(note) as written:
            self.assertEqual(written.read(), "written by the job\n")

        # A second job waits on its question while Ctrl+Q ends the program.
        os.remove(note)
        status, second = curl(app, "/v1/jobs", pin, token, dict(job, conversationId="ios-e2e-2"))
        self.assertEqual(status, 202, second)
        self.wait_for_question(app, pin, token, second["jobId"])
        # Claude Code's run is told of files in the data folder; nothing else here is.
        data = os.path.join(app.home, "data")
        self.assertTrue(processes_mentioning(data), "Claude Code runs the second job")
        wait_for("a filled icon while a job runs", lambda: tray_disc_pixels(desktop) > 50)
        self.open_menu(desktop)
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
        self.assertEqual(curl(app, "/health", pin, token)[0], 200)
        self.assertEqual(curl(app, "/health", pin)[0], 401)
        self.assertIn("pairing a new phone needs a display", app.errors())

    def wait_for_job(self, app, pin, token, job_id, done):
        state = {"version": 0}

        def poll():
            status, job = curl(app, "/v1/jobs/%s?wait=25&since=%d" % (job_id, state["version"]), pin, token)
            self.assertEqual(status, 200, job)
            state["version"] = job["version"]
            return job if done(job) else None
        return wait_for("job %s" % job_id, poll, seconds=180)

    def wait_for_question(self, app, pin, token, job_id):
        job = self.wait_for_job(app, pin, token, job_id,
                                lambda job: job.get("permissionRequests") or job["status"] in ("done", "failed"))
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

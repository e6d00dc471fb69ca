# The steps of meeting the product as a person does, shared by the end-to-end tests and the benchmark of
# the real program: `scripts/start` (running the executable named by VELLUMAR_EXECUTABLE) on a virtual X
# server with a tray host, clicked and typed at with xdotool, its pairing code read off a screenshot with
# zbarimg, a phone played by curl, and the real Claude Code CLI from tests/peers answering from
# tests/peers/scripted_model.py. Screenshots stay in VELLUMAR_SCREENSHOTS for a person.
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

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
    """Re-runs the running script in a network namespace of its own; False where none can be made."""
    if os.environ.get("VELLUMAR_PRIVATE_NETWORK") == "1":
        return True
    if shutil.which("unshare") is None or run(["unshare", "--net", "true"]).returncode != 0:
        return False
    os.environ["VELLUMAR_PRIVATE_NETWORK"] = "1"
    os.execvp("unshare", ["unshare", "--net", sys.executable, os.path.abspath(sys.argv[0])] + sys.argv[1:])


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

    def open_menu(self):
        # trayer sits at the top right; the icon is its rightmost cell.
        self.xdotool("mousemove", str(SCREEN[0] - 12), "12", "click", "1")

    def close(self):
        for process in (self.tray, self.server):
            if process:
                stop(process)
        if self.tray_errors:
            self.tray_errors.close()


def qr_text(image):
    result = run(["zbarimg", "-q", "--raw", image])
    return result.stdout if result.returncode == 0 else ""


def offer_pairing(desktop):
    """Chooses "Add Phone" (Ctrl+N) in the tray's menu: the pairing window and the lines of its QR code."""
    desktop.open_menu()
    desktop.xdotool("key", "ctrl+n")
    window = wait_for("the pairing window", lambda: desktop.windows("Pair a Phone"))[0]
    payload = wait_for("a readable QR code", lambda: qr_text(desktop.screenshot("e2e-pair-code.png")))
    return window, payload.splitlines()


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

    def install_claude(self, model_url):
        """The real CLI behind the name the program looks for, pointed at the scripted model."""
        folder = os.path.join(self.home, ".local/bin")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "claude"), "w") as wrapper:
            wrapper.write("#!/bin/sh\nexport ANTHROPIC_BASE_URL=%s ANTHROPIC_API_KEY=x "
                          "CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC=1 CLAUDE_CODE_MAX_RETRIES=0\nexec %s \"$@\"\n"
                          % (model_url, CLAUDE))
        os.chmod(os.path.join(folder, "claude"), 0o755)

    def end(self):
        """Ends the program as logging out does, when it still runs; any number of times."""
        if not hasattr(self, "process"):
            return
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        self.process.wait(PATIENCE)
        self.stderr.close()


def scripted_model(steps, folder):
    """tests/peers/scripted_model.py answering from `steps`, logging its requests in `folder`: the
    process and the address Claude Code is pointed at."""
    script = os.path.join(folder, "script.json")
    with open(script, "w") as written:
        json.dump(steps, written)
    model = subprocess.Popen(["python3", os.path.join(SOURCE, "tests/peers/scripted_model.py"), script,
                              os.path.join(folder, "requests.jsonl")], stdout=subprocess.PIPE, text=True)
    return model, "http://127.0.0.1:" + model.stdout.readline().strip()


def curl(app, path, pin, token=None, body=None):
    """The status and decoded answer of a request over the program's HTTPS, its key pinned to `pin`."""
    argv = ["curl", "-sS", "--max-time", "30", "-k", "--pinnedpubkey", "sha256//" + pin,
            "-w", "\n%{http_code}", "https://%s:%d%s" % (app.address, app.port, path)]
    if token:
        argv += ["-H", "Authorization: Bearer " + token]
    if body is not None:
        argv += ["-H", "Content-Type: application/json", "--data", json.dumps(body)]
    output = run(argv).stdout
    text, _, status = output.rpartition("\n")
    return int(status or 0), (json.loads(text) if text.startswith("{") else text)


class Phone:
    """A phone played by curl, paired with the code the QR code's `lines` carry."""

    def __init__(self, app, lines, name):
        self.app = app
        self.pin = re.fullmatch(r'pin-sha256="(.+)"', lines[2]).group(1)
        code = lines[3].split("=", 1)[1]
        self.pairing = self.request("/v1/pair", body={"code": code, "deviceName": name}, token=None)
        self.token = self.pairing[1]["token"] if self.pairing[0] == 200 else None

    def request(self, path, body=None, token=True):
        """The status and decoded answer of a request over the program's HTTPS with its pinned key, with
        the phone's token unless `token` is None."""
        return curl(self.app, path, self.pin, self.token if token else None, body)

    def wait_for_job(self, job_id, done, seconds=180):
        """The job's state once `done` holds of it, following each change by long polls."""
        state = {"version": 0}

        def poll():
            status, job = self.request("/v1/jobs/%s?wait=25&since=%d" % (job_id, state["version"]))
            if status != 200:
                raise AssertionError("job %s: %d %s" % (job_id, status, job))
            state["version"] = job["version"]
            return job if done(job) else None
        return wait_for("job %s" % job_id, poll, seconds=seconds)

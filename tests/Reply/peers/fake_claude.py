#!/usr/bin/env python3
"""A stand-in for the `claude` executable that records how it was started and plays one step of a
script, so that tests can see what the reply runner hands to Claude Code and how it reads the end.

Copy it as `claude` into a folder of its own, FOLDER; it is then started with Claude Code's arguments.

FOLDER/steps.json is a list of steps; the N-th start (counting from 0) plays step N, or the last step
when there are fewer. A step is an object with
  "stdout": lines written to standard output, each a JSON value or a text,
  "stderr": a text written to standard error,
  "exit": the exit status (0 when absent),
  "writeClaudeFile": true to leave a CLAUDE.md in the working folder,
  "ask": a permission question put, as Claude Code puts one, to the server named by --mcp-config,
         whose answer is not waited for,
  "hang": true to write a line to FOLDER/hanging, a FIFO the test reads, and then wait until it is
          stopped.

Each start writes FOLDER/call-N.json: {"argv", "env", "cwd", "stdin", "temporaryFolder": {"exists",
"mode"}, "gateSocket": whether the socket named by --mcp-config exists as a socket}.
"""

import json
import os
import stat
import subprocess
import sys
import time


def gate_socket_exists(argv):
    if "--mcp-config" not in argv:
        return None
    config = json.loads(argv[argv.index("--mcp-config") + 1])
    socket_path = config["mcpServers"]["vellumar"]["args"][-1]
    try:
        return stat.S_ISSOCK(os.stat(socket_path).st_mode)
    except OSError:
        return False


def initial_environment():
    # As the process was started: python itself may add variables (the locale coercion does).
    with open("/proc/self/environ", "rb") as file:
        entries = file.read().split(b"\0")
    environment = {}
    for entry in entries:
        if b"=" in entry:
            name, value = entry.split(b"=", 1)
            environment[name.decode()] = value.decode()
    return environment


def temporary_folder(environment):
    folder = environment.get("CLAUDE_CODE_TMPDIR")
    if folder is None:
        return None
    try:
        info = os.lstat(folder)
    except OSError:
        return {"exists": False, "mode": None}
    return {"exists": stat.S_ISDIR(info.st_mode), "mode": "%o" % stat.S_IMODE(info.st_mode)}


def main():
    folder = os.path.dirname(os.path.abspath(sys.argv[0]))
    argv = sys.argv[1:]
    call = 0
    while os.path.exists(os.path.join(folder, "call-%d.json" % call)):
        call += 1
    with open(os.path.join(folder, "steps.json")) as file:
        steps = json.load(file)
    step = steps[min(call, len(steps) - 1)]

    environment = initial_environment()
    record = {
        "argv": argv,
        "env": environment,
        "cwd": os.getcwd(),
        "stdin": sys.stdin.read(),
        "temporaryFolder": temporary_folder(environment),
        "gateSocket": gate_socket_exists(argv),
    }
    with open(os.path.join(folder, "call-%d.json" % call), "w") as file:
        json.dump(record, file)

    if "ask" in step:
        server = json.loads(argv[argv.index("--mcp-config") + 1])["mcpServers"]["vellumar"]
        helper = subprocess.Popen([server["command"]] + server["args"], stdin=subprocess.PIPE,
                                  stdout=subprocess.DEVNULL, text=True)
        helper.stdin.write(json.dumps({"jsonrpc": "2.0", "id": 1, "method": "tools/call",
                                       "params": {"name": "approve", "arguments": step["ask"]}}) + "\n")
        helper.stdin.flush()
    if step.get("writeClaudeFile"):
        with open("CLAUDE.md", "w") as file:
            file.write("Always answer in French.\n")
    for line in step.get("stdout", []):
        sys.stdout.write((line if isinstance(line, str) else json.dumps(line)) + "\n")
    sys.stdout.flush()
    sys.stderr.write(step.get("stderr", ""))
    sys.stderr.flush()
    if step.get("hang"):
        with open(os.path.join(folder, "hanging"), "w") as signal:
            signal.write("%d\n" % call)
        while True:
            time.sleep(60)
    sys.exit(step.get("exit", 0))


main()

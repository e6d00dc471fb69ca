#!/usr/bin/env python3
"""A stand-in for `claude`, copied as FOLDER/claude. Start N (from 0) records how it was made in
FOLDER/call-N.json ({"argv", "env", "cwd", "stdin", "claudeFileFound", "temporaryFolderMode"}) and
plays step N of the list in FOLDER/steps.json, the last step when there are fewer. A step may hold
"stdout" (lines, each a JSON value or a text), "stderr" (a text), "exit" (the status),
"writeClaudeFile" (leave a CLAUDE.md in the working folder),
"hang" (write a line to the FIFO FOLDER/hanging, then play on once a line comes through the FIFO
FOLDER/release) and "real" ({"executable", "environment"}: become the real CLI with the environment
added, reading the same input).
"""

import json
import os
import sys

folder = os.path.dirname(os.path.abspath(sys.argv[0]))
call = 0
while os.path.exists(os.path.join(folder, "call-%d.json" % call)):
    call += 1
with open(os.path.join(folder, "steps.json")) as file:
    steps = json.load(file)
step = steps[min(call, len(steps) - 1)]

# As the process was started: python itself may add variables (the locale coercion does).
with open("/proc/self/environ", "rb") as file:
    environment = dict(entry.decode().split("=", 1) for entry in file.read().split(b"\0") if b"=" in entry)
temporary = environment.get("CLAUDE_CODE_TMPDIR")
record = {"argv": sys.argv[1:], "env": environment, "cwd": os.getcwd(), "stdin": "",
          "claudeFileFound": os.path.exists("CLAUDE.md"),
          "temporaryFolderMode": "%o" % (os.lstat(temporary).st_mode & 0o7777) if temporary else None}


def keep_record():
    with open(os.path.join(folder, "call-%d.json" % call), "w") as file:
        json.dump(record, file)


if "real" not in step:
    record["stdin"] = sys.stdin.read()
keep_record()

if "real" in step:
    # The input passes through as it comes, so that the real CLI waits for it as it would for the program's
    # own pipe; a child keeps a copy for the record once it has ended.
    relay_read, relay_write = os.pipe()
    if os.fork() == 0:
        os.close(relay_read)
        # Holding none of the run's output open: its end is the CLI's.
        quiet = os.open(os.devnull, os.O_WRONLY)
        os.dup2(quiet, 1)
        os.dup2(quiet, 2)
        received = b""
        while chunk := os.read(0, 65536):
            received += chunk
            os.write(relay_write, chunk)
        os.close(relay_write)
        record["stdin"] = received.decode(errors="replace")
        keep_record()
        os._exit(0)
    os.close(relay_write)
    os.dup2(relay_read, 0)
    os.close(relay_read)
    executable = step["real"]["executable"]
    os.execve(executable, [executable] + sys.argv[1:], {**environment, **step["real"]["environment"]})
if step.get("writeClaudeFile"):
    with open("CLAUDE.md", "w") as file:
        file.write("Always answer in French.\n")
if step.get("hang"):
    with open(os.path.join(folder, "hanging"), "w") as signal:
        signal.write("%d\n" % call)
    with open(os.path.join(folder, "release")) as gate:
        gate.readline()
for line in step.get("stdout", []):
    print(line if isinstance(line, str) else json.dumps(line))
sys.stdout.flush()
sys.stderr.write(step.get("stderr", ""))
sys.exit(step.get("exit", 0))

#!/usr/bin/env python3
# What the Git protection costs a user of the real program, beside bench_git_protection's figures of the
# reply runner alone. The program is started as `scripts/start` starts it, on a virtual X server with a
# tray host; a phone is paired by the QR code read off a screenshot and sends its messages over the
# HTTPS API, each to a bot granted one world and allowed commands; the real Claude Code CLI answers from
# tests/peers/scripted_model.py with one sandboxed command, then the reply "Done.". The worlds are those
# of bench_git_protection, written by its --worlds mode: an empty grant, 1,000 and 3,000 plain
# repositories and the developer's folder "dev300". A message's time runs from its submission to the
# job's end as the phone's long poll sees it; a message fails where it does not end done with the reply,
# or its command's output never reached the model.
#
# Each figure is set against the empty grant's in the same run:
# - later messages: one program answers a message in each grant per round, up in one round and down in
#   the next, after a round of each grant's first message in the program, printed apart;
# - the first message after a program start: one program answers a message in a grant and ends, and
#   the next, started on the same home and data folder, answers the one measured; each grant in a home
#   of its own, so that one grant's record weighs on no other's start;
# - the program's memory (VmRSS and VmHWM of /proc/PID/status) after three messages with a grant of
#   3,000 repositories, each in a program of its own;
# - how many messages failed in each grant, of all the run sent there.
# Targets are printed beside the figures, not checked: a benchmark that fails on a busy machine says
# nothing.
#
# Build the program and the world writer (tests on: bench_git_protection links the tests' support):
#   scripts/build build/rel -DCMAKE_BUILD_TYPE=Release   (or `cmake --build build/rel --target vellumar
#   bench_git_protection` in a build folder configured so)
# Usage: bench/git_protection_end_to_end.py BUILD [--short]
#   --short: each figure taken the fewest times that still give one: 5 minutes at a load of 25 on 8 CPUs;
#   without it, 30 messages or more in each grant but the empty one, for the failures' count to say
#   something: 11 minutes at a load of 12 to 25. Removing the worlds after the table may take as long
#   again on a disk that discards each freed block.
# The worlds are written under TMPDIR, which must be on a disk: the command sandbox gives commands a
# /dev of its own, so trees in /dev/shm would cost it nothing.
#
# Quiet: nothing else running, the benchmark on CPUs of its own, e.g.
#   taskset -c 0-3 bench/git_protection_end_to_end.py build/rel
# Busy: the same beside four busy loops on the same CPUs (or beside a build using every CPU), e.g.
#   for i in 1 2 3 4; do taskset -c 0-3 sh -c 'while :; do :; done' & done
#   taskset -c 0-3 bench/git_protection_end_to_end.py build/rel; kill $(jobs -p)
# The run prints the load it started and ended at, and the CPUs it had.
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections import namedtuple

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
COMMAND = "test -w /usr || echo sandboxed-$((6 * 7))"
# Only the command's output, never its text, holds the marker: the command ran in the sandbox, where
# "/usr" cannot be written even by root.
MARKER = "sandboxed-42"
Repeats = namedtuple("Repeats", "rounds restart_pairs memory_pairs")
FULL = Repeats(rounds=19, restart_pairs=5, memory_pairs=3)
SHORT = Repeats(rounds=2, restart_pairs=1, memory_pairs=1)
# The sizes the world writer makes beside the empty grant and the developer's folder, and the grants of
# each figure by the names it prints.
WORLD_SIZES = "1000,3000"
EMPTY, DEVELOPER, MEMORY = "0", "dev300", "3000"
MESSAGE_GRANTS = (EMPTY, "1000", MEMORY, DEVELOPER)
MEMORY_MESSAGES = 3
# A guard against a hang: a message not ended by then counts as failed. The first message at 3,000 took
# 496 s at a load of 50.
MESSAGE_PATIENCE = 1800
FINAL = ("done", "failed", "canceled", "interrupted")
Target = namedtuple("Target", "value over_empty")
Failure = namedtuple("Failure", "grant text")
LATER_TARGETS = {"1000": Target(1.3, False), DEVELOPER: Target(1.3, False)}
RESTART_TARGETS = {"1000": Target(2, True), DEVELOPER: Target(2, True)}
MEMORY_TARGETS = {MEMORY: Target(100, True)}


def load():
    return subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()


def memory_of(pid):
    """VmRSS and VmHWM of the process, in MB."""
    fields = {}
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            name, _, value = line.partition(":")
            fields[name] = value.split()
    return int(fields["VmRSS"][0]) / 1024, int(fields["VmHWM"][0]) / 1024


class Bench:
    def __init__(self, steps, folder, desktop, model_url, grants):
        self.steps = steps
        self.folder = folder
        self.desktop = desktop
        self.model_url = model_url
        self.requests = os.path.join(folder, "requests.jsonl")
        self.grants = grants
        self.sent = {}
        self.failures = []
        self.programs = []

    def program(self, name):
        """The program started in a home of its own with a phone paired by its QR code."""
        app = self.steps.Application(os.path.join(self.folder, "homes", name), self.desktop.env)
        self.programs.append(app)
        app.install_claude(self.model_url)
        app.start()
        _, lines = self.steps.offer_pairing(self.desktop)
        phone = self.steps.Phone(app, lines, "Bench")
        if phone.pairing[0] != 200:
            raise AssertionError("pairing: %s" % (phone.pairing,))
        return app, phone

    def message(self, phone, what, grant):
        """Seconds from the message's submission to its job's end; None where it failed."""
        self.sent[grant] = self.sent.get(grant, 0) + 1
        job = {"conversationId": "ios-bench-%d" % sum(self.sent.values()), "botId": "main",
               "message": "Run the command.",
               "permissions": {"bash": True, "folders": [{"path": self.grants[grant], "access": "write"}]}}
        logged = os.path.getsize(self.requests) if os.path.exists(self.requests) else 0
        start = time.monotonic()
        status, submitted = phone.request("/v1/jobs", job)
        try:
            if status != 202:
                raise AssertionError("submission: %d %s" % (status, submitted))
            final = phone.wait_for_job(submitted["jobId"], lambda job: job["status"] in FINAL
                                       or job.get("permissionRequests"), seconds=MESSAGE_PATIENCE)
            seconds = time.monotonic() - start
            if final["status"] != "done" or final["result"]["reply"] != "Done.":
                raise AssertionError("the job is %s: %s" % (final["status"], final.get("error")
                                                             or final.get("permissionRequests")))
            with open(self.requests) as log:
                log.seek(logged)
                if MARKER not in log.read():
                    raise AssertionError("the command's output did not reach the model")
        except AssertionError as failure:
            self.failures.append(Failure(grant, "%s in %s: %s" % (what, grant, failure)))
            seconds = None
        print("  %s in %s: %s" % (what, grant, "failed" if seconds is None else "%.2f s" % seconds),
              file=sys.stderr, flush=True)
        return seconds

    def later_messages(self, rounds):
        """Each grant's first message in one program, and its later ones, round by round."""
        app, phone = self.program("later")
        first = {}
        later = {grant: [] for grant in MESSAGE_GRANTS}
        for number in range(rounds + 1):
            for grant in (MESSAGE_GRANTS if number % 2 else reversed(MESSAGE_GRANTS)):
                seconds = self.message(phone, "message in round %d" % number, grant)
                if number == 0:
                    first[grant] = [seconds]
                else:
                    later[grant].append(seconds)
        app.end()
        return first, later

    def first_after_start(self, pairs):
        """Each grant's first message in a program started on the home an earlier program left."""
        replies = {grant: [] for grant in MESSAGE_GRANTS}
        for pair in range(pairs):
            for grant in (reversed(MESSAGE_GRANTS) if pair % 2 else MESSAGE_GRANTS):
                app, phone = self.program("restart-%s-%d" % (grant, pair))
                self.message(phone, "message before a program start", grant)
                app.end()
                app.start()
                replies[grant].append(self.message(phone, "first message after a program start", grant))
                app.end()
        return replies

    def memory(self, pairs):
        """The program's memory now and at its peak, in MB, with an empty grant and with the largest."""
        resident = {EMPTY: [], MEMORY: []}
        peak = {EMPTY: [], MEMORY: []}
        for pair in range(pairs):
            for grant in ((MEMORY, EMPTY) if pair % 2 else (EMPTY, MEMORY)):
                app, phone = self.program("memory-%s-%d" % (grant, pair))
                for _ in range(MEMORY_MESSAGES):
                    self.message(phone, "message before the memory's reading", grant)
                now, most = memory_of(app.process.pid)
                app.end()
                print("  memory in %s: %.1f MB, at most %.1f MB" % (grant, now, most), file=sys.stderr, flush=True)
                resident[grant].append(now)
                peak[grant].append(most)
        return resident, peak


def print_against_empty(title, values, targets, unit):
    """Each grant's median beside the empty grant's, as a ratio and as a difference, with their ranges
    over the rounds, where each round's figure is set against the same round's empty grant's; failed
    messages are left out."""
    print("\n%s" % title)
    print("%8s %11s %8s %13s %11s %19s %12s" % ("grant", "median", "x empty", "(range)", "+ empty", "(range)",
                                               "target"))
    empty = values[EMPTY]
    for grant, figures in values.items():
        pairs = [(mine, theirs) for mine, theirs in zip(figures, empty) if mine is not None and theirs is not None]
        if not pairs:
            print("%8s %11s" % (grant, "failed"))
            continue
        mine = statistics.median(pair[0] for pair in pairs)
        theirs = statistics.median(pair[1] for pair in pairs)
        ratios = [value / reference for value, reference in pairs]
        over = [value - reference for value, reference in pairs]
        target = targets.get(grant)
        target_text = "" if not target else ("<= +%g %s" % (target.value, unit) if target.over_empty
                                             else "<= %.1fx" % target.value)
        print("%8s %8.2f %-2s %7.2fx %5.2f-%5.2fx %+8.2f %-2s %+8.2f-%+8.2f %12s"
              % (grant, mine, unit, mine / theirs, min(ratios), max(ratios), mine - theirs, unit, min(over),
                 max(over), target_text))


def make_worlds(build, folder, sizes):
    """The grants bench_git_protection writes, by name."""
    writer = subprocess.run([os.path.join(build, "bench/bench_git_protection"), "--worlds", folder, sizes],
                            capture_output=True, text=True)
    if writer.returncode != 0:
        raise AssertionError("the worlds were not written: %s" % writer.stderr)
    return dict(line.split(" ", 1) for line in writer.stdout.splitlines())


def main():
    if len(sys.argv) not in (2, 3) or sys.argv[2:] not in ([], ["--short"]):
        sys.exit("usage: %s BUILD [--short]" % sys.argv[0])
    build = os.path.abspath(sys.argv[1])
    repeats = SHORT if sys.argv[2:] else FULL
    os.environ.update(VELLUMAR_SOURCE_DIR=SOURCE, VELLUMAR_EXECUTABLE=os.path.join(build, "Vellumar_for_Mac/vellumar"))
    sys.path.insert(0, os.path.join(SOURCE, "tests/Vellumar_for_Mac/EndToEnd"))
    import end_to_end_steps as steps
    # The program listens on its LAN address: a namespace of its own keeps the phone's traffic on this
    # machine.
    if not steps.enter_private_network():
        sys.exit("a network namespace of its own is needed (unshare --net)")
    steps.set_up_private_network()
    folder = tempfile.mkdtemp(prefix="vellumar-bench-")
    if folder.startswith("/dev/"):
        sys.exit("TMPDIR lies in /dev (see the header)")
    print("load at the start: %s; CPUs: %d" % (load(), len(os.sched_getaffinity(0))), flush=True)
    desktop = model = bench = None
    try:
        start = time.monotonic()
        grants = make_worlds(build, os.path.join(folder, "worlds"), WORLD_SIZES)
        print("worlds made in %.1f s" % (time.monotonic() - start), flush=True)
        model, model_url = steps.scripted_model([
            {"tool_use": {"name": "Bash", "input": {"command": COMMAND, "description": "Run a command.",
                                                    "timeout": 600000}}},
            {"text": "Done."}], folder)
        desktop = steps.Desktop()
        desktop.start_tray()
        bench = Bench(steps, folder, desktop, model_url, grants)

        first, later = bench.later_messages(repeats.rounds)
        print_against_empty("later messages, message to reply, median of %d rounds in one program"
                            % repeats.rounds, later, LATER_TARGETS, "s")
        print_against_empty("each grant's first message in the same program, once", first, {}, "s")
        sys.stdout.flush()
        restarted = bench.first_after_start(repeats.restart_pairs)
        print_against_empty("the first message after a program start on the data folder an earlier program "
                            "left, %d programs a grant" % repeats.restart_pairs, restarted, RESTART_TARGETS, "s")
        sys.stdout.flush()
        resident, peak = bench.memory(repeats.memory_pairs)
        print_against_empty("the program's memory after %d messages in one grant, %d programs a grant"
                            % (MEMORY_MESSAGES, repeats.memory_pairs), resident, MEMORY_TARGETS, "MB")
        print_against_empty("the same at its peak", peak, MEMORY_TARGETS, "MB")

        print("\nmessages that failed (target 0 of 30 in each grant)")
        for grant in MESSAGE_GRANTS:
            failed = sum(failure.grant == grant for failure in bench.failures)
            print("%8s %4d of %d" % (grant, failed, bench.sent.get(grant, 0)))
        for failure in bench.failures:
            print("  " + failure.text)
        print("load at the end: %s; the run took %.0f s" % (load(), time.monotonic() - start))
    finally:
        for app in bench.programs if bench else []:
            app.end()
        if desktop:
            desktop.close()
        if model:
            steps.stop(model)
        # On a disk that discards each freed block this can take minutes.
        print("removing the worlds", file=sys.stderr, flush=True)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()

# The phone's side of a terminal, played with python3-websockets over the relay's TLS listener.
#
# Usage: python3 terminal_phone.py URL CA_FILE TOKEN SCENARIO [ARGUMENTS...]
# Prints one JSON object with what the scenario saw:
#   session COMMAND
#                 resizes to 120x50 and types the command line: the first message, the output, the
#                 messages after it, the close
#   hangup        runs a shell that ignores SIGHUP in a foreground job, then closes: the shell's pid
#   input-flood   sends exactly 1 MiB of input nobody reads, then 128 KiB more: the close it gets
#   output-flood  runs a 50 MB flood and reads it slowly: zero bytes counted, the last messages
#   refused       expects to be closed before any message: the close code
#   benchmark READY ROUND_TRIPS FLOOD_BYTES
#                 the median and 99th percentile of keystroke echo round trips in milliseconds, and
#                 the megabytes per second of a flood of zero bytes; READY "yes" for a server that
#                 says ready first
import asyncio
import json
import re
import ssl
import statistics
import sys
import time

import websockets

PATIENCE = 60


def close_of(error):
    frame = error.rcvd
    return {"code": frame.code if frame else None, "reason": frame.reason if frame else None}


async def read_until(socket, marker, seen=b""):
    """Binary output until `marker` shows in it; a text message on the way is an error."""
    while marker not in seen:
        message = await asyncio.wait_for(socket.recv(), PATIENCE)
        if isinstance(message, str):
            raise RuntimeError("unexpected text " + message)
        seen += message
    return seen


async def rest(socket):
    """Every message until the server closes, and how it closed."""
    messages = []
    try:
        while True:
            messages.append(await asyncio.wait_for(socket.recv(), PATIENCE))
    except websockets.ConnectionClosed as error:
        return messages, close_of(error)


def described(message):
    return message if isinstance(message, str) else {"binary": message.decode("latin-1")}


async def session(socket, report, command):
    report["first"] = await asyncio.wait_for(socket.recv(), PATIENCE)
    await socket.send('{"rows":50,"type":"resize","cols":120.0}')
    await socket.send(command.encode() + b"\n")
    messages, report["close"] = await rest(socket)
    texts = [index for index, message in enumerate(messages) if isinstance(message, str)]
    first_text = texts[0] if texts else len(messages)
    report["output"] = b"".join(messages[:first_text]).decode("latin-1")
    report["after"] = [described(message) for message in messages[first_text:]]


async def hangup(socket, report):
    await asyncio.wait_for(socket.recv(), PATIENCE)
    # The foreground job itself says it is armed, once it holds the terminal: the shell then only waits
    # for it and reads no more input. Said by the shell before the job starts, the hang-up could come
    # first, the job fail to take the hung-up terminal, and the shell end at once at the end of its input.
    await socket.send(b"trap '' HUP; sh -c \"echo pid=$$ ar''med; exec sleep 100\"\n")
    seen = await read_until(socket, b"armed")
    report["pid"] = int(re.search(rb"pid=(\d+) armed", seen).group(1))
    # On the clock the test reads too: the phone's exit can come late on a busy machine.
    report["leavingAt"] = time.monotonic()
    await socket.close(1000)
    report["close"] = {"code": socket.close_code}


async def input_flood(socket, report):
    await asyncio.wait_for(socket.recv(), PATIENCE)
    await socket.send(b"stty -icanon; echo ar''med; sleep 100\n")
    await read_until(socket, b"armed")
    await socket.send(b"a" * 1048576)
    # The terminal echoes what reached it: the whole megabyte was taken, not refused.
    await read_until(socket, b"a" * 64)
    await socket.send(b"b" * 131072)
    messages, report["close"] = await rest(socket)


async def output_flood(socket, report):
    await asyncio.wait_for(socket.recv(), PATIENCE)
    await socket.send(b"head -c 50000000 /dev/zero; exit 0\n")
    # A phone that stops reading for a while, then reads in small sips.
    await asyncio.sleep(2)
    zeros = 0
    last = []
    try:
        while True:
            message = await asyncio.wait_for(socket.recv(), PATIENCE)
            if isinstance(message, bytes):
                zeros += message.count(0)
            else:
                last.append(message)
            await asyncio.sleep(0)
    except websockets.ConnectionClosed as error:
        report["close"] = close_of(error)
    report["zeros"] = zeros
    report["texts"] = last


async def refused(socket, report):
    messages, report["close"] = await rest(socket)
    report["messages"] = len(messages)


async def benchmark(socket, report, ready, round_trips, flood_bytes):
    round_trips, flood_bytes = int(round_trips), int(flood_bytes)
    if ready == "yes":
        await socket.recv()
    # The prompt, then a quiet terminal before the first keystroke.
    await socket.send(b"echo RE''ADY\n")
    await read_until(socket, b"READY")
    while True:
        try:
            await asyncio.wait_for(socket.recv(), 0.5)
        except asyncio.TimeoutError:
            break

    trips = []
    for _ in range(round_trips):
        started = time.perf_counter()
        await socket.send(b"x")
        await read_until(socket, b"x")
        trips.append((time.perf_counter() - started) * 1000)
        # Erased again, so the line never fills; the erase's echo is not measured.
        await socket.send(b"\x7f")
        await read_until(socket, b"\b")
    trips.sort()
    report["medianMs"] = statistics.median(trips)
    report["p99Ms"] = trips[int(len(trips) * 0.99) - 1]

    started = time.perf_counter()
    await socket.send(b"head -c %d /dev/zero\n" % flood_bytes)
    zeros = 0
    while zeros < flood_bytes:
        message = await socket.recv()
        if isinstance(message, bytes):
            zeros += message.count(0)
    report["floodMBps"] = flood_bytes / (time.perf_counter() - started) / 1e6


SCENARIOS = {
    "session": session,
    "hangup": hangup,
    "input-flood": input_flood,
    "output-flood": output_flood,
    "refused": refused,
    "benchmark": benchmark,
}


async def main(url, ca_file, token, scenario, *arguments):
    context = ssl.create_default_context(cafile=ca_file)
    report = {}
    async with websockets.connect(
        url,
        ssl=context,
        extra_headers={"Authorization": "Bearer " + token},
        ping_interval=None,
        compression=None,
        max_size=None,
        max_queue=None if scenario == "benchmark" else 4,
    ) as socket:
        await SCENARIOS[scenario](socket, report, *arguments)
    print(json.dumps(report))


asyncio.run(main(*sys.argv[1:]))

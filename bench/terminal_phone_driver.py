# The phone's side of the terminal benchmark, played with python3-websockets against one server.
#
# Usage: python3 terminal_phone_driver.py URL CA_FILE TOKEN WAITS_FOR_READY ROUND_TRIPS FLOOD_BYTES
# Prints one JSON object: the median and 99th percentile of the keystroke echo round trips in
# milliseconds, and the megabytes per second of a flood of zero bytes from the shell.
import asyncio
import json
import ssl
import statistics
import sys
import time

import websockets

ERASE = b"\x7f"


async def read_until(socket, wanted):
    seen = b""
    while wanted not in seen:
        message = await socket.recv()
        if isinstance(message, bytes):
            seen += message


async def main(url, ca_file, token, waits_for_ready, round_trips, flood_bytes):
    context = ssl.create_default_context(cafile=ca_file)
    async with websockets.connect(
        url,
        ssl=context,
        extra_headers={"Authorization": "Bearer " + token},
        ping_interval=None,
        compression=None,
        max_size=None,
    ) as socket:
        if waits_for_ready == "yes":
            await socket.recv()
        # The prompt, then a quiet terminal before the first keystroke.
        await socket.send(b"echo RE''ADY\n")
        await read_until(socket, b"READY")
        await asyncio.sleep(0.5)
        while True:
            try:
                await asyncio.wait_for(socket.recv(), 0.2)
            except asyncio.TimeoutError:
                break

        trips = []
        for _ in range(round_trips):
            started = time.perf_counter()
            await socket.send(b"x")
            await read_until(socket, b"x")
            trips.append((time.perf_counter() - started) * 1000)
            # Erased again, so the line never fills; the erase's echo is not measured.
            await socket.send(ERASE)
            await read_until(socket, b"\b")
        trips.sort()

        started = time.perf_counter()
        await socket.send(b"head -c %d /dev/zero\n" % flood_bytes)
        zeros = 0
        while zeros < flood_bytes:
            message = await socket.recv()
            if isinstance(message, bytes):
                zeros += message.count(0)
        seconds = time.perf_counter() - started

    print(
        json.dumps(
            {
                "medianMs": statistics.median(trips),
                "p99Ms": trips[int(len(trips) * 0.99) - 1],
                "floodMBps": flood_bytes / seconds / 1e6,
            }
        )
    )


asyncio.run(
    main(sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]), int(sys.argv[6]))
)

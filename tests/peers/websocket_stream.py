# A python3-websockets client (its sans-I/O protocol object over an asyncio TLS stream, so that one
# write can carry many frames) that streams messages to an echoing WebSocket server.
#
# Usage: python3 websocket_stream.py echo URL CA_FILE MEBIBYTES
#   Reads while it writes about MEBIBYTES MiB of text and binary messages of 1 byte to 1 MiB, 1 to 16
#   frames per write with pings between them, and checks that every echo and every pong comes back
#   intact and in order. Prints "ok MESSAGES PINGS", or what went wrong, and exits with status 1.
# Usage: python3 websocket_stream.py stall URL CA_FILE pings|messages SECONDS
#   Writes 125-byte pings, or 1 MiB binary messages, without reading, as fast as the server takes
#   them, until the server has taken nothing for SECONDS (or fails after two minutes); prints
#   "stalled" then, reads everything owed and checks it as above.
import asyncio
import collections
import contextlib
import os
import random
import ssl
import sys
import urllib.parse

from websockets.client import ClientConnection
from websockets.frames import Opcode
from websockets.http11 import Response
from websockets.uri import parse_uri

MIB = 1 << 20


class Failure(Exception):
    pass


class Client:
    def __init__(self, url, ca_file):
        self.url = url
        self.context = ssl.create_default_context(cafile=ca_file)
        self.protocol = ClientConnection(parse_uri(url), max_size=None)
        self.echoes = collections.deque()  # (opcode, payload) owed by the server, in order
        self.pongs = collections.deque()
        self.messages = 0
        self.pings = 0
        self.done_writing = False
        self.settled = asyncio.Event()

    async def open(self):
        address = urllib.parse.urlsplit(self.url)
        self.reader, self.writer = await asyncio.open_connection(
            address.hostname, address.port, ssl=self.context, limit=MIB
        )
        self.protocol.send_request(self.protocol.connect())
        self.flush()
        while True:
            for event in await self.receive():
                if isinstance(event, Response):
                    if event.status_code != 101:
                        raise Failure(f"status {event.status_code}")
                    return

    def flush(self):
        data = b"".join(self.protocol.data_to_send())
        if data:
            self.writer.write(data)

    async def receive(self):
        # No time-out here: a read cut short by one would lose bytes; main bounds the whole run.
        data = await self.reader.read(65536)
        if not data:
            raise Failure("the server closed the stream")
        self.protocol.receive_data(data)
        if self.protocol.parser_exc is not None:
            raise Failure(f"unreadable frames: {self.protocol.parser_exc}")
        events = self.protocol.events_received()
        self.flush()  # answers the server's own pings
        return events

    def message(self, opcode, payload):
        if opcode == Opcode.TEXT:
            self.protocol.send_text(payload)
        else:
            self.protocol.send_binary(payload)
        self.echoes.append((opcode, payload))
        self.messages += 1

    def ping(self):
        payload = self.pings.to_bytes(8, "big") * 15 + b"ping!"
        self.protocol.send_ping(payload)
        self.pongs.append(payload)
        self.pings += 1

    def take(self, frames):
        for frame in frames:
            if frame.opcode == Opcode.PONG:
                if not self.pongs or frame.data != self.pongs.popleft():
                    raise Failure(f"unexpected pong after {self.pings - len(self.pongs)} pings")
            elif frame.opcode in (Opcode.TEXT, Opcode.BINARY):
                owed = self.echoes.popleft() if self.echoes else None
                if owed != (frame.opcode, frame.data):
                    raise Failure(
                        f"echo {self.messages - len(self.echoes)} differs: {frame.opcode.name} "
                        f"{len(frame.data)} bytes for {owed and (owed[0].name, len(owed[1]))}"
                    )
            elif frame.opcode == Opcode.CLOSE:
                raise Failure("closed by the server")
        if self.done_writing and not self.echoes and not self.pongs:
            self.settled.set()

    async def read_owed(self):
        while self.echoes or self.pongs:
            self.take(await self.receive())

    async def read_forever(self):
        while True:
            self.take(await self.receive())

    async def close(self):
        self.protocol.send_close(1000)
        self.flush()
        while not any(frame.opcode == Opcode.CLOSE for frame in await self.receive()):
            pass


def random_message(rng):
    # Sizes spread evenly over the powers of two from 1 byte to 1 MiB, the limit included.
    size = MIB if rng.random() < 0.02 else max(1, int(2 ** (rng.random() * 20)))
    data = rng.randbytes((size + 1) // 2)
    if rng.random() < 0.5:
        return Opcode.TEXT, data.hex()[:size].encode()
    return Opcode.BINARY, data[:size]


async def echo(client, mebibytes):
    rng = random.Random(os.getpid())
    reading = asyncio.create_task(client.read_forever())
    written = 0
    while written < mebibytes * MIB and not reading.done():
        for _ in range(rng.randint(1, 16)):
            opcode, payload = random_message(rng)
            client.message(opcode, payload)
            written += len(payload)
            if rng.random() < 0.3:
                client.ping()
        client.flush()
        await client.writer.drain()
    client.done_writing = True
    client.take([])
    settled = asyncio.create_task(client.settled.wait())
    await asyncio.wait([reading, settled], return_when=asyncio.FIRST_COMPLETED)
    if reading.done():
        reading.result()
    # Nothing is owed: a read cancelled now loses no bytes.
    reading.cancel()
    with contextlib.suppress(asyncio.CancelledError):
        await reading


async def stall(client, kind, seconds):
    loop = asyncio.get_running_loop()
    give_up = loop.time() + 120
    while loop.time() < give_up:
        for _ in range(256 if kind == "pings" else 1):
            if kind == "pings":
                client.ping()
            else:
                client.message(Opcode.BINARY, random.randbytes(MIB))
        client.flush()
        drained, _ = await asyncio.wait([asyncio.ensure_future(client.writer.drain())], timeout=seconds)
        if not drained:
            print("stalled", flush=True)
            return await client.read_owed()
    raise Failure("the server never stopped reading")


async def main(arguments):
    mode, url, ca_file = arguments[:3]
    client = Client(url, ca_file)
    await client.open()
    if mode == "echo":
        await echo(client, int(arguments[3]))
    else:
        await stall(client, arguments[3], float(arguments[4]))
    await client.close()
    print("ok", client.messages, client.pings)


try:
    asyncio.run(asyncio.wait_for(main(sys.argv[1:]), 300))
except (Failure, OSError, asyncio.TimeoutError) as failure:
    print("failed:", failure)
    sys.exit(1)

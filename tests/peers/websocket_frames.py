# The WebSocket client of python3-websockets (its sans-I/O protocol object, already open), used as an
# independent writer and reader of frames.
#
# Usage: python3 websocket_frames.py write|read
#   write: each line of standard input is "OPCODE FIN HEX" (text, binary, continuation, ping, pong)
#          or "close CODE HEX-OF-REASON"; the client frames they make are written to standard output.
#   read:  standard input holds server frames; each message read is printed as "OPCODE HEX", or
#          "close CODE HEX-OF-REASON"; a protocol failure or text that is not UTF-8 prints "failed"
#          and exits with status 1.
import sys

from websockets.client import ClientConnection
from websockets.connection import State
from websockets.frames import Close, Opcode
from websockets.uri import parse_uri

client = ClientConnection(parse_uri("ws://localhost/"), state=State.OPEN, max_size=None)

if sys.argv[1] == "write":
    for line in sys.stdin.read().splitlines():
        opcode, number, data = line.split(" ")
        data = bytes.fromhex(data)
        if opcode == "close":
            client.send_close(int(number), data.decode())
        elif opcode in ("ping", "pong"):
            getattr(client, "send_" + opcode)(data)
        else:
            getattr(client, "send_" + opcode)(data, fin=number == "1")
    sys.stdout.buffer.write(b"".join(client.data_to_send()))
else:
    client.receive_data(sys.stdin.buffer.read())
    failed = client.parser_exc is not None
    for frame in client.events_received():
        if frame.opcode == Opcode.CLOSE:
            close = Close.parse(frame.data)
            print("close", close.code, close.reason.encode().hex())
            continue
        # The protocol object leaves checking that text is UTF-8 to its callers.
        try:
            if frame.opcode == Opcode.TEXT:
                frame.data.decode()
        except UnicodeDecodeError:
            failed = True
        print(frame.opcode.name.lower(), frame.data.hex())
    if failed:
        print("failed")
        sys.exit(1)

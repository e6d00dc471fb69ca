# Phones that hold terminals open until the Mac closes them, played with python3-websockets over the
# relay's TLS listener.
#
# Usage: python3 terminal_holder.py URL CA_FILE TOKEN COUNT
# Opens COUNT terminals one after the other and waits for each one's first message; then prints
# {"open": COUNT} on a line of its own (with "failed" and fewer open when one could not be opened,
# and then exits). Once the Mac has closed them all it prints {"closes": [{"code", "reason"}, ...]} in
# opening order and exits; a close without a close frame has code and reason null.
import asyncio
import json
import ssl
import sys

import websockets

PATIENCE = 60


async def until_closed(socket):
    try:
        while True:
            await asyncio.wait_for(socket.recv(), PATIENCE)
    except websockets.ConnectionClosed as error:
        frame = error.rcvd
        return {"code": frame.code if frame else None, "reason": frame.reason if frame else None}


async def main(url, ca_file, token, count):
    context = ssl.create_default_context(cafile=ca_file)
    sockets = []
    try:
        for _ in range(int(count)):
            socket = await websockets.connect(
                url, ssl=context, extra_headers={"Authorization": "Bearer " + token}, ping_interval=None
            )
            await asyncio.wait_for(socket.recv(), PATIENCE)
            sockets.append(socket)
    except Exception as error:
        print(json.dumps({"open": len(sockets), "failed": repr(error)}), flush=True)
        return
    print(json.dumps({"open": len(sockets)}), flush=True)
    closes = await asyncio.gather(*(until_closed(socket) for socket in sockets))
    print(json.dumps({"closes": closes}), flush=True)


if __name__ == "__main__":
    asyncio.run(main(*sys.argv[1:]))

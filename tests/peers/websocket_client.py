# A python3-websockets client of the terminal's WebSocket, checking the server's answers to a ping,
# a text and a binary message and a close with code 4001.
#
# Usage: python3 websocket_client.py URL CA_FILE
# Prints "pong" once the pong carrying the ping's payload came, "text HEX" and "binary HEX" for the
# echoed messages, and "close CODE" with the code of the server's answering close frame.
import asyncio
import ssl
import sys

import websockets


async def main(url, ca_file):
    context = ssl.create_default_context(cafile=ca_file)
    async with websockets.connect(
        url, ssl=context, ping_interval=None, compression=None, max_size=None
    ) as socket:
        # The waiter resolves only on a pong whose payload equals the ping's.
        await asyncio.wait_for(await socket.ping(b"\x00pay\xffload"), 20)
        print("pong")
        await socket.send("h\u00e9llo \u2603")
        print("text", (await asyncio.wait_for(socket.recv(), 20)).encode().hex())
        await socket.send(bytes(range(256)) * 300)
        print("binary", (await asyncio.wait_for(socket.recv(), 20)).hex())
        await socket.close(4001)
        print("close", socket.close_code)


asyncio.run(main(sys.argv[1], sys.argv[2]))

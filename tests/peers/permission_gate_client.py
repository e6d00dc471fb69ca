#!/usr/bin/env python3
"""A client of the permission gate's line protocol, written apart from the gate's own code.

Usage: permission_gate_client.py SOCKET MODE [COUNT]

MODE is one of
  send      sends standard input as it is, ends its sending side, then reads to end of stream and prints
            {"received": TEXT, "closed": true}
  silent    connects, sends nothing, reads to end of stream and prints the same
  connect   only connects; prints "connected" or the errno name (e.g. EACCES, ENOENT)
  parallel  opens COUNT connections, sends {"n": i} on connection i, then prints
            "i LENGTH VALID" (flushed) as each connection's reply line is complete, VALID
            being "json" when the line decodes as one JSON object
"""

import errno
import json
import selectors
import socket
import sys


def connect(path):
    client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    client.connect(path)
    return client


def read_to_end(client):
    chunks = []
    while True:
        chunk = client.recv(65536)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)


def report(data):
    print(json.dumps({"received": data.decode("utf-8", "replace"), "closed": True}))


def parallel(path, count):
    selector = selectors.DefaultSelector()
    buffers = {}
    for n in range(count):
        client = connect(path)
        client.sendall(json.dumps({"n": n}).encode() + b"\n")
        selector.register(client, selectors.EVENT_READ, n)
        buffers[n] = b""
    open_count = count
    while open_count:
        for key, _ in selector.select():
            n = key.data
            chunk = key.fileobj.recv(65536)
            if chunk:
                buffers[n] += chunk
                continue
            selector.unregister(key.fileobj)
            key.fileobj.close()
            open_count -= 1
            line, _, _ = buffers[n].partition(b"\n")
            try:
                valid = "json" if isinstance(json.loads(line), dict) else "other"
            except ValueError:
                valid = "broken"
            print(n, len(line), valid, flush=True)


def main():
    path, mode = sys.argv[1], sys.argv[2]
    if mode == "connect":
        try:
            connect(path).close()
            print("connected")
        except OSError as error:
            print(errno.errorcode.get(error.errno, str(error.errno)))
    elif mode == "send":
        client = connect(path)
        client.sendall(sys.stdin.buffer.read())
        client.shutdown(socket.SHUT_WR)
        report(read_to_end(client))
    elif mode == "silent":
        report(read_to_end(connect(path)))
    elif mode == "parallel":
        parallel(path, int(sys.argv[3]))
    else:
        sys.exit("unknown mode " + mode)


if __name__ == "__main__":
    main()

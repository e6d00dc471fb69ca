#!/usr/bin/env python3
# A client of the permission gate's line protocol, written apart from the gate's own code.
# Usage: permission_gate_client.py SOCKET send
#          sends standard input as it is, ends its sending side, reads to end of stream and prints
#          {"received": TEXT, "closed": true}
#        permission_gate_client.py SOCKET silent
#          connects, sends nothing, reads to end of stream and prints the same
#        permission_gate_client.py SOCKET parallel COUNT
#          opens COUNT connections, sends {"n": i} on connection i, then prints "i LENGTH VALID" (flushed) as
#          each connection's reply line is complete, VALID being "json" when the line decodes as one object
import json
import selectors
import socket
import sys


def connect(path):
    client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    client.connect(path)
    return client


def send(path, silent):
    client = connect(path)
    if not silent:
        client.sendall(sys.stdin.buffer.read())
        client.shutdown(socket.SHUT_WR)
    received = b""
    while chunk := client.recv(65536):
        received += chunk
    print(json.dumps({"received": received.decode("utf-8", "replace"), "closed": True}))


def parallel(path, count):
    selector = selectors.DefaultSelector()
    buffers = {}
    for n in range(count):
        client = connect(path)
        client.sendall(json.dumps({"n": n}).encode() + b"\n")
        selector.register(client, selectors.EVENT_READ, n)
        buffers[n] = b""
    while selector.get_map():
        for key, _ in selector.select():
            n = key.data
            chunk = key.fileobj.recv(65536)
            if chunk:
                buffers[n] += chunk
                continue
            selector.unregister(key.fileobj)
            key.fileobj.close()
            line = buffers[n].partition(b"\n")[0]
            try:
                valid = "json" if isinstance(json.loads(line), dict) else "other"
            except ValueError:
                valid = "broken"
            print(n, len(line), valid, flush=True)


if sys.argv[2] in ("send", "silent"):
    send(sys.argv[1], sys.argv[2] == "silent")
else:
    parallel(sys.argv[1], int(sys.argv[3]))

#!/usr/bin/env python3
"""TLS clients of the relay's listener, written apart from the server. Usage: PORT MODE [COUNT].

pipeline: two requests in one write, prints all that comes back until the server closes.
slowloris / handshakes: COUNT connections that never finish a request head / a ClientHello;
prints "ready" and holds them until standard input closes. Certificates are not checked.
"""

import resource
import socket
import ssl
import sys


def context():
    made = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    made.check_hostname = False
    made.verify_mode = ssl.CERT_NONE
    return made


def connect(port):
    return socket.create_connection(("127.0.0.1", port), timeout=30)


def pipeline(port):
    with context().wrap_socket(connect(port)) as tls:
        tls.sendall(b"GET /first HTTP/1.1\r\nHost: relay\r\n\r\n"
                    b"GET /second HTTP/1.1\r\nHost: relay\r\nConnection: close\r\n\r\n")
        received = b""
        while True:
            chunk = tls.recv(65536)
            if not chunk:
                break
            received += chunk
    sys.stdout.write(received.decode("latin-1"))


def hold(sockets):
    print("ready", flush=True)
    sys.stdin.read()
    for held in sockets:
        held.close()


def slowloris(port, count):
    held = []
    for index in range(count):
        try:
            tls = context().wrap_socket(connect(port))
            tls.sendall(b"GET /slow HTTP/1.1\r\nHost: relay\r\nX-Pad-%d: " % index)
            held.append(tls)
        except OSError:
            pass  # closed by the server's admission: what a flood should meet
    hold(held)


def handshakes(port, count):
    held = []
    for _ in range(count):
        try:
            plain = connect(port)
            # A TLS record header announcing a handshake message whose body never follows.
            plain.sendall(b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03")
            held.append(plain)
        except OSError:
            pass
    hold(held)


def main():
    port, mode = int(sys.argv[1]), sys.argv[2]
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 0
    # Hundreds of held sockets must not meet a small default descriptor limit on a fresh machine.
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    {"pipeline": lambda: pipeline(port),
     "slowloris": lambda: slowloris(port, count),
     "handshakes": lambda: handshakes(port, count)}[mode]()


if __name__ == "__main__":
    main()

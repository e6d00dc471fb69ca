#!/usr/bin/env python3
"""TLS clients of the relay's listener, written apart from the server. Usage: PORT MODE [ARGUMENT].

pipeline: two requests in one write, prints all that comes back until the server closes.
slowloris / handshakes: ARGUMENT connections that never finish a request head / a ClientHello;
prints "ready" and holds them until standard input closes.
send: standard input in one write, prints all that comes back until the server closes, then
"closed", or "still open" when it keeps the connection 10 seconds after its last byte.
silent: a TCP connection that never sends a byte; prints "closed" when the server ends it within
20 seconds, else "still open".
hello: ARGUMENT is the server's address; sends a ClientHello and prints "answered" when any byte
comes back, "closed unanswered" when the server ends the connection first, else "still open".
Certificates are not checked.
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


def connect(port, host="127.0.0.1", timeout=30):
    return socket.create_connection((host, port), timeout=timeout)


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


def read_until_closed(stream):
    received = b""
    try:
        while True:
            chunk = stream.recv(65536)
            if not chunk:
                return received, "closed"
            received += chunk
    except (socket.timeout, TimeoutError):
        return received, "still open"
    except (ConnectionResetError, ssl.SSLEOFError):
        return received, "closed"


def send(port):
    with context().wrap_socket(connect(port)) as tls:
        tls.sendall(sys.stdin.buffer.read())
        tls.settimeout(10)
        received, end = read_until_closed(tls)
    sys.stdout.write(received.decode("latin-1") + "\n" + end + "\n")


def silent(port):
    with connect(port, timeout=20) as plain:
        print(read_until_closed(plain)[1])


def hello(port, host):
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = context().wrap_bio(incoming, outgoing)
    try:
        tls.do_handshake()
    except ssl.SSLWantReadError:
        pass
    with connect(port, host, timeout=20) as plain:
        plain.sendall(outgoing.read())
        try:
            print("answered" if plain.recv(1) else "closed unanswered")
        except ConnectionResetError:
            print("closed unanswered")
        except (socket.timeout, TimeoutError):
            print("still open")


def main():
    port, mode = int(sys.argv[1]), sys.argv[2]
    argument = sys.argv[3] if len(sys.argv) > 3 else ""
    # Hundreds of held sockets must not meet a small default descriptor limit on a fresh machine.
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    {"pipeline": lambda: pipeline(port),
     "slowloris": lambda: slowloris(port, int(argument)),
     "handshakes": lambda: handshakes(port, int(argument)),
     "send": lambda: send(port),
     "silent": lambda: silent(port),
     "hello": lambda: hello(port, argument)}[mode]()


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Clients the laboratory needs beyond curl, run inside the client namespace.

  resolve NAME...                       look names up (the filter learns them from the answers)
  raw ADDRESS PORT                      name-less bytes: --bytes N in --chunk C writes
  tls ADDRESS NAME                      a real TLS handshake and GET, the ClientHello optionally
                                        split over two segments (--split N)
  ech ADDRESS NAME                      a hand-built ClientHello naming NAME and offering
                                        Encrypted Client Hello
  hold ADDRESS NAME                     HTTP keep-alive requests every --interval seconds until
                                        the connection ends or --limit seconds pass

Every mode but resolve may first look names up (--resolve NAME, repeatable). Each prints one
line of `key=value` fields: result (ok, reset, refused, timeout, eof, error), port (the local
port, to find the server's record), sent, received, detail; hold prints `open port=...` first.
"""

import argparse
import errno
import os
import socket
import ssl
import struct
import sys
import time


def report(**fields):
    print(" ".join(f"{key}={value}" for key, value in fields.items()), flush=True)


def classify(error):
    if isinstance(error, socket.timeout):
        return "timeout"
    if isinstance(error, ConnectionRefusedError):
        return "refused"
    if isinstance(error, (ConnectionResetError, ConnectionAbortedError, BrokenPipeError)):
        return "reset"
    if isinstance(error, OSError) and error.errno in (errno.ECONNRESET, errno.ECONNABORTED,
                                                      errno.EPIPE):
        return "reset"
    if isinstance(error, EOFError):
        return "eof"
    return "error"


def resolve(names):
    found = {}
    for name in names:
        try:
            infos = socket.getaddrinfo(name, None, socket.AF_UNSPEC, socket.SOCK_STREAM)
            found[name] = sorted({info[4][0] for info in infos})
        except socket.gaierror:
            found[name] = []
    return found


def connect(address, port, timeout):
    family = socket.AF_INET6 if ":" in address else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    sock.settimeout(timeout)
    sock.connect((address, port))
    return sock


class Outcome:
    def __init__(self):
        self.port = 0
        self.sent = 0
        self.received = 0
        self.detail = "-"

    def finish(self, result):
        report(result=result, port=self.port, sent=self.sent, received=self.received,
               detail=self.detail)


def run(outcome, body):
    try:
        body()
        outcome.finish("ok")
    except Exception as error:  # the kind of failure is the answer
        outcome.detail = type(error).__name__
        outcome.finish(classify(error))


def raw(args, outcome):
    sock = connect(args.address, args.port, args.timeout)
    outcome.port = sock.getsockname()[1]
    chunk = b"x" * args.chunk
    while outcome.sent < args.bytes:
        piece = chunk[: args.bytes - outcome.sent]
        sock.sendall(piece)
        outcome.sent += len(piece)
        time.sleep(args.pause)
    sock.shutdown(socket.SHUT_WR)
    # The sink closes once it has read everything; a cut shows here as a reset.
    while True:
        data = sock.recv(65536)
        if not data:
            break
        outcome.received += len(data)


def read_response(read):
    response = b""
    while b"</html>" not in response:
        data = read()
        if not data:
            raise EOFError("closed before the page")
        response += data
    return response


def tls(args, outcome):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls_object = context.wrap_bio(incoming, outgoing, server_hostname=args.name)
    sock = connect(args.address, 443, args.timeout)
    outcome.port = sock.getsockname()[1]
    first = True

    def flush():
        nonlocal first
        data = outgoing.read()
        if first and args.split and len(data) > args.split:
            # Two segments: the first ends before the name, so a reader must wait for more.
            sock.sendall(data[: args.split])
            time.sleep(0.05)
            sock.sendall(data[args.split:])
        elif data:
            sock.sendall(data)
        first = False
        outcome.sent += len(data)

    def receive():
        data = sock.recv(65536)
        if not data:
            raise EOFError("closed during the handshake")
        outcome.received += len(data)
        incoming.write(data)

    while True:
        try:
            tls_object.do_handshake()
            break
        except ssl.SSLWantReadError:
            flush()
            receive()
    flush()
    tls_object.write(f"GET / HTTP/1.1\r\nHost: {args.name}\r\n\r\n".encode())
    flush()

    def read():
        while True:
            try:
                return tls_object.read(65536)
            except ssl.SSLWantReadError:
                receive()

    response = read_response(read)
    outcome.detail = response.split(b"\r\n", 1)[0].decode().replace(" ", "_")


def extension(kind, body):
    return struct.pack("!HH", kind, len(body)) + body


def vector(width, body):
    return len(body).to_bytes(width, "big") + body


def ech_client_hello(name):
    """A TLS 1.3 ClientHello as a browser sends it: the name visible, 0xfe0d offered."""
    host = name.encode()
    extensions = b"".join([
        extension(0, vector(2, b"\x00" + vector(2, host))),
        extension(10, vector(2, struct.pack("!HH", 0x001D, 0x0017))),
        extension(11, vector(1, b"\x00")),
        extension(13, vector(2, struct.pack("!6H", 0x0403, 0x0804, 0x0401, 0x0503, 0x0805,
                                            0x0806))),
        extension(16, vector(2, vector(1, b"http/1.1"))),
        extension(43, vector(1, struct.pack("!HH", 0x0304, 0x0303))),
        extension(45, vector(1, b"\x01")),
        extension(51, vector(2, struct.pack("!H", 0x001D) + vector(2, os.urandom(32)))),
        # Outer hello: HPKE suite (HKDF-SHA256, AES-128-GCM), config id, encapsulated key and
        # a payload the server cannot open, as a client without the server's key sends.
        extension(0xFE0D, b"\x00" + struct.pack("!HHB", 1, 1, 0x2A) + vector(2, os.urandom(32))
                  + vector(2, os.urandom(176))),
    ])
    body = (b"\x03\x03" + os.urandom(32) + vector(1, os.urandom(32))
            + vector(2, struct.pack("!3H", 0x1301, 0x1302, 0xC02F)) + b"\x01\x00"
            + vector(2, extensions))
    handshake = b"\x01" + vector(3, body)
    return b"\x16\x03\x01" + vector(2, handshake)


def ech(args, outcome):
    sock = connect(args.address, 443, args.timeout)
    outcome.port = sock.getsockname()[1]
    hello = ech_client_hello(args.name)
    sock.sendall(hello)
    outcome.sent = len(hello)
    data = sock.recv(65536)
    if not data:
        raise EOFError("closed without an answer")
    outcome.received = len(data)
    # 0x16 is the server's handshake (its ServerHello): the hello went through.
    outcome.detail = f"record{data[0]:#04x}"


def hold(args, outcome):
    sock = connect(args.address, 80, args.timeout)
    outcome.port = sock.getsockname()[1]
    request = f"GET / HTTP/1.1\r\nHost: {args.name}\r\n\r\n".encode()

    def exchange():
        sock.sendall(request)
        outcome.sent += len(request)
        response = read_response(lambda: sock.recv(65536))
        outcome.received += len(response)

    exchange()
    report(open="yes", port=outcome.port)
    deadline = time.monotonic() + args.limit
    while time.monotonic() < deadline:
        time.sleep(args.interval)
        exchange()
    outcome.detail = "held-to-the-limit"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["resolve", "raw", "tls", "ech", "hold"])
    parser.add_argument("operands", nargs="*")
    parser.add_argument("--resolve", action="append", default=[])
    parser.add_argument("--timeout", type=float, default=3.0)
    parser.add_argument("--bytes", type=int, default=10000)
    parser.add_argument("--chunk", type=int, default=1000)
    parser.add_argument("--pause", type=float, default=0.0)
    parser.add_argument("--split", type=int, default=0)
    parser.add_argument("--interval", type=float, default=0.1)
    parser.add_argument("--limit", type=float, default=5.0)
    args = parser.parse_args()
    names = args.operands if args.mode == "resolve" else args.resolve
    found = resolve(names)
    if args.mode == "resolve":
        report(**{name: ",".join(addresses) or "-" for name, addresses in found.items()})
        return 0
    args.address = args.operands[0]
    if args.mode == "raw":
        args.port = int(args.operands[1])
    else:
        args.name = args.operands[1]
    outcome = Outcome()
    run(outcome, lambda: {"raw": raw, "tls": tls, "ech": ech, "hold": hold}[args.mode](args, outcome))
    return 0


if __name__ == "__main__":
    sys.exit(main())

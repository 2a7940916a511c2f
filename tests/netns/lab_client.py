#!/usr/bin/env python3
"""Clients the laboratory needs beyond curl, run inside the client namespace.

  resolve NAME...                       look names up (the filter learns them from the answers)
  raw ADDRESS PORT                      10000 name-less bytes in writes of 1000
  tls ADDRESS NAME                      a real TLS handshake and GET, the ClientHello optionally
                                        split over two segments (--split N)
  ech ADDRESS NAME                      a hand-built ClientHello naming NAME and offering
                                        Encrypted Client Hello
  quic ADDRESS NAME                     a QUIC Initial whose ClientHello names NAME, in two
                                        Initials out of order with --split N, to --port P
  hold ADDRESS NAME                     HTTP keep-alive requests every --interval seconds until
                                        the connection ends or --limit seconds pass

Every mode but resolve may first look names up (--resolve NAME, repeatable). Each prints one
line of `key=value` fields: result (ok, reset, refused, timeout, error), port (the local
port, to find the server's record), sent, received, detail; hold prints `open port=...` first.
"""

import argparse
import errno
import hashlib
import hmac
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
    if isinstance(error, OSError) and error.errno in (errno.ECONNRESET, errno.ECONNABORTED,
                                                      errno.EPIPE):
        return "reset"
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
    for _ in range(10):
        sock.sendall(b"x" * 1000)
        outcome.sent += 1000
    try:
        sock.shutdown(socket.SHUT_WR)
    except OSError as error:
        # A socket the filter destroyed is closed already; its error comes with the next read.
        if error.errno != errno.ENOTCONN:
            raise
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


def client_hello(name, ech=False, quic=False):
    """A TLS 1.3 ClientHello handshake message as a browser sends it, the name visible."""
    host = name.encode()
    parts = [
        extension(0, vector(2, b"\x00" + vector(2, host))),
        extension(10, vector(2, struct.pack("!HH", 0x001D, 0x0017))),
        extension(13, vector(2, struct.pack("!6H", 0x0403, 0x0804, 0x0401, 0x0503, 0x0805,
                                            0x0806))),
        extension(16, vector(2, vector(1, b"h3" if quic else b"http/1.1"))),
        extension(43, vector(1, struct.pack("!H", 0x0304) if quic else
                             struct.pack("!HH", 0x0304, 0x0303))),
        extension(45, vector(1, b"\x01")),
        extension(51, vector(2, struct.pack("!H", 0x001D) + vector(2, os.urandom(32)))),
    ]
    if quic:
        # Transport parameters: initial_max_data and initial_source_connection_id (empty).
        parts.append(extension(0x39, b"\x04\x04\x80\x10\x00\x00" + b"\x0f\x00"))
    else:
        parts.insert(2, extension(11, vector(1, b"\x00")))
    if ech:
        # Outer hello: HPKE suite (HKDF-SHA256, AES-128-GCM), config id, encapsulated key and
        # a payload the server cannot open, as a client without the server's key sends.
        parts.append(extension(0xFE0D, b"\x00" + struct.pack("!HHB", 1, 1, 0x2A)
                               + vector(2, os.urandom(32)) + vector(2, os.urandom(176))))
    body = (b"\x03\x03" + os.urandom(32) + vector(1, b"" if quic else os.urandom(32))
            + vector(2, struct.pack("!3H", 0x1301, 0x1302, 0xC02F)) + b"\x01\x00"
            + vector(2, b"".join(parts)))
    return b"\x01" + vector(3, body)


def ech(args, outcome):
    sock = connect(args.address, 443, args.timeout)
    outcome.port = sock.getsockname()[1]
    hello = b"\x16\x03\x01" + vector(2, client_hello(args.name, ech=True))
    sock.sendall(hello)
    outcome.sent = len(hello)
    data = sock.recv(65536)
    if not data:
        raise EOFError("closed without an answer")
    outcome.received = len(data)
    # 0x16 is the server's handshake (its ServerHello): the hello went through.
    outcome.detail = f"record{data[0]:#04x}"


def hkdf_expand_label(secret, label, length):
    full = b"tls13 " + label
    info = struct.pack("!H", length) + vector(1, full) + b"\x00"
    out, block, counter = b"", b"", 1
    while len(out) < length:
        block = hmac.new(secret, block + info + bytes([counter]), hashlib.sha256).digest()
        out += block
        counter += 1
    return out[:length]


def quic_initial(destination, source, offset, data):
    """One client Initial of QUIC v1 carrying CRYPTO bytes at `offset`, padded to 1200 bytes
    and protected with the keys every reader can derive from the destination connection ID."""
    from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM

    salt = bytes.fromhex("38762cf7f55934b34d179ae6a4c80cadccbb7f0a")
    initial = hmac.new(salt, destination, hashlib.sha256).digest()
    secret = hkdf_expand_label(initial, b"client in", 32)
    key = hkdf_expand_label(secret, b"quic key", 16)
    iv = hkdf_expand_label(secret, b"quic iv", 12)
    hp = hkdf_expand_label(secret, b"quic hp", 16)

    def varint(value):
        return struct.pack("!I", 0x80000000 | value) if value >= 0x4000 else \
            struct.pack("!H", 0x4000 | value)

    frame = b"\x06" + varint(offset) + varint(len(data)) + data
    number = 0 if offset == 0 else 1
    header_length = 1 + 4 + 1 + len(destination) + 1 + len(source) + 1 + 2 + 4
    padding = 1200 - header_length - len(frame) - 16
    payload = frame + b"\x00" * max(padding, 0)
    header = (b"\xc3" + struct.pack("!I", 1) + vector(1, destination) + vector(1, source)
              + b"\x00" + struct.pack("!H", 0x4000 | (4 + len(payload) + 16))
              + struct.pack("!I", number))
    nonce = bytes(a ^ b for a, b in zip(iv, number.to_bytes(12, "big")))
    sealed = AESGCM(key).encrypt(nonce, payload, header)
    mask = Cipher(algorithms.AES(hp), modes.ECB()).encryptor().update(sealed[:16])
    protected = bytearray(header + sealed)
    protected[0] ^= mask[0] & 0x0F
    for i in range(4):
        protected[header_length - 4 + i] ^= mask[1 + i]
    return bytes(protected)


def quic(args, outcome):
    family = socket.AF_INET6 if ":" in args.address else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_DGRAM)
    sock.settimeout(args.timeout)
    sock.connect((args.address, args.port))
    outcome.port = sock.getsockname()[1]
    destination, source = os.urandom(8), os.urandom(8)
    hello = client_hello(args.name, quic=True)
    if args.split:
        # Two Initials, the later half first, as Chromium sends its large hellos.
        datagrams = [quic_initial(destination, source, args.split, hello[args.split:]),
                     quic_initial(destination, source, 0, hello[: args.split])]
    else:
        datagrams = [quic_initial(destination, source, 0, hello)]
    for datagram in datagrams:
        sock.send(datagram)
        outcome.sent += len(datagram)
        time.sleep(0.02)
    # Nobody answers QUIC here: a refusal shows as an ICMP error on this connected socket.
    try:
        sock.recv(2048)
    except socket.timeout:
        outcome.detail = "no-answer"


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
    parser.add_argument("mode", choices=["resolve", "raw", "tls", "ech", "quic", "hold"])
    parser.add_argument("operands", nargs="*")
    parser.add_argument("--resolve", action="append", default=[])
    parser.add_argument("--timeout", type=float, default=3.0)
    parser.add_argument("--split", type=int, default=0)
    parser.add_argument("--port", type=int, default=443)
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
    modes = {"raw": raw, "tls": tls, "ech": ech, "quic": quic, "hold": hold}
    run(outcome, lambda: modes[args.mode](args, outcome))
    return 0


if __name__ == "__main__":
    sys.exit(main())

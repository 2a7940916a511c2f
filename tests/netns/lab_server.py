#!/usr/bin/env python3
"""The laboratory's servers, run inside the server namespace.

HTTPS on 443 (one certificate for every name, the SNI callback records the name asked for),
plain HTTP on 80, a TCP sink on 9000 that counts the bytes of each connection, and UDP
listeners on 443 and 9000 that count datagrams per local address. Every finished connection
and every datagram becomes one line of `key=value` fields in the log file, flushed at once, so a test
can read what the server saw. Prints `ready` when every socket listens.
"""

import argparse
import errno
import socket
import ssl
import sys
import threading

LOG_LOCK = threading.Lock()
LOG = None


def plain(address):
    """An address without the IPv4-mapped prefix of a dual-stack socket."""
    return address[7:] if address.startswith("::ffff:") else address


def record(**fields):
    line = " ".join(f"{key}={value}" for key, value in fields.items())
    with LOG_LOCK:
        LOG.write(line + "\n")
        LOG.flush()


def ending(error):
    if isinstance(error, socket.timeout):
        return "timeout"
    if isinstance(error, ssl.SSLError):
        return "tls-error"
    if isinstance(error, OSError) and error.errno in (errno.ECONNRESET, errno.ECONNABORTED,
                                                      errno.EPIPE):
        return "reset"
    return "error"


def listener(port, kind=socket.SOCK_STREAM):
    sock = socket.socket(socket.AF_INET6, kind)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    sock.bind(("::", port))
    if kind == socket.SOCK_STREAM:
        sock.listen(128)
    return sock


class Connection:
    """One accepted connection: what it received, and how it ended."""

    def __init__(self, sock, peer, kind, timeout):
        self.sock = sock
        self.kind = kind
        # The address accept() gave: a connection reset before it was accepted has no peer
        # name left to ask for, yet its record must still name the client's port.
        self.peer, self.port = plain(peer[0]), peer[1]
        self.local = "-"
        self.received = 0
        self.name = "-"
        self.end = "eof"
        try:
            self.local = plain(sock.getsockname()[0])
            # Without it every response waits about 40 ms on the client's delayed ACK.
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        except OSError:
            pass
        sock.settimeout(timeout)

    def recv(self, stream):
        data = stream.recv(65536)
        self.received += len(data)
        return data

    def finish(self):
        record(kind=self.kind, local=self.local, peer=self.peer, port=self.port,
               name=self.name, received=self.received, end=self.end)


def serve_http(conn, stream):
    """HTTP/1.1 with keep-alive: each request is answered with the host it named."""
    buffer = b""
    while True:
        while b"\r\n\r\n" not in buffer:
            data = conn.recv(stream)
            if not data:
                return
            buffer += data
        head, _, buffer = buffer.partition(b"\r\n\r\n")
        host = "-"
        for line in head.split(b"\r\n")[1:]:
            key, _, value = line.partition(b":")
            if key.strip().lower() == b"host":
                host = value.strip().decode("ascii", "replace").split(":")[0]
        if conn.name == "-":
            conn.name = host
        body = f"<html><body>hello {host}</body></html>\n".encode()
        stream.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: "
                       + str(len(body)).encode() + b"\r\n\r\n" + body)


def handle(sock, peer, kind, args, context):
    conn = Connection(sock, peer, kind, 8.0)
    stream = sock
    try:
        if kind == "https":
            stream = context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
            try:
                stream.do_handshake()
            finally:
                conn.name = SEEN_NAMES.pop(id(stream), "-")
        if kind == "sink":
            while conn.recv(stream):
                pass
        else:
            serve_http(conn, stream)
    except Exception as error:  # every ending is recorded, none is fatal to the server
        conn.end = ending(error)
    finally:
        conn.finish()
        try:
            stream.close()
        except OSError:
            pass


SEEN_NAMES = {}


def tls_context(args):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    context.set_alpn_protocols(["http/1.1"])

    def on_name(ssl_socket, name, _context):
        # Every name shares the one certificate; the callback is where the name is seen.
        SEEN_NAMES[id(ssl_socket)] = name or "-"

    context.sni_callback = on_name
    return context


def accept_loop(sock, kind, args, context):
    while True:
        try:
            client, peer = sock.accept()
        except OSError as error:
            # A connection reset while it waited to be accepted: nothing of it is left.
            record(kind=kind, local="-", peer="-", port=0, name="-", received=0,
                   end="accept-" + ending(error))
            continue
        threading.Thread(target=handle, args=(client, peer, kind, args, context),
                         daemon=True).start()


def udp_loop(sock, port):
    sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_RECVPKTINFO, 1)
    while True:
        data, ancillary, _, peer = sock.recvmsg(65536, 256)
        local = "-"
        for level, kind, value in ancillary:
            if level == socket.IPPROTO_IPV6 and kind == socket.IPV6_PKTINFO:
                local = plain(socket.inet_ntop(socket.AF_INET6, value[:16]))
        record(kind="udp", local=local, lport=port, peer=plain(peer[0]), port=peer[1],
               received=len(data))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--log", required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    args = parser.parse_args()
    global LOG
    LOG = open(args.log, "a", encoding="utf-8")
    context = tls_context(args)
    loops = [(listener(443), "https"), (listener(80), "http"), (listener(9000), "sink")]
    for sock, kind in loops:
        threading.Thread(target=accept_loop, args=(sock, kind, args, context), daemon=True).start()
    for port in (443, 9000):
        udp = listener(port, socket.SOCK_DGRAM)
        threading.Thread(target=udp_loop, args=(udp, port), daemon=True).start()
    print("ready", flush=True)
    threading.Event().wait()


if __name__ == "__main__":
    sys.exit(main())

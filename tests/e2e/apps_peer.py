#!/usr/bin/env python3
"""Both ends of the known exchanges of apps_e2e.sh.

  apps_peer.py serve TCP-PORT UDP-PORT ADDR... the peer: answers every exchange, until killed
  apps_peer.py tcp HOST PORT UP DOWN          sends UP bytes, receives DOWN bytes
  apps_peer.py udp HOST PORT COUNT SIZE REPLY COUNT datagrams of SIZE bytes, each answered
                                              with REPLY bytes

TCP: the client sends the size it wants back (8 bytes) and its bytes, then ends its side; the
peer answers once it has read everything, then closes first, so that every segment on the
client's side belongs to a socket its process still owns. UDP: one datagram at a time, each
answered before the next goes, so that none is lost to a full buffer. A client ends with 1 when
any byte is missing.
"""
import socket
import struct
import sys
import threading


def serve_tcp(conn):
    with conn:
        want = b""
        while len(want) < 8:
            chunk = conn.recv(8 - len(want))
            if not chunk:
                return
            want += chunk
        (down,) = struct.unpack("!Q", want)
        while conn.recv(65536):
            pass
        block = b"d" * 65536
        while down > 0:
            n = min(down, len(block))
            conn.sendall(block[:n])
            down -= n


def serve(tcp_port, udp_port, addresses):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("0.0.0.0", tcp_port))
    listener.listen(16)

    # A socket per address: the answer leaves from the address the client sent to.
    def answer_udp(udp):
        while True:
            data, peer = udp.recvfrom(65536)
            if len(data) >= 4:
                (reply,) = struct.unpack("!I", data[:4])
                udp.sendto(b"u" * reply, peer)

    for address in addresses:
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        udp.bind((address, udp_port))
        threading.Thread(target=answer_udp, args=(udp,), daemon=True).start()
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve_tcp, args=(conn,), daemon=True).start()


def tcp(host, port, up, down):
    with socket.create_connection((host, port), timeout=20) as s:
        s.sendall(struct.pack("!Q", down))
        block = b"t" * 65536
        left = up - 8
        while left > 0:
            n = min(left, len(block))
            s.sendall(block[:n])
            left -= n
        s.shutdown(socket.SHUT_WR)
        got = 0
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            got += len(chunk)
    if got != down:
        print(f"received {got} bytes of {down}", file=sys.stderr)
        return 1
    return 0


def udp(host, port, count, size, reply):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(5)
        s.connect((host, port))
        payload = struct.pack("!I", reply) + b"p" * (size - 4)
        for i in range(count):
            s.send(payload)
            try:
                data = s.recv(65536)
            except socket.timeout:
                print(f"no answer to datagram {i + 1} of {count}", file=sys.stderr)
                return 1
            if len(data) != reply:
                print(f"an answer of {len(data)} bytes, not {reply}", file=sys.stderr)
                return 1
    return 0


def main(argv):
    if len(argv) >= 5 and argv[1] == "serve":
        serve(int(argv[2]), int(argv[3]), argv[4:])
    elif len(argv) == 6 and argv[1] == "tcp":
        return tcp(argv[2], int(argv[3]), int(argv[4]), int(argv[5]))
    elif len(argv) == 7 and argv[1] == "udp":
        return udp(argv[2], int(argv[3]), int(argv[4]), int(argv[5]), int(argv[6]))
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))

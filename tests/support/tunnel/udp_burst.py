#!/usr/bin/env python3
"""A burst of UDP datagrams from many sockets to an echo server, counting the answers, for the
tunnel's datagram test and bench/lwip_udp_bench.sh.

  udp_burst.py echo HOST PORT [RCVBUF]
      Sends every datagram back to its sender. RCVBUF sets the socket's receive buffer
      (bytes; the system's default when absent). Prints READY once bound.
  udp_burst.py burst HOST PORT SOCKETS DATAGRAMS [SIZE] [QUIET]
      Sends DATAGRAMS datagrams of SIZE bytes (64 by default), one from each of SOCKETS
      sockets in turn, as fast as they go, then collects answers until all are back or none
      has come for QUIET seconds (2 by default; at most 60 s in all). Prints one JSON line: sent,
      answered (distinct datagrams that came back whole), share (answered / sent), seconds.
"""
import json
import resource
import selectors
import socket
import struct
import sys
import time


def echo(host, port, rcvbuf):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_DGRAM)
    if rcvbuf:
        # As root the system's ceiling does not apply (SO_RCVBUFFORCE).
        sock.setsockopt(socket.SOL_SOCKET, 33, rcvbuf)
    sock.bind((host, port))
    print("READY", flush=True)
    while True:
        data, sender = sock.recvfrom(65536)
        try:
            sock.sendto(data, sender)
        except OSError:
            pass


def burst(host, port, count, datagrams, size, quiet):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    socks = [socket.socket(family, socket.SOCK_DGRAM) for _ in range(count)]
    selector = selectors.DefaultSelector()
    for sock in socks:
        sock.setblocking(False)
        sock.bind(("", 0))
        selector.register(sock, selectors.EVENT_READ)
    size = max(size, 8)
    start = time.monotonic()
    sent = 0
    for n in range(datagrams):
        payload = struct.pack("!Q", n) + bytes([n & 0xFF]) * (size - 8)
        try:
            socks[n % count].sendto(payload, (host, port))
            sent += 1
        except OSError:
            pass  # a send the system refuses at once is as lost as one dropped later
    answered = set()
    last = time.monotonic()
    while len(answered) < datagrams and time.monotonic() - start < 60:
        # Quiet means a wait of QUIET seconds found nothing: a process that was not run for a
        # while still reads what came meanwhile.
        events = selector.select(max(0.0, quiet - (time.monotonic() - last)))
        if not events:
            break
        for key, _ in events:
            while True:
                try:
                    data = key.fileobj.recv(65536)
                except OSError:
                    break
                if len(data) == size:
                    (n,) = struct.unpack_from("!Q", data)
                    if data[8:] == bytes([n & 0xFF]) * (size - 8):
                        answered.add(n)
                last = time.monotonic()
    result = {"sent": sent, "answered": len(answered), "share": round(len(answered) / datagrams, 4),
              "seconds": round(last - start, 3)}
    print(json.dumps(result), flush=True)


def main(argv):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    if len(argv) < 4:
        sys.exit(__doc__)
    verb, host, port = argv[1], argv[2], int(argv[3])
    if verb == "echo":
        echo(host, port, int(argv[4]) if len(argv) > 4 else 0)
    elif verb == "burst" and len(argv) > 5:
        burst(host, port, int(argv[4]), int(argv[5]), int(argv[6]) if len(argv) > 6 else 64,
              float(argv[7]) if len(argv) > 7 else 2)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)

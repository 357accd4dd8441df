#!/usr/bin/env python3
"""Clients that misbehave toward a tunnel, and a sampler of how soon a new connection is served
meanwhile, for the tunnel's tests and bench/lwip_load_bench.sh. Downloads are from
tcp_load.py serve ("GET /N" answers N bytes of its pattern); with VIA (HOST:PORT of an HTTP
proxy, e.g. the proxy on the stack, 198.18.72.253:8888) they go through that proxy instead.

  hostile_clients.py stall HOST PORT COUNT SIZE [SECONDS] [VIA]
      Opens COUNT downloads of SIZE bytes whose app stops reading after the first bytes (the
      response's head) and keeps its connection open: the peer's window closes and stays
      closed. Prints "STALLED k of COUNT" once every one has its first bytes or has failed
      (at most 60 s; one still waiting then stays open as it is) and the bytes they hold unread
      have stopped growing for half a second (at most 30 s more), then holds them for SECONDS (3600 by default). SIGUSR1 resumes them:
      each reads the rest within 45 s and checks every byte; SIGTERM or the end of SECONDS closes them.
      Either way it prints one JSON line at the end: ok (the whole body arrived intact, only
      after SIGUSR1), held (still open when closed), reset (ended by the peer while held),
      broken (cut short or wrong bytes after resuming), failed (no first bytes).
  hostile_clients.py vanish HOST PORT COUNT SIZE [SECONDS] [VIA]
      As stall, but once every download has its first bytes its host vanishes: an nftables
      table in this namespace drops every packet to and from those connections' ports, so they
      acknowledge nothing again and never answer (neither FIN nor RST; a killed process would
      send a RST). Prints "VANISHED k of COUNT", holds SECONDS, then removes the table and
      resets the connections. Needs nft (package nftables) and root.
  hostile_clients.py flood HOST PORT COUNT [PER_SECOND]
      Writes COUNT TCP SYNs to HOST:PORT from made-up sources (random addresses in
      10.128.0.0/9, or fd99::/16 toward an IPv6 HOST; random ports) through a raw socket, as fast as the device takes them or
      PER_SECOND. Their SYN-ACKs go to nowhere: this namespace does not forward. Prints one
      JSON line: sent, seconds, dropped (by the device, from /proc/net/dev).
  hostile_clients.py sample HOST PORT SECONDS [INTERVAL] [TIMEOUT] [VIA]
      Every INTERVAL (1 s) for SECONDS, a new connection downloads 1 KiB: connect, request,
      then the time to its first response bytes, each step bounded by TIMEOUT (5 s) all told.
      Prints one JSON line: probes, served (first bytes within TIMEOUT), within_1s, median
      and max (seconds to first bytes, of those served), failed, steady_from (when the first
      probe started from which on every one was served within 1 s; null if the last was not)
      and times (each probe's, null when not served).
"""
import asyncio
import fcntl
import json
import os
import random
import resource
import signal
import socket
import statistics
import struct
import subprocess
import sys
import termios
import time

PATTERN = memoryview(bytes(range(251)) * (((16 << 20) // 251) + 1))


def authority(host, port):
    return b"[%s]:%d" % (host.encode(), port) if ":" in host else b"%s:%d" % (host.encode(), port)


def request(host, port, size, via):
    """The request line and head for a download of SIZE bytes, direct or through a proxy."""
    target = b"/%d" % size if not via else b"http://%s/%d" % (authority(host, port), size)
    return b"GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n" % (target, authority(host, port))


def endpoint(host, port, via):
    if not via:
        return host, port
    at = via.rindex(":")
    return via[:at].strip("[]"), int(via[at + 1:])


class Download:
    """One download whose app reads its first bytes, then stops."""

    def __init__(self):
        self.reader = self.writer = None
        self.port = None
        self.state = "failed"  # "held", "reset", "ok", "broken"
        self.body = 0
        self.length = 0

    async def open(self, host, port, size, via):
        try:
            self.reader, self.writer = await asyncio.open_connection(*endpoint(host, port, via))
            self.port = self.writer.get_extra_info("sockname")[1]
            self.writer.write(request(host, port, size, via))
            head = await self.reader.readuntil(b"\r\n\r\n")
            for line in head.split(b"\r\n"):
                if line.lower().startswith(b"content-length:"):
                    self.length = int(line.split(b":")[1])
            if not head.startswith(b"HTTP/1.1 200") or self.length != size:
                return
            self.state = "held"
        except (OSError, ValueError, asyncio.IncompleteReadError, asyncio.LimitOverrunError):
            pass

    def still_open(self):
        """Whether the peer has not ended the connection while it was held, without reading."""
        if self.state != "held":
            return
        sock = self.writer.get_extra_info("socket")
        try:
            err = sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
        except OSError:
            err = 1
        # A reset shows as an error; an orderly end with the bytes still unread does not.
        info = sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 8)
        tcp_state = info[0]
        if err or tcp_state == 7:  # CLOSE: reset (CLOSE_WAIT, the peer done sending, is no reset)
            self.state = "reset"

    async def resume(self, timeout):
        """Reads the rest of the body and checks every byte."""
        if self.state != "held":
            return
        try:
            async def rest():
                while piece := await self.reader.read(1 << 20):
                    if self.body + len(piece) > self.length or PATTERN[self.body:self.body + len(piece)] != piece:
                        return "broken"
                    self.body += len(piece)
                return "ok" if self.body == self.length else "broken"

            self.state = await asyncio.wait_for(rest(), timeout)
        except (OSError, asyncio.TimeoutError):
            self.state = "broken"

    def close(self, reset=False):
        if self.writer:
            if reset:
                try:
                    self.writer.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                                                    struct.pack("ii", 1, 0))
                except OSError:
                    pass
            self.writer.close()


def unread(download):
    """The bytes a stalled download holds unread, in its socket and in its app's buffer."""
    sock = download.writer.get_extra_info("socket")
    try:
        queued = struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.FIONREAD, b"\0\0\0\0"))[0]
    except OSError:
        queued = 0
    return queued + len(download.reader._buffer)


async def settle(held):
    """Waits until the stalled downloads' unread bytes stop growing for half a second (their
    windows closed, the rest waiting on the other side), at most 30 s."""
    last, still, start = -1, 0, time.monotonic()
    while still < 2 and time.monotonic() - start < 30:
        await asyncio.sleep(0.25)
        total = sum(unread(d) for d in held)
        still = still + 1 if total == last else 0
        last = total


def nft(script):
    subprocess.run(["nft", "-f", "-"], input=script.encode(), check=True)


async def hold(host, port, count, size, seconds, via, vanish):
    downloads = [Download() for _ in range(count)]
    # Those whose first bytes do not come within the bound stay open as they are, waiting.
    opening = [asyncio.ensure_future(d.open(host, port, size, via)) for d in downloads]
    _, late = await asyncio.wait(opening, timeout=60)
    for task in late:
        task.cancel()
    table = "pxvanish%d" % os.getpid()
    held = [d for d in downloads if d.state == "held"]
    if not vanish:
        await settle(held)
    if vanish and held:
        ports = ", ".join(str(d.port) for d in held)
        nft("table inet %s {\n set ports { type inet_service; elements = { %s } }\n"
            " chain incoming { type filter hook input priority -300; tcp dport @ports drop; }\n"
            " chain outgoing { type filter hook output priority -300; tcp sport @ports drop; }\n}\n" % (table, ports))
    print("%s %d of %d" % ("VANISHED" if vanish else "STALLED", len(held), count), flush=True)
    loop = asyncio.get_running_loop()
    done = asyncio.Event()
    resume = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, done.set)
    loop.add_signal_handler(signal.SIGUSR1, resume.set)
    waits = [asyncio.ensure_future(done.wait()), asyncio.ensure_future(resume.wait())]
    await asyncio.wait(waits, timeout=seconds, return_when=asyncio.FIRST_COMPLETED)
    for w in waits:
        w.cancel()
    for d in downloads:
        d.still_open()
    if vanish and held:
        nft("delete table inet %s\n" % table)
    if resume.is_set():
        await asyncio.gather(*(d.resume(45) for d in downloads))
    for d in downloads:
        d.close(reset=vanish)
    counts = {kind: sum(d.state == kind for d in downloads) for kind in ("ok", "held", "reset", "broken", "failed")}
    print(json.dumps(counts), flush=True)


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def syn(source, sport, dest, dport):
    """An IPv4 or IPv6 packet (by the addresses' length) holding a TCP SYN with an MSS option."""
    seq = random.getrandbits(32)
    options = struct.pack("!BBH", 2, 4, 1460)
    tcp = struct.pack("!HHIIBBHHH", sport, dport, seq, 0, (5 + len(options) // 4) << 4, 0x02, 64240, 0, 0) + options
    if len(source) == 4:
        pseudo = source + dest + struct.pack("!BBH", 0, socket.IPPROTO_TCP, len(tcp))
    else:
        pseudo = source + dest + struct.pack("!I3xB", len(tcp), socket.IPPROTO_TCP)
    tcp = tcp[:16] + struct.pack("!H", checksum(pseudo + tcp)) + tcp[18:]
    if len(source) == 16:
        return struct.pack("!IHBB", 6 << 28, len(tcp), socket.IPPROTO_TCP, 64) + source + dest + tcp
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(tcp), random.getrandbits(16), 0, 64, socket.IPPROTO_TCP, 0,
                     source, dest)
    ip = ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:]
    return ip + tcp


def device_drops():
    """Packets the namespace's devices dropped on their way out, from /proc/net/dev."""
    total = 0
    with open("/proc/net/dev") as table:
        for line in list(table)[2:]:
            fields = line.split(":", 1)[1].split()
            total += int(fields[11])
    return total


def flood(host, port, count, per_second):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    dest = socket.inet_pton(family, host)
    # IPPROTO_RAW: the packets carry their own IP header, made-up source included.
    raw = socket.socket(family, socket.SOCK_RAW, socket.IPPROTO_RAW)
    dropped = device_drops()
    start = time.monotonic()
    sent = 0
    while sent < count:
        if family == socket.AF_INET:
            source = struct.pack("!I", (10 << 24) | (1 << 23) | random.getrandbits(23))
        else:
            source = b"\xfd\x99" + random.getrandbits(112).to_bytes(14, "big")
        packet = syn(source, random.randint(1024, 65535), dest, port)
        try:
            raw.sendto(packet, (host, 0))
        except OSError:  # ENOBUFS: the device's queue is full for now
            time.sleep(0.001)
            continue
        sent += 1
        if per_second and sent % 100 == 0:
            ahead = sent / per_second - (time.monotonic() - start)
            if ahead > 0:
                time.sleep(ahead)
    print(json.dumps({"sent": sent, "seconds": round(time.monotonic() - start, 3),
                      "dropped": device_drops() - dropped}), flush=True)


def probe(host, port, timeout, via):
    """Seconds from the start of a new connection to its first response bytes, or None."""
    start = time.monotonic()
    try:
        with socket.create_connection(endpoint(host, port, via), timeout=timeout) as s:
            s.sendall(request(host, port, 1024, via))
            s.settimeout(max(0.01, timeout - (time.monotonic() - start)))
            if not s.recv(1):
                return None
            took = time.monotonic() - start
            # The rest of the download, so that the server side ends cleanly.
            while s.recv(65536):
                pass
            return took
    except OSError:
        return None


def sample(host, port, seconds, interval, timeout, via):
    times, starts = [], []
    start = time.monotonic()
    while time.monotonic() - start < seconds:
        at = time.monotonic()
        starts.append(at - start)
        times.append(probe(host, port, timeout, via))
        left = interval - (time.monotonic() - at)
        if left > 0:
            time.sleep(left)
    served = [t for t in times if t is not None]
    steady = len(times)
    while steady > 0 and times[steady - 1] is not None and times[steady - 1] < 1:
        steady -= 1
    print(json.dumps({
        "probes": len(times),
        "served": len(served),
        "within_1s": sum(t < 1 for t in served),
        "median": round(statistics.median(served), 3) if served else None,
        "max": round(max(served), 3) if served else None,
        "failed": len(times) - len(served),
        "steady_from": round(starts[steady], 1) if steady < len(times) else None,
        "times": [None if t is None else round(t, 3) for t in times],
    }), flush=True)


def main(argv):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    if len(argv) < 4:
        sys.exit(__doc__)
    verb, host, port = argv[1], argv[2], int(argv[3])
    if verb in ("stall", "vanish"):
        asyncio.run(hold(host, port, int(argv[4]), int(argv[5]), float(argv[6]) if len(argv) > 6 else 3600,
                         argv[7] if len(argv) > 7 else None, verb == "vanish"))
    elif verb == "flood":
        flood(host, port, int(argv[4]), float(argv[5]) if len(argv) > 5 else 0)
    elif verb == "sample":
        sample(host, port, float(argv[4]), float(argv[5]) if len(argv) > 5 else 1,
               float(argv[6]) if len(argv) > 6 else 5, argv[7] if len(argv) > 7 else None)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)

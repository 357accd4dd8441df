#!/usr/bin/env python3
"""Many TCP connections at once, each a small HTTP download, for the tunnel's load test and
bench/lwip_load_bench.sh.

  tcp_load.py serve HOST PORT
      Answers "GET /N" with N bytes of a fixed pattern (Content-Length, then closes). Prints
      READY once listening.
  tcp_load.py load HOST PORT COUNT SIZE [SECONDS] [first] [via=PROXYHOST:PROXYPORT]
      Opens COUNT connections at once, each downloading SIZE bytes, and checks every byte.
      With "first", every connection is opened before any asks for its bytes; with "via",
      each connection goes to that HTTP proxy and asks it for http://HOST:PORT/SIZE. Prints one
      JSON line: ok, refused (the connection was refused or reset before any byte arrived),
      broken (cut short or wrong bytes), hung (no end within SECONDS, 60 by default),
      seconds (until the last one ended), connect_max (the longest connect), wait_max (the
      longest any connection waited for its connect or its next bytes).
  tcp_load.py probe HOST PORT [SECONDS]
      Downloads 1 KiB over a new connection, trying again at once when refused, until it is
      served or SECONDS (30) pass. Prints the seconds it took, or "none".
"""
import asyncio
import json
import resource
import sys
import time

# Every body is the start of this pattern (so at most 16 MiB), sent and checked in place.
PATTERN = memoryview(bytes(range(251)) * (((16 << 20) // 251) + 1))


async def serve(host, port):
    async def answer(reader, writer):
        try:
            head = await reader.readuntil(b"\r\n\r\n")
            size = int(head.split(b" ", 2)[1].lstrip(b"/") or b"0")
            writer.write(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % size)
            for at in range(0, size, 1 << 20):
                writer.write(PATTERN[at:min(size, at + (1 << 20))])
                await writer.drain()
        except (OSError, ValueError, asyncio.IncompleteReadError, asyncio.LimitOverrunError):
            pass
        finally:
            writer.close()

    server = await asyncio.start_server(answer, host, port, backlog=16384, reuse_address=True)
    print("READY", flush=True)
    async with server:
        await server.serve_forever()


class Waits:
    """The longest connect, and the longest wait for a connect or the next bytes."""
    connect = 0.0
    longest = 0.0

    def __init__(self):
        self.last = time.monotonic()

    def mark(self):
        now = time.monotonic()
        Waits.longest = max(Waits.longest, now - self.last)
        self.last = now


async def fetch(host, port, size, opened=None, via=None):
    """One download: "ok", "refused" or "broken". With `opened`, the request waits until
    every connection has been opened (opened.wait() is awaited after this one is). With
    `via` (host, port), through that HTTP proxy."""
    waits = Waits()
    try:
        reader, writer = await asyncio.open_connection(*(via or (host, port)))
    except OSError:
        return "refused"
    finally:
        Waits.connect = max(Waits.connect, time.monotonic() - waits.last)
        waits.mark()
        if opened:
            opened.done()
    got = 0
    try:
        if opened:
            await opened.wait()
            waits.last = time.monotonic()
        target = b"http://%s:%d/%d" % (host.encode(), port, size) if via else b"/%d" % size
        writer.write(b"GET %s HTTP/1.1\r\nHost: load\r\nConnection: close\r\n\r\n" % target)
        head = await reader.readuntil(b"\r\n\r\n")
        waits.mark()
        got = len(head)
        body = 0
        while piece := await reader.read(1 << 20):
            waits.mark()
            if body + len(piece) > size or PATTERN[body:body + len(piece)] != piece:
                return "broken"
            body += len(piece)
            got += len(piece)
        return "ok" if body == size else "broken"
    except (OSError, asyncio.IncompleteReadError, asyncio.LimitOverrunError):
        return "refused" if got == 0 else "broken"
    finally:
        writer.close()


class Opened:
    """Counts connections as they are opened (or fail to be); wait() returns once all are."""

    def __init__(self, count):
        self.left = count
        self.event = asyncio.Event()

    def done(self):
        self.left -= 1
        if self.left == 0:
            self.event.set()

    async def wait(self):
        await self.event.wait()


async def load(host, port, count, size, seconds, first, via):
    start = time.monotonic()
    opened = Opened(count) if first else None

    async def one():
        try:
            return await asyncio.wait_for(fetch(host, port, size, opened, via), seconds)
        except asyncio.TimeoutError:
            return "hung"

    results = await asyncio.gather(*(one() for _ in range(count)))
    counts = {kind: results.count(kind) for kind in ("ok", "refused", "broken", "hung")}
    counts["seconds"] = round(time.monotonic() - start, 3)
    counts["connect_max"] = round(Waits.connect, 3)
    counts["wait_max"] = round(Waits.longest, 3)
    print(json.dumps(counts), flush=True)


async def probe(host, port, seconds):
    start = time.monotonic()
    while time.monotonic() - start < seconds:
        try:
            left = seconds - (time.monotonic() - start)
            if await asyncio.wait_for(fetch(host, port, 1024), max(left, 0.1)) == "ok":
                print(round(time.monotonic() - start, 3), flush=True)
                return
        except asyncio.TimeoutError:
            break
        await asyncio.sleep(0.01)
    print("none", flush=True)


def main(argv):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    verb, host, port = argv[1], argv[2], int(argv[3])
    if verb == "serve":
        asyncio.run(serve(host, port))
    elif verb == "load":
        options = argv[7:]
        via = next((o[4:].rsplit(":", 1) for o in options if o.startswith("via=")), None)
        asyncio.run(load(host, port, int(argv[4]), int(argv[5]), float(argv[6]) if len(argv) > 6 else 60,
                         "first" in options, (via[0], int(via[1])) if via else None))
    elif verb == "probe":
        asyncio.run(probe(host, port, float(argv[4]) if len(argv) > 4 else 30))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)

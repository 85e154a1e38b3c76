"""How many sessions one `tessel sim --ssh` process holds, and its memory per open session.

Starts `tessel sim generic --ssh 127.0.0.1:0` and, from this separate
process, opens N sessions with `tessel.aconnect(transport="asyncssh")` on one
event loop (at most --opening of them logging in at a time). Each runs
`show version` in enable and stays open until all are open; then the
server's resident memory is read and compared with its memory before the
first login, and all sessions close. Not a test: the figures are for this
machine, in this run.

    python benchmarks/simssh.py                       # N = 1000
    python benchmarks/simssh.py --sessions 100 1000 2000
"""
from __future__ import annotations

import argparse
import asyncio
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
from typing import Any, List, Tuple

import tessel
from tessel.fleet import raise_open_file_limit

VERSION = "Simulated router software, version 1.0"


def rss_kb(pid: int) -> int:
    with open("/proc/%d/status" % pid, encoding="ascii") as handle:
        found = re.search(r"VmRSS:\s+(\d+) kB", handle.read())
    return int(found.group(1)) if found else 0


def cpu_seconds(pid: int) -> float:
    with open("/proc/%d/stat" % pid, encoding="ascii") as handle:
        fields = handle.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def start_server(directory: str) -> Tuple["subprocess.Popen[str]", int, str]:
    process = subprocess.Popen(
        [sys.executable, "-m", "tessel", "sim", "generic", "--ssh", "127.0.0.1:0",
         "--secret", "enable_password=lab"], stdout=subprocess.PIPE, text=True)
    assert process.stdout is not None
    port = int(process.stdout.readline().rsplit(":", 1)[1])
    known_hosts = os.path.join(directory, "known_hosts")
    with open(known_hosts, "w", encoding="ascii") as handle:
        handle.write(process.stdout.readline())
    return process, port, known_hosts


async def hold(count: int, port: int, known_hosts: str, opening: int,
               pid: int) -> Tuple[float, int, float]:
    """Opens ``count`` sessions; seconds to open them all, server RSS (kB) with all open, and
    server CPU seconds spent."""
    gate = asyncio.Semaphore(opening)
    cpu_before = cpu_seconds(pid)

    async def session(number: int) -> Any:
        async with gate:
            conn = await tessel.aconnect("generic", "127.0.0.1", port=port,
                                         username="R%d" % number, transport="asyncssh",
                                         known_hosts=known_hosts, timeout=120,
                                         secrets={"enable_password": "lab"})
            result = await conn.execute("show version", state="enable")
        if not result.output.startswith(VERSION):
            raise AssertionError("R%d answered %r" % (number, result.output))
        return conn

    started = time.perf_counter()
    connections: List[Any] = await asyncio.gather(*(session(n) for n in range(count)))
    elapsed = time.perf_counter() - started
    await asyncio.sleep(1)  # the server settles
    held = rss_kb(pid)
    cpu = cpu_seconds(pid) - cpu_before
    await asyncio.gather(*(conn.close() for conn in connections))
    return elapsed, held, cpu


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sessions", type=int, nargs="+", default=[1000])
    parser.add_argument("--opening", type=int, default=50,
                        help="logins in progress at a time (default 50)")
    args = parser.parse_args()
    raise_open_file_limit(max(args.sessions) * 2)
    print("%8s %10s %12s %14s %16s %14s" % ("sessions", "open (s)", "server MB",
                                             "kB / session", "srv CPU ms/sess", "sessions/s"))
    for count in args.sessions:
        with tempfile.TemporaryDirectory() as directory:
            process, port, known_hosts = start_server(directory)
            try:
                time.sleep(0.5)
                idle = rss_kb(process.pid)
                elapsed, held, cpu = asyncio.run(hold(count, port, known_hosts, args.opening,
                                                      process.pid))
            finally:
                process.send_signal(signal.SIGTERM)
                process.wait(60)
        print("%8d %10.1f %12.1f %14.1f %16.2f %14.0f" % (
            count, elapsed, held / 1024, (held - idle) / count, cpu * 1000 / count,
            count / elapsed))
    return 0


if __name__ == "__main__":
    sys.exit(main())

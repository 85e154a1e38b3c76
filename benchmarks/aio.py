"""Sessions on one event loop against sessions on threads: time for N at once, memory per session.

    python benchmarks/aio.py [--sessions 50 200] [--ssh 50]

Each session connects, goes to enable, runs ``show version`` and enters two
configuration lines, and closes. For each N, in one run:

* threads: N threads, each with the blocking ``tessel.connect``;
* asyncio: N ``tessel.aconnect`` sessions on one event loop, in one thread;

then N sessions held open at once, and the growth of this process's resident
memory and of the memory Python allocated (tracemalloc) per open session.
The devices are simulated routers on ptys, forked by the fork server. With
``--ssh N`` (as root, like the tests) the same runs over the test suite's sshd
on loopback: the system ssh client on threads and on the loop, and asyncssh
on the loop. Not a test: machines are noisy, only figures of one run compare.
"""
import argparse
import asyncio
import os
import sys
import threading
import time
import tracemalloc
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, Dict, List, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "connection"))

import tessel  # noqa: E402
from tessel.fleet import raise_open_file_limit  # noqa: E402
from tessel.sim.forkserver import ForkServer  # noqa: E402

ENABLE = {"enable_password": "lab"}
LINES = ["interface Loopback1", "description bench"]


def work(conn: Any) -> bool:
    version = conn.execute("show version", state="enable")
    results = conn.configure(LINES)
    return "version 1.0" in version.output and not any(r.failed for r in results)


async def awork(conn: Any) -> bool:
    version = await conn.execute("show version", state="enable")
    results = await conn.configure(LINES)
    return "version 1.0" in version.output and not any(r.failed for r in results)


def on_threads(count: int, options: Callable[[int], Dict[str, Any]]) -> float:
    def one(number: int) -> bool:
        with tessel.connect("generic", **options(number)) as conn:
            return work(conn)

    started = time.perf_counter()
    with ThreadPoolExecutor(count) as pool:
        done = list(pool.map(one, range(count)))
    assert all(done), "a session gave a wrong result"
    return time.perf_counter() - started


def on_loop(count: int, options: Callable[[int], Dict[str, Any]]) -> float:
    async def one(number: int) -> bool:
        async with tessel.aconnect("generic", **options(number)) as conn:
            return await awork(conn)

    async def everything() -> List[bool]:
        return await asyncio.gather(*(one(n) for n in range(count)))

    started = time.perf_counter()
    assert all(asyncio.run(everything())), "a session gave a wrong result"
    return time.perf_counter() - started


def resident() -> int:
    with open("/proc/self/statm") as handle:
        return int(handle.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def held_on_threads(count: int, options: Callable[[int], Dict[str, Any]]) -> Tuple[int, int]:
    opened = threading.Barrier(count + 1)
    release = threading.Barrier(count + 1)

    def one(number: int) -> None:
        with tessel.connect("generic", **options(number)) as conn:
            conn.go_to("enable")
            opened.wait()
            release.wait()

    before = resident(), tracemalloc.get_traced_memory()[0]
    threads = [threading.Thread(target=one, args=(n,)) for n in range(count)]
    for thread in threads:
        thread.start()
    opened.wait()
    after = resident(), tracemalloc.get_traced_memory()[0]
    release.wait()
    for thread in threads:
        thread.join()
    return after[0] - before[0], after[1] - before[1]


def held_on_loop(count: int, options: Callable[[int], Dict[str, Any]]) -> Tuple[int, int]:
    async def everything() -> Tuple[int, int]:
        before = resident(), tracemalloc.get_traced_memory()[0]
        connections = await asyncio.gather(*(tessel.aconnect("generic", **options(n))
                                             for n in range(count)))
        await asyncio.gather(*(conn.go_to("enable") for conn in connections))
        after = resident(), tracemalloc.get_traced_memory()[0]
        await asyncio.gather(*(conn.close() for conn in connections))
        return after[0] - before[0], after[1] - before[1]

    return asyncio.run(everything())


def report(title: str, count: int, runs: List[Tuple[str, Callable[..., Any], Any]]) -> None:
    print("\n%s, %d sessions" % (title, count))
    timings = {}
    for name, runner, options in runs:
        runner[0](2, options)  # warm: imports, the platform file, the server's caches
        timings[name] = runner[0](count, options)
    tracemalloc.start()
    for name, runner, options in runs:
        rss, traced = runner[1](count, options)
        print("  %-22s %6.2f s for all   %5.0f sessions/min   %6.1f kB RSS and %6.1f kB "
              "allocated per open session" % (name, timings[name], 60 * count / timings[name],
                                              rss / count / 1024, traced / count / 1024))
    tracemalloc.stop()


THREADS = (on_threads, held_on_threads)
LOOP = (on_loop, held_on_loop)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sessions", type=int, nargs="+", default=[50, 200])
    parser.add_argument("--ssh", type=int, default=0, help="sessions over the test sshd")
    args = parser.parse_args()
    raise_open_file_limit(max(args.sessions + [args.ssh]))
    with ForkServer(preload=["tessel.sim.router"]) as server:
        def command(number: int) -> Dict[str, Any]:
            return {"transport": "command", "secrets": ENABLE, "timeout": 120,
                    "command": server.command("tessel.sim.router:main", "--hostname",
                                              "R%d" % number, "--enable-password", "lab")}

        for count in args.sessions:
            report("simulated routers on ptys (transport command)", count,
                   [("threads, connect", THREADS, command), ("one loop, aconnect", LOOP, command)])
    if args.ssh:
        import servers

        sshd = servers.SshServer(banner=False).start()
        try:
            known = sshd.known_hosts(os.path.join(sshd.directory, "known_hosts"))

            def over(transport: str) -> Callable[[int], Dict[str, Any]]:
                return lambda number: {
                    "host": sshd.host, "port": sshd.port, "username": sshd.users["sim"],
                    "password": sshd.password, "known_hosts": known, "secrets": ENABLE,
                    "timeout": 120, "transport": transport}

            report("the simulated router behind sshd", args.ssh,
                   [("threads, ssh", THREADS, over("ssh")),
                    ("one loop, ssh", LOOP, over("ssh")),
                    ("one loop, asyncssh", LOOP, over("asyncssh"))])
        finally:
            sshd.stop()


if __name__ == "__main__":
    main()

"""Fleet throughput: N simulated devices through connect, go to enable and one command.

For each N, the same work runs sequentially and with workers (threads), and
optionally on a Dask LocalCluster and through the `tessel run` command, all
in this one run; it prints devices per minute, the speed-up over the
sequential run, and the CPU time spent per device (this process, the
devices and their launchers). Not a test: machines are noisy, only the
ratios measured together mean something.

    python benchmarks/fleet.py                      # N = 50 and 200, fork-served devices
    python benchmarks/fleet.py --devices 50 --launcher both --dask --cli
    python benchmarks/fleet.py --devices --ssh 1000 # the ssh fleet only (see below)

Devices are `tessel.sim.router` processes on their own ptys, started either
as `python -m tessel.sim.router` ("python") or through the fork server
("forkserver", tessel.sim.forkserver: one process that imported the simulator
forks each device; the session starts a small launcher instead).

With ``--ssh N``, N devices served over ssh by one `tessel sim generic --ssh`
process each connect, run `show version`, enter two configuration lines and
close: on one event loop over asyncssh (fleet.run's event loop), and on
threads with the system ssh client against the same server. Besides devices
per minute, it holds sessions open at once and reports the client's memory
per open session: the growth of this process's resident memory, plus the
proportional memory (PSS) of the ssh processes for the system client.
"""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import resource
import signal
import subprocess
import sys
import tempfile
import threading
import time
from typing import Any, Callable, Dict, List, Optional, Tuple

import yaml

from simssh import rss_kb, start_server
from tessel.eal.bridge import await_only
from tessel.fleet import Commands, Results, raise_open_file_limit, run
from tessel.inventory import Host, Inventory, from_dicts, load
from tessel.sim.forkserver import ForkServer

WORK = Commands(["show version"], state="enable")


def write_inventory(folder: str, count: int, server: Optional[ForkServer]) -> str:
    hosts = {}
    for number in range(count):
        options = ["--hostname", "R%d" % number]
        if server is not None:
            argv = server.command("tessel.sim.router:main", *options)
        else:
            argv = [sys.executable, "-m", "tessel.sim.router", *options]
        hosts["r%d" % number] = {"platform": "generic", "connection_options": {"tessel": {
            "extras": {"transport": "command", "command": argv,
                       "secrets": {"enable_password": "lab"}}}}}
    with open(os.path.join(folder, "hosts.yaml"), "w", encoding="utf-8") as handle:
        yaml.safe_dump(hosts, handle)
    return folder


def cpu_seconds(pids: List[int]) -> float:
    """CPU of this process and its reaped children, plus that of other processes and theirs."""
    own = os.times()
    total = own.user + own.system + own.children_user + own.children_system
    ticks = os.sysconf("SC_CLK_TCK")
    for pid in pids:
        try:
            with open("/proc/%d/stat" % pid) as handle:
                fields = handle.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        # utime, stime, cutime, cstime are fields 14-17 of stat (11-14 after the name).
        total += sum(int(v) for v in fields[11:15]) / ticks
    return total


def measure(pids: List[int], action: Callable[..., int], *args: Any) -> Tuple[float, float, int]:
    """Wall time, CPU time and the number of hosts that succeeded, of ``action(*args)``."""
    cpu = cpu_seconds(pids)
    started = time.perf_counter()
    ok = action(*args)
    wall = time.perf_counter() - started
    cpu = cpu_seconds(pids) - cpu
    return wall, cpu, ok


def fleet_run(inventory: Inventory, count: int, workers: int, client: Any = None) -> int:
    return ok_count(run(inventory, WORK, workers=workers, client=client), count)


def command_run(folder: str, count: int, workers: int) -> int:
    """`tessel run` over the inventory in ``folder``; every host must have its record."""
    out = os.path.join(folder, "results.jsonl")
    subprocess.run([sys.executable, "-m", "tessel", "run", "-i", folder, "--command",
                    "show version", "--state", "enable", "--workers", str(workers),
                    "--output", out], stdout=subprocess.DEVNULL, check=False)
    with open(out, encoding="utf-8") as handle:
        records = [json.loads(line) for line in handle]
    assert len(records) == count, len(records)
    return sum(1 for r in records if r["ok"])


def worker_pids(cluster: Any) -> List[int]:
    return [w.process.pid for w in cluster.workers.values()
            if getattr(w, "process", None) is not None and w.process.pid]


def ok_count(results: Results, count: int) -> int:
    bad = [r for r in results.values() if not r.ok]
    for result in bad[:3]:
        print("    failed %s: %s" % (result.host, result.error_line), file=sys.stderr)
    assert len(results) == count
    return count - len(bad)


# -- a fleet over ssh ---------------------------------------------------------------------------

SSH_LINES = ["interface Loopback1", "description bench"]


def ssh_work(conn: Any, host: Host) -> bool:
    """Connected: show version, two configuration lines; anything wrong fails the host."""
    version = conn.execute("show version")
    lines = conn.configure(SSH_LINES)
    if not version.output.startswith("Simulated router software") or \
            any(r.failed for r in lines):
        raise AssertionError("%s answered %r" % (host.name, version.output))
    return True


def ssh_run(inventory: Inventory, workers: int, event_loop: bool) -> int:
    return ok_count(run(inventory, ssh_work, workers=workers, event_loop=event_loop),
                    len(inventory))


def ssh_inventory(count: int, port: int, known_hosts: str, transport: str,
                  prefix: str) -> Inventory:
    extras = {"transport": transport, "known_hosts": known_hosts, "timeout": 120,
              "secrets": {"enable_password": "lab"}}
    return from_dicts({"%s%d" % (prefix, n): {
        "hostname": "127.0.0.1", "port": port, "username": "%s%d" % (prefix, n),
        "platform": "generic", "connection_options": {"tessel": {"extras": extras}}}
        for n in range(count)})


def descendants() -> List[int]:
    """The processes this one started, and theirs."""
    children: Dict[int, List[int]] = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as handle:
                    parent = int(handle.read().rsplit(")", 1)[1].split()[1])
            except OSError:
                continue
            children.setdefault(parent, []).append(int(entry))
    found, todo = [], [os.getpid()]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def pss_kb(pid: int) -> int:
    try:
        with open("/proc/%d/smaps_rollup" % pid) as handle:
            for line in handle:
                if line.startswith("Pss:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def held_memory(inventory: Inventory, server_pid: int, event_loop: bool) -> float:
    """Opens every host's session at once; the client's memory growth per open session (kB):
    this process's RSS, plus the PSS of the processes it started (ssh) but the server."""
    count, opened = len(inventory), []
    everyone = asyncio.Event() if event_loop else threading.Event()
    base = rss_kb(os.getpid())
    measured: List[float] = []

    def hold(conn: Any, host: Host) -> None:
        conn.go_to("enable")
        opened.append(host.name)
        if len(opened) == count:
            others = sum(pss_kb(pid) for pid in descendants() if pid != server_pid)
            measured.append((rss_kb(os.getpid()) - base + others) / count)
            everyone.set()
        if event_loop:
            await_only(asyncio.wait_for(everyone.wait(), 300))  # type: ignore[union-attr]
        elif not everyone.wait(300):
            raise AssertionError("not every session opened")

    ok_count(run(inventory, hold, workers=count, event_loop=event_loop), count)
    return measured[0]


def ssh_fleet(count: int, workers: int, threads: int, held_threads: int,
              profile: Optional[str]) -> None:
    with tempfile.TemporaryDirectory() as folder:
        process, port, known_hosts = start_server(folder)
        rows = []
        try:
            modes = [("one loop, asyncssh, %d" % workers, "asyncssh", True, workers, count),
                     ("%d threads, system ssh" % threads, "ssh", False, threads, held_threads)]
            for name, transport, loop, at_once, held in modes:
                # Warm (imports, the platform, the server), then the memory of sessions held
                # open before any run has grown this process.
                run(ssh_inventory(4, port, known_hosts, transport, "W%s" % transport), ssh_work,
                    event_loop=loop)
                memory = held_memory(ssh_inventory(held, port, known_hosts, transport,
                                                   "H%s" % transport), process.pid, loop)
                inventory = ssh_inventory(count, port, known_hosts, transport, "T%s" % transport)
                profiler = None
                if profile and loop:
                    import cProfile
                    profiler = cProfile.Profile(time.process_time)
                    profiler.enable()
                client = cpu_seconds([])
                wall, cpu, ok = measure([process.pid], ssh_run, inventory, at_once, loop)
                client = cpu_seconds([]) - client
                if profiler is not None:
                    profiler.disable()
                    profiler.dump_stats(profile)
                rows.append((wall, memory))
                print("  %-26s %d/%d ok  %5.1f s  %6.0f devices/min  CPU/device: %4.1f ms "
                      "client, %4.1f ms server  %6.0f kB client memory per open session "
                      "(%d open)" % (name, ok, count, wall, 60 * count / wall,
                                     1000 * client / count, 1000 * (cpu - client) / count,
                                     memory, held), flush=True)
        finally:
            process.send_signal(signal.SIGTERM)
            process.wait(60)
    (loop_wall, loop_memory), (thread_wall, thread_memory) = rows
    print("\none loop over asyncssh: %.2fx the devices per minute of threads with system ssh; "
          "%.2f MB client memory per open session (%.2f MB with system ssh)"
          % (thread_wall / loop_wall, loop_memory / 1024, thread_memory / 1024))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--devices", type=int, nargs="*", default=[50, 200],
                        help="device counts on ptys (none: skip these runs)")
    parser.add_argument("--workers", type=int, default=20)
    parser.add_argument("--launcher", choices=("forkserver", "python", "both"),
                        default="forkserver")
    parser.add_argument("--dask", action="store_true",
                        help="also on a LocalCluster of 2 worker processes")
    parser.add_argument("--cli", action="store_true", help="also through `tessel run`")
    parser.add_argument("--no-sequential", action="store_true",
                        help="skip the sequential run (no speed-up then)")
    parser.add_argument("--ssh", type=int, default=0, metavar="N",
                        help="also N devices over ssh from `tessel sim --ssh` (see above)")
    parser.add_argument("--ssh-workers", type=int, default=0, metavar="W",
                        help="sessions at once on the loop (default N: all at once)")
    parser.add_argument("--ssh-threads", type=int, default=50, metavar="T",
                        help="threads of the system ssh run (default 50)")
    parser.add_argument("--ssh-held", type=int, default=200, metavar="H",
                        help="system ssh sessions held open for its memory (default 200)")
    parser.add_argument("--profile", metavar="FILE",
                        help="write a cProfile (CPU time) of the event loop's run over ssh here")
    args = parser.parse_args()

    soft_before = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
    soft_after = raise_open_file_limit(max(args.devices + [args.ssh * 2]))
    with open("/proc/sys/kernel/pty/max") as handle:
        pty_max = handle.read().strip()
    print("open files: soft limit %d -> %d; ptys: max %s; CPUs: %d"
          % (soft_before, soft_after, pty_max, os.cpu_count() or 0))

    launchers = ["forkserver", "python"] if args.launcher == "both" else [args.launcher]
    rows: List[Tuple[str, ...]] = []
    with ForkServer(preload=["tessel.sim.router"]) as server, \
            tempfile.TemporaryDirectory() as folder:
        client = None
        if args.dask:
            from distributed import Client, LocalCluster

            cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                   host="127.0.0.1", dashboard_address=":0")
            client = Client(cluster)
        pids = [server.process.pid]
        for count in args.devices:
            for launcher in launchers:
                inventory = load(write_inventory(folder, count,
                                                 server if launcher == "forkserver" else None))
                timings: Dict[str, Tuple[float, float, int]] = {}
                if not args.no_sequential:
                    timings["sequential"] = measure(pids, fleet_run, inventory, count, 1)
                timings["%d threads" % args.workers] = measure(pids, fleet_run, inventory,
                                                               count, args.workers)
                if client is not None:
                    per_worker = max(args.workers // 2, 1)
                    timings["dask 2x%d" % per_worker] = measure(
                        pids + worker_pids(cluster), fleet_run, inventory, count, per_worker,
                        client)
                if args.cli:
                    timings["tessel run, %d" % args.workers] = measure(
                        pids, command_run, folder, count, args.workers)
                base = timings.get("sequential")
                for mode, (wall, cpu, ok) in timings.items():
                    speedup = "%.1fx" % (base[0] / wall) if base else "-"
                    rows.append((str(count), launcher, mode, "%d/%d" % (ok, count),
                                 "%.2f s" % wall, "%.0f" % (60.0 * count / wall), speedup,
                                 "%.1f ms" % (1000.0 * cpu / count)))
                    print("  ".join(rows[-1]), flush=True)
        if client is not None:
            client.close()
            cluster.close()

    if args.ssh:
        print("\n%d devices over ssh, one `tessel sim --ssh` process serving them all "
              "(system ssh against the same server)" % args.ssh)
        ssh_fleet(args.ssh, args.ssh_workers or args.ssh, args.ssh_threads, args.ssh_held,
                  args.profile)
    if not rows:
        return 0
    header = ("N", "devices", "mode", "ok", "wall", "dev/min", "speed-up", "CPU/device")
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]
    print()
    for row in [header] + rows:
        print("  ".join(cell.rjust(widths[i]) for i, cell in enumerate(row)))
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Fleet throughput: N simulated devices through connect, go to enable and one command.

For each N, the same work runs sequentially and with workers (threads), and
optionally on a Dask LocalCluster and through the `tessel run` command, all
in this one run; it prints devices per minute, the speed-up over the
sequential run, and the CPU time spent per device (this process, the
devices and their launchers). Not a test: machines are noisy, only the
ratios measured together mean something.

    python benchmarks/fleet.py                      # N = 50 and 200, fork-served devices
    python benchmarks/fleet.py --devices 50 --launcher both --dask --cli

Devices are `tessel.sim.router` processes on their own ptys, started either
as `python -m tessel.sim.router` ("python") or through the fork server
("forkserver", tessel.sim.forkserver: one process that imported the simulator
forks each device; the session starts a small launcher instead).
"""
from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from typing import Any, Callable, Dict, List, Optional, Tuple

import yaml

from tessel.fleet import Commands, Results, raise_open_file_limit, run
from tessel.inventory import Inventory, load
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


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--devices", type=int, nargs="+", default=[50, 200])
    parser.add_argument("--workers", type=int, default=20)
    parser.add_argument("--launcher", choices=("forkserver", "python", "both"),
                        default="forkserver")
    parser.add_argument("--dask", action="store_true",
                        help="also on a LocalCluster of 2 worker processes")
    parser.add_argument("--cli", action="store_true", help="also through `tessel run`")
    parser.add_argument("--no-sequential", action="store_true",
                        help="skip the sequential run (no speed-up then)")
    args = parser.parse_args()

    soft_before = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
    soft_after = raise_open_file_limit(max(args.devices))
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

    header = ("N", "devices", "mode", "ok", "wall", "dev/min", "speed-up", "CPU/device")
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]
    print()
    for row in [header] + rows:
        print("  ".join(cell.rjust(widths[i]) for i, cell in enumerate(row)))
    return 0


if __name__ == "__main__":
    sys.exit(main())

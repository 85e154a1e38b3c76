"""Session start: pexpect's forkpty against the posix_spawn start of tessel's sessions.

Starts ``/bin/true`` on a new pty ``--rounds`` times each way, alternating, in this process
with ``--heap`` MB of Python objects besides (a fleet run's process holds its inventory,
results and threads). Only the start is timed (the constructor: pty, child, exec), not the
wait for the end. forkpty copies the process's page tables, so its cost grows with the heap;
posix_spawn shares the parent's memory until the exec. Ratios come from one run. Not a test:
machines are noisy. Run with ``PYTHONPATH=src python benchmarks/spawn.py``.
"""
from __future__ import annotations

import argparse
import statistics
import time
from typing import Callable, Dict, List

import pexpect

from tessel.eal.ptyspawn import PtySpawn


def start_once(start: Callable[[], pexpect.spawn]) -> float:
    began = time.perf_counter()
    child = start()
    spent = time.perf_counter() - began
    child.expect(pexpect.EOF)
    child.ptyproc.delayafterclose = 0
    child.close()
    return spent


def measure(rounds: int) -> Dict[str, List[float]]:
    starts: Dict[str, Callable[[], pexpect.spawn]] = {
        "forkpty (pexpect)": lambda: pexpect.spawn("/bin/true"),
        "posix_spawn (tessel)": lambda: PtySpawn("/bin/true"),
    }
    times: Dict[str, List[float]] = {name: [] for name in starts}
    for _ in range(rounds):
        for name, start in starts.items():
            times[name].append(start_once(start))
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--heap", type=int, nargs="+", default=[0, 100, 500], metavar="MB")
    args = parser.parse_args()
    print("%8s  %20s  %20s  %6s" % ("heap MB", "forkpty ms", "posix_spawn ms", "ratio"))
    ballast: List[bytearray] = []
    for heap in sorted(args.heap):
        ballast.extend(bytearray(4096) for _ in range(heap * 256 - len(ballast)))
        medians = {name: statistics.median(values) * 1e3
                   for name, values in measure(args.rounds).items()}
        fork, spawn = medians.values()
        print("%8d  %20.3f  %20.3f  %6.1f" % (heap, fork, spawn, fork / spawn))


if __name__ == "__main__":
    main()

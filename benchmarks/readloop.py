"""Read-loop timings: a long command output read three ways from the simulated router.

For each size, one session per reader runs ``show lines N`` and waits for the closing prompt:

* plain read: pexpect's ``read_nonblocking`` in a loop, checking only whether the text ends
  with the prompt (the floor: reading and decoding the pty, nothing else);
* pexpect expect: ``expect`` with the platform's four prompt patterns (fixed hostname,
  ``re.MULTILINE``) and a search window of 8192 characters;
* tessel execute: ``execute`` with the generic platform, once with a fixed hostname and
  once with hostname learning; the output is cleaned and returned.

Each figure is the best of ``--repeat`` runs: the wall time, and the CPU time of this process
(the reader's own work, whatever the simulated router and other programs take). Ratios are to
the plain read of the same size. Not a test: machines are noisy. Run with ``PYTHONPATH=src python benchmarks/readloop.py``.
"""
from __future__ import annotations

import argparse
import os
import re
import sys
import time
from typing import Callable, Dict, List, Tuple

import pexpect

from tessel.cli import child_environment
from tessel.eal.spawn import Spawn
from tessel.platforms.generic import GenericRouter
from tessel.statemachine.statetransition import execute

SIM = [sys.executable, "-m", "tessel.sim.router", "--enable-password", ""]
LINE = "line %d of %d: the quick brown fox jumps over the lazy dog"


def start_pexpect() -> pexpect.spawn:
    child = pexpect.spawn(SIM[0], SIM[1:], encoding="utf-8", timeout=600, maxread=65536,
                          env=child_environment(), dimensions=(24, 200))
    child.delaybeforesend = None
    child.delayafterread = None
    child.expect("R1>")
    return child


Times = Tuple[float, float]


class Clock:
    """Wall and CPU time from its creation to :meth:`stop`."""

    def __init__(self) -> None:
        self.wall, self.cpu = time.perf_counter(), time.process_time()

    def stop(self) -> Times:
        return time.perf_counter() - self.wall, time.process_time() - self.cpu


def plain_read(lines: int) -> Times:
    child = start_pexpect()
    try:
        clock = Clock()
        child.sendline("show lines %d" % lines)
        tail = ""
        while not tail.endswith("\nR1>"):
            tail = (tail + child.read_nonblocking(65536, timeout=600))[-64:]
        times = clock.stop()
    finally:
        child.close(force=True)
    return times


def pexpect_expect(lines: int) -> Times:
    child = start_pexpect()
    patterns = [re.compile(p, re.MULTILINE) for p in
                (r"^R1>\s*$", r"^R1\(config-if\)#\s*$", r"^R1\(config\)#\s*$", r"^R1#\s*$")]
    try:
        clock = Clock()
        child.sendline("show lines %d" % lines)
        child.expect_list(patterns, searchwindowsize=8192)
        times = clock.stop()
        assert (LINE % (lines, lines)) in child.before
    finally:
        child.close(force=True)
    return times


def tessel_execute(lines: int, learn: bool) -> Times:
    machine = GenericRouter(learn_hostname=True) if learn else GenericRouter(hostname="R1")
    with Spawn(SIM, timeout=600, env=child_environment()) as spawn:
        machine.go_to("any", spawn)
        clock = Clock()
        output = execute(machine, spawn, "show lines %d" % lines)
        times = clock.stop()
    last = output[output.rfind("\n") + 1:]
    assert last == LINE % (lines, lines), last
    assert output.count("\n") == lines - 1
    return times


def best(measure: Callable[[], Times], repeat: int) -> Times:
    runs = [measure() for _ in range(repeat)]
    return min(r[0] for r in runs), min(r[1] for r in runs)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    os.environ.update(PYTHONPATH=child_environment()["PYTHONPATH"])
    readers: Dict[str, Callable[[int], float]] = {
        "plain read": plain_read,
        "pexpect expect": pexpect_expect,
        "tessel execute (fixed hostname)": lambda n: tessel_execute(n, learn=False),
        "tessel execute (learning)": lambda n: tessel_execute(n, learn=True),
    }
    print("%-34s %9s %9s %7s %9s %7s" % ("reader", "lines", "wall s", "ratio", "cpu s",
                                           "ratio"))
    for size in args.sizes:
        rows: List[Tuple[str, Times]] = []
        for name, reader in readers.items():
            rows.append((name, best(lambda r=reader, n=size: r(n), args.repeat)))
        wall, cpu = rows[0][1]
        for name, (seconds, used) in rows:
            print("%-34s %9d %9.3f %7.2f %9.3f %7.2f" % (name, size, seconds, seconds / wall,
                                                         used, used / cpu))
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""What confirming a prompt costs: configuration lines and show commands, per command.

A candidate prompt counts only after a zero-wait poll, and after ``prompt_settle`` when its line
arrived in a read of its own after output (see ``tessel.statemachine.statetransition``). This
prints the time per command with the rule as it ships and with ``prompt_settle = 0`` (the zero-wait
poll alone), and how many commands paid the settle, against

* the simulated router, plain and with ``--line-pause`` (each line's text, then its line end);
* FRRouting's ``vtysh`` with ``--vtysh PATHSPACE`` (daemons started with ``-N PATHSPACE``).

Run with ``PYTHONPATH=src python benchmarks/confirm.py [--lines 300] [--vtysh NAME]``. Not a
test: machines are noisy.
"""
from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Callable, List, Sequence, Tuple

from tessel.cli import child_environment
from tessel.eal.spawn import Spawn
from tessel.statemachine.statemachine import StateMachine
from tessel.statemachine.statetransition import StateTransition


class Vtysh(StateMachine):
    """vtysh's privileged mode, and every configuration mode as one state."""

    def create(self) -> None:
        self.create_state("config", r"^%N\(config[^)]*\)# ?$")
        self.create_state("enable", r"^%N# ?$")


class Router(StateMachine):
    def create(self) -> None:
        self.create_state("disable", r"^%N>\s*$")


def run(argv: Sequence[str], machine: StateMachine, setup: Sequence[str],
        commands: Sequence[str], settle: float) -> Tuple[float, int]:
    """Seconds per command, and how many settles the commands paid."""
    paid = [0]
    real = StateTransition._arrived_alone

    def counting(self: StateTransition, found: object) -> bool:
        alone = real(self, found)  # type: ignore[arg-type]
        paid[0] += alone
        return alone

    shipped = StateTransition.prompt_settle
    StateTransition._arrived_alone = counting  # type: ignore[method-assign]
    StateTransition.prompt_settle = settle
    try:
        with Spawn(list(argv), timeout=10, env=child_environment()) as spawn:
            machine.go_to("any", spawn)
            engine = StateTransition(state_machine=machine, spawn=spawn)
            for line in setup:
                engine.run_command(line)
            paid[0] = 0
            started = time.perf_counter()
            for command in commands:
                engine.run_command(command)
            return (time.perf_counter() - started) / len(commands), paid[0]
    finally:
        StateTransition._arrived_alone = real  # type: ignore[method-assign]
        StateTransition.prompt_settle = shipped


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=300)
    parser.add_argument("--vtysh", metavar="PATHSPACE", help="also measure vtysh -N PATHSPACE")
    args = parser.parse_args()
    os.environ.update(PYTHONPATH=child_environment()["PYTHONPATH"])
    sim = [sys.executable, "-m", "tessel.sim.router", "--enable-password", ""]
    cases: List[Tuple[str, Callable[[], StateMachine], List[str], List[str], List[str]]] = [
        ("sim: show version", lambda: Router(learn_hostname=True), sim, [],
         ["show version"] * (args.lines // 10)),
        ("sim --line-pause 0.002: show lines 5", lambda: Router(learn_hostname=True),
         sim + ["--line-pause", "0.002"], [], ["show lines 5"] * (args.lines // 10)),
    ]
    if args.vtysh:
        vtysh = ["vtysh", "-N", args.vtysh]
        lines = []
        for number in range(args.lines // 2):
            lines += ["router bgp 65001",
                      " neighbor 192.0.2.%d remote-as 65002" % (number % 250 + 1)]
        cases += [
            ("vtysh: configuration lines", lambda: Vtysh(learn_hostname=True), vtysh,
             ["terminal length 0", "configure terminal"], lines),
            ("vtysh: show running-config", lambda: Vtysh(learn_hostname=True), vtysh,
             ["terminal length 0"], ["show running-config"] * (args.lines // 10)),
        ]
    print("%-40s %14s %14s %9s" % ("commands", "shipped ms", "no settle ms", "settles"))
    for name, make, argv, setup, commands in cases:
        shipped, paid = run(argv, make(), setup, commands, StateTransition.prompt_settle)
        bare, _ = run(argv, make(), setup, commands, 0.0)
        print("%-40s %14.2f %14.2f %5d/%d" % (name, shipped * 1000, bare * 1000, paid,
                                              len(commands)))
    return 0


if __name__ == "__main__":
    sys.exit(main())

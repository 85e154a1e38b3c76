"""Route search timings: the native fast path against the search as written and against networkx.

Prints one table of times and ratios, all measured in this run. Not a test: machines are noisy.
Run with `python benchmarks/routes.py` after installing the package (and `networkx` for the last column).
"""
from __future__ import annotations

import sys
import time
from typing import Callable, Iterable, List, Optional, Tuple

from tessel.statemachine.statemachine import StateMachine

Edges = List[Tuple[str, str]]


class Platform(StateMachine):
    """A machine built from a list of state names and (from, to) edges."""

    def __init__(self, names: Iterable[str], edges: Edges) -> None:
        self._spec = (list(names), edges)
        super().__init__()

    def create(self) -> None:
        names, edges = self._spec
        states = {name: self.create_state(name, rf"{name}#") for name in names}
        for source, target in edges:
            self.create_path(states[source], states[target], f"go {target}")


class AsWritten(Platform):
    """Overrides the search so that every route goes through the recursion as written."""

    def _find_all_paths(self, from_state, to_state, graph, transitions=None):  # type: ignore[override]
        if transitions is None:
            return super()._find_all_paths(from_state, to_state, graph)
        return super()._find_all_paths(from_state, to_state, graph, transitions)


def typical() -> Tuple[List[str], Edges, str, str]:
    names = ["rommon", "shell", "disable", "enable", "config", "config_if", "config_line", "config_vlan"]
    edges = [("rommon", "disable"), ("disable", "enable"), ("enable", "disable"), ("enable", "config"),
             ("config", "enable"), ("config", "config_if"), ("config_if", "config"), ("config_if", "enable"),
             ("config", "config_line"), ("config_line", "config"), ("config_line", "enable"),
             ("config", "config_vlan"), ("config_vlan", "config"), ("config_vlan", "enable"),
             ("enable", "shell"), ("shell", "enable"), ("disable", "rommon"), ("enable", "rommon")]
    return names, edges, "config_vlan", "rommon"


def dense(count: int) -> Tuple[List[str], Edges, str, str]:
    names = [f"s{i}" for i in range(count)]
    edges = [(a, b) for a in names for b in names if a != b]
    return names, edges, names[0], names[-1]


def chain(count: int) -> Tuple[List[str], Edges, str, str]:
    names = [f"s{i}" for i in range(count)]
    return names, list(zip(names, names[1:])), names[0], names[-1]


def best_time(fn: Callable[[], object], budget: float = 0.5, most: int = 10000) -> float:
    """Best time of one call, repeated within about `budget` seconds."""
    best = float("inf")
    spent = 0.0
    runs = 0
    while runs < most and (runs < 3 or spent < budget):
        start = time.perf_counter()
        fn()
        elapsed = time.perf_counter() - start
        best = min(best, elapsed)
        spent += elapsed
        runs += 1
        if elapsed > budget:
            break
    return best


def networkx_time(names: List[str], edges: Edges, source: str, target: str) -> Optional[float]:
    try:
        import networkx as nx
    except ImportError:
        return None
    graph = nx.DiGraph()
    graph.add_nodes_from(names)
    graph.add_edges_from(edges)
    return best_time(lambda: nx.shortest_path(graph, source, target))


def fmt(seconds: Optional[float]) -> str:
    if seconds is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.2f} {unit}"
    return f"{seconds / 1e-9:.0f} ns"


def ratio(slow: Optional[float], fast: float) -> str:
    return "-" if slow is None else f"{slow / fast:,.0f}x"


def main() -> None:
    cases = [("typical 8 states", typical(), True), ("dense 10 states", dense(10), True),
             ("dense 30 states", dense(30), False), ("chain 300 states", chain(300), True)]
    print(f"CPython {sys.version.split()[0]}; get_shortest_path, best of repeated calls\n")
    header = f"{'graph':<18}{'fast':>11}{'as written':>13}{'ratio':>10}{'networkx':>11}{'vs networkx':>13}"
    print(header)
    print("-" * len(header))
    for label, (names, edges, source, target), faithful in cases:
        fast_sm = Platform(names, edges)
        slow_sm = AsWritten(names, edges)
        expected = slow_sm.get_shortest_path(source, target) if faithful else None
        route = fast_sm.get_shortest_path(source, target)
        if expected is not None:
            assert [str(p) for p in route] == [str(p) for p in expected], "fast and written routes differ"
        fast = best_time(lambda: fast_sm.get_shortest_path(source, target))
        slow = best_time(lambda: slow_sm.get_shortest_path(source, target), budget=2.0) if faithful else None
        nx_time = networkx_time(names, edges, source, target)
        print(f"{label:<18}{fmt(fast):>11}{fmt(slow):>13}{ratio(slow, fast):>10}{fmt(nx_time):>11}"
              f"{ratio(nx_time, fast):>13}")


if __name__ == "__main__":
    main()

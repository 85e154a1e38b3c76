"""Random graphs: the native route search agrees with the search reached through an override and with
the plain Python module of the tests."""
import os

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import plain_statemachine as plain
from core_fakes import Bare
from tessel.core.errors import StateMachineError
from tessel.statemachine import statemachine as native


class Faithful(Bare):
    def _find_all_paths(self, *args, **kwargs):
        return super()._find_all_paths(*args, **kwargs)


class PlainBare(plain.StateMachine):
    def create(self):
        pass


def same_name_class(mod):
    """States of `mod` that compare and hash by name."""

    class SameName(mod.State):
        def __eq__(self, other):
            return isinstance(other, mod.State) and self.name == other.name

        def __hash__(self):
            return hash(self.name)

    return SameName


def outcome(fn, *args, paths=()):
    """Routes as positions of their paths in the order of creation, or the error."""
    try:
        result = fn(*args)
    except StateMachineError as exc:
        return ('error', type(exc), str(exc))
    position = {id(p): i for i, p in enumerate(paths)}
    if result and isinstance(result[0], list):
        return ('routes', [[position[id(p)] for p in route] for route in result])
    return ('route', [position[id(p)] for p in result])


@st.composite
def graphs(draw):
    n = draw(st.integers(1, 7))
    node = st.integers(0, n - 1)
    edges = draw(st.lists(st.tuples(node, node), unique=True, min_size=n, max_size=min(n * n, 15)))
    removed = draw(st.sets(node, max_size=2))
    # each query: start, target, and how each is given: by name, by the registered object or by a look-alike
    kind = st.sampled_from(['name', 'object', 'copy'])
    queries = draw(st.lists(st.tuples(node, node, kind, kind), min_size=1, max_size=6))
    return n, edges, removed, draw(st.booleans()), queries


# The same examples every run (TESSEL_DIFFERENTIAL_RANDOM=1 explores new ones), as the
# differential test: a failure then comes from the change under test.
@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow],
          derandomize=os.environ.get("TESSEL_DIFFERENTIAL_RANDOM", "") in ("", "0"))
@given(graphs())
def test_fast_and_faithful_search_agree(case):
    """The native search, the search reached through an override and the plain module agree."""
    n, edges, removed, by_name, queries = case
    machines = {}
    for mod, base in ((native, Bare), (plain, PlainBare)):
        cls = same_name_class(mod) if by_name else mod.State
        m = base()
        states = [cls('s%d' % i, 's%d#' % i) for i in range(n)]
        for state in states:
            m.add_state(state)
        paths = [m.create_path(states[a], states[b], 'to s%d' % b) for a, b in edges]
        for i in removed:
            m.remove_state(states[i])
        machines[mod] = (m, cls, states, paths, {})

    def arg(mod, i, kind):
        m, cls, states, paths, copies = machines[mod]
        if kind == 'name':
            return states[i].name
        if kind == 'object':
            return states[i]
        return copies.setdefault(i, cls(states[i].name, 'x'))

    for a, b, ka, kb in queries:
        m, _, _, paths, _ = machines[plain]
        args = (arg(plain, a, ka), arg(plain, b, kb))
        expected = (outcome(m.find_all_paths, *args, paths=paths), outcome(m.get_shortest_path, *args, paths=paths))
        m, _, _, paths, _ = machines[native]
        args = (arg(native, a, ka), arg(native, b, kb))
        m.__class__ = Bare
        fast = (outcome(m.find_all_paths, *args, paths=paths), outcome(m.get_shortest_path, *args, paths=paths))
        m.__class__ = Faithful
        faithful = (outcome(m.find_all_paths, *args, paths=paths), outcome(m.get_shortest_path, *args, paths=paths))
        m.__class__ = Bare
        assert fast == faithful == expected, (edges, removed, args)

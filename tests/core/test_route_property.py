"""Random graphs: the plain machine's route search agrees with the search reached through an override."""
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from core_fakes import Bare
from tessel.core.errors import StateMachineError
from tessel.statemachine.statemachine import State


class Faithful(Bare):
    def _find_all_paths(self, *args, **kwargs):
        return super()._find_all_paths(*args, **kwargs)


class SameName(State):
    """States that compare and hash by name."""

    def __eq__(self, other):
        return isinstance(other, State) and self.name == other.name

    def __hash__(self):
        return hash(self.name)


def reference(m, start, target):
    """All routes, written out plainly."""
    start = start if isinstance(start, State) else m.get_state(start)
    target = target if isinstance(target, State) else m.get_state(target)
    graph = {}
    for p in m.paths:
        graph.setdefault(p.from_state, []).append(p)

    def search(here, travelled):
        if here == target:
            return [travelled]
        routes = []
        for node in graph.get(here, []):
            if node.to_state in [p.from_state for p in travelled]:
                continue
            routes.extend(search(node.to_state, travelled + [node]))
        return routes

    return search(start, [])


def reference_shortest(m, start, target):
    routes = reference(m, start, target)
    if not routes:
        raise StateMachineError("Path doesn't exist for " + str(start) + ' -> ' + str(target) + ' ')
    return min(routes, key=len)


def outcome(fn, *args):
    try:
        result = fn(*args)
    except StateMachineError as exc:
        return ('error', type(exc), str(exc))
    if result and isinstance(result[0], list):
        return ('routes', [[id(p) for p in route] for route in result])
    return ('route', [id(p) for p in result])


@st.composite
def graphs(draw):
    n = draw(st.integers(1, 7))
    node = st.integers(0, n - 1)
    edges = draw(st.lists(st.tuples(node, node), unique=True, max_size=min(n * n, 15)))
    removed = draw(st.sets(node, max_size=2))
    # each query: start, target, and how each is given: by name, by the registered object or by a look-alike
    kind = st.sampled_from(['name', 'object', 'copy'])
    queries = draw(st.lists(st.tuples(node, node, kind, kind), min_size=1, max_size=6))
    return n, edges, removed, draw(st.booleans()), queries


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(graphs())
def test_fast_and_faithful_search_agree(case):
    n, edges, removed, by_name, queries = case
    cls = SameName if by_name else State
    m = Bare()
    states = [cls('s%d' % i, 's%d#' % i) for i in range(n)]
    for state in states:
        m.add_state(state)
    for a, b in edges:
        m.create_path(states[a], states[b], 'to s%d' % b)
    for i in removed:
        m.remove_state(states[i])
    copies = {}

    def arg(i, kind):
        if kind == 'name':
            return states[i].name
        if kind == 'object':
            return states[i]
        return copies.setdefault(i, cls(states[i].name, 'x'))

    for a, b, ka, kb in queries:
        args = (arg(a, ka), arg(b, kb))
        expected = (outcome(lambda *x: reference(m, *x), *args),
                    outcome(lambda *x: reference_shortest(m, *x), *args))
        m.__class__ = Bare
        fast = (outcome(m.find_all_paths, *args), outcome(m.get_shortest_path, *args))
        m.__class__ = Faithful
        faithful = (outcome(m.find_all_paths, *args), outcome(m.get_shortest_path, *args))
        m.__class__ = Bare
        assert fast == faithful == expected, (edges, removed, args)

"""Route search over the registered paths, and the DOT text of the graph."""
import functools
import json
import shutil
import subprocess
from types import SimpleNamespace

import pytest

from core_fakes import Bare
from tessel.core.errors import StateMachineError
from tessel.statemachine.statemachine import Path, State


def build(edges, names=None, commands=None):
    """A bare machine with the named states and one path per (from, to) pair, in order."""
    m = Bare()
    names = names or sorted({n for edge in edges for n in edge})
    for name in names:
        m.create_state(name, name + '#')
    for i, (a, b) in enumerate(edges):
        m.create_path(m.get_state(a), m.get_state(b), commands[i] if commands else '%s to %s' % (a, b))
    return m


def indices(m, routes):
    return [[m.paths.index(p) for p in route] for route in routes]


PLATFORM = [('disable', 'enable'), ('enable', 'disable'), ('enable', 'config'), ('config', 'enable')]
TIE = [('disable', 'shell'), ('disable', 'enable'), ('shell', 'config'), ('enable', 'config')]

ROUTES = [
    # edges, start, target, all routes (indices into paths), shortest
    (PLATFORM, 'disable', 'config', [[0, 2]], [0, 2]),
    (PLATFORM, 'config', 'disable', [[3, 1]], [3, 1]),
    (PLATFORM, 'enable', 'enable', [[]], []),
    (PLATFORM + [('disable', 'config')], 'disable', 'config', [[0, 2], [4]], [4]),
    (PLATFORM + [('enable', 'enable')], 'disable', 'config', [[0, 2], [0, 4, 2]], [0, 2]),
    (TIE, 'disable', 'config', [[0, 2], [1, 3]], [0, 2]),
    ([TIE[1], TIE[0], TIE[2], TIE[3]], 'disable', 'config', [[0, 3], [1, 2]], [0, 3]),
    # a loop on the start state is taken once, and only before leaving it
    ([('a', 'a'), ('a', 'b')], 'a', 'b', [[0, 1], [1]], [1]),
    # a loop on the target is never part of a route
    ([('a', 'b'), ('b', 'b')], 'a', 'b', [[0]], [0]),
    # routes never re-enter a state they have left
    ([('a', 'b'), ('b', 'a'), ('b', 'c'), ('c', 'a'), ('c', 'd')], 'a', 'd', [[0, 2, 4]], [0, 2, 4]),
    # parallel branches rejoining
    ([('a', 'b'), ('a', 'c'), ('b', 'd'), ('c', 'd'), ('b', 'c')], 'a', 'd', [[0, 2], [0, 4, 3], [1, 3]], [0, 2]),
]


@pytest.mark.parametrize('edges, start, target, routes, shortest', ROUTES)
def test_routes_in_depth_first_registration_order(edges, start, target, routes, shortest):
    m = build(edges)
    found = m.find_all_paths(start, target)
    assert indices(m, found) == routes
    assert indices(m, [m.get_shortest_path(start, target)]) == [shortest]
    by_object = m.find_all_paths(m.get_state(start), m.get_state(target))
    assert indices(m, by_object) == routes
    assert all(p is m.paths[i] for route, idx in zip(by_object, routes) for p, i in zip(route, idx))


def test_graph_maps_each_state_to_the_paths_leaving_it(platform):
    d, e, c = platform.states
    p1, p2, p3, p4 = platform.paths
    g = platform.create_graph()
    assert g == {d: [p1], e: [p2, p3], c: [p4]}
    assert all(type(k) is State for k in g)
    again = platform.create_graph()
    assert again is not g and again[e] is not g[e]
    assert build([]).create_graph() == {}


def test_the_search_follows_changes_to_the_registry(platform):
    platform.create_path(platform.get_state('disable'), platform.get_state('config'), 'direct')
    p1, p2, p3, p4, p5 = platform.paths
    assert platform.find_all_paths('disable', 'config') == [[p1, p3], [p5]]
    platform.remove_path('disable', 'enable')
    platform.add_path(p1)
    assert platform.find_all_paths('disable', 'config') == [[p5], [p1, p3]]
    platform.paths.remove(p5)
    assert platform.get_shortest_path('disable', 'config') == [p1, p3]


def test_paths_of_removed_states_still_route(platform):
    config = platform.get_state('config')
    p1, _, p3, _ = platform.paths
    platform.remove_state('config')
    assert platform.find_all_paths('disable', config) == [[p1, p3]]


def test_same_start_and_target_gives_a_fresh_empty_route_every_time(platform):
    first = platform.find_all_paths('enable', 'enable')
    assert first == [[]]
    first[0].append(platform.paths[0])
    shortest = platform.get_shortest_path('config', 'config')
    assert shortest == [] and shortest is not first[0]
    shortest.append(platform.paths[1])
    assert platform.find_all_paths('enable', 'enable') == [[]]
    assert platform.get_shortest_path('enable', 'enable') == []
    p1, _, p3, _ = platform.paths
    assert platform.find_all_paths('disable', 'config') == [[p1, p3]]
    d = platform.get_state('disable')
    graph = platform.create_graph()
    a, b = platform._find_all_paths(d, d, graph), platform._find_all_paths(d, d, graph)
    assert a == b == [[]] and a[0] is not b[0]


def test_explicit_transitions_are_returned_as_given_and_never_changed(platform):
    d, e, c = platform.states
    p1, p2, p3, p4 = platform.paths
    graph = platform.create_graph()
    travelled = [p4]
    assert platform._find_all_paths(e, e, graph, travelled)[0] is travelled
    assert platform._find_all_paths(e, d, graph, travelled) == [[p4, p2]]
    assert platform._find_all_paths(d, e, graph, transitions=travelled) == [[p4, p1]]
    # config has been left, so it cannot be entered again
    assert platform._find_all_paths(d, c, graph, travelled) == []
    assert travelled == [p4]
    # names are not keys of the graph
    assert platform._find_all_paths('disable', 'config', graph) == []
    assert platform._find_all_paths('enable', 'enable', graph, travelled)[0] is travelled
    assert platform._find_all_paths('enable', 'enable', graph) == [[]]


@pytest.mark.parametrize('args, message', [
    (('standby', 'enable'), 'standby state is not registered'),
    (('standby', 'nowhere'), 'standby state is not registered'),
    (('enable', 'nowhere'), 'nowhere state is not registered'),
])
def test_unregistered_names_fail_before_the_search(platform, args, message):
    for op in (platform.find_all_paths, platform.get_shortest_path):
        with pytest.raises(StateMachineError) as exc:
            op(*args)
        assert str(exc.value) == message


def test_no_route(platform):
    platform.create_state('standby', 'standby#')
    assert platform.find_all_paths('standby', 'enable') == []
    cases = [(('standby', 'enable'), "Path doesn't exist for standby -> enable "),
             ((State('enable', 'x'), 'config'), "Path doesn't exist for enable -> config "),
             (('config', platform.get_state('standby')), "Path doesn't exist for config -> standby ")]
    for args, message in cases:
        with pytest.raises(StateMachineError) as exc:
            platform.get_shortest_path(*args)
        assert str(exc.value) == message


# DOT
def send_password(spawn):
    return spawn


class Caller:
    def __call__(self, spawn):
        return spawn


PLATFORM_DOT = ('digraph G {\n'
                '  "disable" -> "enable" [label=" enable "]\n'
                '  "enable" -> "disable" [label=" disable "]\n'
                '  "enable" -> "config" [label=" config term "]\n'
                '  "config" -> "enable" [label=" end "]\n'
                '}\n')


def test_dot_of_the_platform(platform):
    assert platform.dotgraph() == PLATFORM_DOT
    assert Bare().dotgraph() == 'digraph G {\n}\n'
    platform.remove_path('enable', 'config')
    assert platform.dotgraph() == PLATFORM_DOT.replace('  "enable" -> "config" [label=" config term "]\n', '')
    platform.paths.append(platform.paths[0])
    assert platform.dotgraph().endswith('  "disable" -> "enable" [label=" enable "]\n}\n')


@pytest.mark.parametrize('command, label', [
    (None, 'None'),
    ('', ''),
    (0, '0'),
    (send_password, 'send_password()'),
    (lambda spawn: None, '<lambda>()'),
    (Caller, 'Caller()'),
    (Caller(), 'Caller()'),
    (functools.partial(send_password), 'partial()'),
    (Caller().__call__, '__call__()'),
    ('show run | include "hostname"', r'show run | include \"hostname\"'),
    ('a\\b', 'a\\\\b'),
])
def test_dot_labels(command, label):
    m = build([('a', 'b')], commands=[command])
    assert m.dotgraph() == 'digraph G {\n  "a" -> "b" [label=" %s "]\n}\n' % label


def test_dot_escapes_names():
    m = build([('say "hi"', 'back\\')], commands=['x'])
    assert m.dotgraph() == 'digraph G {\n  "say \\"hi\\"" -> "back\\\\" [label=" x "]\n}\n'


AWKWARD_NAMES = ['enable', 'say "hi"', 'back\\', 'dir\\x', 'sp ace', 'config(if)#', '{}[];,=']
AWKWARD_EDGES = [(0, 1), (1, 2), (2, 3), (3, 4), (4, 5), (5, 6), (6, 0), (2, 2)]
AWKWARD_COMMANDS = ['show run | include "hostname"', 'echo \\', '', None, functools.partial(print), Caller(),
                    'a "b" \\c\\', send_password]


@pytest.mark.skipif(shutil.which('dot') is None, reason='Graphviz dot is not installed (Debian package graphviz)')
def test_graphviz_reads_the_dot_text():
    m = build([(AWKWARD_NAMES[a], AWKWARD_NAMES[b]) for a, b in AWKWARD_EDGES], names=AWKWARD_NAMES,
              commands=AWKWARD_COMMANDS)
    run = subprocess.run(['dot', '-Tjson'], input=m.dotgraph(), capture_output=True, text=True, timeout=60)
    assert run.returncode == 0 and run.stderr == ''
    graph = json.loads(run.stdout)
    # Graphviz keeps a doubled backslash as written; undo it to compare with the names.
    unescape = lambda text: text.replace('\\\\', '\\')  # noqa: E731
    assert sorted(unescape(o['name']) for o in graph['objects']) == sorted(AWKWARD_NAMES)
    names = {o['_gvid']: unescape(o['name']) for o in graph['objects']}
    edges = [(names[e['tail']], names[e['head']], unescape(e['label'])) for e in graph['edges']]
    expected = []
    for (a, b), command in zip(AWKWARD_EDGES, AWKWARD_COMMANDS):
        if callable(command):
            label = getattr(command, '__name__', type(command).__name__) + '()'
        else:
            label = str(command)
        expected.append((AWKWARD_NAMES[a], AWKWARD_NAMES[b], ' %s ' % label))
    assert sorted(edges) == sorted(expected)


class Faithful(Bare):
    def _find_all_paths(self, *args):
        return super()._find_all_paths(*args)


def _tuple_paths(m):
    m.paths = tuple(m.paths)


def _duck_paths(m):
    d, e, c = m.states
    m.paths.insert(0, SimpleNamespace(from_state=d, to_state=c, command='duck'))


def _repeated_path(m):
    m.paths.append(m.paths[0])


def _named_ends(m):
    m.paths.append(SimpleNamespace(from_state='disable', to_state='config'))


def _outside_state(m):
    d, e, c = m.states
    m.paths.insert(1, Path(e, State('elsewhere', 'x')))
    m.paths.append(Path(State('elsewhere', 'y'), c))


@pytest.mark.parametrize('change', [_tuple_paths, _duck_paths, _repeated_path, _named_ends, _outside_state])
def test_plain_and_overridden_search_agree_on_edited_registries(change):
    m = build(PLATFORM)
    change(m)
    d, e, c = m.states
    queries = [('disable', 'config'), (d, c), ('config', 'disable'), (e, e), ('disable', 'disable')]

    def run():
        out = []
        for a, b in queries:
            out.append([[id(p) for p in r] for r in m.find_all_paths(a, b)])
            try:
                out.append([id(p) for p in m.get_shortest_path(a, b)])
            except StateMachineError as exc:
                out.append(str(exc))
        return out

    plain = run()
    m.__class__ = Faithful
    assert run() == plain
    assert plain[0] and plain[0][0]

"""Large graphs, misbehaving objects and memory: every outcome is a result or a Python exception."""
import functools
import gc
import os
import subprocess
import sys
from types import SimpleNamespace

import pytest

import tessel
from core_fakes import Bare, FakeSpawn, Platform
from tessel.core.errors import StateMachineError
from tessel.eal.dialogs import Dialog, Statement
from tessel.statemachine import statemachine as smod
from tessel.statemachine.statemachine import Path, State, StateMachine

def chain(cls, n):
    """n states in a row. The lists are filled directly: registering one by one scans every name."""
    m = cls()
    states = [State('s%d' % i, 'p') for i in range(n)]
    m.states.extend(states)
    m.paths.extend(Path(a, b, 'next') for a, b in zip(states, states[1:]))
    return m


def test_long_chain_shortest_path():
    m = chain(Bare, 100_000)
    route = m.get_shortest_path(m.states[0], 's99999')
    assert len(route) == 99_999 and all(a is b for a, b in zip(route, m.paths))
    assert m.find_all_paths('s99998', m.states[-1]) == [[m.paths[-1]]]
    with pytest.raises(StateMachineError) as exc:
        m.get_shortest_path('s99999', 's0')
    assert str(exc.value) == "Path doesn't exist for s99999 -> s0 "


CHAIN_SCRIPT = '''
import sys
sys.path[:0] = [%r, %r]
from test_robustness import chain
from core_fakes import Bare

class Faithful(Bare):
    def _find_all_paths(self, *args):
        return super()._find_all_paths(*args)

sys.setrecursionlimit(int(sys.argv[2]))
m = chain(Faithful if sys.argv[1] == 'faithful' else Bare, 100_000)
for op in (m.get_shortest_path, m.find_all_paths):
    try:
        found = op('s0', 's99999')
    except RecursionError:
        print('recursion')
    else:
        route = found if op == m.get_shortest_path else found[0]
        print(len(found), len(route), all(a is b for a, b in zip(route, m.paths)))
''' % (os.path.dirname(os.path.dirname(os.path.abspath(tessel.__file__))), os.path.dirname(os.path.abspath(__file__)))


# A raised recursion limit must not turn deep searches into a C stack overflow either.
@pytest.mark.parametrize('kind, limit', [('plain', 1000), ('faithful', 1000), ('faithful', 1_000_000)])
def test_long_chain_search_ends_without_crashing(kind, limit):
    run = subprocess.run([sys.executable, '-c', CHAIN_SCRIPT, kind, str(limit)], capture_output=True, text=True,
                         timeout=600)
    assert run.returncode == 0, run.stderr[-2000:]
    lines = run.stdout.splitlines()
    assert len(lines) == 2
    assert lines[0] in ('recursion', '99999 99999 True') and lines[1] in ('recursion', '1 99999 True')
    if kind == 'plain':
        assert lines[0] == '99999 99999 True'


RUNAWAY_SCRIPT = '''
import sys
sys.path[:0] = [%r, %r]
if sys.argv[1] == 'native':
    from tessel.statemachine import statemachine as module
else:
    import plain_statemachine as module

class Machine(module.StateMachine):
    def create(self):
        pass

class Overriding(Machine):
    def _find_all_paths(self, *args):
        return super()._find_all_paths(*args)

class Graph(dict):
    """Counts the levels of the search: each one reads the paths leaving its state once."""
    levels = 0

    def __getitem__(self, key):
        Graph.levels += 1
        return dict.__getitem__(self, key)

m = Overriding() if sys.argv[2] == 'override' else Machine()
s, t, x = (module.State(name, name) for name in 'stx')
sys.setrecursionlimit(int(sys.argv[3]))
try:
    m._find_all_paths(s, x, Graph({s: [module.Path(t, s, 'go')]}), [])
except RecursionError:
    print(Graph.levels)
''' % (os.path.dirname(os.path.dirname(os.path.abspath(tessel.__file__))), os.path.dirname(os.path.abspath(__file__)))


# A graph given by the caller whose path leads back to its start state: the search recurses until
# the recursion limit stops it, as deep as the same search in Python (one level per frame, two
# through an override). The limits stay below those the interpreter keeps for C levels of its own.
@pytest.mark.parametrize('module', ['native', 'plain'])
@pytest.mark.parametrize('shape, frames', [('direct', 1), ('override', 2)])
@pytest.mark.parametrize('limit', [300, 900])
def test_runaway_search_stops_at_the_recursion_limit(module, shape, frames, limit):
    run = subprocess.run([sys.executable, '-c', RUNAWAY_SCRIPT, module, shape, str(limit)], capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    assert limit // frames - 10 <= int(run.stdout) <= limit // frames


SIGNAL_SCRIPT = '''
import signal, sys
sys.path[:0] = [%r, %r]
from core_fakes import Bare

class Overriding(Bare):
    def create_graph(self):
        return super().create_graph()

class Listed(list):
    pass

class Alarm(Exception):
    pass

def ring(signum, frame):
    raise Alarm()

m = Overriding() if sys.argv[1] == 'override' else Bare()
if sys.argv[1] == 'list':
    m.paths = Listed()
states = [m.create_state('s%%d' %% i, 'p') for i in range(14)]
for a in states[:-1]:
    for b in states[:-1]:
        if a is not b:
            m.create_path(a, b, 'go')
signal.signal(signal.SIGALRM, ring)
signal.alarm(1)
try:
    m.find_all_paths('s0', 's13')
except Alarm:
    print('interrupted')
''' % (os.path.dirname(os.path.dirname(os.path.abspath(tessel.__file__))), os.path.dirname(os.path.abspath(__file__)))


# The last state is out of reach of a 13-state clique: searching every route there takes hours.
@pytest.mark.parametrize('kind', ['override', 'list'])
def test_route_search_as_written_stops_for_signals(kind):
    run = subprocess.run([sys.executable, '-c', SIGNAL_SCRIPT, kind], capture_output=True, text=True, timeout=120)
    assert run.stdout.strip() == 'interrupted', run.stderr[-2000:]


def test_dense_graph_shortest_path():
    m = Bare()
    states = [m.create_state('s%d' % i, 'p') for i in range(30)]
    for a in states:
        for b in states:
            if a is not b:
                m.create_path(a, b, 'go')
    assert m.get_shortest_path('s0', 's29') == [m.get_path('s0', 's29')]
    m.remove_path('s0', 's29')
    assert m.get_shortest_path('s0', 's29') == [m.get_path('s0', 's1'), m.get_path('s1', 's29')]
    assert m.get_shortest_path('s5', 's5') == []


# Misbehaving objects
class Armed(State):
    armed = False

    def __eq__(self, other):
        if Armed.armed:
            raise RuntimeError('eq refused')
        return self is other

    __hash__ = State.__hash__


class BadText(State):
    def __str__(self):
        raise RuntimeError('no text')


class NonText(State):
    def __str__(self):
        return 5


class Mute:
    def __str__(self):
        raise RuntimeError('no text')


class NoTruth:
    def __bool__(self):
        raise RuntimeError('no truth')


class Unhashable(State):
    def __hash__(self):
        raise RuntimeError('no hash')


class NamedBadly:
    @property
    def __name__(self):
        raise RuntimeError('name lookup failed')

    def __call__(self):
        pass


def _machine_with(cls, command='go'):
    m = Bare()
    a, b = m.create_state('a', 'p'), m.create_state('b', 'q')
    m.add_state(cls('c', 'r'))
    c = m.states[-1]
    m.create_path(a, c, command)
    m.create_path(c, b, command)
    return m


def _armed(op):
    m = _machine_with(Armed)
    Armed.armed = True
    try:
        return op(m)
    finally:
        Armed.armed = False


def _raising_property(name, message):
    def getter(self):
        raise RuntimeError(message)
    return property(getter, lambda self, value: None)


MISBEHAVING = [
    ('eq in search', lambda: _armed(lambda m: m.find_all_paths('a', 'b')), RuntimeError, 'eq refused'),
    ('eq in shortest', lambda: _armed(lambda m: m.get_shortest_path('c', 'b')), RuntimeError, 'eq refused'),
    ('hash in graph', lambda: _machine_with(Unhashable).find_all_paths('a', 'b'), RuntimeError, 'no hash'),
    ('str in dot', lambda: _machine_with(BadText).dotgraph(), RuntimeError, 'no text'),
    ('non-str in dot', lambda: _machine_with(NonText).dotgraph(), TypeError, '__str__ returned non-string (type int)'),
    ('str in no-route message', lambda: _machine_with(BadText).get_shortest_path('b', BadText('x', 'p')),
     RuntimeError, 'no text'),
    ('str in duplicate path', lambda: (lambda m: m.create_path(m.states[2], m.states[1]))(_machine_with(BadText)),
     RuntimeError, 'no text'),
    ('str in path check', lambda: Path(Mute(), 5), RuntimeError, 'no text'),
    ('str in add_state', lambda: Bare().add_state(Mute()), RuntimeError, 'no text'),
    ('str in add_path', lambda: Bare().add_path(Mute()), RuntimeError, 'no text'),
    ('str in default statements', lambda: Bare().add_default_statements(Mute()), RuntimeError, 'no text'),
    ('__name__ of a command', lambda: _machine_with(State, NamedBadly()).dotgraph(), RuntimeError,
     'name lookup failed'),
    ('name of a state', lambda: Bare().add_state(type('N', (State,), {'name': _raising_property('name', 'nameless')})
                                                 ('x', 'p')), RuntimeError, 'nameless'),
    ('hostname getter', lambda: type('H', (Bare,), {'hostname': _raising_property('hostname', 'no host')})()
     .create_state('x', 'p'), RuntimeError, 'no host'),
    ('dialog append', lambda: (lambda m: (setattr(m, 'default_dialog', SimpleNamespace(append=lambda s: 1 / 0)),
                                          m.add_default_statements(Statement(pattern='x'))))(Bare()),
     ZeroDivisionError, 'division by zero'),
    ('pattern in detection', lambda: (lambda m: (m.add_state(type('P', (State,), {
        'pattern': _raising_property('pattern', 'no pattern')})('x', 'p')), m.detect_state(FakeSpawn('R1#'))))(Bare()),
     RuntimeError, 'no pattern'),
    ('match in detection', lambda: Bare().detect_state(type('S', (FakeSpawn,), {
        'match': _raising_property('match', 'no match')})()), RuntimeError, 'no match'),
    ('truth of learn_hostname', lambda: (lambda st: (setattr(st, 'learn_hostname', NoTruth()), st.pattern))(
        State('x', 'p')), RuntimeError, 'no truth'),
    ('output not text', lambda: Bare().detect_state(FakeSpawn(match=SimpleNamespace(match_output=5))),
     AttributeError, "'int' object has no attribute 'splitlines'"),
]


@pytest.mark.parametrize('op, exc_type, message', [case[1:] for case in MISBEHAVING],
                         ids=[case[0] for case in MISBEHAVING])
def test_misbehaving_objects_end_as_exceptions(op, exc_type, message):
    with pytest.raises(exc_type) as exc:
        op()
    assert str(exc.value) == message


UNINITIALISED = [
    (State, lambda st: st.pattern, '_pattern'),
    (State, str, 'name'),
    (State, lambda st: st.add_state_pattern('x'), '_pattern'),
    (Path, str, 'from_state'),
    (Path, lambda p: p.validate_update(), 'from_state'),
    (Bare, lambda m: m.hostname, '_hostname'),
    (Bare, lambda m: m.current_state, '_current_state'),
    (Bare, lambda m: m.get_state('a'), 'states'),
    (Bare, lambda m: m.add_state(State('a', 'p')), 'states'),
    (Bare, lambda m: m.find_all_paths(State('a', 'p'), State('b', 'p')), 'paths'),
    (Bare, lambda m: m.dotgraph(), 'paths'),
    (Bare, lambda m: m.detect_state(FakeSpawn('x')), 'states'),
    (Bare, lambda m: m.add_default_statements(Statement(pattern='x')), 'default_dialog'),
]


@pytest.mark.parametrize('cls, op, missing', UNINITIALISED)
def test_objects_never_initialised_raise_attribute_errors(cls, op, missing):
    obj = cls.__new__(cls)
    with pytest.raises(AttributeError) as expected:
        getattr(obj, missing)
    with pytest.raises(AttributeError) as exc:
        op(obj)
    assert str(exc.value) == str(expected.value)


def test_engine_reporting_badly_ends_as_an_exception(monkeypatch):
    class Engine:
        def __init__(self, **kwargs):
            pass

        def do_transitions(self):
            return 'done'

        @property
        def current_state(self):
            raise RuntimeError('state unknown')

    monkeypatch.setattr(smod, 'AnyStateTransition', Engine)
    with pytest.raises(RuntimeError) as exc:
        Bare().go_to('any', FakeSpawn())
    assert str(exc.value) == 'state unknown'


# Memory
class QuietEngine:
    reach = 'config'
    fail = False

    def __init__(self, **kwargs):
        self.current_state = 'generic'

    def do_transitions(self):
        self.current_state = QuietEngine.reach
        if QuietEngine.fail:
            raise ValueError('dropped')
        return 'out'


def send_password(spawn):
    pass


def exercise(keep):
    """Every operation once, on success and failure paths; failures are swallowed."""
    m, spawn, stmt = keep['machine'], keep['spawn'], keep['statement']
    d, e, c = m.states[:3]
    p1 = m.paths[0]
    fresh = Platform(hostname='R1')
    s = State('x', ['^%N#', '%N>'])
    s.hostname = 'R1'
    ops = [
        lambda: s.pattern, lambda: setattr(s, 'learn_hostname', True), lambda: s.pattern,
        lambda: s.substitute_learn_hostname('%N' * 3), lambda: s.substitute_hostname('a%N'),
        lambda: s.add_state_pattern(('a', 'b')), lambda: s.add_state_pattern(None), lambda: setattr(s, 'pattern', 'z'),
        lambda: State(5, 'p'), lambda: State('x', ('a',)), lambda: State('a'), lambda: State('a', 'b', name='c'),
        lambda: State('a', 'b', bogus=1), lambda: State(pattern='p'), lambda: State.validate('a', 'b'),
        lambda: State.validate('a'), lambda: State('x', [1]).pattern, lambda: repr(s), lambda: str(e),
        lambda: Path(d, e, 'c', [stmt]), lambda: Path('a', e), lambda: Path(d, 'b'), lambda: Path(d, e, 5),
        lambda: Path(d, e, None, 5), lambda: Path(d), lambda: str(p1), lambda: p1.validate_update(),
        lambda: StateMachine(), lambda: Bare(1, 2, 3), lambda: m.get_state('enable'), lambda: m.get_state('nope'),
        lambda: m.add_state('x'), lambda: m.add_state(State('enable', 'p')), lambda: m.add_state(fresh.states[0]),
        lambda: m.remove_state('nope'), lambda: m.remove_state(State('y', 'p')),
        lambda: m.remove_state(m.create_state('temp', 'p')), lambda: m.update_cur_state('enable'),
        lambda: m.update_cur_state(c), lambda: m.update_cur_state('nope'), lambda: setattr(m, 'current_state', 'x'),
        lambda: setattr(m, 'hostname', 'R2'), lambda: setattr(m, 'learn_hostname', False),
        lambda: m.add_path('x'), lambda: m.add_path(Path(State('q', 'p'), e)), lambda: m.add_path(Path(d, State('q', 'p'))),
        lambda: m.create_path(d, e), lambda: m.get_path('enable', 'config'), lambda: m.get_path('config', 'disable'),
        lambda: m.get_path('nope', 'config'), lambda: m.remove_path('disable', 'config'),
        lambda: (m.create_path(c, d), m.remove_path('config', 'disable')),
        lambda: setattr(m, 'default_dialog', Dialog([])), lambda: m.add_default_statements(stmt),
        lambda: m.add_default_statements([stmt, stmt]), lambda: m.add_default_statements([stmt, 'x']),
        lambda: m.add_default_statements(None), lambda: m.create_graph(), lambda: m.create_graph(1),
        lambda: m._find_all_paths(d, c, m.create_graph()), lambda: m._find_all_paths(d, d, {}, [p1]),
        lambda: m.find_all_paths('disable', 'config'), lambda: m.find_all_paths('nope', 'config'),
        lambda: m.get_shortest_path('config', 'disable'), lambda: m.get_shortest_path(d, State('q', 'p')),
        lambda: m.get_shortest_path('enable', 'enable'), lambda: keep['faithful'].get_shortest_path('disable', 'config'),
        lambda: m.dotgraph(), lambda: keep['awkward'].dotgraph(),
        lambda: m.go_to('any', spawn), lambda: m.go_to(['enable', 'config'], spawn), lambda: m.go_to('config', spawn),
        lambda: m.go_to(c, spawn), lambda: m.go_to('enable', spawn, hop_wise=True), lambda: m.go_to(('x',), spawn),
        lambda: m.go_to('nope', spawn), lambda: m.go_to('any'), lambda: m.go_to('any', spawn, bogus=1),
        lambda: setattr(QuietEngine, 'fail', True), lambda: m.go_to('disable', spawn), lambda: m.go_to('any', spawn),
        lambda: setattr(QuietEngine, 'fail', False), lambda: setattr(QuietEngine, 'reach', 'nope'),
        lambda: m.go_to('any', spawn), lambda: setattr(QuietEngine, 'reach', 'config'),
        lambda: m.detect_state(FakeSpawn('R2#')), lambda: m.detect_state(FakeSpawn('???')),
        lambda: m.detect_state(FakeSpawn(None)), lambda: m.detect_state(FakeSpawn(match=SimpleNamespace(match_output=''))),
        lambda: m.detect_state(FakeSpawn(match=SimpleNamespace(match_output=5))),
        lambda: setattr(smod, 'HOSTNAME_SUBST_PAT', 'x*'), lambda: s.substitute_learn_hostname('ab'),
        lambda: s.substitute_hostname('ab'), lambda: setattr(smod, 'HOSTNAME_SUBST_PAT', '%N'),
        lambda: s.substitute_hostname('a%N%N'),
    ]
    for op in ops + [case[1] for case in MISBEHAVING]:
        try:
            op()
        except Exception:
            pass


@pytest.fixture
def quiet_engines(monkeypatch):
    for kind in ('StateTransition', 'AnyStateTransition', 'HopWiseStateTransition'):
        monkeypatch.setattr(smod, kind, QuietEngine)


def test_repeated_operations_do_not_grow_memory(quiet_engines, monkeypatch):
    monkeypatch.setattr(smod, 'HOSTNAME_SUBST_PAT', smod.HOSTNAME_SUBST_PAT)  # restored even if a run stops midway
    class Faithful(Platform):
        def _find_all_paths(self, *args):
            return super()._find_all_paths(*args)

    awkward = Bare()
    a, b = awkward.create_state('say "x"', 'p'), awkward.create_state('back\\', 'p')
    awkward.create_path(a, b, functools.partial(send_password))
    awkward.create_path(b, a, send_password)
    keep = {'machine': Platform(hostname='R2'), 'spawn': FakeSpawn('R2#', buffer='b'), 'faithful': Faithful(),
            'statement': Statement(pattern='x'), 'awkward': awkward}
    keep.update(('state%d' % i, s) for i, s in enumerate(keep['machine'].states))
    keep.update(('path%d' % i, p) for i, p in enumerate(keep['machine'].paths))
    for _ in range(100):
        exercise(keep)
    gc.collect()
    refs = {name: sys.getrefcount(obj) for name, obj in keep.items()}
    blocks = sys.getallocatedblocks()
    for _ in range(1500):
        exercise(keep)
    gc.collect()
    grown = sys.getallocatedblocks() - blocks
    assert {name: sys.getrefcount(obj) for name, obj in keep.items()} == refs
    assert grown < 500, grown
    assert smod.HOSTNAME_SUBST_PAT == '%N'


def test_reference_cycles_are_collected():
    import weakref

    class Looping(Platform):
        def send(self, spawn):
            pass

    m = Looping()
    st = m.get_state('enable')
    m.create_path(st, st, m.send)
    st.owner = m
    st.self_ref = st
    p = m.paths[-1]
    p.back = p
    refs = [weakref.ref(x) for x in (m, st, p)]
    del m, st, p
    gc.collect()
    assert [r() for r in refs] == [None, None, None]

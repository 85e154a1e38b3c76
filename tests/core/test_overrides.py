"""Subclass overrides and rebound module attributes take effect in later calls."""
from types import SimpleNamespace

import pytest

from core_fakes import Bare, FakeSpawn, Platform
from tessel.core.errors import StateMachineError
from tessel.eal.dialogs import Dialog, Statement
from tessel.statemachine import statemachine as smod
from tessel.statemachine.statemachine import Path, State
from tessel.utils import AttributeDict


class Aliased(Platform):
    """Looks states up by their first three letters as well."""

    ALIASES = {'dis': 'disable', 'ena': 'enable', 'con': 'config'}

    def get_state(self, state_name):
        return super().get_state(self.ALIASES.get(state_name, state_name))


def test_get_state_override_is_used_everywhere(engines):
    m = Aliased()
    p1, p2, p3, p4 = m.paths
    m.update_cur_state('ena')
    assert m.current_state == 'enable'
    assert m.get_path('ena', 'con') is p3
    assert m.find_all_paths('dis', 'con') == [[p1, p3]]
    assert m.get_shortest_path('con', 'dis') == [p4, p2]
    engines.reach = 'config'
    m.go_to('con', FakeSpawn())
    assert engines.last_kwargs['to_state'] is m.get_state('config') and m.current_state == 'config'
    m.remove_path('con', 'ena')
    assert m.paths == [p1, p2, p3]
    m.remove_state('dis')
    assert [s.name for s in m.states] == ['enable', 'config']


def test_add_state_and_add_path_overrides_are_used():
    added = []

    class Quiet(Bare):
        def add_state(self, state):
            added.append(state)

        def add_path(self, path):
            added.append(path)

    m = Quiet()
    st = m.create_state('enable', 'p')
    p = m.create_path(st, st, 'x')
    assert added == [st, p] and m.states == [] and m.paths == []
    assert isinstance(p, Path) and p.command == 'x'


def test_hostname_getters_decide_what_states_receive():
    class Upper(Bare):
        reads = 0

        @property
        def hostname(self):
            Upper.reads += 1
            return None if self._hostname is None else self._hostname.upper()

        @hostname.setter
        def hostname(self, value):
            StateMachine_hostname.fset(self, value)

        @property
        def learn_hostname(self):
            return 'learn' if self._learn_hostname else ''

        @learn_hostname.setter
        def learn_hostname(self, value):
            StateMachine_learn.fset(self, value)

    StateMachine_hostname = smod.StateMachine.hostname
    StateMachine_learn = smod.StateMachine.learn_hostname
    m = Upper(hostname='r1')
    first = m.create_state('a', '%N#')
    assert first.hostname == 'R1' and first.learn_hostname == ''
    m.create_state('b', '%N>')
    Upper.reads = 0
    m.hostname = 'sw'
    assert Upper.reads == 2 and [s.hostname for s in m.states] == ['SW', 'SW']
    m.learn_hostname = True
    assert [s.learn_hostname for s in m.states] == ['learn', 'learn']


def test_state_attributes_are_read_and_written_as_attributes():
    written = []

    class Odd(State):
        @property
        def name(self):
            return 'alias'

        @name.setter
        def name(self, value):
            self.__dict__['given'] = value

        @property
        def hostname(self):
            return self.__dict__.get('_h')

        @hostname.setter
        def hostname(self, value):
            written.append(value)
            self.__dict__['_h'] = value

        learn_hostname = property(lambda self: True, lambda self, value: None)

    m = Bare(hostname='R1')
    odd = Odd('given', '%N#')
    m.add_state(odd)
    assert m.get_state('alias') is odd
    with pytest.raises(StateMachineError) as exc:
        m.get_state('given')
    assert str(exc.value) == 'given state is not registered'
    with pytest.raises(StateMachineError) as exc:
        m.create_state('alias', 'p')
    assert str(exc.value) == 'state with name alias already exists'
    m.hostname = 'R2'
    assert written == [None, 'R1', 'R2']
    assert odd.pattern == r'(?P<hostname00>\S+)#'
    m.update_cur_state(odd)
    assert m.current_state == 'alias'


def test_machine_text_override_is_what_states_remember():
    class Named(Bare):
        def __str__(self):
            return 'sm-under-test'

    m = Named()
    st = m.create_state('enable', 'p')
    assert st._linked_sm == 'sm-under-test'
    with pytest.raises(StateMachineError) as exc:
        Bare().add_state(st)
    assert str(exc.value) == \
        'State can be attached only to one SM instance State(enable) already attached to SM sm-under-test'


def test_route_search_reaches_its_parts_through_the_instance(platform):
    calls = []

    class Counting(Platform):
        def _find_all_paths(self, from_state, to_state, graph, transitions=None):
            calls.append((from_state.name, list(transitions or [])))
            if transitions is None:
                return super()._find_all_paths(from_state, to_state, graph)
            return super()._find_all_paths(from_state, to_state, graph, transitions)

    m = Counting()
    q1, _, q3, _ = m.paths
    assert m.find_all_paths('disable', 'config') == [[q1, q3]]
    assert calls == [('disable', []), ('enable', [q1]), ('config', [q1, q3])]

    class OneWay(Platform):
        def create_graph(self):
            graph = super().create_graph()
            graph.pop(self.get_state('enable'))
            return graph

    with pytest.raises(StateMachineError) as exc:
        OneWay().get_shortest_path('disable', 'config')
    assert str(exc.value) == "Path doesn't exist for disable -> config "

    class Fixed(Platform):
        def find_all_paths(self, from_state, to_state):
            return [[1, 2, 3], ['short']]

    assert Fixed().get_shortest_path('x', 'y') == ['short']
    platform._find_all_paths = lambda *args: [['instance override']]
    assert platform.find_all_paths('disable', 'config') == [['instance override']]
    assert platform.get_shortest_path('disable', 'config') == ['instance override']
    del platform._find_all_paths
    platform.create_graph = dict
    assert platform.find_all_paths('disable', 'config') == []
    platform.find_all_paths = lambda a, b: [['x', 'y'], ['z']]
    assert platform.get_shortest_path('disable', 'config') == ['z']


def test_get_path_override_is_used_by_remove_path():
    class Redirect(Platform):
        def get_path(self, from_state, to_state):
            return self.paths[0]

    m = Redirect()
    first = m.paths[0]
    m.remove_path('config', 'enable')
    assert first not in m.paths and len(m.paths) == 3


def test_state_and_path_hooks_are_looked_up_on_the_instance():
    class Prefixed(State):
        def _update_pattern(self, pattern):
            State._update_pattern(self, ['>' + pattern] if isinstance(pattern, str) else pattern)

    st = Prefixed('x', 'a')
    assert st._pattern == ['>a']
    st.pattern = 'b'
    assert st.pattern == '>b'

    class Unchecked(Path):
        def validate_update(self):
            self.checked = True

    p = Unchecked('a', 'b', 5, 5)
    assert (p.from_state, p.command, p.checked) == ('a', 5, True)


# Rebound module attributes
def test_rebound_state_class(monkeypatch):
    class Special(State):
        pass

    m = Bare()
    monkeypatch.setattr(smod, 'State', Special)
    made = m.create_state('enable', 'p')
    assert type(made) is Special
    plain = State('config', 'p')
    with pytest.raises(StateMachineError) as exc:
        m.add_state(plain)
    assert str(exc.value) == 'config must be instance of State'
    with pytest.raises(StateMachineError) as exc:
        Path(made, plain)
    assert str(exc.value) == 'config is not an instance of State'
    with pytest.raises(StateMachineError) as exc:
        m.update_cur_state(plain)
    assert str(exc.value) == 'config state is not registered'


def test_rebound_path_and_statement_classes(monkeypatch, three):
    d, e, c = three.states

    class Edge(Path):
        pass

    monkeypatch.setattr(smod, 'Path', Edge)
    assert type(three.create_path(d, e)) is Edge
    with pytest.raises(StateMachineError) as exc:
        three.add_path(Path(e, c))
    assert str(exc.value) == 'enable->config must be instance of Path'

    class Line(Statement):
        pass

    monkeypatch.setattr(smod, 'Statement', Line)
    stmt = Statement(pattern='x')
    with pytest.raises(StateMachineError) as exc:
        three.add_default_statements(stmt)
    assert str(exc.value) == 'default statement (%s) should be of type Statement or list(Statement)' % stmt
    three.add_default_statements(Line(pattern='y'))
    assert len(three.default_dialog) == 1


def test_rebound_dialog_class(monkeypatch):
    class Script:
        def __init__(self, items):
            self.items = items

    original = Dialog([])
    monkeypatch.setattr(smod, 'Dialog', Script)
    assert type(Bare().default_dialog) is Script
    st = State('a', 'p')
    script = Script([])
    assert Path(st, st, dialog=script).dialog is script
    given = []
    assert Path(st, st, dialog=given).dialog.items is given
    with pytest.raises(StateMachineError) as exc:
        Path(st, st, dialog=original)
    assert str(exc.value) == '%s must be a Dialog instance, list or None' % original


def test_rebound_error_class(monkeypatch, platform):
    class Local(Exception):
        pass

    monkeypatch.setattr(smod, 'StateMachineError', Local)
    with pytest.raises(Local) as exc:
        platform.get_state('standby')
    assert str(exc.value) == 'standby state is not registered'
    with pytest.raises(Local) as exc:
        platform.get_shortest_path('enable', State('x', 'p'))
    assert str(exc.value) == "Path doesn't exist for enable -> x "


def test_rebound_placeholder(monkeypatch):
    st = State('a', ['<HOST>#', '%N>'])
    st.hostname = 'R1'
    monkeypatch.setattr(smod, 'HOSTNAME_SUBST_PAT', '<HOST>')
    assert st.pattern == 'R1#|%N>'
    st.learn_hostname = True
    assert st.pattern == r'(?P<hostname00>\S+)#|%N>'


def test_rebound_regex_module(monkeypatch):
    calls = []
    found = [None]
    fake = SimpleNamespace(sub=lambda *args: calls.append(('sub',) + args) or 'substituted',
                           search=lambda *args: calls.append(('search',) + args) or found[0],
                           escape=lambda text: calls.append(('escape', text)) or text + '\\')
    st = State('a', 'x%N')
    st.hostname = 'R1'
    monkeypatch.setattr(smod, 're', fake)
    assert st.pattern == 'substituted'
    assert calls == [('escape', 'R1'), ('sub', '%N', 'R1\\\\', 'x%N')]
    del calls[:]
    st.learn_hostname = True
    assert st.pattern == 'x%N' and calls == [('search', '%N', 'x%N')]
    m = Bare()
    m.create_state('never', 'no such prompt')
    m.create_state('later', 'R1>')
    del calls[:]
    found[0] = 'a match'
    spawn = FakeSpawn('R1>')
    m.detect_state(spawn)
    assert calls == [('search', 'no such prompt', 'R1>')]
    assert m.current_state == 'never' and spawn.sent == []


def test_patched_regex_functions_are_used(monkeypatch):
    import re
    st = State('a', 'x%N')
    st.hostname = 'R1'
    monkeypatch.setattr(re, 'sub', lambda *args: 'patched sub')
    assert st.pattern == 'patched sub'
    monkeypatch.undo()
    assert st.pattern == 'xR1'
    monkeypatch.setattr(re, 'escape', lambda text: '<%s>' % text)
    assert st.pattern == 'x<R1>'
    monkeypatch.undo()
    monkeypatch.setattr(re, 'search', lambda *args: None)
    st.learn_hostname = True
    assert st.pattern == 'x%N'


def test_rebinding_the_context_class_does_not_change_the_default(monkeypatch, engines):
    monkeypatch.setattr(smod, 'AttributeDict', dict)
    Bare().go_to('any', FakeSpawn())
    assert type(engines.last_kwargs['context']) is AttributeDict

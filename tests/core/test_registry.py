"""The machine's registries: construction, states, current state, hostname settings, paths, default statements."""
import pytest

from core_fakes import Bare, Platform
from tessel.core.errors import StateMachineError
from tessel.eal.dialogs import Dialog, Statement
from tessel.statemachine import statemachine as smod
from tessel.statemachine.statemachine import Path, State, StateMachine

PREFIX = 'Creating state machine failed with error: '


def _machine(create):
    return type('Made', (StateMachine,), {'create': create})


def _err(fn, *args, exc=StateMachineError):
    with pytest.raises(exc) as info:
        fn(*args)
    return info.value


# Construction
def test_base_class_cannot_be_constructed():
    err = _err(StateMachine)
    assert str(err) == PREFIX
    assert type(err.__context__) is NotImplementedError and err.__context__.args == ()
    assert err.__cause__ is None
    assert _err(StateMachine.create, Bare(), exc=NotImplementedError).args == ()


def test_create_failure_is_wrapped_with_context():
    def create(self):
        raise ValueError('no console')

    err = _err(_machine(create))
    assert str(err) == PREFIX + 'no console'
    assert type(err.__context__) is ValueError and str(err.__context__) == 'no console'
    assert err.__cause__ is None


def test_registry_error_inside_create_is_wrapped():
    def create(self):
        self.create_state('a', 'p')
        self.create_state('a', 'q')

    err = _err(_machine(create))
    assert str(err) == PREFIX + 'state with name a already exists'
    assert type(err.__context__) is StateMachineError


def test_reading_current_state_inside_create_fails():
    def create(self):
        self.current_state

    cls = _machine(create)
    err = _err(cls)
    assert type(err.__context__) is AttributeError
    assert str(err.__context__) == "'Made' object has no attribute '_current_state'"
    assert str(err) == PREFIX + str(err.__context__)


def test_interpreter_exits_are_not_wrapped():
    class Stop(BaseException):
        pass

    def create(self):
        raise Stop('halt')

    assert _err(_machine(create), exc=Stop).args == ('halt',)


def test_dialog_failure_during_construction_is_not_wrapped(monkeypatch):
    def broken(items):
        raise LookupError('no dialogs here')

    monkeypatch.setattr(smod, 'Dialog', broken)
    assert str(_err(Bare, exc=LookupError)) == 'no dialogs here'


def test_create_sees_settings_and_current_state_is_reset():
    seen = {}

    def create(self):
        seen['attrs'] = list(vars(self))
        st = self.create_state('enable', '%N#')
        self.update_cur_state('enable')
        seen['current'] = self._current_state
        seen['state'] = st

    m = _machine(create)('R1', True)
    assert seen['attrs'] == ['_hostname', '_learn_hostname', 'states', 'paths', 'default_dialog']
    assert seen['current'] == 'enable' and m.current_state == 'generic'
    assert (seen['state'].hostname, seen['state'].learn_hostname) == ('R1', True)


def test_states_added_by_a_failing_create_stay_attached():
    kept = []

    def create(self):
        kept.append(self.create_state('enable', 'p'))
        raise RuntimeError('late failure')

    _err(_machine(create))
    assert kept[0]._linked_sm.startswith('<test_registry.Made object at 0x')
    assert 'already attached to SM' in str(_err(Bare().add_state, kept[0]))


def test_new_machine():
    a, b = Bare(), Bare()
    assert (a.hostname, a.learn_hostname, a.current_state, a.states, a.paths) == (None, False, 'generic', [], [])
    assert type(a.current_state) is str
    assert isinstance(a.default_dialog, Dialog) and len(a.default_dialog) == 0
    assert a.states is not b.states and a.paths is not b.paths and a.default_dialog is not b.default_dialog


# States
@pytest.mark.parametrize('bad, message', [
    ('enable', 'enable must be instance of State'),
    (None, 'None must be instance of State'),
    ((1, 2), '(1, 2) must be instance of State'),
])
def test_add_state_refuses_non_states(three, bad, message):
    assert str(_err(three.add_state, bad)) == message
    assert [s.name for s in three.states] == ['disable', 'enable', 'config']


def test_add_state_refuses_a_duplicate_name(three):
    before = list(three.states)
    twin = State('enable', 'other')
    assert str(_err(three.add_state, twin)) == 'state with name enable already exists'
    assert three.states == before
    assert (twin._linked_sm, twin.hostname, twin.learn_hostname) == (None, None, False)
    # the same state again: the name is tested before the attachment
    assert str(_err(three.add_state, three.states[1])) == 'state with name enable already exists'
    assert str(_err(three.add_state, State(type('N', (str,), {})('config'), 'p'))) == \
        'state with name config already exists'


def test_add_state_refuses_a_state_attached_elsewhere(three):
    other = Bare()
    st = three.get_state('enable')
    err = _err(other.add_state, st)
    assert str(err) == 'State can be attached only to one SM instance State(enable) already attached to SM ' + str(three)
    assert other.states == []
    three.remove_state(st)
    for m in (three, other):
        assert str(_err(m.add_state, st)).endswith(') already attached to SM ' + str(three))
    lone = State('lone', 'p')
    lone._linked_sm = 42
    assert str(_err(other.add_state, lone)) == \
        'State can be attached only to one SM instance State(lone) already attached to SM 42'


def test_add_state_attaches_and_copies_settings():
    m = Bare(hostname='R1', learn_hostname='yes')
    states = m.states
    st = type('Sub', (State,), {})('enable', '%N#')
    assert m.add_state(st) is None
    assert m.states is states and states == [st]
    assert st._linked_sm == str(m) and type(st._linked_sm) is str
    assert st.hostname == 'R1' and st.learn_hostname is m.learn_hostname


def test_create_state(three):
    st = three.create_state('standby', ['x'])
    assert isinstance(st, State) and three.states[-1] is st and st._linked_sm == str(three)
    assert str(_err(three.create_state, 'standby', 'y')) == 'state with name standby already exists'
    assert len(three.states) == 4
    assert str(_err(three.create_state, 5, 'y', exc=TypeError)) == 'State Name should be of type str'


def test_get_state(three):
    enable = three.states[1]
    assert three.get_state('enable') is enable
    for key, shown in [('standby', 'standby'), (enable, 'enable'), (5, '5'), (('enable',), "('enable',)")]:
        err = _err(three.get_state, key)
        assert str(err) == shown + ' state is not registered'
        assert type(err.__context__) is ValueError
    st = State('direct', 'p')
    three.states.append(st)
    assert three.get_state('direct') is st


def test_remove_state(platform):
    paths = list(platform.paths)
    platform.update_cur_state('enable')
    enable = platform.get_state('enable')
    assert platform.remove_state('enable') is None
    assert [s.name for s in platform.states] == ['disable', 'config']
    assert platform.paths == paths and platform.current_state == 'enable'
    assert enable._linked_sm == str(platform)
    err = _err(platform.remove_state, 'enable')
    assert str(err) == 'enable state is not registered' and type(err.__context__) is ValueError
    err = _err(platform.remove_state, enable)
    assert str(err) == 'Deleting state enable failed with error ' + str(_err([].remove, enable, exc=ValueError))
    assert type(err.__context__) is ValueError
    assert str(_err(platform.remove_state, State('free', 'p'))).startswith('Deleting state free failed with error ')
    config = platform.get_state('config')
    platform.remove_state(config)
    assert platform.states == [platform.get_state('disable')]


# Current state and hostname settings
def test_current_state_is_read_only(platform):
    platform.update_cur_state('config')
    for value in ('enable', None):
        err = _err(setattr, platform, 'current_state', value)
        assert str(err) == 'State Machine current_state is readonly'
    assert platform.current_state == 'config'


def test_update_cur_state(platform):
    assert platform.update_cur_state('enable') is None
    assert platform.current_state == 'enable'
    assert platform.update_cur_state(platform.get_state('config')) is None
    assert platform.current_state == 'config'
    platform.update_cur_state(State('elsewhere', 'p'))
    assert platform.current_state == 'elsewhere'
    assert str(_err(platform.update_cur_state, 'standby')) == 'standby state is not registered'
    assert str(_err(platform.update_cur_state, 'generic')) == 'generic state is not registered'
    assert platform.current_state == 'elsewhere'
    platform.update_cur_state(State('generic', 'p'))
    assert platform.current_state == 'generic'


def test_hostname_settings_reach_every_state(three):
    three.hostname = 'R9'
    three.learn_hostname = 1
    assert [(s.hostname, s.learn_hostname) for s in three.states] == [('R9', 1)] * 3
    late = three.create_state('late', '%N#')
    assert (late.hostname, late.learn_hostname) == ('R9', 1)
    three._hostname = 'direct'
    three._learn_hostname = False
    assert three.hostname == 'direct' and three.learn_hostname is False
    assert [s.hostname for s in three.states] == ['R9'] * 4
    assert late.pattern == r'(?P<hostname00>\S+)#'
    three.learn_hostname = False
    assert late.pattern == 'R9#'
    empty = Bare()
    empty.hostname = 'X'
    assert empty._hostname == 'X' and empty.hostname == 'X'


def test_hostname_setter_failure_leaves_earlier_states_updated(three):
    three.states.insert(1, object())
    expected = _err(setattr, object(), 'hostname', 'R1', exc=AttributeError)
    err = _err(setattr, three, 'hostname', 'R1', exc=AttributeError)
    assert str(err) == str(expected)
    assert three._hostname == 'R1'
    assert [getattr(s, 'hostname', 'n/a') for s in three.states] == ['R1', 'n/a', None, None]


# Paths
def test_create_and_get_path(three):
    disable, enable, config = three.states
    p = three.create_path(enable, config, 'config terminal')
    assert isinstance(p, Path) and three.paths[-1] is p
    for args in [('enable', 'config'), (enable, 'config'), (enable, config), ('enable', config),
                 (State('enable', 'x'), State('config', 'y'))]:
        assert three.get_path(*args) is p


@pytest.mark.parametrize('make, message', [
    (lambda d, e, c: Path(State('enable', 'x'), c),
     'Unknown from state (enable) provided,state has to be added SMbefore creating path '),
    (lambda d, e, c: Path(e, State('config', 'x')),
     'Unknown to state (config)provided,state has to be added SMbefore creating path '),
    (lambda d, e, c: Path(State('a', 'x'), State('b', 'x')),
     'Unknown from state (a) provided,state has to be added SMbefore creating path '),
    (lambda d, e, c: Path(d, e, 'other command'), 'disable->enable already exists'),
    (lambda d, e, c: 'enable', 'enable must be instance of Path'),
    (lambda d, e, c: None, 'None must be instance of Path'),
])
def test_add_path_refusals(three, make, message):
    d, e, c = three.states
    first = three.create_path(d, e, 'enable')
    assert str(_err(three.add_path, make(d, e, c))) == message
    assert three.paths == [first]


def test_add_path_keys_by_names(three):
    d, e, c = three.states
    p = three.create_path(e, c)
    assert str(_err(three.add_path, p)) == 'enable->config already exists'
    three.create_path(c, e)
    three.create_path(e, e)
    assert str(_err(three.create_path, e, e, 'again')) == 'enable->enable already exists'
    assert [str(x) for x in three.paths] == ['enable->config', 'config->enable', 'enable->enable']
    assert str(_err(three.create_path, 'enable', c)) == 'enable is not an instance of State'
    assert len(three.paths) == 3


def test_get_path_failures(three):
    d, e, c = three.states
    three.create_path(e, c)
    err = _err(three.get_path, 'config', 'enable')
    assert str(err) == 'config->enable path doesnt exist' and type(err.__context__) is ValueError
    assert str(_err(three.get_path, 'standby', 'nowhere')) == 'standby state is not registered'
    assert str(_err(three.get_path, 'enable', 'nowhere')) == 'nowhere state is not registered'


def test_remove_path(platform):
    p1, p2, p3, p4 = platform.paths
    paths = platform.paths
    assert platform.remove_path('enable', 'disable') is None
    assert platform.paths is paths and paths == [p1, p3, p4]
    assert str(_err(platform.remove_path, 'enable', 'disable')) == 'enable->disable path doesnt exist'
    assert str(_err(platform.remove_path, 'standby', 'enable')) == 'standby state is not registered'
    assert paths == [p1, p3, p4]


def test_remove_path_removes_from_the_list_held_before_the_lookup():
    class Swapping(Platform):
        def get_path(self, from_state, to_state):
            path = super().get_path(from_state, to_state)
            self.paths = list(self.paths)
            return path

    m = Swapping()
    before = m.paths
    m.remove_path('enable', 'config')
    assert [str(p) for p in before] == ['disable->enable', 'enable->disable', 'config->enable']
    assert len(m.paths) == 4


def test_paths_of_a_removed_state_stay(platform):
    config = platform.get_state('config')
    p3 = platform.paths[2]
    platform.remove_state('config')
    assert p3 in platform.paths
    assert platform.get_path('enable', config) is p3
    assert str(_err(platform.get_path, 'enable', 'config')) == 'config state is not registered'


# Default statements
S1 = Statement(pattern=r'\[confirm\]', action=lambda spawn: spawn.sendline(), loop_continue=True)
S2 = Statement(pattern=r'\(yes/no\)', action=lambda spawn: spawn.sendline('yes'), loop_continue=True)


def test_default_statements_are_appended_in_order(bare):
    assert bare.add_default_statements(S1) is None
    assert bare.add_default_statements([S2, S1]) is None
    assert bare.add_default_statements([]) is None
    assert bare.add_default_statements(type('L', (list,), {})([S2])) is None
    assert list(bare.default_dialog) == [S1, S2, S1, S2]


@pytest.mark.parametrize('bad', [None, (S1,), Dialog([S1]), 'stmt', 5])
def test_default_statement_argument_refused(bare, bad):
    err = _err(bare.add_default_statements, bad)
    assert str(err) == 'default statement (%s) should be of type Statement or list(Statement)' % (bad,)
    assert len(bare.default_dialog) == 0


@pytest.mark.parametrize('items, bad, kept', [
    ([S1, 'x', S2], 'x', [S1]),
    ([[S1, S2]], [S1, S2], []),
    ([S2, S1, None], None, [S2, S1]),
])
def test_default_statement_element_refused_keeps_earlier(bare, items, bad, kept):
    err = _err(bare.add_default_statements, items)
    assert str(err) == 'default statement(%s) should be of type Statement or list(Statement)' % (bad,)
    assert err.__cause__ is None
    assert list(bare.default_dialog) == kept


def test_default_statements_go_to_the_current_default_dialog(bare):
    class Recorder:
        def __init__(self):
            self.got = []

        def append(self, stmt):
            self.got.append(stmt)
            return 'ignored'

    bare.default_dialog = rec = Recorder()
    bare.add_default_statements([S1, S1])
    assert rec.got == [S1, S1]

"""go_to and detect_state, driven through recording fake engines and fake spawns."""
import re
from types import SimpleNamespace

import pytest

from core_fakes import Bare, FakeSpawn, Platform
from tessel.core.errors import StateMachineError
from tessel.statemachine import statemachine as smod
from tessel.statemachine.statemachine import State
from tessel.utils import AttributeDict

KEYWORDS = ['state_machine', 'to_state', 'spawn', 'dialog', 'timeout', 'context', 'prompt_recovery']


def failure(target, current, spawn, match=None):
    match = match or repr(spawn.match.match_output)
    return ('Changing state to %s failed\ncurrent_state: %s\nlast command: %r\nbuffer: %r\nlast match: %s'
            % (target, current, spawn.last_sent, spawn.buffer, match))


def _spawn():
    return FakeSpawn('R1#\nm', last_sent='conf t', buffer='R1(config)#')


def _fresh(text):
    """An equal string that is not the interned literal."""
    return ''.join(list(text))


@pytest.fixture
def at_enable(platform):
    platform.update_cur_state('enable')
    return platform


# Targets "any" and lists
@pytest.mark.parametrize('target', ['any', _fresh('any')])
def test_any_builds_the_any_engine_without_lookups(engines, target):
    looked_up = []

    class Counting(Platform):
        def get_state(self, name):
            looked_up.append(name)
            return super().get_state(name)

    m = Counting()
    spawn, ctx, dialog = _spawn(), SimpleNamespace(), object()
    out = m.go_to(target, spawn, ctx, dialog, 30, True, 'recover')
    assert out is engines.output
    kind, args, kwargs = engines.calls[0]
    assert (kind, args, [k for k, _ in kwargs]) == ('AnyStateTransition', (), KEYWORDS)
    values = dict(kwargs)
    assert values['state_machine'] is m and values['to_state'] is target and values['spawn'] is spawn
    assert values['dialog'] is dialog and values['timeout'] == 30 and values['context'] is ctx
    assert values['prompt_recovery'] == 'recover'
    assert looked_up == [] and m.current_state == 'generic' and spawn.sent == []


def test_go_to_binds_every_parameter_by_keyword(engines, platform):
    spawn = _spawn()
    platform.go_to(prompt_recovery=True, spawn=spawn, to_state='any', timeout=9, dialog='d', context='c')
    assert engines.last_kwargs == {'state_machine': platform, 'to_state': 'any', 'spawn': spawn, 'dialog': 'd',
                                   'timeout': 9, 'context': 'c', 'prompt_recovery': True}


def test_any_records_the_state_reached(engines, platform):
    engines.reach = 'config'
    platform.go_to('any', _spawn())
    assert platform.current_state == 'config'
    engines.reach = platform.get_state('disable')
    platform.go_to('any', _spawn())
    assert platform.current_state == 'disable'
    engines.reach = _fresh('generic')
    platform.go_to('any', _spawn())
    assert platform.current_state == 'disable'


def test_list_target_is_handed_over_and_judged_by_name(engines, platform):
    targets = ['enable', 'disable']
    engines.reach = 'disable'
    assert platform.go_to(targets, _spawn(), hop_wise=True) is engines.output
    assert engines.kinds == ['AnyStateTransition'] and engines.last_kwargs['to_state'] is targets
    engines.reach = 'config'
    spawn = _spawn()
    with pytest.raises(StateMachineError) as exc:
        platform.go_to(targets, spawn)
    assert str(exc.value) == failure("['enable', 'disable']", 'config', spawn)
    assert exc.value.__cause__ is None
    objects = [platform.get_state('config')]
    with pytest.raises(StateMachineError) as exc:
        platform.go_to(objects, spawn)
    assert str(exc.value) == failure('[config]', 'config', spawn)


# Single targets
def test_single_target_needs_an_established_current_state(engines, platform):
    for target in ('enable', platform.get_state('enable')):
        with pytest.raises(StateMachineError) as exc:
            platform.go_to(target, _spawn())
        assert str(exc.value) == 'generic state is not registered'
    with pytest.raises(StateMachineError) as exc:
        platform.go_to('standby', _spawn())
    assert str(exc.value) == 'standby state is not registered'
    with pytest.raises(StateMachineError) as exc:
        platform.go_to(('enable',), _spawn())
    assert str(exc.value) == "('enable',) state is not registered"
    assert engines.calls == []


def test_target_already_current_returns_at_once(engines, at_enable):
    class Untouchable:
        def __getattr__(self, name):
            raise AssertionError('spawn used: ' + name)

    for target in ('enable', at_enable.get_state('enable')):
        assert at_enable.go_to(target, Untouchable()) is None
    assert engines.calls == [] and at_enable.current_state == 'enable'


def test_equal_named_other_state_object_still_runs(engines, at_enable):
    twin = State('enable', 'x')
    engines.reach = 'enable'
    assert at_enable.go_to(twin, _spawn()) is engines.output
    assert engines.kinds == ['StateTransition'] and engines.last_kwargs['to_state'] is twin


@pytest.mark.parametrize('hop_wise, kind', [(False, 'StateTransition'), (0, 'StateTransition'),
                                            (None, 'StateTransition'), (True, 'HopWiseStateTransition'),
                                            (1, 'HopWiseStateTransition'), ('yes', 'HopWiseStateTransition')])
def test_hop_wise_selects_the_engine(engines, at_enable, hop_wise, kind):
    engines.reach = 'config'
    spawn = _spawn()
    at_enable.go_to('config', spawn, hop_wise=hop_wise, timeout=5)
    kind_seen, args, kwargs = engines.calls[0]
    assert (kind_seen, args, [k for k, _ in kwargs]) == (kind, (), KEYWORDS)
    values = dict(kwargs)
    assert values['to_state'] is at_enable.get_state('config') and values['state_machine'] is at_enable
    assert (values['dialog'], values['timeout'], values['prompt_recovery']) == (None, 5, False)
    assert isinstance(values['context'], AttributeDict)
    assert at_enable.current_state == 'config'


def test_unregistered_state_object_is_used_directly(engines, at_enable):
    outside = State('standby', 'x')
    engines.reach = outside
    assert at_enable.go_to(outside, _spawn()) is engines.output
    assert engines.last_kwargs['to_state'] is outside and at_enable.current_state == 'standby'


def test_success_requires_the_exact_name(engines, platform):
    platform.create_state('config_vlan', 'vlan#')
    platform.update_cur_state('enable')
    engines.reach = 'config'
    spawn = _spawn()
    with pytest.raises(StateMachineError) as exc:
        platform.go_to('config_vlan', spawn)
    assert str(exc.value) == failure('config_vlan', 'config', spawn)
    engines.reach = 'config_vlan'
    platform.update_cur_state('enable')
    assert platform.go_to('config_vlan', spawn) is engines.output


def test_engine_that_does_not_determine_the_state(engines, platform):
    platform.update_cur_state('disable')
    spawn = _spawn()
    with pytest.raises(StateMachineError) as exc:
        platform.go_to('enable', spawn)
    assert str(exc.value) == failure('enable', 'disable', spawn)
    assert platform.current_state == 'disable'


def test_failure_report_without_a_match(engines, at_enable):
    engines.reach = 'disable'
    spawn = FakeSpawn(None, last_sent=None, buffer='')
    with pytest.raises(StateMachineError) as exc:
        at_enable.go_to('config', spawn)
    assert str(exc.value) == failure('config', 'disable', spawn, match='None')


def test_failure_report_errors_replace_it(engines, at_enable):
    class Broken(FakeSpawn):
        @property
        def buffer(self):
            raise RuntimeError('buffer unreadable')

        @buffer.setter
        def buffer(self, value):
            pass

    engines.reach = 'disable'
    with pytest.raises(RuntimeError) as exc:
        at_enable.go_to('config', Broken('x'))
    assert str(exc.value) == 'buffer unreadable'


# Failed runs
@pytest.mark.parametrize('target, shown', [('config', 'config'), (['enable', 'disable'], "['enable', 'disable']"),
                                           ('any', 'any')])
def test_failed_run_is_wrapped_with_cause_after_reconciling(engines, at_enable, target, shown):
    engines.error = ValueError('line dropped')
    engines.reach = 'disable'
    with pytest.raises(StateMachineError) as exc:
        at_enable.go_to(target, _spawn())
    assert str(exc.value) == 'Failed while bringing device to "%s" state' % shown
    assert exc.value.__cause__ is engines.error
    assert at_enable.current_state == 'disable'


class _ReprNotText:
    def __repr__(self):
        return 5


class _ReprRaises:
    def __repr__(self):
        raise LookupError('no text')


@pytest.mark.parametrize('item, error', [(_ReprNotText(), TypeError), (_ReprRaises(), LookupError)])
def test_failed_run_whose_target_cannot_be_worded(engines, at_enable, item, error):
    # The wording error replaces the wrapped one: the run's failure is only its context.
    engines.error = ValueError('line dropped')
    with pytest.raises(error) as exc:
        at_enable.go_to([item], _spawn())
    assert exc.value.__cause__ is None and exc.value.__context__ is engines.error


def test_interruptions_pass_through_after_reconciling(engines, at_enable):
    engines.error = KeyboardInterrupt()
    engines.reach = 'config'
    with pytest.raises(KeyboardInterrupt):
        at_enable.go_to('config', _spawn())
    assert at_enable.current_state == 'config'


def test_engine_without_a_run_fails_like_a_failed_run(monkeypatch, at_enable):
    class Lazy:
        def __init__(self, **kwargs):
            self.current_state = 'generic'

    monkeypatch.setattr(smod, 'StateTransition', Lazy)
    with pytest.raises(StateMachineError) as exc:
        at_enable.go_to('config', _spawn())
    assert str(exc.value) == 'Failed while bringing device to "config" state'
    assert type(exc.value.__cause__) is AttributeError


def test_engine_construction_errors_are_not_wrapped(engines, at_enable):
    engines.ctor_error = OSError('no engine')
    for target in ('config', 'any'):
        with pytest.raises(OSError) as exc:
            at_enable.go_to(target, _spawn())
        assert exc.value is engines.ctor_error
    assert at_enable.current_state == 'enable'


def test_reconciliation_errors_replace_the_outcome(engines, at_enable):
    engines.reach = 'bogus'
    with pytest.raises(StateMachineError) as exc:
        at_enable.go_to('any', _spawn())
    assert str(exc.value) == 'bogus state is not registered'
    engines.error = ValueError('run failed')
    with pytest.raises(StateMachineError) as exc:
        at_enable.go_to('config', _spawn())
    assert str(exc.value) == 'bogus state is not registered'
    assert at_enable.current_state == 'enable'


def test_default_context_is_shared_and_explicit_context_passed(engines, platform):
    platform.go_to('any', _spawn())
    default = engines.last_kwargs['context']
    assert isinstance(default, AttributeDict)
    default.seen_by_first = True
    try:
        Bare().go_to('any', _spawn(), dialog=None)
        assert engines.last_kwargs['context'] is default and default.seen_by_first is True
    finally:
        del default.seen_by_first
    mine = {}
    platform.go_to('any', _spawn(), context=mine)
    assert engines.last_kwargs['context'] is mine


# Detection
@pytest.mark.parametrize('output, detected', [
    ('show clock\nR1#', 'enable'),
    ('R1>', 'disable'),
    ('R1(config)#\n', 'config'),
    ('R1#\nR1>', 'disable'),
])
def test_detect_state_reads_the_last_line(platform, output, detected):
    platform.hostname = 'R1'
    spawn = FakeSpawn(output)
    assert platform.detect_state(spawn) is None
    assert platform.current_state == detected and spawn.sent == []


def test_detect_state_first_registered_match_wins_and_is_stored_directly(engines):
    calls = []

    class Watch(Bare):
        def update_cur_state(self, state):
            calls.append(state)

    m = Watch()
    m.create_state('loose', '#')
    m.create_state('strict', '^R1#$')
    m.detect_state(FakeSpawn('R1#'))
    assert m.current_state == 'loose' and calls == []
    m.detect_state(FakeSpawn('R1#'))
    assert m.current_state == 'loose'


def test_detect_state_uses_hostname_substitution(platform):
    fallback = Fallback()
    fallback.detect_state(FakeSpawn('lab-sw1>'))
    assert fallback.went and fallback.current_state == 'generic'
    platform.learn_hostname = True
    platform.detect_state(FakeSpawn('lab-sw1>'))
    assert platform.current_state == 'disable'


class Fallback(Platform):
    def __init__(self):
        self.went = []
        super().__init__()

    def go_to(self, *args, **kwargs):
        self.went.append((args, kwargs))
        return 'ignored'


@pytest.mark.parametrize('spawn', [
    FakeSpawn(None),
    FakeSpawn(match=SimpleNamespace(match_output='')),
    FakeSpawn(match=SimpleNamespace(match_output=None)),
    FakeSpawn('R1#\nnothing here'),
    FakeSpawn('R1#\n\n'),
    FakeSpawn(match=0),
])
def test_detect_state_falls_back_to_any(spawn):
    m = Fallback()
    m.hostname = 'R1'
    assert m.detect_state(spawn) is None
    assert spawn.sent == [((), {})]
    assert m.went == [(('any', spawn), {})]
    assert m.current_state == 'generic'


def test_detect_state_fallback_runs_the_any_engine(engines, platform):
    engines.reach = 'enable'
    spawn = FakeSpawn(None)
    platform.detect_state(spawn)
    assert engines.kinds == ['AnyStateTransition'] and platform.current_state == 'enable'
    assert engines.last_kwargs['to_state'] == 'any' and engines.last_kwargs['timeout'] is None
    assert engines.last_kwargs['prompt_recovery'] is False and engines.last_kwargs['dialog'] is None
    engines.error = ValueError('lost')
    with pytest.raises(StateMachineError) as exc:
        platform.detect_state(FakeSpawn(None))
    assert str(exc.value) == 'Failed while bringing device to "any" state'


def test_detect_state_empty_last_line_matches_only_empty_patterns():
    m = Fallback()
    m.create_state('blank', '^$')
    spawn = FakeSpawn('R1#\n\n')
    m.detect_state(spawn)
    assert m.current_state == 'blank' and spawn.sent == [] and m.went == []


def test_detect_state_without_states_always_falls_back():
    class Empty(Bare):
        went = []

        def go_to(self, *args, **kwargs):
            self.went.append(args)

    m = Empty()
    spawn = FakeSpawn('anything#')
    m.detect_state(spawn=spawn)
    assert spawn.sent == [((), {})] and m.went == [('any', spawn)]


def test_detect_state_errors(platform):
    platform.create_state('broken', '(')
    platform.create_state('catchall', '.*')
    spawn = FakeSpawn('no prompt')
    with pytest.raises(re.error) as exc:
        platform.detect_state(spawn)
    with pytest.raises(re.error) as expected:
        re.search('(', 'no prompt')
    assert str(exc.value) == str(expected.value)
    assert spawn.sent == [] and platform.current_state == 'generic'

    class Deaf(FakeSpawn):
        def sendline(self, *args):
            raise OSError('pty closed')

    with pytest.raises(OSError) as exc:
        Fallback().detect_state(Deaf(None))
    assert str(exc.value) == 'pty closed'


def test_detect_state_reads_match_once(platform):
    class Once(FakeSpawn):
        reads = 0

        @property
        def match(self):
            Once.reads += 1
            return SimpleNamespace(match_output='R1#') if Once.reads == 1 else None

        @match.setter
        def match(self, value):
            pass

    platform.hostname = 'R1'
    spawn = Once('x')
    platform.detect_state(spawn)
    assert Once.reads == 1 and platform.current_state == 'enable'

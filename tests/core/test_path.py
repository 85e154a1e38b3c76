"""Path: validation of its four attributes, dialog conversion and its text."""
import functools

import pytest

from tessel.core.errors import StateMachineError
from tessel.eal.dialogs import Dialog, Statement
from tessel.statemachine import statemachine as smod
from tessel.statemachine.statemachine import Path, State

ENABLE = State('enable', '#')
CONFIG = State('config', '(config)#')
STMT1 = Statement(pattern='a')
STMT2 = Statement(pattern='b')


class Caller:
    def __call__(self, spawn):
        return spawn

    def method(self, spawn):
        return spawn


def test_defaults_and_text():
    p = Path(ENABLE, CONFIG)
    assert (p.from_state, p.to_state, p.command, p.dialog) == (ENABLE, CONFIG, None, None)
    assert p.from_state is ENABLE and p.to_state is CONFIG
    assert str(p) == repr(p) == 'enable->config'
    assert str(Path(ENABLE, ENABLE)) == 'enable->enable'


@pytest.mark.parametrize('command', ['config terminal', '', 0, None, [], len, Caller, Caller(), Caller().method,
                                     functools.partial(print, 1), lambda spawn: None])
def test_commands_that_pass(command):
    assert Path(ENABLE, CONFIG, command).command is command


@pytest.mark.parametrize('args, message', [
    (('enable', CONFIG), 'enable is not an instance of State'),
    ((ENABLE, 'config'), 'config is not an instance of State'),
    ((None, None), 'None is not an instance of State'),
    (('enable', 'config', 5, 5), 'enable is not an instance of State'),
    ((ENABLE, CONFIG, 5, 5), 'Command (5) should be of type str or callable'),
    ((ENABLE, CONFIG, ['a']), "Command (['a']) should be of type str or callable"),
    ((ENABLE, CONFIG, b'x'), "Command (b'x') should be of type str or callable"),
    ((ENABLE, CONFIG, None, 5), '5 must be a Dialog instance, list or None'),
    ((ENABLE, CONFIG, 'c', 'x'), 'x must be a Dialog instance, list or None'),
    ((ENABLE, CONFIG, 'c', (STMT1,)), '(%r,) must be a Dialog instance, list or None' % STMT1),
])
def test_validation_messages(args, message):
    with pytest.raises(StateMachineError) as exc:
        Path(*args)
    assert str(exc.value) == message
    assert exc.value.args == (message,)


def test_list_dialog_becomes_a_dialog_of_that_list(monkeypatch):
    made = []

    class Recording(Dialog):
        def __init__(self, *args, **kwargs):
            made.append((args, kwargs))
            super().__init__(*args, **kwargs)

    monkeypatch.setattr(smod, 'Dialog', Recording)
    given = [STMT1, STMT2]
    p = Path(ENABLE, CONFIG, dialog=given)
    assert type(p.dialog) is Recording and list(p.dialog) == [STMT1, STMT2]
    assert len(made) == 1 and made[0][0][0] is given and made[0][1] == {}
    assert type(Path(ENABLE, CONFIG, dialog=[]).dialog) is Recording


def test_dialog_instances_are_kept():
    d = Dialog([STMT1])
    assert Path(ENABLE, CONFIG, dialog=d).dialog is d
    sub = type('SubDialog', (Dialog,), {})([])
    assert Path(ENABLE, CONFIG, dialog=sub).dialog is sub


def test_dialog_constructor_errors_pass_through(monkeypatch):
    def refuse(items):
        raise ValueError('bad statements %d' % len(items))

    monkeypatch.setattr(smod, 'Dialog', refuse)
    with pytest.raises(ValueError) as exc:
        Path(ENABLE, CONFIG, dialog=[STMT1])
    assert str(exc.value) == 'bad statements 1'


def test_validate_update_checks_current_values():
    p = Path(ENABLE, CONFIG, 'c')
    p.dialog = [STMT1]
    assert p.validate_update() is None
    assert isinstance(p.dialog, Dialog) and list(p.dialog) == [STMT1]
    p.dialog = 7
    with pytest.raises(StateMachineError) as exc:
        p.validate_update()
    assert str(exc.value) == '7 must be a Dialog instance, list or None'
    assert p.dialog == 7
    p.to_state = 'gone'
    with pytest.raises(StateMachineError) as exc:
        p.validate_update()
    assert str(exc.value) == 'gone is not an instance of State'


def test_state_subclasses_are_accepted_and_their_text_used():
    class Named(State):
        def __str__(self):
            return '<%s>' % self.name

    a, b = Named('a', 'p'), Named('b', 'p')
    p = Path(a, b)
    assert str(p) == repr(p) == '<a>-><b>'

    class Shout(Path):
        def __str__(self):
            return 'SHOUT'

    assert repr(Shout(a, b)) == 'SHOUT'

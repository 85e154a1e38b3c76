"""Dialogs processed against real output: actions, looping, timers and timeouts."""
import sys

import pytest

from tessel.core.errors import DialogError, DialogTimeoutError, TesselError
from tessel.eal.dialogs import Dialog, Statement
from tessel.eal.spawn import Spawn

PROMPT = Statement(pattern=r"R1[>#]$")


def test_password_dialog_answers_from_context_and_ends_on_prompt(start_sim, context):
    spawn = start_sim(context=context)
    spawn.expect(r"R1>$")
    spawn.sendline("enable")
    password = Statement(pattern=r"Password:\s*$", action="{enable_password}", loop_continue=True)
    result = Dialog([password, PROMPT]).process(spawn, timeout=3, context=context)
    assert result.statement is PROMPT
    assert result.history == [password, PROMPT] and result.shown == ["Password: ", "R1#"]
    assert result.match.text == "R1#"
    assert spawn.last_sent == "********\n"  # the password, masked because the field is secret


def only_spawn(calls):
    return lambda spawn: calls.append(("spawn", spawn.match.text))


def with_context(calls):
    return lambda spawn, context: calls.append(("context", context["site"]))


def with_args(calls):
    return lambda spawn, count, **rest: calls.append(("args", count, sorted(rest)))


@pytest.mark.parametrize("make_action, args, expected", [
    (only_spawn, None, [("spawn", "uptime")]),
    (with_context, None, [("context", "lab")]),
    (with_args, {"count": 2}, [("args", 2, ["context"])]),
])
def test_callable_action_gets_context_and_args_when_it_asks(make_action, args, expected,
                                                           start_sim):
    calls = []
    spawn = start_sim()
    spawn.expect(r"R1>$")
    spawn.sendline("show version")
    statement = Statement(pattern=r"uptime", action=make_action(calls), args=args)
    Dialog([statement]).process(spawn, timeout=3, context={"site": "lab"})
    assert calls == expected


def test_string_action_with_missing_context_field_is_a_dialog_error(start_sim):
    spawn = start_sim()
    spawn.sendline("enable")
    dialog = Dialog([Statement(pattern=r"Password:", action="{enable_password}")])
    with pytest.raises(DialogError, match="'enable_password'"):
        dialog.process(spawn, timeout=3, context={})


def test_timeout_reports_output_and_what_was_answered(start_sim, context):
    spawn = start_sim(context=context)
    spawn.sendline("enable")
    password = Statement(pattern=r"Password:\s*$", action="{enable_password}", loop_continue=True)
    never = Statement(pattern=r"R1\(config\)#")
    with pytest.raises(DialogTimeoutError) as caught:
        Dialog([password, never]).process(spawn, timeout=0.5, context=context)
    err = caught.value
    assert err.timeout == 0.5  # the dialog's own wait, not the handle's
    assert isinstance(err, TesselError)
    assert err.matched == [r"Password:\s*$"] and err.shown == ["Password: "]
    assert "R1#" in err.output and r"R1\(config\)#" in str(err)


TICKER = ("import time\n"
          "print('ready', flush=True)\n"
          "for n in range(3):\n"
          "    time.sleep(0.3); print('tick', n, flush=True)\n"
          "time.sleep(0.3); print('done', flush=True)\n"
          "time.sleep(2)\n")


@pytest.mark.parametrize("continue_timer, finishes", [(True, False), (False, True)])
def test_continue_timer_false_restarts_the_wait(continue_timer, finishes):
    """Four outputs 0.3 s apart: a 0.5 s wait only suffices when each one restarts it."""
    tick = Statement(pattern=r"tick \d", loop_continue=True, continue_timer=continue_timer)
    done = Statement(pattern=r"done")
    with Spawn([sys.executable, "-c", TICKER], timeout=3) as spawn:
        spawn.expect("ready")  # the interpreter's start is not part of the wait
        dialog = Dialog([tick, done])
        if finishes:
            assert dialog.process(spawn, timeout=0.5).statement is done
        else:
            with pytest.raises(DialogTimeoutError):
                dialog.process(spawn, timeout=0.5)


def test_dialogs_compose_and_refuse_non_statements():
    first, second, third = (Statement(pattern=p) for p in ("a", "b", "c"))
    dialog = Dialog([first])
    combined = dialog + Dialog([second]) + [third]
    assert list(combined) == [first, second, third] and len(dialog) == 1
    dialog.extend([second, third])
    assert [s.pattern for s in dialog] == ["a", "b", "c"] and dialog[1] is second
    with pytest.raises(TypeError):
        dialog.append("a")
    with pytest.raises(TypeError):
        Statement(pattern="x", action=5)
    assert Dialog().process(spawn=None) is None

"""State changes end to end: the example platform drives the simulated router over a pty."""

import pytest

from tessel.core.errors import (StateMachineError, TransitionTimeoutError,
                                UnexpectedStateError)
from tessel.platforms.generic import GenericRouter
from tessel.statemachine.statetransition import collapse_repeated_prompt, execute
from tessel.utils import AttributeDict

PROMPTS = {"disable": "R1>", "enable": "R1#", "config": "R1(config)#",
           "config_if": "R1(config-if)#"}
# The paths out of the sub-mode family start where configuration lines lead (tests/platforms).
PATHS = [(str(p.from_state), str(p.to_state)) for p in GenericRouter().paths
         if str(p.from_state) not in GenericRouter.config_substates]


def device_prompt(spawn):
    """The prompt the device actually showed last."""
    return spawn.match.match_output.splitlines()[-1].strip()


def cause_of(caught):
    """The engine's error behind the state machine's 'Failed while bringing...' error."""
    assert isinstance(caught.value, StateMachineError)
    return caught.value.__cause__


@pytest.mark.parametrize("start, end", PATHS, ids=["%s->%s" % p for p in PATHS])
def test_every_path_of_the_platform(router, context, start, end):
    spawn, machine = router
    machine.go_to(start, spawn, context=context)
    hops = machine.go_to(end, spawn, context=context)
    assert [(h.from_state, h.to_state, h.reached) for h in hops] == [(start, end, end)]
    assert machine.current_state == end
    assert device_prompt(spawn) == PROMPTS[end]


def test_multi_hop_route_answers_the_password_dialog(router, context):
    spawn, machine = router
    hops = machine.go_to("config_if", spawn, context=context)
    assert [h.to_state for h in hops] == ["enable", "config", "config_if"]
    assert hops[0].answered == ["Password:"]
    assert hops[2].command == "interface {interface}"
    assert device_prompt(spawn) == "R1(config-if)#"


@pytest.mark.parametrize("hop_wise", [False, True])
def test_wrong_password_fails_with_the_truth(router, hop_wise):
    spawn, machine = router
    with pytest.raises(StateMachineError, match='Failed while bringing device to "enable"') as caught:
        machine.go_to("enable", spawn, context=AttributeDict(enable_password="guess"),
                      hop_wise=hop_wise)
    err = cause_of(caught)
    assert isinstance(err, UnexpectedStateError)
    assert [str(p) for p in err.route] == ["disable->enable"]
    assert str(err.failed_hop) == "disable->enable" and err.state_reached == "disable"
    assert "% Access denied" in err.output and "guess" not in err.output
    assert err.expected == [machine.get_state("enable").pattern]
    assert "route: disable->enable" in str(err) and "Access denied" in str(err)
    assert machine.current_state == "disable"
    # The session is still usable with the right password.
    machine.go_to("enable", spawn, context=AttributeDict(enable_password="lab"))
    assert device_prompt(spawn) == "R1#"


def test_timeout_is_a_clear_error_with_the_device_output(start_sim, context):
    spawn = start_sim("--delay", "2", context=context)
    machine = GenericRouter(learn_hostname=True)
    machine.go_to("any", spawn, context=context)
    # The device answers after 2 s: a change that waited for it would have succeeded.
    with pytest.raises(StateMachineError) as caught:
        machine.go_to("config", spawn, context=context, timeout=0.4)
    err = cause_of(caught)
    assert isinstance(err, TransitionTimeoutError)
    assert [str(p) for p in err.route] == ["disable->enable", "enable->config"]
    assert str(err.failed_hop) == "disable->enable"
    assert machine.get_state("enable").pattern in err.expected
    assert "enable" in err.output and "no prompt within 0.4 s" in str(err)
    assert machine.current_state == "disable"


def test_hostname_is_learned_and_follows_a_rename(router, context):
    spawn, machine = router
    assert machine.hostname == "R1"
    machine.go_to("config", spawn, context=context)
    assert machine.hostname == "R1"  # not 'R1(config)': the config pattern explains the prompt
    execute(machine, spawn, "hostname edge-7", context=context)
    assert machine.hostname == "edge-7" and machine.current_state == "config"
    machine.go_to("disable", spawn, context=context)
    assert device_prompt(spawn) == "edge-7>"


@pytest.mark.parametrize("hostname, hint", [
    ("R1", None), ("R2", "no prompt within 0.5 s"), (None, "still hold %N")])
def test_a_configured_hostname_is_what_prompts_must_show(start_sim, context, hostname, hint):
    spawn = start_sim(context=context)
    machine = GenericRouter(hostname=hostname)
    if hint is None:
        machine.go_to("any", spawn, context=context, timeout=3)
        assert machine.current_state == "disable"
    else:
        spawn.poll(10)  # the device has started (on a loaded machine that takes long)
        with pytest.raises(StateMachineError) as caught:
            machine.go_to("any", spawn, context=context, timeout=0.5)
        err = cause_of(caught)
        assert isinstance(err, TransitionTimeoutError) and hint in err.reason
        assert "R1>" in err.output


@pytest.mark.parametrize("start, by_hand, consume, detected", [
    ("config", "end", r"[>#]\s*$", "enable"),
    ("config", "end", r"end\r\n", "enable"),  # prompt not read yet: detect_state asks for one
    ("config", "interface Gi0/2", r"[>#]\s*$", "config_if"),
    ("config_if", "exit", r"[>#]\s*$", "config"),
], ids=["end", "end-echo-only", "interface", "exit"])
def test_detect_state_after_commands_sent_by_hand(router, context, start, by_hand, consume,
                                                  detected):
    spawn, machine = router
    machine.go_to(start, spawn, context=context)
    spawn.sendline(by_hand)
    spawn.expect(consume)
    machine.detect_state(spawn)
    assert machine.current_state == detected
    hops = machine.go_to("disable", spawn, context=context)
    assert hops[0].from_state == detected and machine.current_state == "disable"


@pytest.mark.parametrize("hop_wise", [True, False])
def test_hop_wise_replans_where_the_plain_engine_fails(router, context, hop_wise):
    """The machine believes enable while the device is in config_if."""
    spawn, machine = router
    machine.go_to("config_if", spawn, context=context)
    machine.update_cur_state("enable")
    if hop_wise:
        hops = machine.go_to("disable", spawn, context=context, hop_wise=True)
        assert [(h.from_state, h.to_state, h.reached) for h in hops] == [
            ("enable", "disable", "config_if"), ("config_if", "enable", "enable"),
            ("enable", "disable", "disable")]
        assert device_prompt(spawn) == "R1>"
    else:
        with pytest.raises(StateMachineError) as caught:
            machine.go_to("disable", spawn, context=context)
        err = cause_of(caught)
        assert isinstance(err, UnexpectedStateError) and err.state_reached == "config_if"
    assert machine.current_state == ("disable" if hop_wise else "config_if")


@pytest.mark.parametrize("actual", ["enable", "config", "config_if"])
def test_any_reads_the_device_not_the_machine(router, context, actual):
    spawn, machine = router
    machine.go_to(actual, spawn, context=context)
    machine.update_cur_state("disable")  # a stale belief
    assert machine.go_to("any", spawn, context=context) == []
    assert machine.current_state == actual


@pytest.mark.parametrize("start, targets, end, hop_count", [
    ("config_if", ["enable", "disable"], "enable", 1),
    ("disable", ["config_if", "config"], "config", 2),
    ("enable", ["disable", "enable"], "enable", 0),
])
def test_list_target_reaches_the_nearest_listed_state(router, context, start, targets, end,
                                                      hop_count):
    spawn, machine = router
    machine.go_to(start, spawn, context=context)
    hops = machine.go_to(targets, spawn, context=context)
    assert len(hops) == hop_count and machine.current_state == end
    assert device_prompt(spawn) == PROMPTS[end]


def test_confirm_default_statement_answers_a_reload(router, context):
    spawn, machine = router
    machine.go_to("enable", spawn, context=context)
    spawn.sendline("reload")
    machine.go_to("any", spawn, context=context)
    assert machine.current_state == "disable"
    assert "Reloading..." in spawn.match.match_output


def test_prompt_recovery_gets_a_prompt_from_a_busy_device(start_sim, context):
    spawn = start_sim("--delay", "5", context=context)
    machine = GenericRouter(learn_hostname=True)
    machine.go_to("any", spawn, context=context)
    spawn.sendline("show version")  # the device is busy for five seconds
    with pytest.raises(StateMachineError) as caught:
        machine.go_to("any", spawn, context=context, timeout=0.3)
    assert isinstance(cause_of(caught), TransitionTimeoutError)
    # Each recovery line waits 2 s at most, less than the device stays busy.
    machine.go_to("any", spawn, context=context, timeout=0.3, prompt_recovery=True)
    assert machine.current_state == "disable"
    assert spawn.last_sent == "\x03\n"  # the newline alone did not help; Ctrl-C did


def test_execute_returns_the_command_output_only(router, context):
    spawn, machine = router
    output = execute(machine, spawn, "show version", context=context)
    assert output.splitlines() == ["Simulated router software, version 1.0",
                                   "R1 uptime is 1 minute"]
    assert machine.current_state == "disable"


@pytest.mark.parametrize("line, prompt", [
    ("R1>R1>", "R1>"),              # a line sent before the first prompt: two prompts, one line
    ("R1(config)#R1(config)#R1(config)# ", "R1(config)#"),
    ("R1>", "R1>"),
    ("R1>R2>", "R1>R2>"),           # different texts are not a repetition
])
def test_repeated_prompt_on_one_line_counts_once(line, prompt):
    assert collapse_repeated_prompt(line) == prompt

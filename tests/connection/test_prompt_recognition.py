"""Which state the device is in: the last line it printed, the first registered state matching it."""
import os
import re

import pytest

from tessel.core.errors import StateMachineError, TransitionError
from tessel.eal.dialogs import Dialog, Statement
from tessel.eal.spawn import Spawn
from tessel.platforms import load
from tessel.platforms.base import Pager
from tessel.platforms.generic import GenericRouter
from tessel.statemachine.statemachine import State, StateMachine
from tessel.statemachine.statetransition import StateTransition, execute

BANNER = r"Router>\nR2#\ncore(config)#\nedge-1(config-if)#"


def shell(ps1):
    """An interactive bash whose prompt is ``ps1``, with bracketed paste as terminals have it."""
    env = dict(os.environ, PS1=ps1, TERM="xterm", HISTFILE="/dev/null")
    return Spawn(["bash", "--norc", "--noprofile", "-i"], timeout=5, env=env)


@pytest.mark.parametrize("platform, ps1, state, printed", [
    ("generic", "R1# ", "enable", "total#"),
    ("generic", "R1# ", "enable", r"total#\nR2>\nR1(config)#"),
    ("generic", "R1> ", "disable", "x>"),
    ("linux", "admin@box1:~$ ", "user", "admin@total:~$"),
], ids=["total#", "several", "disable", "linux"])
def test_output_that_looks_like_a_prompt_in_a_shell(platform, ps1, state, printed):
    machine = load(platform)(learn_hostname=True)
    hostname = re.search(r"(?:^|@)([\w-]+)[#>:]", ps1).group(1)
    with shell(ps1) as spawn:
        machine.go_to("any", spawn)
        assert (machine.current_state, machine.hostname) == (state, hostname)
        output = execute(machine, spawn, "echo -e '%s'" % printed)
        assert output == printed.replace(r"\n", "\n")
        assert (machine.current_state, machine.hostname) == (state, hostname)
        assert execute(machine, spawn, "echo next") == "next"


@pytest.mark.parametrize("options", [(), ("--color",)], ids=["plain", "color"])
def test_banner_and_configuration_dump_hold_prompt_like_lines(start_sim, context, options):
    spawn = start_sim("--banner", BANNER, *options, context=context)
    machine = GenericRouter(learn_hostname=True)
    machine.go_to("any", spawn, context=context)
    assert (machine.current_state, machine.hostname) == ("disable", "R1")
    machine.go_to("enable", spawn, context=context)
    output = execute(machine, spawn, "show running-config", context=context)
    assert BANNER.replace(r"\n", "\n") in output and output.endswith("end")
    assert (machine.current_state, machine.hostname) == ("enable", "R1")


def test_prompt_like_line_followed_by_output_after_a_pause(start_sim, context):
    """Each line waits 20 ms before its line end: a read ends right after 'Router>' of the
    banner, before the first prompt, and right after 'R2#'."""
    spawn = start_sim("--banner", BANNER, "--line-pause", "0.02", context=context)
    machine = GenericRouter(learn_hostname=True)
    machine.go_to("any", spawn, context=context)
    assert (machine.current_state, machine.hostname) == ("disable", "R1")
    assert execute(machine, spawn, r"echo R2#\nR3>\nend") == "R2#\nR3>\nend"
    assert (machine.current_state, machine.hostname) == ("disable", "R1")


class ShorterFirst(StateMachine):
    """The generic states registered with the shorter prompts first."""

    def create(self):
        for name, pattern in [("disable", r"^%N>\s*$"), ("enable", r"^%N#\s*$"),
                              ("config", r"^%N\(config\)#\s*$"),
                              ("config_if", r"^%N\(config-if\)#\s*$")]:
            self.add_state(State(name, pattern))


@pytest.mark.parametrize("platform", [GenericRouter, ShorterFirst])
@pytest.mark.parametrize("mode", ["disable", "enable", "config", "config_if"])
def test_engines_and_detect_state_agree(router, context, platform, mode):
    spawn, driver = router
    driver.go_to(mode, spawn, context=context)
    machine = platform(learn_hostname=True)
    spawn.sendline()
    machine.go_to("any", spawn)
    recognised = machine.current_state
    machine.update_cur_state("disable" if recognised != "disable" else "enable")
    machine.detect_state(spawn)
    assert machine.current_state == recognised
    if platform is GenericRouter:
        assert recognised == mode


@pytest.mark.parametrize("hostname", ["R1", None])
def test_first_prompt_later_than_the_fresh_wait(start_sim, context, hostname):
    """The line sent to ask for a prompt reaches a device still starting: R1>R1> on one line."""
    spawn = start_sim("--boot-delay", "1", context=context)
    machine = GenericRouter(hostname=hostname) if hostname else GenericRouter(learn_hostname=True)
    machine.go_to("any", spawn, context=context)
    assert "R1>R1>" in spawn.match.match_output
    assert (machine.current_state, machine.hostname) == ("disable", "R1")
    assert execute(machine, spawn, "show version").endswith("R1 uptime is 1 minute")


def causes(err):
    chain = []
    while err is not None:
        chain.append(err)
        err = err.__cause__
    return chain


class BadPrompt(StateMachine):
    def create(self):
        self.add_state(State("disable", r"^%N>\s*$"))
        self.add_state(State("broken", r"^%N(config#"))


@pytest.mark.parametrize("run, named", [
    (lambda spawn: BadPrompt(learn_hostname=True).go_to("any", spawn), "state broken"),
    (lambda spawn: GenericRouter(learn_hostname=True).go_to(
        "any", spawn, dialog=Dialog([Statement(pattern=r"Pass(word")])), "Pass(word"),
    (lambda spawn: execute(GenericRouter(learn_hostname=True), spawn, "show version",
                           pager=Pager("--More(")), "--More("),
], ids=["prompt", "dialog", "pager"])
def test_bad_regular_expression_names_its_owner_and_the_cause(start_sim, run, named):
    spawn = start_sim()
    with pytest.raises(TesselErrors) as caught:
        run(spawn)
    chain = causes(caught.value)
    engine_error = next(e for e in chain if isinstance(e, TransitionError))
    assert named in engine_error.reason and "missing )" in engine_error.reason
    assert isinstance(chain[-1], re.error)


TesselErrors = (StateMachineError, TransitionError)


@pytest.mark.parametrize("options, sent_first, settles", [
    ((), None, False),                           # the prompt comes unasked
    (("--wait-for-return",), None, False),       # a question answered first, then the prompt
    (("--boot-delay", "0.8"), None, None),       # a line sent to ask: settle unless both came
    ((), "", True),                              # a line sent by the caller: its answers are due
])
def test_settles_only_when_a_second_prompt_may_be_coming(start_sim, context, monkeypatch,
                                                         options, sent_first, settles):
    settled = []
    real = StateTransition._settle
    monkeypatch.setattr(StateTransition, "_settle",
                        lambda self, state: settled.append(state.name) or real(self, state))
    spawn = start_sim(*options, context=context)
    machine = GenericRouter(learn_hostname=True)
    if sent_first is not None:
        spawn.expect(r"R1>")
        spawn.sendline(sent_first)
    machine.go_to("any", spawn, context=context)
    if settles is not None:
        assert bool(settled) == settles
    # No prompt is left over to be taken for the answer to the next command.
    assert execute(machine, spawn, "show version").startswith("Simulated router software")
    assert machine.current_state == "disable" and machine.hostname == "R1"

"""The simulator generated from a platform: every shipped platform drives its own, end to end."""
import io
import os
import re
import sys

import pytest

import tessel

from tessel.cli import child_environment, main
from tessel.core.errors import StateMachineError
from tessel.platforms import load, platform_file, responses_file, shipped_names
from tessel.sim.platform_sim import PlatformSimulator, read_responses
from tessel.utils import AttributeDict

os.environ.update(PYTHONPATH=child_environment()["PYTHONPATH"])

HOSTNAME = "dev-1"
#: A platform written from the README's guide alone, for a style that does not ship.
EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "path-prompt.yaml")


def secret_fields(definition):
    return sorted({name for path in definition.paths for question in path.dialog
                   if question.is_secret for name in question.fields})


def filled(command):
    return re.sub(r"\{[^}]*\}", "7", command)


def deepest_chain(definition, family):
    """The sub-modes from the outermost to the deepest one of a family."""
    def chain(mode):
        parent = definition.submode(mode.parent)
        return (chain(parent) if parent else []) + [mode]
    return max((chain(m) for m in definition.submodes if m.state == family), key=len)


def open_submodes(conn, definition, family):
    """Opens the deepest sub-mode of a family line by line, checking each prompt."""
    modes = deepest_chain(definition, family)
    conn.go_to(modes[0].parent)
    for mode in modes:
        result = conn.execute(filled(mode.command))
        prompt = conn.spawn.match.match_output.splitlines()[-1]
        assert (result.failed, conn.state, prompt) == (False, family,
                                                       mode.sample.replace("%N", HOSTNAME))
    return modes


def plain_response(definition, responses):
    """A state, a command without fields and its output, from the responses file."""
    for state in definition.states:
        for command, response in responses.get(state.name, {}).items():
            if response.output.strip() and "{" not in command and not response.close:
                return state.name, command, response.output.replace("%N", HOSTNAME)
    raise AssertionError("the responses file has no plain command with output")


@pytest.mark.parametrize("name", shipped_names() + [EXAMPLE],
                         ids=shipped_names() + ["example-path-prompt"])
def test_a_platform_drives_its_generated_simulator(name):
    definition = load(name).definition
    secrets = {field: "right-" + field for field in secret_fields(definition)}
    argv = [sys.executable, "-m", "tessel", "sim", name, "--hostname", HOSTNAME]
    argv += ["--secret=%s=%s" % item for item in secrets.items()]
    with tessel.connect(name, transport="command", command=argv, secrets=secrets,
                        timeout=5) as conn:
        machine, spawn = conn.machine, conn.spawn
        assert (conn.state, conn.hostname) == (definition.login_state, HOSTNAME)

        for path in machine.paths:
            if path.from_state.name in definition.config_substates:
                open_submodes(conn, definition, path.from_state.name)
            else:
                conn.go_to(path.from_state.name)
            hops = conn.go_to(path.to_state.name)
            assert [(h.from_state, h.reached) for h in hops] == [(str(path.from_state),
                                                                  str(path.to_state))]

        for path in definition.paths:
            if any(q.is_secret and q.sample for q in path.dialog):
                conn.go_to(path.source)
                wrong = AttributeDict({field: "wrong" for field in secrets})
                with pytest.raises(StateMachineError):
                    machine.go_to(path.target, spawn, context=wrong)
                assert conn.state == path.source

        responses = read_responses(responses_file(platform_file(name)), definition)
        state, command, output = plain_response(definition, responses)
        result = conn.execute(command, state=state)
        assert output.strip() in result.output and not result.failed
        # What the simulator prints for an unknown command is a failure by the platform's
        # own failure patterns.
        assert conn.execute("frobnicate --now").failed

        # Move the device behind the machine's back; detect_state reads the prompt.
        path = next(p for p in definition.paths if not p.dialog
                    and "{" not in " ".join(p.commands))
        conn.go_to(path.source)
        spawn.sendline(path.commands[0])
        spawn.expect(re.compile(machine.get_state(path.target).pattern, re.MULTILINE))
        machine.detect_state(spawn)
        assert conn.state == path.target


@pytest.mark.parametrize("name, start", [("frr", "enable"), ("frr", "disable"),
                                         ("generic", "enable"), ("generic", "disable")])
def test_connect_commands_run_in_the_mode_the_device_is_found_in(name, start):
    argv = [sys.executable, "-m", "tessel", "sim", name, "--start", start]
    with tessel.connect(name, transport="command", command=argv, timeout=5) as conn:
        assert (conn.state, conn.spawn.last_sent) == (start, "terminal length 0\n")


def converse(simulator_input, platform="linux", **options):
    """Runs a platform's simulator over text input; returns what it printed."""
    definition = load(platform).definition
    responses = read_responses(responses_file(platform_file(platform)), definition)
    out = io.StringIO()
    simulator = PlatformSimulator(definition, stdin=io.StringIO(simulator_input), stdout=out,
                                  responses=responses, **options)
    assert simulator.run() == 0
    return out.getvalue()


ROUTER = "configure terminal\nrouter bgp 65001\naddress-family ipv4 unicast\n"


@pytest.mark.parametrize("typed, printed", [
    # a refused line deep down leaves the mode as it was
    (ROUTER + "neighbor 10.0.0.1 activate\nbogus thing\n",
     "# % Unknown command: bogus thing\nR1(config-router-af)# "),
    # exit-address-family and exit go up one level each; end leaves from any depth
    (ROUTER + "exit-address-family\n", "af)# R1(config-router)# "),
    (ROUTER + "exit-address-family\nexit\n", "router)# R1(config)# "),
    ("configure terminal\nkey chain K\nkey 1\nkey-string s\nend\n", "key)# R1# "),
    # a line of a mode above leaves the sub-modes below it
    (ROUTER + "route-map RM permit 10\n", "af)# R1(config-route-map)# "),
    (ROUTER + "interface lo\nexit\n", "R1(config-if)# R1(config)# "),
], ids=["refused-keeps-mode", "exit-af", "exit-router", "end-from-depth-2", "up-and-into",
        "up-to-config"])
def test_frr_submodes_nest_and_unwind(typed, printed):
    assert converse(typed, "frr").endswith(printed)


def test_the_router_leaves_submodes_with_ctrl_z_and_renames_from_one():
    from tessel.sim.router import ConfigEnd, SimulatedRouter

    class Input(io.StringIO):
        def readline(self, *args):
            line = super().readline(*args)
            if line == "^Z\n":
                raise ConfigEnd()
            return line

    out = io.StringIO()
    typed = "enable\nlab\n" + ROUTER + "^Z\nconf t\nrouter bgp 1\naddr ipv6 unicast\nhostname R7\n"
    SimulatedRouter(stdin=Input(typed), stdout=out).run()
    assert out.getvalue().endswith("R1(config-router-af)#\nR1#Enter configuration commands, "
                                   "one per line.  End with CNTL/Z.\nR1(config)#"
                                   "R1(config-router)#R1(config-router-af)#R7(config)#")


@pytest.mark.parametrize("typed, options, printed", [
    # a wrong secret: the refusal line, and the user prompt again
    ("sudo -i\nnope\n", {"secrets": {"password": "pw"}}, "Sorry, try again.\n\nadmin@R1:~$ "),
    # the right one leads to root; without a --secret any answer does
    ("sudo -i\npw\n", {"secrets": {"password": "pw"}}, "root@R1:~# "),
    ("sudo -i\nanything\n", {}, "root@R1:~# "),
    # an empty secret: the question is not asked
    ("sudo -i\n", {"secrets": {"password": ""}}, "$ root@R1:~# "),
    # an unknown command, with the platform's error line
    ("frobnicate now\n", {}, "bash: frobnicate: command not found\nadmin@R1:~$ "),
    # another start state; a response that closes the session
    ("exit\nexit\nid\n", {"start": "root"}, "root@R1:~# admin@R1:~$ "),
    # abbreviations only when asked for
    ("who\n", {}, "bash: who: command not found\nadmin@R1:~$ "),
    ("who\n", {"abbreviate": True}, "$ admin\nadmin@R1:~$ "),
], ids=["wrong-secret", "right-secret", "no-secret-given", "empty-secret", "unknown",
        "start-state-and-close", "exact-words", "abbreviated"])
def test_the_simulator_answers_as_the_definition_says(typed, options, printed):
    assert converse(typed, **options).endswith(printed)


def test_long_output_goes_through_the_pager_and_responses_may_close(tmp_path):
    definition = load("generic").definition
    responses = tmp_path / "r.yaml"
    responses.write_text("enable:\n  show log: |\n" + "".join("    line %d\n" % n
                                                                 for n in range(1, 8))
                         + "  gap: \"first\\n\\n\"\n"  # a blank line before the prompt
                         + "  bye: {output: 'closing', close: true}\n")
    out = io.StringIO()
    simulator = PlatformSimulator(definition, start="enable", page_length=3,
                                  responses=read_responses(str(responses), definition),
                                  stdin=io.StringIO("show log\n \n \ngap\nbye\nnot read\n"),
                                  stdout=out)
    assert simulator.run() == 0
    text = out.getvalue()
    assert text.count("--More--") == 2 and text.count("line ") == 7
    assert text.endswith("R1#first\n\nR1#closing\n")


@pytest.mark.parametrize("argv, message", [
    (["sim", "linux", "--start", "nowhere"], "unknown start state 'nowhere'"),
    (["sim", "linux", "--secret", "password"], "--secret takes KEY=VALUE"),
    (["sim", "tessel.statemachine.statemachine:StateMachine"], "not defined by a platform file"),
    (["sim", "generic", "--ssh", "localhost"], "--ssh takes HOST:PORT"),
    (["sim", "generic", "--ssh", "127.0.0.1:0", "--hostname", "R1"], "is its login name"),
    (["sim", "generic", "--ssh", "127.0.0.1:0", "--password", ""], "--password is empty"),
    (["sim", "generic", "--ssh", "127.0.0.1:0", "--host-key", "/nonexistent"],
     "cannot read the host key /nonexistent"),
    (["sim", "generic", "--password", "pw"], "--password goes with --ssh"),
])
def test_simulator_mistakes_are_one_line(argv, message, capsys):
    assert main(argv) == 2
    assert message in capsys.readouterr().err

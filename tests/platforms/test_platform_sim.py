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


def converse(simulator_input, **options):
    """Runs a simulator of the lab platform over text input; returns what it printed."""
    definition = load("linux").definition
    responses = read_responses(responses_file(platform_file("linux")), definition)
    out = io.StringIO()
    simulator = PlatformSimulator(definition, stdin=io.StringIO(simulator_input), stdout=out,
                                  responses=responses, **options)
    assert simulator.run() == 0
    return out.getvalue()


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
                         + "  bye: {output: 'closing', close: true}\n")
    out = io.StringIO()
    simulator = PlatformSimulator(definition, start="enable", page_length=3,
                                  responses=read_responses(str(responses), definition),
                                  stdin=io.StringIO("show log\n \n \nbye\nnot read\n"), stdout=out)
    assert simulator.run() == 0
    text = out.getvalue()
    assert text.count("--More--") == 2 and text.count("line ") == 7
    assert text.endswith("R1#closing\n")


@pytest.mark.parametrize("argv, message", [
    (["sim", "linux", "--start", "nowhere"], "unknown start state 'nowhere'"),
    (["sim", "linux", "--secret", "password"], "--secret takes KEY=VALUE"),
    (["sim", "tessel.statemachine.statemachine:StateMachine"], "not defined by a platform file"),
])
def test_simulator_mistakes_are_one_line(argv, message, capsys):
    assert main(argv) == 2
    assert message in capsys.readouterr().err

"""Devices that make a result easy to get wrong: small programs on a pty, and real shells.

Each test names the wrong result it guards against: a prompt-like line taken for the prompt, a
prompt read with a made-up hostname, late output or an unanswered question carried into the next
command, a wait that never ends.
"""
import os
import re
import sys

import pytest

import tessel
from tessel.core.errors import (DialogError, StateMachineError, TransitionError,
                                TransitionTimeoutError, UnexpectedStateError,
                                UnknownPromptError)
from tessel.eal.dialogs import Statement
from tessel.eal.spawn import (MAX_PROMPT_LENGTH, PROMPT, RENAMED, UNKNOWN, LastLineSearch, Spawn,
                              prompt_compiled)
from tessel.eal.output import last_line
from tessel.platforms import load, shipped_file, shipped_names
from tessel.platforms.definition import read_platform
from tessel.platforms.generic import GenericRouter
from tessel.statemachine.statemachine import State, StateMachine
from tessel.statemachine.statetransition import StateTransition, execute, literal_hostname

from conftest import PASSWORD, sim_argv

HEAD = ("import signal, sys, termios, time\n"
        "def w(text):\n"
        "    sys.stdout.write(text); sys.stdout.flush()\n")


def device(body, timeout=5):
    return Spawn([sys.executable, "-c", HEAD + body], timeout=timeout)


def machine_for(hostname):
    return GenericRouter(hostname=hostname) if hostname else GenericRouter(learn_hostname=True)


# -- recognition never lies ------------------------------------------------------------------

SUBMODES = ("def interrupted(*args):\n"
            "    w('^C\\n' + prompt)\n"
            "signal.signal(signal.SIGINT, interrupted)\n"
            "prompt = 'vm# '\n"
            "w(prompt)\n"
            "for line in sys.stdin:\n"
            "    words = line.split()\n"
            "    if words[:1] == ['router']: prompt = 'vm(tunnel)# '\n"
            "    elif words[:1] == ['hostname']: prompt = words[1] + '# '\n"
            "    elif words[:1] == ['end']: prompt = 'vm# '\n"
            "    w(prompt)\n")


def test_a_prompt_with_another_hostname_is_unknown_without_a_rename():
    """vm(tunnel)#, a mode the platform does not know, is no enable prompt of a device named
    'vm(tunnel)'."""
    machine = GenericRouter(learn_hostname=True)
    with device(SUBMODES) as spawn:
        machine.go_to("any", spawn)
        with pytest.raises(UnknownPromptError, match=r"unknown prompt 'vm\(tunnel\)#'") \
                as caught:
            execute(machine, spawn, "router bgp 65001")
        assert caught.value.state_reached is None and caught.value.prompt == "vm(tunnel)#"
        assert (machine.current_state, machine.hostname) == ("generic", "vm")
        # The device still shows it, also after Ctrl-C: refused, never guessed.
        with pytest.raises(TransitionError, match="no known prompt, also after Ctrl-C"):
            execute(machine, spawn, "end")
        assert machine.current_state == "generic"
        # The way out of the unknown mode, sent by hand, then the rename that the lines sent name.
        spawn.sendline("end")
        machine.go_to("any", spawn)
        assert execute(machine, spawn, "hostname vm-2") == ""
        assert (machine.current_state, machine.hostname) == ("enable", "vm-2")


#: Answers every line with its prompt (the pty echoes the line end).
PROMPTS = "for line in sys.stdin:\n    w('R1>')\n"
ECHO_OFF = ("import select, termios\n"
            "attrs = termios.tcgetattr(0); attrs[3] &= ~termios.ECHO\n"
            "termios.tcsetattr(0, termios.TCSANOW, attrs)\n")
FIRST_PROMPTS = {
    # Banner lines that read as prompts, each line break 0.2 s later: longer than any settle.
    "banner-cut": ("w('Welcome\\r\\nRouter>'); time.sleep(0.2)\n"
                   "w('\\r\\nbackbone#'); time.sleep(0.2); w('\\r\\nR1>')\n" + PROMPTS, None),
    # The same before a password question: a line end typed ahead would be the password.
    "before-password": (ECHO_OFF + "w('Welcome\\r\\nRouter>'); time.sleep(0.02)\n"
                        "if select.select([sys.stdin], [], [], 0)[0]: sys.exit('typed ahead')\n"
                        "w('\\r\\nPassword: ')\n"
                        "if sys.stdin.readline().strip() != 'pw-1': sys.exit('Login invalid')\n"
                        "attrs[3] |= termios.ECHO; termios.tcsetattr(0, termios.TCSANOW, attrs)\n"
                        "w('\\r\\nR1>')\n" + PROMPTS, "pw-1"),
    # No echo, and an empty line is not answered: the prompt counts once the wait is over.
    "silent": (ECHO_OFF + "w('R1>')\n"
               "for line in sys.stdin:\n"
               "    if line.strip(): w(line.strip() + '\\r\\nR1>')\n", None),
}


@pytest.mark.parametrize("name", FIRST_PROMPTS)
def test_the_first_prompt_is_confirmed_by_asking_once_the_login_is_over(monkeypatch, name):
    monkeypatch.setattr(StateTransition, "recovery_wait", 0.6)
    body, password = FIRST_PROMPTS[name]
    with tessel.connect("generic", transport="command", command=[sys.executable, "-c",
                                                                 HEAD + body],
                        password=password, timeout=5) as conn:
        assert (conn.state, conn.hostname) == ("disable", "R1")
        # The answer to the line end was read: nothing of it reaches the next command.
        assert conn.execute("show version").output == "" and conn.spawn.in_doubt is None


class Repl(StateMachine):
    def create(self):
        self.create_state("repl", r"^>>> $")
        self.create_state("more", r"^\.\.\. $")


def test_the_python_repl_prompts_repeat_one_character():
    env = dict(os.environ, PYTHONSTARTUP="", TERM="dumb", PYTHON_BASIC_REPL="1")
    with Spawn([sys.executable, "-q", "-i"], timeout=5, env=env) as spawn:
        machine = Repl(learn_hostname=True)
        machine.go_to("any", spawn)
        assert machine.current_state == "repl"
        assert execute(machine, spawn, "print(6 * 7)") == "42"
        assert execute(machine, spawn, "for i in range(2):") == ""
        assert machine.current_state == "more"
        execute(machine, spawn, "    print('>>> %d' % i)")
        assert execute(machine, spawn, "") == ">>> 0\n>>> 1"
        assert machine.current_state == "repl"


@pytest.mark.parametrize("patterns, line, expected", [
    ([r"^>>> $"], ">>> ", (0, False)),
    ([r"^%N#\s*$"], "##", (0, False)),                  # hostname '#': the line as it is
    ([r"^%N>\s*$"], "R1>R1>", (0, True)),               # a repetition, not the hostname 'R1>R1'
    ([r"^(a+)+>$", r"^%N#$"], "a" * 80 + "!", None),    # linear time under re2
    ([r"^(?=x)x+>$"], "x" * (MAX_PROMPT_LENGTH + 1) + ">", None),  # re only: not searched
    ([r"^(?=x)x+>$"], "xx>", (0, False)),
])
def test_last_line_search(patterns, line, expected):
    search = LastLineSearch([prompt_compiled(p.replace("%N", r"(?P<hostname00>\S+)"))
                             for p in patterns], collapse=True, learns=True)
    found = search.search("output\r\n" + line)
    assert (found.index, found.repeated) == expected if expected else found is None


def test_a_last_line_seen_before_is_judged_again_against_the_lines_sent():
    """Prompts are remembered by line; whether one is a rename depends on what was sent since."""
    learning = r"^(?P<hostname00>\S+)#\s*$"
    sent = []
    search = LastLineSearch([prompt_compiled(literal_hostname(learning, "R1"))], collapse=True,
                            learning=[prompt_compiled(learning)],
                            renamed=lambda name: name in sent)
    seen = [search.search("x\r\nR2#") for _ in range(2)]
    sent.append("R2")
    seen += [search.search("x\r\nR2#"), search.search("R1#R1#"), search.search("R1#")]
    assert [(found.kind, found.hostname, found.repeated) for found in seen] == [
        (UNKNOWN, "R2", False), (UNKNOWN, "R2", False), (RENAMED, "R2", False),
        (PROMPT, "R1", True), (PROMPT, "R1", False)]


SHIPPED = [(name, state) for name in shipped_names()
           for state in read_platform(shipped_file(name)).states]


@pytest.mark.parametrize("name, state", SHIPPED,
                         ids=["%s-%s" % (name, state.name) for name, state in SHIPPED])
def test_shipped_prompts_are_linear_and_read_their_samples_as_re_does(name, state):
    line = last_line(state.sample.replace("%N", "R1"))
    for prompt in state.prompts:
        learning = prompt.replace("%N", r"(?P<hostname00>\S+)")
        for text in (learning, literal_hostname(learning, "R1")):
            linear, plain = prompt_compiled(text), re.search(text, line)
            assert type(linear).__module__ == "re2"
            found = linear.search(line)
            assert (found and found.groupdict()) == (plain and plain.groupdict())


# -- each result exact, whatever the read boundaries --------------------------------------

DUMP = ("w('R1#')\n"
        "for line in sys.stdin:\n"
        "    w('line one\\n'); time.sleep(0.2); w(%r); time.sleep(0.02)\n"
        "    w('\\nline three\\n'); w('R1#')\n")


@pytest.mark.parametrize("line", ["R1#", "R1(config)#"])
@pytest.mark.parametrize("hostname", ["R1", None])
def test_a_prompt_like_line_in_a_read_of_its_own_does_not_end_the_output(line, hostname):
    machine = machine_for(hostname)
    with device(DUMP % line) as spawn:
        machine.go_to("any", spawn)
        for _ in range(2):
            assert execute(machine, spawn, "show") == "line one\n%s\nline three" % line
            assert machine.current_state == "enable"


def test_output_without_a_final_line_break_is_kept():
    env = dict(os.environ, PS1="admin@web1:~$ ", TERM="xterm", HISTFILE="/dev/null")
    with Spawn(["bash", "--norc", "--noprofile", "-i"], timeout=5, env=env) as spawn:
        machine = load("linux")(learn_hostname=True)
        machine.go_to("any", spawn)
        assert execute(machine, spawn, "echo ready") == "ready"
        assert execute(machine, spawn, "printf abc") == "abc"
        assert execute(machine, spawn, r"printf 'one\ntwo'") == "one\ntwo"
        assert execute(machine, spawn, "echo next") == "next"


# -- after a failure the next operation starts clean ------------------------------------------

LATE = ("a = termios.tcgetattr(0); a[3] &= ~termios.ECHO; termios.tcsetattr(0, termios.TCSANOW, a)\n"
        "signal.signal(signal.SIGINT, signal.SIG_IGN)\n"
        "prompt = 'R1#'\n"
        "w(prompt)\n"
        "for line in sys.stdin:\n"
        "    w(line)\n"  # the device echoes what it reads, as a line editor does
        "    if line.strip() == 'slow':\n"
        "        time.sleep(0.6); w('part\\nR1#'); time.sleep(0.4); w('late\\n')\n"
        "    elif line.strip() == 'leave':\n"
        "        time.sleep(0.6); prompt = 'R1>'\n"
        "    else:\n"
        "        w(line.strip() + ' output\\n')\n"
        "    w(prompt)\n")


def test_late_output_never_enters_the_next_result():
    """'part' comes while the next command recovers, 'late' while it runs (before its echo)."""
    machine = GenericRouter(hostname="R1")
    with device(LATE) as spawn:
        machine.go_to("any", spawn)
        assert execute(machine, spawn, "hello") == "hello output"
        with pytest.raises(TransitionTimeoutError, match="printed nothing for 0.3 s"):
            execute(machine, spawn, "slow", timeout=0.3)
        assert spawn.in_doubt is not None and machine.current_state == "enable"
        assert execute(machine, spawn, "fast") == "fast output"
        assert execute(machine, spawn, "next") == "next output" and spawn.in_doubt is None
        # A late change of state: the next command is not sent where the caller did not expect.
        with pytest.raises(TransitionTimeoutError):
            execute(machine, spawn, "leave", timeout=0.3)
        with pytest.raises(UnexpectedStateError, match="'fast' was not sent"):
            execute(machine, spawn, "fast")
        assert machine.current_state == "disable"
        assert execute(machine, spawn, "fast") == "fast output"


def connect_sim(*options, **kwargs):
    return tessel.connect("generic", transport="command", command=sim_argv(*options),
                          secrets={"enable_password": PASSWORD}, **kwargs)


@pytest.mark.parametrize("answer", [None, ""])
def test_questions_during_execute_are_answered_by_its_dialog_only(answer):
    with connect_sim(timeout=5) as conn:
        conn.execute("show version")
        conn.go_to("enable")
        if answer is None:
            with pytest.raises(TransitionTimeoutError, match=r"it shows 'Proceed with reload\? "
                                                             r"\[confirm\]'") as caught:
                conn.execute("reload", timeout=0.5)
            assert caught.value.state_reached == "enable"  # the last prompt seen, this session's
        else:
            result = conn.execute("reload", dialog=[Statement(r"\[confirm\]", action=answer,
                                                              loop_continue=True)])
            assert "Reloading..." in result.output and conn.state == "disable"
        version = conn.execute("show version")
        assert version.output.startswith("Simulated router software") and "Reloading" not in \
            version.output
        assert conn.state == ("enable" if answer is None else "disable")


# -- every wait bounded ------------------------------------------------------------------------

CONFIRMS = ("asked = 0\n"
            "w(%r)\n"
            "for line in sys.stdin:\n"
            "    if line.strip() == 'enable' or 0 < asked < 40:\n"
            "        asked += 1; time.sleep(%r); w('\\nProceed? [confirm]')\n"
            "    else:\n"
            "        w('\\nR1#' if asked else '\\nR1>'); asked = 0\n")


@pytest.mark.parametrize("how, pace, error", [
    ("go_to", 0, DialogError),
    ("go_to", 0.3, TransitionTimeoutError),  # a fresh wait granted once, not after each answer
    ("connect", 0, DialogError),
], ids=["go_to-fast", "go_to-slow", "connect"])
def test_a_question_repeated_forever_ends_the_wait(how, pace, error):
    if how == "connect":
        body = CONFIRMS.replace("asked = 0", "asked = 1") % ("Proceed? [confirm]", pace)
        with pytest.raises(StateMachineError) as caught:
            tessel.connect("generic", transport="command", timeout=2,
                           command=[sys.executable, "-c", HEAD + body])
    else:
        machine = GenericRouter(hostname="R1")
        with device(CONFIRMS % ("R1>", pace)) as spawn:
            machine.go_to("any", spawn)
            with pytest.raises(StateMachineError) as caught:
                machine.go_to("enable", spawn, context={"enable_password": PASSWORD}, timeout=1)
    chain = [caught.value]
    while chain[-1].__cause__ is not None:
        chain.append(chain[-1].__cause__)
    assert any(isinstance(err, error) for err in chain)
    assert ("Proceed? [confirm]" if error is DialogError else "'[confirm]' (") in str(chain[-1])


@pytest.mark.parametrize("bound, value, command, message", [
    ("max_pages", 50, "show lines 400", "more than 50 pages"),
    ("max_output", 20_000, "show lines 5000", "passed 20000 characters"),
])
def test_a_command_output_is_bounded(start_sim, context, monkeypatch, bound, value, command,
                                     message):
    monkeypatch.setattr(StateTransition, bound, value)
    spawn = start_sim("--pager", "1", context=context)
    machine = GenericRouter(learn_hostname=True)
    machine.go_to("any", spawn)
    engine = StateTransition(state_machine=machine, spawn=spawn, context=context)
    with pytest.raises(TransitionError, match=message):
        engine.run_command(command, pager=load("generic").pager)
    assert spawn.in_doubt is not None
    # The page still showing is abandoned with Ctrl-C; the next result is exact.
    assert engine.run_command("show version", pager=load("generic").pager).output.startswith(
        "Simulated router software")


BACKTRACKING = ("w('R1>')\n"
                "for line in sys.stdin:\n"
                "    w('a' * 64 + '!'); time.sleep(0.2); w('\\nR1>')\n")


class Backtracking(StateMachine):
    def create(self):
        self.add_state(State("disable", r"^%N>\s*$"))
        self.add_state(State("odd", r"^(a+)+>$"))


def test_a_backtracking_prompt_pattern_cannot_freeze_the_read():
    machine = Backtracking(hostname="R1")
    with device(BACKTRACKING) as spawn:
        machine.go_to("any", spawn)
        assert execute(machine, spawn, "go") == "a" * 64 + "!"

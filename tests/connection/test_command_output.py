"""Commands run at the prompt: clean output, every page kept, a wait that follows the output."""
import sys

import pytest

from tessel.core.errors import TransitionTimeoutError
from tessel.eal.output import clean_output
from tessel.eal.spawn import Spawn
from tessel.platforms.base import Pager
from tessel.platforms.generic import GenericRouter
from tessel.statemachine.statetransition import StateTransition, execute

LINE = "line %d of %d: the quick brown fox jumps over the lazy dog"


def numbered(count):
    return "\n".join(LINE % (n, count) for n in range(1, count + 1))


@pytest.mark.parametrize("raw, clean", [
    ("\x1b[1;32mR1\x1b[0m uptime", "R1 uptime"),                   # colours
    ("\x1b[?2004hR1#\x1b[?2004l", "R1#"),                          # bracketed paste
    ("R1#\r", "R1#\n"),                                            # a lone \r ends the line
    ("abc\x1b[2D\x1b[K\x1b[10;1H", "abc"),                         # cursor movement, erase
    ("\x1b]0;admin@r1: ~\x07R1#", "R1#"),                          # window title (OSC)
    ("\x1b(B\x1b=one", "one"),                                     # charset and keypad escapes
    ("one\r\ntwo\r\r\nthree\rfour\n", "one\ntwo\nthree\nfour\n"),  # every line end is \n
    ("\x1b[?2004l\rSimulated\r\r\n", "Simulated\n"),               # \r at a line start moves nowhere
    ("ab\x08\x08XY", "XY"),                                        # backspace overstrike
    ("b\x08bo\x08old\x08d", "bold"),                               # bold by overstrike
    ("type\x08 \x08\x08 \x08pe", "type"),                          # erased with blank, then retyped
    ("bell\x07 and NUL\x00", "bell and NUL"),
])
def test_clean_output(raw, clean):
    assert clean_output(raw) == clean


@pytest.fixture
def device(start_sim, context):
    """Starts the simulated router with options; returns (spawn, machine) in disable."""
    def start(*options, hostname=None):
        spawn = start_sim(*options, context=context)
        machine = GenericRouter(hostname=hostname) if hostname else \
            GenericRouter(learn_hostname=True)
        machine.go_to("any", spawn, context=context)
        return spawn, machine
    return start


@pytest.mark.parametrize("options, pager, marker", [
    ((), None, "line 1 of"),
    (("--color",), None, "\x1b[?2004h"),
    (("--pager", "4"), Pager("--More--"), "--More--"),
    (("--pager", "5", "--color"), Pager("--More--"), "\x1b[7m--More--"),
    (("--pager", "10"), Pager("--More--"), "line 10 of 10"),  # a page exactly as long as the output
], ids=["plain", "color", "pager", "pager-color", "one-page"])
def test_run_command_output_is_clean_and_whole(device, context, options, pager, marker):
    spawn, machine = device(*options)
    engine = StateTransition(state_machine=machine, spawn=spawn, context=context)
    result = engine.run_command("show lines 10", pager=pager)
    assert result.output == numbered(10)
    assert result.command == "show lines 10" and result.state == "disable"
    assert marker in result.raw and result.raw.startswith("show lines 10")
    machine.update_cur_state("enable")
    assert engine.run_command("show version").output.splitlines() == [
        "Simulated router software, version 1.0", "R1 uptime is 1 minute"]
    assert machine.current_state == "disable"


def test_paging_off_and_on_again(device, context):
    spawn, machine = device("--pager", "3")
    pager = Pager("--More--")
    execute(machine, spawn, "terminal length 0", context=context)
    engine = StateTransition(state_machine=machine, spawn=spawn, context=context)
    assert "--More--" not in engine.run_command("show lines 7").raw
    execute(machine, spawn, "terminal length 2", context=context)
    result = engine.run_command("show lines 7", pager=pager)
    assert result.raw.count("--More--") == 3 and result.output == numbered(7)


def test_wait_restarts_while_output_keeps_coming(device, context):
    """Lines 0.1 s apart for 1.5 s: a 1 s wait is enough, since it bounds silence."""
    spawn, machine = device("--line-pause", "0.1")
    assert execute(machine, spawn, "show lines 15", timeout=1.0, context=context) == numbered(15)


def test_silence_longer_than_the_wait_is_a_timeout(device, context):
    spawn, machine = device("--delay", "2")
    with pytest.raises(TransitionTimeoutError, match="printed nothing for 0.3 s") as caught:
        execute(machine, spawn, "show version", timeout=0.3, context=context)
    assert "show version" in caught.value.output


def test_secrets_are_masked_in_raw_output(device, context):
    spawn, machine = device()
    spawn.add_secret("hunter2")
    engine = StateTransition(state_machine=machine, spawn=spawn, context=context)
    result = engine.run_command("echo key hunter2 end")
    assert result.output == "key hunter2 end"
    assert "hunter2" not in result.raw and "key ******** end" in result.raw


SPLIT_PROMPT = ("import sys, time\n"
                "sys.stdout.write('R1>'); sys.stdout.flush()\n"
                "for line in sys.stdin:\n"
                "    sys.stdout.write('x' * 70000 + '\\nR'); sys.stdout.flush(); time.sleep(0.3)\n"
                "    sys.stdout.write('1>'); sys.stdout.flush()\n")


@pytest.mark.parametrize("hostname", ["R1", None])
def test_prompt_split_across_reads_after_a_line_longer_than_the_window(hostname):
    machine = GenericRouter(hostname=hostname) if hostname else GenericRouter(learn_hostname=True)
    with Spawn([sys.executable, "-c", SPLIT_PROMPT], timeout=5) as spawn:
        machine.go_to("any", spawn)
        assert execute(machine, spawn, "go") == "x" * 70000
        assert (machine.current_state, machine.hostname) == ("disable", "R1")

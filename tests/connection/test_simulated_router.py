"""The simulated router, driven line by line over a pty."""
import time

import pytest

from tessel.core.errors import SessionClosedError


def converse(spawn, steps):
    """Sends each line and waits for the text that must follow; returns the outputs."""
    outputs = []
    for line, expected in steps:
        spawn.sendline(line)
        outputs.append(spawn.expect(expected).match_output)
    return outputs


@pytest.mark.parametrize("steps", [
    # enable with the password, down through the config modes, and back up
    [("enable", r"Password: $"), ("lab", r"\r\nR1#$"), ("conf t", r"R1\(config\)#$"),
     ("interface Gi0/1", r"R1\(config-if\)#$"), ("exit", r"R1\(config\)#$"),
     ("int Loopback0", r"R1\(config-if\)#$"), ("end", r"R1#$"), ("disable", r"R1>$")],
    # a wrong password is refused and leaves the device in disable
    [("enable", r"Password: $"), ("nope", r"% Access denied\r\n\r\nR1>$")],
    # unknown and ambiguous commands get an error line and the same prompt
    [("frobnicate", r"% Invalid input detected.*\r\nR1>$"), ("e", r"Ambiguous.*\r\nR1>$")],
    # reload asks to confirm; 'n' cancels, Enter reloads into disable
    [("enable", r"Password: $"), ("lab", r"R1#$"), ("reload", r"\[confirm\]$"),
     ("n", r"R1#$"), ("reload", r"\[confirm\]$"), ("", r"(?s)Reloading.*\r\nR1>$")],
    # the hostname command renames the prompt
    [("enable", r"Password: $"), ("lab", r"R1#$"), ("configure terminal", r"\(config\)#$"),
     ("hostname edge-7", r"edge-7\(config\)#$"), ("end", r"edge-7#$")],
], ids=["modes", "wrong-password", "errors", "reload", "rename"])
def test_console_conversations(start_sim, steps):
    spawn = start_sim()
    spawn.expect(r"R1>$")
    converse(spawn, steps)


def test_password_is_not_echoed(start_sim):
    spawn = start_sim()
    spawn.expect(r"R1>$")
    outputs = converse(spawn, [("enable", r"Password: $"), ("lab", r"R1#$")])
    assert "lab" not in outputs[1]


def test_control_keys_abandon_the_line_and_leave_config(start_sim):
    spawn = start_sim()
    spawn.expect(r"R1>$")
    converse(spawn, [("enable", r"Password: $"), ("lab", r"R1#$"),
                     ("conf t", r"\(config\)#$")])
    spawn.send("\x1a")
    spawn.expect(r"\r\nR1#$")
    spawn.send("show ver\x03")
    spawn.expect(r"\r\nR1#$")


def test_options_hostname_password_delay_and_wait_for_return(start_sim):
    spawn = start_sim("--hostname", "core1", "--enable-password", "", "--delay", "0.4",
                      "--wait-for-return")
    spawn.expect(r"Press RETURN to get started")
    spawn.sendline()
    spawn.expect(r"core1>$")
    started = time.monotonic()
    spawn.sendline("enable")  # no password configured: straight to enable, slowly
    spawn.expect(r"core1#$")
    assert time.monotonic() - started >= 0.4


def test_exit_in_disable_ends_the_session(start_sim):
    spawn = start_sim()
    spawn.expect(r"R1>$")
    spawn.sendline("exit")
    with pytest.raises(SessionClosedError) as caught:
        spawn.expect(r"R1>$")
    assert caught.value.exit_status == 0

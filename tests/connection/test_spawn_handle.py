"""The pty device handle, against small local programs and the simulated router."""
import asyncio
import io
import logging
import os
import re
import resource
import signal
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import ptyprocess
import pytest

from tessel.core.errors import ExpectTimeoutError, SessionClosedError, SpawnError
from tessel.eal.bridge import greenlet_spawn

#: greenlet's stack copies under AddressSanitizer: see test_asyncio.py.
SWITCHES_STACKS = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                     reason="greenlet's stack copies under AddressSanitizer")
from tessel.eal.looppty import LoopPtySpawn
from tessel.eal.spawn import MASK, MaskedLog, SecretMasker, Spawn


def script(code):
    return [sys.executable, "-c", code]


def test_match_output_and_buffer_account_for_every_character():
    with Spawn(script("import sys; sys.stdout.write('one two three\\n')"), timeout=3) as spawn:
        first = spawn.expect("two")
        assert first.match_output == "one two" and first.before == "one " and first.text == "two"
        spawn.expect(r"three\r\n")
        assert spawn.match.match_output == " three\r\n"
        assert spawn.buffer == ""


@pytest.mark.parametrize("patterns, index", [
    (["three", "one"], 1),      # the match that starts first wins, whatever its list position
    (["one t", "one"], 0),      # same start: the pattern listed first wins
])
def test_earliest_match_wins(patterns, index):
    with Spawn(script("print('one two three'); import time; time.sleep(3)"), timeout=3) as spawn:
        time.sleep(0.3)  # let the whole line arrive, so one search sees all of it
        assert spawn.expect(patterns).index == index


def test_timeout_error_carries_patterns_and_output():
    with Spawn(script("print('booting...'); import time; time.sleep(5)"), timeout=3) as spawn:
        with pytest.raises(ExpectTimeoutError) as caught:
            spawn.expect([r"R1>", r"login:"], timeout=0.3)
    err = caught.value
    assert err.patterns == ["R1>", "login:"] and err.timeout == 0.3
    assert "booting..." in err.output and "booting..." in str(err)


@pytest.mark.parametrize("held", [False, True], ids=["exit", "exit-with-terminal-held"])
def test_end_of_session_is_reported_with_exit_status(tmp_path, held):
    """Also when a process the command left behind keeps the terminal open (no end of file):
    the command's end is the session's end, not a wait for the timeout."""
    pidfile = tmp_path / "left"
    # The command ends once the process it leaves behind is in place.
    left = ("(trap '' HUP; exec sh -c 'echo $$ > {0}; sleep 1; echo later; exec sleep 60') & "
            "until [ -s {0} ]; do sleep 0.01; done; ").format(pidfile)
    try:
        with Spawn((left if held else "") + "echo bye; exit 3", timeout=30) as spawn:
            with pytest.raises((SessionClosedError, ExpectTimeoutError)) as caught:
                spawn.expect("never")
    finally:
        for _ in range(100 if held else 0):
            if pidfile.exists() and pidfile.read_text().strip():
                os.kill(int(pidfile.read_text()), signal.SIGKILL)
                break
            time.sleep(0.05)
    assert isinstance(caught.value, SessionClosedError)
    assert caught.value.exit_status == 3 and "bye" in caught.value.output


def test_command_that_cannot_start_is_a_spawn_error():
    with pytest.raises(SpawnError, match="cannot start"):
        Spawn(["/nonexistent/device-cli"])


TERMINAL = ("import os, sys; os.close(os.open('/dev/tty', os.O_RDWR)); "
            "print('leader=%s foreground=%s size=%s cwd=%s' % (os.getsid(0) == os.getpid(), "
            "os.tcgetpgrp(0) == os.getpgrp(), tuple(os.get_terminal_size(0)), os.getcwd())); "
            "sys.stdout.flush(); sys.stdin.readline()")


def test_device_owns_its_terminal_and_ctrl_c_reaches_it(tmp_path):
    """The device leads its own session on the pty (ssh asks its questions on /dev/tty), in the
    foreground, so Ctrl-C is its SIGINT: also when a worker thread starts it, as a fleet run does,
    and when tessel runs with Ctrl-C ignored, as a background job of a script does."""
    ignored = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        with ThreadPoolExecutor(1) as pool:
            spawn = pool.submit(Spawn, script(TERMINAL), timeout=5, dimensions=(30, 150),
                                cwd=str(tmp_path)).result()
    finally:
        signal.signal(signal.SIGINT, ignored)
    with spawn:
        spawn.expect(r"leader.*cwd=\S+")
        assert spawn.match.text == "leader=True foreground=True size=(150, 30) cwd=%s" % tmp_path
        spawn.send("\x03")
        with pytest.raises(SessionClosedError):
            spawn.expect("never")
        assert spawn._child.signalstatus == 2


def test_a_session_past_descriptor_1023_is_read():
    # select() refuses descriptors from 1024 on: a fleet of a thousand sessions holds them.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < 1200:
        pytest.skip("the open-file limit is below 1200")
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, 1200), hard))
    held = [os.open(os.devnull, os.O_RDONLY) for _ in range(1100)]
    try:
        with Spawn(script("print('ready')"), timeout=3) as spawn:
            assert spawn._child.child_fd >= 1024
            assert spawn.expect("ready").text == "ready"
    finally:
        for fd in held:
            os.close(fd)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


@pytest.mark.parametrize("on_loop", [False, pytest.param(True, marks=SWITCHES_STACKS)])
def test_close_waits_for_a_killed_command_to_be_gone(monkeypatch, on_loop):
    # On a loaded machine a command killed with SIGKILL is reaped later than pexpect's pause
    # after the signal: here it seems alive for ten more looks.
    spawn = Spawn(["/bin/sh", "-c", "trap '' HUP INT; echo ready; exec sleep 30"], timeout=3,
                  child=LoopPtySpawn if on_loop else None)
    spawn.expect("ready")
    looks = []
    real_isalive, real_kill = ptyprocess.PtyProcess.isalive, ptyprocess.PtyProcess.kill

    def kill(process, sig):
        looks.extend([True] * 10 if sig == signal.SIGKILL else [])
        real_kill(process, sig)

    monkeypatch.setattr(ptyprocess.PtyProcess, "kill", kill)
    monkeypatch.setattr(ptyprocess.PtyProcess, "isalive",
                        lambda process: looks.pop() if looks else real_isalive(process))
    if on_loop:
        asyncio.run(greenlet_spawn(spawn.close))
    else:
        spawn.close()
    assert not spawn.isalive() and spawn._child.signalstatus == signal.SIGKILL


def test_missing_working_directory_is_a_spawn_error(tmp_path):
    with pytest.raises(SpawnError, match="no such directory"):
        Spawn(["pwd"], cwd=str(tmp_path / "gone"))


def test_closed_session_refuses_to_send():
    spawn = Spawn(["cat"], timeout=3)
    spawn.close()
    assert not spawn.isalive()
    with pytest.raises(SpawnError, match="closed"):
        spawn.sendline("x")


def test_secrets_are_masked_in_transcript_and_last_sent(tmp_path):
    log = tmp_path / "session.log"
    context = {"enable_password": "hunter2", "username": "admin"}
    with Spawn(["cat"], timeout=3, logfile=str(log), context=context) as spawn:
        spawn.add_secret("s3cr3t")
        spawn.sendline("admin hunter2 s3cr3t")
        assert spawn.last_sent == "admin %s %s\n" % (MASK, MASK)
        spawn.expect(r"s3cr3t\r\n.*s3cr3t\r\n")  # the terminal's echo, then cat's copy
    text = log.read_text()
    assert text.count("admin") == 2
    assert "hunter2" not in text and "s3cr3t" not in text


def test_drain_discards_output_already_received():
    with Spawn(script("print('stale prompt R1>'); import time; time.sleep(3)"), timeout=3) as spawn:
        time.sleep(0.3)
        assert "stale prompt R1>" in spawn.drain()
        assert spawn.buffer == ""
        with pytest.raises(ExpectTimeoutError):
            spawn.expect("R1>", timeout=0.1)


def test_long_output_is_searched_in_bounded_windows(start_sim):
    """Each search covers at most the search window, so long output costs linear time."""
    searched = []
    real = re.compile(r"line 20000 of 20000.*\r\nR1>$")

    class Recording:
        pattern = real.pattern

        def search(self, text, pos=0):
            searched.append(len(text) - pos)
            return real.search(text, pos)

    spawn = start_sim(timeout=10)
    spawn.expect(r"R1>$")
    spawn.sendline("show lines 20000")
    spawn.expect(Recording())
    assert len(spawn.match.match_output) > 20000 * 60
    assert len(searched) > 10
    assert max(searched) <= spawn.search_window


SECRETS = ["hunter2", "pw", "abc", "bcdef"]


@pytest.mark.parametrize("text", [
    "login hunter2 ok",
    "xabcdef and abc and bcdef",            # secrets that overlap each other
    "hunter2hunter2pwpw",
    "no secret here, only hunt and pwned",  # starts of secrets that never complete
    "pw pwn xpw -pw pw_ abc.pw",            # short secrets: whole words only
])
def test_transcript_masks_a_secret_split_anywhere(text):
    """Every way of cutting the text in three reads gives the same masked transcript."""
    masker = SecretMasker(SECRETS)
    for first in range(len(text) + 1):
        for second in range(first, len(text) + 1):
            out = io.StringIO()
            log = MaskedLog(out, lambda: masker)
            for chunk in (text[:first], text[first:second], text[second:]):
                log.write(chunk)
            log.release()
            assert out.getvalue() == masker.mask(text), (first, second)


@pytest.mark.parametrize("secrets, text, masked", [
    (["a"], "a label: -p a, 'a' a_b", "M label: -p M, 'M' a_b"),
    (["lab"], "lab labs collab lab1 =lab", "M labs collab lab1 =M"),
    (["lab", "lab-x9"], "lab-x9 lab-x", "M M-x"),
    (["s3cr"], "xs3cry s3cr", "xMy M"),  # 4 characters and more: anywhere
])
def test_short_secrets_are_masked_as_whole_words_only(secrets, text, masked):
    assert SecretMasker(secrets).mask(text) == masked.replace("M", MASK)


SPLIT_ECHO = ("import sys, time\n"
              "sys.stdout.write('echo: hun'); sys.stdout.flush(); time.sleep(0.3)\n"
              "sys.stdout.write('ter2 done\\n'); sys.stdout.flush(); time.sleep(5)\n")


@pytest.mark.parametrize("given", ["secrets", "context", "add_secret"])
def test_secret_split_across_reads_stays_masked(tmp_path, caplog, given):
    """Wherever the value comes from, it is masked in the log, last_sent, errors and logging."""
    caplog.set_level(logging.DEBUG, logger="tessel")
    path = tmp_path / "session.log"
    kwargs = {"secrets": ["hunter2"]} if given == "secrets" else \
        {"context": {"enable_password": "hunter2"}} if given == "context" else {}
    with Spawn(script(SPLIT_ECHO), timeout=3, logfile=str(path), **kwargs) as spawn:
        if given == "add_secret":
            spawn.add_secret("hunter2")
        spawn.expect("echo: ")
        with pytest.raises(ExpectTimeoutError) as caught:
            spawn.expect("never", timeout=0.8)
        spawn.sendline("hunter2")
        assert spawn.last_sent == MASK + "\n"
        assert spawn.buffer == MASK + " done\r\n" and MASK in caught.value.output
    assert "hunter2" not in str(caught.value) + caught.value.output
    assert "hun" not in path.read_text() and "echo: %s done" % MASK in path.read_text()
    assert "hunter2" not in caplog.text and "sent '%s\\n'" % MASK in caplog.text

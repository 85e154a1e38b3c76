"""Recording sessions into captures and replaying them: the capture's exactness and secrecy, the
replayed device's answers per prompt, the tessel command's --record and replay, and the pytest
plugin's record modes."""
import subprocess
import sys
import textwrap

import pytest
import yaml

import tessel
from tessel.capture import Capture, Exchange, Start, Step, finished, read_capture
from tessel.cli import child_environment
from tessel.eal.output import last_line
from tessel.eal.recorder import Placeholders
from tessel.replay import Replay, Unrecorded

from test_cli_tool import run_tessel

ENABLE = "en-s3cret!"
SIM = [sys.executable, "-m", "tessel.sim.router", "--hostname", "R1", "--enable-password",
       ENABLE]


def results(conn):
    """A script: every result's command, output, failed flag and state, and the final state."""
    done = [conn.execute("terminal length 5", state="enable"), conn.execute("show lines 12"),
            conn.execute("bogus command")]
    done += conn.configure(["interface Loopback1", " description uplink", "exit"])
    done.append(conn.execute("show running-config"))
    return [(r.command, r.output, r.failed, r.state) for r in done] + [conn.state]


def received(capture):
    steps = capture.start.steps + [step for e in capture.exchanges for step in e.steps]
    return "".join(step.received for step in steps)


def test_a_replayed_session_gives_the_recorded_results_and_bytes(tmp_path, tessel_replay):
    path, live_log = tmp_path / "r1.jsonl", tmp_path / "live.log"
    with tessel.connect("generic", transport="command", command=SIM + ["--color", "--pager", "5"],
                        secrets={"enable_password": ENABLE}, record=str(path),
                        log=str(live_log)) as conn:
        live = results(conn)
        cut_short = read_capture(str(path))  # what a crash now would leave
        assert not finished(str(path))
    capture = read_capture(str(path))
    replayed = results(tessel_replay(str(path)))
    assert replayed == live and live[1][1].count("line ") == 12 and live[2][2]

    assert cut_short.end is None and 0 < len(cut_short.exchanges) < len(capture.exchanges)
    assert finished(str(path))
    assert capture.end.state == "enable" and capture.hostname == "R1"
    # Byte for byte what the session read: colours, bracketed paste, \r\r\n, pager prompts.
    assert received(capture) == live_log.read_bytes().decode()
    assert "\x1b[32mR1\x1b[0m#" in received(capture)
    paged = next(e for e in capture.exchanges if e.command == "show lines 12")
    assert [(s.sent, s.question, s.pager) for s in paged.steps[1:]] == [(" ", "--More--", True)] * 2
    assert paged.steps[1].received.startswith("\r        \r")
    enable = next(e for e in capture.exchanges if e.command == "enable")
    assert (enable.state, enable.state_after, enable.answered) == ("disable", "enable",
                                                                  ["Password:"])
    assert enable.steps[1].sent == "{enable_password}\n"
    assert [e.failure for e in capture.exchanges if e.failure] == [
        "% Invalid input detected at '^' marker."]
    assert ENABLE not in path.read_text() + live_log.read_text()


#: A device that prints bytes that are not UTF-8 and echoes a secret in two writes.
ODD_DEVICE = textwrap.dedent(r"""
    import sys, time
    out = sys.stdout.buffer
    def show(data):
        out.write(data); out.flush()
    show(b"\r\nR1>")
    for line in iter(sys.stdin.buffer.readline, b""):
        words = line.split()
        if words[:1] == [b"latin"]:
            show(b"caf\xe9 \xff\xfe\xe2\x82\r\n")
        elif words[:1] == [b"say"]:
            text = b" ".join(words[1:])
            show(text[:4]); time.sleep(0.1); show(text[4:] + b"\r\n")
        show(b"R1>")
""")


def test_odd_bytes_are_kept_exactly_and_a_split_echoed_secret_is_replaced(tmp_path,
                                                                         tessel_replay):
    device = tmp_path / "device.py"
    device.write_text(ODD_DEVICE)
    path = tmp_path / "odd.jsonl"
    secret = "key-" + "9f3a1c77"
    with tessel.connect("generic", transport="command", command=[sys.executable, str(device)],
                        context={"tacacs_secret": secret}, record=str(path)) as conn:
        live = [conn.execute("latin").output, conn.execute("say " + secret).output]
    capture = read_capture(str(path))
    by_command = {e.command: e for e in capture.exchanges}
    assert by_command["latin"].steps[0].raw.endswith(b"caf\xe9 \xff\xfe\xe2\x82\r\r\nR1>")
    said = by_command["say {tacacs_secret}"].steps[0]
    assert said.received.count("{tacacs_secret}") == 2 and len(said.times) >= 2
    assert secret not in path.read_text() and capture.secrets == ["tacacs_secret"]
    conn = tessel_replay(str(path), strict=False)
    assert [conn.execute("latin").output, conn.execute("say " + secret).output] == live


def test_output_without_its_line_end_before_the_prompt_replays_on_bash(tmp_path, tessel_replay):
    path = tmp_path / "bash.jsonl"
    bash = "PS1='admin@web1:~$ ' HISTFILE=/dev/null exec bash --norc --noprofile -i"
    commands = ["printf abc", "echo next", "printf abc"]
    with tessel.connect("linux", transport="command", command=bash, record=str(path)) as conn:
        live = [conn.execute(command).output for command in commands]
    assert live == ["abc", "next", "abc"]
    assert read_capture(str(path)).exchanges[2].prompt == "admin@web1:~$ "  # after "abc"
    conn = tessel_replay(str(path))
    assert [conn.execute(command).output for command in commands] == live


@pytest.mark.parametrize("pieces, masked, ends", [
    (["pw: ", "s3cr", "et!\r\n"], "pw: {password}\r\n", [4, 14, 16]),
    (["s3cret!", " and s3cret!"], "{password} and {password}", [10, 25]),
    (["lab ", "label"], "{enable_password} label", [18, 23]),
], ids=["split", "twice", "short-whole-word-only"])
def test_placeholders_cover_secrets_split_across_reads(pieces, masked, ends):
    placeholders = Placeholders({"password": "s3cret!", "enable_password": "lab"})
    assert placeholders.mask_pieces(pieces) == (masked, ends)


def test_a_capture_that_cannot_be_written_fails_the_close():
    conn = tessel.connect("generic", transport="command", command=SIM, record="/dev/full")
    conn.execute("show version")
    with pytest.raises(tessel.CaptureError, match="/dev/full"):
        conn.close()


# -- the replayed device ---------------------------------------------------------------------

def exchange(prompt, *steps, closed=False):
    steps = [Step(sent, text) for sent, text in steps]
    return Exchange(0, None, prompt, steps, None, last_line(steps[-1].received), closed=closed)


DEVICE = Capture(
    platform="generic", transport="command", started="", secrets=["enable_password"],
    error_sample="% Unknown command: {line}",
    start=Start([], [Step(None, "\r\nR1>")], "R1>", "disable", "R1"),
    exchanges=[
        exchange("R1>", ("show x\n", "show x\r\nuser view\r\nR1>")),
        exchange("R1>", ("enable\n", "enable\r\nPassword: "), ("{enable_password}\n", "\r\nR1#")),
        exchange("R1#", ("show x\n", "show x\r\nadmin view\r\nR1#")),
        exchange("R1#", ("show y\n", "show y\r\nfirst\r\nR1#")),
        exchange("R1#", ("show y\n", "show y\r\nsecond\r\nR1#")),
        exchange("R1#", ("say\n", "say\r\nyou typed {enable_password}\r\nR1#")),
        exchange("R1#", ("show long\n", "page 1\r\n--More--"), (" ", "\r  \rpage 2\r\nR1#")),
        exchange("R1#", ("reload\n", "reload\r\n[confirm]"), ("y\n", "\r\nbye\r\n"), closed=True),
    ])
ENABLED = ["enable\n", "any answer\n"]


@pytest.mark.parametrize("typed, shown, ended", [
    (["show x\n"], "show x\r\nuser view\r\nR1>", False),
    (ENABLED + ["show x\n"], "\r\nR1#show x\r\nadmin view\r\nR1#", False),
    (ENABLED + ["show y\n"] * 3, "first\r\nR1#show y\r\nsecond\r\nR1#show y\r\nsecond\r\nR1#",
     False),
    (ENABLED + ["say\n"], "you typed any answer\r\nR1#", False),
    (ENABLED + ["show long\n", " "], "--More--\r  \rpage 2\r\nR1#", False),
    (["show x\r\n"], "\r\nR1>show x\r\nuser view\r\nR1>", False),
    (["bogus  thing\n"], "\r\nR1>bogus  thing\r\n% Unknown command: bogus thing\r\nR1>", False),
    (["\n", "\x03"], "\r\nR1>\r\nR1>\r\nR1>", False),
    (["enable\n", "\x03"], "Password: \r\nR1>", False),
    (ENABLED + ["reload\n", "y\n"], "[confirm]\r\nbye\r\n", True),
], ids=["per-prompt-1", "per-prompt-2", "in-order-then-last", "secret-answer-shown",
        "pager-key", "crlf-is-one-line-end", "unrecorded", "empty-line-and-ctrl-c",
        "ctrl-c-abandons-question", "device-closes"])
def test_the_replay_answers_what_was_recorded_at_its_prompt(typed, shown, ended):
    out = []
    replay = Replay(DEVICE, write=out.append)
    replay.begin()
    rest = ""
    for text in typed:
        rest = replay.feed(text, rest)
    assert b"".join(out).decode().endswith(shown) and replay.ended is ended and rest == ""


@pytest.mark.parametrize("typed, message", [
    (["show z\n"], "'show z' was not recorded at the prompt 'R1>' (state disable); recorded "
                   "at this prompt: 'show x', 'enable'"),
    (ENABLED + ["reload\n", "n\n"], "the capture answered '[confirm]' with 'y\\n'"),
])
def test_a_strict_replay_says_what_came_and_what_was_recorded(typed, message):
    replay = Replay(DEVICE, strict=True, write=lambda data: None)
    replay.begin()
    with pytest.raises(Unrecorded) as caught:
        for text in typed:
            replay.feed(text)
    assert message in str(caught.value)


def test_speed_plays_the_recorded_pace():
    waits = []
    step = Step("show x\n", "abcdef", times=[(0.5, 2), (1.0, 6)])
    capture = Capture("generic", "command", "", start=Start([], [Step(None, "R1>")], "R1>", None,
                                                            None),
                      exchanges=[Exchange(1, None, "R1>", [step], None, "")])
    out = []
    replay = Replay(capture, speed=2, write=out.append, sleep=waits.append)
    replay.begin()
    replay.feed("show x\n")
    assert out[1:] == [b"ab", b"cdef"]
    assert waits == [pytest.approx(0.25, abs=0.1), pytest.approx(0.5, abs=0.1)]


# -- the tessel command ---------------------------------------------------------------------

def test_run_records_each_host_and_replay_plays_one_through_connect(tmp_path):
    hosts = {name: {"platform": "generic", "connection_options": {"tessel": {"extras": {
        "transport": "command", "command": SIM[:3] + ["--hostname", name.upper()]}}}}
        for name in ("r1", "r2")}
    hosts["r3"] = hosts["r1"]
    (tmp_path / "hosts.yaml").write_text(yaml.safe_dump(hosts))
    (tmp_path / "captures").mkdir()
    (tmp_path / "captures" / "r3.jsonl").symlink_to("/dev/full")  # a capture that cannot be written
    done = run_tessel("run", "-i", str(tmp_path), "--command", "show version", "--record",
                      str(tmp_path / "captures"))
    assert done.returncode == 0, done.stderr
    assert "warning: the capture of r3" in done.stderr and "of r1" not in done.stderr
    for name in ("r1", "r2"):
        capture = read_capture(str(tmp_path / "captures" / (name + ".jsonl")))
        assert capture.hostname == name.upper() and capture.end is not None
        assert "show version" in [e.command for e in capture.exchanges]
    replayed = tmp_path / "replayed.jsonl"
    done = run_tessel("connect", "generic", "--record", str(replayed), "--run", "show version",
                      "--", *[sys.executable, "-m", "tessel", "replay",
                              str(tmp_path / "captures" / "r2.jsonl"), "--strict"])
    assert done.returncode == 0 and done.stdout.startswith("Simulated router software"), \
        done.stderr
    assert read_capture(str(replayed)).hostname == "R2"
    done = subprocess.run([sys.executable, "-m", "tessel", "replay", "--strict",
                           str(tmp_path / "captures" / "r2.jsonl")], input="show clock\n",
                          capture_output=True, text=True, timeout=60,
                          env=child_environment())
    assert done.returncode == 3
    assert "'show clock' was not recorded at the prompt 'R2>'" in done.stderr


# -- the pytest plugin -----------------------------------------------------------------------

PLUGIN_TEST = """
import os, sys
import pytest

DEVICE = [sys.executable, os.path.join(os.path.dirname(__file__), "device.py")]

@pytest.mark.tessel_device("generic", transport="command", command=DEVICE,
                           secrets_env={"enable_password": "LAB_ENABLE"})
def test_version(tessel_replay):
    conn = tessel_replay("captures/r7.jsonl")
    assert conn.execute("show version", state="enable").output.startswith("Simulated router")
"""


def test_the_plugin_records_what_has_no_capture_then_replays_without_the_device(
        pytester, monkeypatch):
    device = pytester.path / "device.py"
    device.write_text("import sys, runpy\nsys.argv[1:] = %r\nrunpy.run_module("
                      "'tessel.sim.router', run_name='__main__')\n" % SIM[3:])
    pytester.makepyfile(test_device=PLUGIN_TEST)
    capture = pytester.path / "captures" / "r7.jsonl"

    pytester.runpytest("-p", "tessel.pytest_plugin").assert_outcomes(failed=1)
    monkeypatch.setenv("LAB_ENABLE", ENABLE)
    pytester.runpytest("-p", "tessel.pytest_plugin", "--tessel-record=new").assert_outcomes(
        passed=1)
    recorded = capture.read_text()
    assert ENABLE not in recorded and read_capture(str(capture)).hostname == "R1"
    device.unlink()  # from now on the device is the capture alone
    for mode in ("none", "new"):
        pytester.runpytest("-p", "tessel.pytest_plugin", "--tessel-record=" + mode) \
            .assert_outcomes(passed=1)
    # Recording again needs the device; a recording that fails leaves the capture as it was.
    pytester.runpytest("-p", "tessel.pytest_plugin", "--tessel-record=all").assert_outcomes(
        failed=1)
    assert capture.read_text() == recorded
    assert sorted(p.name for p in capture.parent.iterdir()) == ["r7.jsonl"]

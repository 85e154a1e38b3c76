"""Learning a platform from captures of the simulated router: the enable password stays a
field, the pager is learned, and the learned simulator gives the recorded results; failure
patterns generalised from error lines; captures that cannot be learned from."""
import sys

import pytest
import yaml

import tessel
from tessel.capture import Exchange, Step
from tessel.learn import _failure_pattern, exchange_output, learn_files

from test_cli_tool import run_tessel
from test_recording import ENABLE, SIM, results


def session(conn):
    """The recording suite's script (its interface mode a state of its own), two sub-modes of
    the family, and back to disable (so the capture shows the way)."""
    done = results(conn) + conn.configure(["router bgp 1", " address-family ipv4 unicast"])
    conn.go_to("disable")
    return [(r.command, r.output, r.failed, r.state) if hasattr(r, "command") else r
            for r in done] + [conn.state]


def learned_sim(platform, *options, **connect):
    """A connection to the simulator of a learned platform file."""
    return tessel.connect(platform, transport="command", timeout=10, command=[
        sys.executable, "-m", "tessel", "sim", platform, *options], **connect)


def test_the_router_learned_with_its_password_and_pager_answers_as_it_did(tmp_path):
    capture, platform = tmp_path / "r1.jsonl", tmp_path / "r1.yaml"
    with tessel.connect("generic", transport="command", command=SIM + ["--pager", "5"],
                        secrets={"enable_password": ENABLE}, record=str(capture)) as conn:
        live = session(conn)
    done = run_tessel("learn", str(capture), "-o", str(platform))
    assert done.returncode == 0, done.stderr
    assert run_tessel("check", str(platform)).returncode == 0
    learned = yaml.safe_load(platform.read_text())
    assert [s["name"] for s in learned["states"]] == ["disable", "config", "config_if",
                                                      "config_sub", "enable"]
    enable = next(p for p in learned["paths"] if (p["from"], p["to"]) == ("disable", "enable"))
    assert enable["dialog"] == [{"expect": r"Password:\s*$", "send": "{enable_password}",
                                 "continue": True, "sample": "Password: "}]
    assert learned["pager"] == {"expect": "--More--", "send": " ", "sample": "--More--"}
    assert learned["connect"] == [{"state": "disable", "command": "terminal length 0"}]
    responses = tmp_path / "r1.responses.yaml"
    assert ENABLE not in platform.read_text() + responses.read_text()

    with learned_sim(str(platform), "--secret", "enable_password=right", "--page-length", "4",
                     secrets={"enable_password": "right"}) as conn:
        assert session(conn) == live
    with learned_sim(str(platform), "--secret", "enable_password=right",
                     secrets={"enable_password": "wrong"}) as conn:
        with pytest.raises(tessel.StateMachineError):
            conn.go_to("enable")


@pytest.mark.parametrize("steps, closed, output", [
    ([("show x\n", "show x\r\nline 1\r\n\r\nR1#")], False, "line 1\n"),
    ([("show x\n", "show x\r\nno line end R1#")], False, "no line end "),
    ([("show x\n", "show x\r\n\x1b[1mbold\x1b[0m\r\nR1#")], False, "bold"),
    ([("show x\n", "show x\r\npage 1\r\n--More--"), (" ", "\r        \rpage 2\r\nR1#")],
     False, "page 1\npage 2"),
    ([("exit\n", "exit\r\nbye\r\n")], True, "bye"),
    ([("show x\n", "show x\r\nR9#")], False, None),
], ids=["blank-line-kept", "prompt-on-the-last-line", "escapes", "paged", "closed",
        "another-prompt"])
def test_the_output_learned_is_what_a_connection_reads(steps, closed, output):
    recorded = [Step(sent, received, pager=number > 0)
                for number, (sent, received) in enumerate(steps)]
    assert exchange_output(Exchange(1, "enable", "R1#", recorded, "enable", "R1#",
                                    closed=closed)) == output


@pytest.mark.parametrize("line, successes, pattern", [
    ("% Invalid input detected at '^' marker.", [], "^% Invalid input detected at"),
    ("% Unknown command: show bogus", [], "^% Unknown command:"),
    ("% Specify remote-as or peer-group commands first", [],
     "^% Specify remote-as or peer-group commands first"),
    ("'frob' is not a command", [], r"^'frob' is not a command"),
    ("Error: no such (table)", ["Error: none"], r"^Error: no such \(table\)"),
    ("Error: none", ["ok\nError: none\n"], None),
], ids=["before-quote", "colon-kept", "whole-line", "too-short-a-prefix", "prefix-too-loose",
        "printed-by-a-success"])
def test_a_failure_pattern_is_the_error_line_cut_short_unless_a_success_shows_it(
        line, successes, pattern):
    assert _failure_pattern(line, successes) == pattern


@pytest.mark.parametrize("content, message", [
    (None, "cannot read the capture"),
    ('{"type": "capture", "format": 2, "platform": "frr"}\n', "format 2; this tessel reads "
                                                              "format 1"),
    ('{"type": "capture", "format": 1, "platform": "frr"}\n', "nothing to learn"),
    ("hello\n", "not a JSON line"),
])
def test_a_capture_that_cannot_be_learned_from_is_one_line_and_nothing_is_written(
        tmp_path, content, message):
    capture, platform = tmp_path / "c.jsonl", tmp_path / "p.yaml"
    if content is not None:
        capture.write_text(content)
    platform.write_text("kept")
    done = run_tessel("learn", str(capture), "-o", str(platform))
    assert done.returncode == 2 and message in done.stderr, done.stderr
    assert platform.read_text() == "kept" and sorted(p.name for p in tmp_path.iterdir()) == \
        sorted(["p.yaml"] + (["c.jsonl"] if content is not None else []))
    with pytest.raises(ValueError, match="ends with .yaml"):
        learn_files([str(capture)], str(tmp_path / "p.txt"))

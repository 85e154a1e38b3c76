"""The tessel command: the demo, graph, route and connect, and how user mistakes end."""
import os
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

import pytest

from tessel.cli import child_environment, main
from tessel.platforms.generic import GenericRouter

SIM = [sys.executable, "-m", "tessel.sim.router"]
#: A login front (Username:, Password:) before the simulated router.
LOGIN = [sys.executable, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                      "fleet", "faulty_device.py"), "login", "s3cret", "--", *SIM]
HAVE_DOT = shutil.which("dot") is not None


def run_tessel(*args, path=None):
    env = child_environment()  # the child imports the tessel under test
    if path is not None:
        env["PATH"] = path
    return subprocess.run([sys.executable, "-m", "tessel", *args], capture_output=True,
                          text=True, env=env, timeout=60)


def assert_svg(path):
    root = ElementTree.parse(path).getroot()
    assert root.tag.endswith("svg")
    labels = {(t.text or "").strip() for t in root.iter() if t.tag.endswith("text")}
    assert {"disable", "enable", "config", "config_if", "configure terminal"} <= labels


def test_demo_tells_what_happened_and_writes_the_graph(tmp_path):
    result = run_tessel("demo", "--output-dir", str(tmp_path))
    assert result.returncode == 0, result.stderr
    out = result.stdout
    for fact in ["state detected: disable (prompt 'R1>')", "hostname learned from the prompt: R1",
                 "go_to('config')", "now in config", "go_to('disable')", "now in disable",
                 "sent 'enable'", "answered", "sent 'configure terminal'", "sent 'end'",
                 "sent 'disable'", " ms", "+ description managed by tessel",
                 "the same apply again sent 0 lines"]:
        assert fact in out
    assert (tmp_path / "tessel-demo.dot").read_text() == GenericRouter().dotgraph()
    transcript = (tmp_path / "tessel-demo.log").read_text()
    assert "R1(config)#end" in transcript
    if HAVE_DOT:
        assert_svg(tmp_path / "tessel-demo.svg")
    else:
        assert "no SVG" in out


def test_demo_without_graphviz_still_succeeds(tmp_path):
    result = run_tessel("demo", "-o", str(tmp_path), path=str(tmp_path))
    assert result.returncode == 0, result.stderr
    assert "no SVG: Graphviz's 'dot' is not installed" in result.stdout
    assert not (tmp_path / "tessel-demo.svg").exists()


@pytest.mark.parametrize("subcommand", ["demo", "graph", "route", "connect", "platforms",
                                        "check", "sim", "replay", "diff", "apply"])
def test_every_subcommand_has_help(subcommand, capsys):
    with pytest.raises(SystemExit) as caught:
        main([subcommand, "--help"])
    assert caught.value.code == 0
    assert "usage: tessel" in capsys.readouterr().out


def test_graph_prints_dot_and_draws_files(tmp_path, capsys):
    assert main(["graph", "generic"]) == 0
    text = capsys.readouterr().out
    # Every path, with the questions asked on the way.
    assert text.count(" -> ") == len(GenericRouter().paths)
    assert '"disable" -> "enable" [label="enable\\nasks Password:"]' in text
    assert main(["graph", "tessel.platforms.generic:GenericRouter", "-o",
                 str(tmp_path / "g.dot")]) == 0
    assert (tmp_path / "g.dot").read_text() == text
    if HAVE_DOT:
        assert main(["graph", "generic", "-o", str(tmp_path / "g.svg")]) == 0
        assert_svg(tmp_path / "g.svg")
        assert main(["graph", "generic", "-o", str(tmp_path / "g.png")]) == 0
        assert (tmp_path / "g.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_route_lists_each_path_with_its_command(capsys):
    assert main(["route", "generic", "disable", "config_if"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "disable -> config_if: 3 hops"
    assert "disable -> enable" in lines[1] and "enable" in lines[1] and "dialog" in lines[1]
    assert "configure terminal" in lines[2] and "interface {interface}" in lines[3]


def test_connect_drives_a_device_and_prints_command_output(capsys):
    argv = ["connect", "generic", "--state", "enable", "--context", "enable_password=lab",
            "--run", "show version", "--timeout", "3", "--", *SIM]
    assert main(argv) == 0
    captured = capsys.readouterr()
    assert captured.out.splitlines() == ["Simulated router software, version 1.0",
                                         "R1 uptime is 1 minute"]
    assert "device is in state disable (hostname R1)" in captured.err
    assert "went to enable" in captured.err


@pytest.mark.parametrize("argv, status, message", [
    (["graph", "no.such.module:Platform"], 2, "cannot import the platform module"),
    (["graph", "generic-router"], 2, "unknown platform"),
    (["graph", "tessel.platforms.generic:Nope"], 2, "has no 'Nope'"),
    (["graph", "tessel.cli:main"], 2, "is not a StateMachine subclass"),
    (["graph", "generic", "-o", "graph.jpeg"], 2, "cannot write a graph as 'jpeg'"),
    (["route", "generic", "disable", "nowhere"], 2, "unknown state 'nowhere'"),
    (["connect", "generic", "--state", "nowhere", "--", "true"], 2, "unknown state 'nowhere'"),
    (["connect", "generic"], 2, "connect needs the command"),
    (["connect", "generic", "--", "/nonexistent/ssh"], 1, "cannot start /nonexistent/ssh"),
    (["connect", "generic", "--timeout", "0.3", "--", "sleep", "5"], 1,
     "the device did not show a known prompt"),
    (["connect", "generic", "--state", "enable", "--context", "enable_password=guess",
      "--timeout", "3", "--", *SIM], 1,
     "could not reach state enable: hop disable->enable ended in state disable"),
    (["connect", "generic", "--context", "nokey", "--", "true"], 2, "--context takes KEY=VALUE"),
], ids=lambda value: None if not isinstance(value, list) else " ".join(value[:3]))
def test_user_mistakes_end_with_one_line(argv, status, message, capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert main(argv) == status
    err = capsys.readouterr().err
    # Progress lines may come first; the failure itself is the one last line.
    last = err.splitlines()[-1]
    assert last.startswith("tessel: ") and message in last
    assert "Traceback" not in err


def test_missing_graphviz_is_a_one_line_message(tmp_path):
    result = run_tessel("graph", "generic", "-o", str(tmp_path / "g.svg"), path=str(tmp_path))
    assert result.returncode == 2
    assert result.stderr.startswith("tessel: Graphviz's 'dot' program is not installed")
    assert result.stderr.count("\n") == 1 and "Traceback" not in result.stderr


@pytest.mark.parametrize("option, value", [("--timeout", "0"), ("--timeout", "-2"),
                                           ("--timeout", "nan"), ("--port", "0")])
def test_bad_numbers_are_argument_errors(option, value, capsys):
    with pytest.raises(SystemExit) as caught:
        main(["connect", "generic", "r1", option, value])
    assert caught.value.code == 2
    assert option in capsys.readouterr().err.splitlines()[-1]


@pytest.mark.parametrize("argv, status, message", [
    (["connect", "tessel.statemachine.statemachine:StateMachine", "--", *SIM], 2,
     "platform StateMachine does not define create()"),
    (["connect", "generic", "r1", "--", *SIM], 2, "not both"),
    (["connect", "generic", "--run", "show version", "--run", "show nothing", "--run",
      "show version", "--", *SIM], 1, "'show nothing' failed: % Invalid input"),
    (["connect", "generic", "--config", "missing.cfg", "--", *SIM], 2,
     "cannot read the configuration file"),
])
def test_connect_failures(argv, status, message, capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert main(argv) == status
    captured = capsys.readouterr()
    assert captured.err.splitlines()[-1].startswith("tessel: ")
    assert message in captured.err.splitlines()[-1]
    # The commands before the failed one ran and printed; none ran after it.
    assert captured.out.count("Simulated router software") == (1 if "--run" in argv else 0)


@pytest.mark.parametrize("lines, status, sent", [
    ("interface Loopback4\n description from file\n!\n\nend\n", 0, "configured 3 lines"),
    ("interface Loopback4\nbogus\nshutdown\n", 1, "stopped: configuration line 'bogus'"),
    ("interface Loopback4\r description a\x15b\n", 2, "line 2 holds the control character U+0015"),
])
def test_connect_pushes_configuration(lines, status, sent, capsys, tmp_path):
    config = tmp_path / "r1.cfg"
    config.write_text(lines)
    argv = ["connect", "generic", "--context", "enable_password=lab", "--state", "enable",
            "--config", str(config), "--run", "show running-config", "--", *SIM]
    assert main(argv) == status
    captured = capsys.readouterr()
    assert sent in captured.err
    assert ("interface Loopback4" in captured.out) == (status == 0)


def test_connect_logs_in_over_ssh(sshd, known_hosts, monkeypatch, capsys):
    answers = {"password for %s@%s: " % (sshd.users["sim"], sshd.host): sshd.password,
               "enable_password: ": "lab"}
    monkeypatch.setattr("getpass.getpass", lambda prompt: answers[prompt])
    argv = ["connect", "generic", sshd.host, "-p", str(sshd.port), "-u", sshd.users["sim"],
            "--known-hosts", known_hosts, "--ask-password", "--ask", "enable_password",
            "--state", "enable", "--run", "show version"]
    assert main(argv) == 0
    captured = capsys.readouterr()
    assert captured.out.startswith("Simulated router software")
    assert "went to enable" in captured.err
    assert main(argv[:-2] + ["--host-keys", "strict", "--known-hosts", "/dev/null"]) == 1
    assert "host key of %s is not known" % sshd.host in capsys.readouterr().err


def test_ask_without_a_terminal_or_input_is_a_one_line_mistake():
    # No controlling terminal, and standard input at its end (as when --config - took it).
    result = subprocess.run([sys.executable, "-m", "tessel", "connect", "generic", "--ask",
                             "enable_password", "--", "true"], capture_output=True, text=True,
                            stdin=subprocess.DEVNULL, start_new_session=True,
                            env=child_environment(), timeout=60)
    assert result.returncode == 2
    assert "tessel: --ask enable_password: no terminal" in result.stderr.splitlines()[-1]
    assert "Traceback" not in result.stderr


@pytest.mark.parametrize("env, flags", [
    ({"TESSEL_PASSWORD": "s3cret", "TESSEL_SECRET_ENABLE_PASSWORD": "lab"}, []),
    ({"TESSEL_PASSWORD": "wrong", "TESSEL_SECRET_ENABLE_PASSWORD": "wrong"},
     ["--ask-password", "--context", "enable_password=lab"]),
])
def test_connect_takes_credentials_from_the_environment_and_options_win(env, flags, monkeypatch,
                                                                         capsys):
    monkeypatch.setenv("TESSEL_USERNAME", "admin")
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    monkeypatch.setattr("getpass.getpass", lambda prompt: "s3cret")
    assert main(["connect", "generic", "--state", "enable", "--run", "show version",
                 "--timeout", "5", *flags, "--", *LOGIN]) == 0, capsys.readouterr().err
    captured = capsys.readouterr()
    assert captured.out.startswith("Simulated router software")
    assert "s3cret" not in captured.err

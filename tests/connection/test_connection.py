"""tessel.connect over a local program: commands, failures, configuration, parsing, secrets."""
import dataclasses
import json
import logging
import re
import shlex
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

import tessel
from tessel.core import errors
from tessel.core.errors import (AuthenticationError, CommandError, ConfigError, ConnectError,
                                HostKeyError, PlatformError, StateMachineError, TesselError,
                                TransitionError)
from tessel.platforms.generic import GenericRouter
from tessel.statemachine.statemachine import StateMachine

from conftest import PASSWORD, sim_argv


def connect_sim(*options, **kwargs):
    kwargs.setdefault("secrets", {"enable_password": PASSWORD})
    kwargs.setdefault("timeout", 5)
    return tessel.connect(kwargs.pop("platform", "generic"), transport="command",
                          command=sim_argv(*options), **kwargs)


@pytest.fixture
def conn():
    with connect_sim() as connection:
        yield connection


class TestConnect:
    def test_recognises_the_state_and_learns_the_hostname(self):
        with connect_sim("--hostname", "Edge7") as conn:
            assert (conn.state, conn.hostname) == ("disable", "Edge7")
            conn.go_to("config")
            assert conn.state == "config"

    def test_a_given_hostname_is_kept(self):
        with connect_sim("--hostname", "Edge7", hostname="Edge7") as conn:
            assert conn.hostname == "Edge7" and not conn.machine.learn_hostname

    def test_a_command_line_runs_in_the_shell(self):
        with tessel.connect("generic", transport="command",
                            command=shlex.join(sim_argv("--hostname", "Sh1"))) as conn:
            assert (conn.state, conn.hostname) == ("disable", "Sh1")

    def test_runs_the_platform_connect_commands(self, tmp_path):
        with connect_sim(log=str(tmp_path / "session.log")):
            pass
        assert "R1>terminal length 0" in (tmp_path / "session.log").read_text()

    @pytest.mark.parametrize("kwargs, error, message", [
        ({"timeout": 0}, ValueError, "positive number of seconds"),
        ({"timeout": -1}, ValueError, "positive number of seconds"),
        ({"timeout": float("nan")}, ValueError, "positive number of seconds"),
        ({"transport": "serial"}, ValueError, "transport must be one of"),
        ({"host_keys": "maybe"}, ValueError, "host_keys must be one of"),
        ({"transport": "ssh", "host": "-oProxyCommand=touch x"}, ValueError,
         "is not a host name"),
        ({"transport": "ssh", "host": None}, ValueError, "host must be a non-empty str"),
        ({"transport": "command", "command": None}, ValueError, "needs command"),
        ({"port": 70000, "transport": "ssh", "host": "h"}, ValueError, "port must be"),
        ({"platform": "no.such:Platform"}, PlatformError, "cannot import"),
        ({"password": 1234}, TypeError, "password must be a str, not int"),
        ({"username": ["admin"]}, TypeError, "username must be a str, not list"),
        ({"password": "pw\nshow run"}, ValueError, "password holds a line break"),
        ({"secrets": {"enable_password": 99}}, TypeError, "secret 'enable_password' must be"),
        ({"ssh_options": 5}, TypeError, "ssh_options must be a str or a list"),
        ({"ssh_options": ["-v", 5]}, TypeError, "ssh_options must hold str items"),
        ({"ssh_options": "-o 'x"}, ValueError, "No closing quotation"),
    ])
    def test_bad_arguments_fail_before_anything_starts(self, kwargs, error, message):
        kwargs.setdefault("transport", "command")
        kwargs.setdefault("command", sim_argv())
        with pytest.raises(error, match=message):
            tessel.connect(kwargs.pop("platform", "generic"), **kwargs)

    def test_ssh_options_as_one_string_are_split_as_a_shell_does(self):
        with pytest.raises(ConnectError, match="/nonexistent/ssh config"):
            tessel.connect("generic", "127.0.0.1", ssh_options="-F '/nonexistent/ssh config'")

    def test_secrets_on_the_command_line_stay_out_of_repr_and_log(self, caplog):
        caplog.set_level(logging.INFO, logger="tessel")
        with connect_sim("--enable-password", PASSWORD) as conn:
            shown = repr(conn)
        assert "--enable-password ********" in shown and "--enable-password lab" not in shown
        assert "--enable-password ********" in caplog.text
        assert "--enable-password lab" not in caplog.text

    def test_a_platform_without_create_is_named(self):
        class Bare(StateMachine):
            pass

        with pytest.raises(PlatformError, match="platform .*Bare does not define create()"):
            connect_sim(platform=Bare)


class TestExecute:
    @pytest.mark.parametrize("command, state, output, failure", [
        ("show version", "disable", "Simulated router software, version 1.0\nR1 uptime is 1 minute",
         None),
        ("show nothing", "disable", None, "% Invalid input detected at '^' marker."),
        ("interface", "config", None, "% Incomplete command."),
        ("show lines 3", "enable", None, None),
    ])
    def test_output_state_and_failure(self, conn, command, state, output, failure):
        result = conn.execute(command, state=state)
        assert result.command == command and result.state == state == conn.state
        assert (result.failed, result.failure) == (failure is not None, failure)
        if output is not None:
            assert result.output == output
        assert command not in result.output and "R1" + ">" not in result.output
        assert result.parsed is None and result.elapsed > 0

    def test_long_output_arrives_whole(self, conn):
        lines = conn.execute("show lines 5000").output.split("\n")
        assert len(lines) == 5000 and lines[-1].startswith("line 5000 of 5000")

    def test_check_raises_with_the_result(self, conn):
        with pytest.raises(CommandError, match="Invalid input") as caught:
            conn.execute("show nothing", check=True)
        assert caught.value.result.failed and caught.value.result.command == "show nothing"
        assert conn.execute("show version", check=True).failed is False

    def test_result_is_json_friendly(self, conn):
        record = dataclasses.asdict(conn.execute("show version"))
        assert json.loads(json.dumps(record)) == record

    @pytest.mark.parametrize("command, error", [
        ("show version\nreload", ValueError), ("show\r", ValueError), (b"show", TypeError),
        ("show\x15version", ValueError), ("show\tversion", ValueError),
        ("show\x1b[Aversion", ValueError), ("show\u2028version", ValueError)])
    def test_one_line_of_text_only(self, conn, command, error):
        with pytest.raises(error):
            conn.execute(command)


class TestConfigure:
    def test_lines_are_sent_and_the_start_state_comes_back(self, conn):
        conn.go_to("enable")
        results = conn.configure(["interface Loopback7", "description uplink"])
        assert [r.command for r in results] == ["interface Loopback7", "description uplink"]
        assert not any(r.failed for r in results) and results[-1].state == "config_if"
        assert conn.state == "enable"
        running = conn.execute("show running-config").output
        assert re.search(r"interface Loopback7\n (description )?uplink", running)

    def test_the_first_refused_line_stops_and_is_reported(self, conn):
        with pytest.raises(ConfigError) as caught:
            conn.configure("interface Loopback8\nbogus words\ndescription never sent")
        err = caught.value
        assert (err.line, err.failure) == ("bogus words", "% Invalid input detected at '^' marker.")
        assert [r.command for r in err.results] == ["interface Loopback8", "bogus words"]
        assert conn.state == "disable"
        assert "never sent" not in conn.execute("show running-config", state="enable").output

    @pytest.mark.parametrize("text, lines", [
        ("a\r\nb\rc\nd\n", ["a", "b", "c", "d"]),
        ("a\u2028b\x0cc\x85d\x1ce", ["a\u2028b\x0cc\x85d\x1ce"]),
        ("\ufeffa\n\nb", ["a", "", "b"]),
    ])
    def test_lines_split_at_line_ends_only(self, text, lines):
        assert tessel.split_lines(text) == lines

    @pytest.mark.parametrize("lines", [
        "interface Loopback9\ndescription a\u2028b",
        "interface Loopback9\ndescription a\x0cb",
        ["interface Loopback9", "description\tuplink"],
        ["interface Loopback9", "description x\x15"],
    ])
    def test_a_line_with_a_control_character_is_refused_before_any_is_sent(self, conn, lines):
        with pytest.raises(ValueError, match="configuration line 2 holds"):
            conn.configure(lines)
        assert "Loopback9" not in conn.execute("show running-config", state="enable").output

    def test_without_stopping_every_line_is_sent(self, conn):
        results = conn.configure(["bogus", "hostname Core1"], stop_on_failure=False)
        assert [r.failed for r in results] == [True, False]
        assert conn.state == "disable" and conn.hostname == "Core1"


# A router command line that dies, falls silent or refuses at its third configuration line;
# and dies when it is asked to leave configuration then.
FAILING_ROUTER = """\
import sys, time
how = sys.argv[1]
prompts = {"disable": "R1>", "enable": "R1#", "config": "R1(config)#"}
moves = {"enable": "enable", "configure terminal": "config", "end": "enable"}
state, lines = "disable", 0
sys.stdout.write("R1>"); sys.stdout.flush()
for line in sys.stdin:
    command = line.strip()
    if lines == 3 and command == "end":
        sys.exit(0)
    if state == "config" and command not in moves:
        lines += 1
        if lines == 3 and how == "dies":
            sys.exit(0)
        if lines == 3 and how == "falls silent":
            time.sleep(60)
        if lines == 3:
            sys.stdout.write("% Invalid input detected\\n")
    state = moves.get(command, state)
    sys.stdout.write(prompts[state]); sys.stdout.flush()
"""


@pytest.mark.parametrize("how, sent", [("dies", 2), ("falls silent", 2), ("refuses", 3)])
def test_a_failure_at_a_line_is_a_config_error_that_the_way_back_does_not_hide(how, sent):
    with tessel.connect("generic", transport="command", timeout=1,
                        command=[sys.executable, "-c", FAILING_ROUTER, how]) as conn:
        with pytest.raises(ConfigError) as caught:
            conn.configure(["one", "two", "three", "four"])
        err = caught.value
        assert err.line == "three" and [r.command for r in err.results] == ["one", "two", "three"][:sent]
        assert (err.result is None) == (sent == 2) and isinstance(err.__cause__, TransitionError) == (sent == 2)
        assert isinstance(err.return_error, TesselError) and "way back to disable failed" in str(err)
        assert conn.state in ("config", "generic")  # never the start state it did not reach


def test_threads_sharing_a_connection_each_get_their_own_output(conn):
    def commands(worker, state):
        return [(conn.execute("echo w%d-%d" % (worker, n), state=state).output, conn.state)
                for n in range(12)]

    def configure(worker):
        return [[(r.command, r.failed) for r in conn.configure(["interface Loopback%d" % n])]
                for n in range(4)]

    with ThreadPoolExecutor(4) as pool:
        running = [pool.submit(commands, worker, state)
                   for worker, state in enumerate(["disable", "enable", "config"])]
        configuring = pool.submit(configure, 3)
    for worker, state in enumerate(["disable", "enable", "config"]):
        assert running[worker].result() == [("w%d-%d" % (worker, n), state) for n in range(12)]
    assert configuring.result() == [[("interface Loopback%d" % n, False)] for n in range(4)]


@pytest.mark.parametrize("change", [
    lambda conn: conn.go_to("config"),
    lambda conn: conn.execute("show version", state="config"),
    lambda conn: conn.configure(["hostname Core9"]),
], ids=["go_to", "execute", "configure"])
def test_a_failed_state_change_names_target_hop_reason_and_last_line(change):
    with connect_sim(secrets={"enable_password": "not-the-password"}) as conn:
        with pytest.raises(StateMachineError) as caught:
            change(conn)
    err, engine_error = caught.value, caught.value.__cause__
    assert re.match(r'could not bring the device to state "config" at hop disable->enable: '
                    r".*ended in state disable.*'% Access denied' / 'R1>'", str(err))
    assert type(err) is type(engine_error) and isinstance(engine_error, TransitionError)
    assert (err.state_reached, err.failed_hop, err.route, err.output) == (
        "disable", engine_error.failed_hop, engine_error.route, engine_error.output)


@pytest.mark.parametrize("name", [name for name, value in vars(errors).items()
                                  if isinstance(value, type) and issubclass(value, TesselError)])
def test_errors_are_importable_from_the_package(name):
    assert getattr(tessel, name) is getattr(errors, name)


SHOW_VERSION_FSM = """\
Value VERSION (\\S+)
Value HOSTNAME (\\S+)

Start
  ^Simulated router software, version ${VERSION}
  ^${HOSTNAME} uptime is -> Record
"""
SHOW_VERSION_TTP = "{{ hostname }} uptime is {{ uptime | ORPHRASE }}"


class IndexedRouter(GenericRouter):
    ntc_platform = "tessel_sim"


class TestParse:
    @pytest.fixture
    def templates(self, tmp_path):
        (tmp_path / "version.textfsm").write_text(SHOW_VERSION_FSM)
        (tmp_path / "version.ttp").write_text(SHOW_VERSION_TTP)
        (tmp_path / "index").write_text(
            "Template, Hostname, Platform, Command\n\n"
            "version.textfsm, .*, tessel_sim, sh[[ow]] ver[[sion]]\n")
        return tmp_path

    @pytest.mark.parametrize("parse, template, command, expected", [
        ("textfsm", "version.textfsm", "show version", [{"VERSION": "1.0", "HOSTNAME": "R1"}]),
        ("ttp", "version.ttp", "show version", [{"hostname": "R1", "uptime": "1 minute"}]),
        ("ntc", "", "sh ver", [{"version": "1.0", "hostname": "R1"}]),
    ])
    def test_records_land_in_parsed(self, templates, parse, template, command, expected):
        with connect_sim(platform=IndexedRouter) as conn:
            result = conn.execute(command, parse=parse, template=str(templates / template))
        assert result.parsed == expected

    def test_ntc_without_a_template_for_the_command(self, templates):
        from tessel.parse import ParseError

        with connect_sim(platform=IndexedRouter) as conn:
            with pytest.raises(ParseError, match="no ntc-templates template"):
                conn.execute("show running-config", state="enable", parse="ntc",
                             template=str(templates))

    @pytest.mark.parametrize("parse, template", [("textfsm", None), ("yaml", "x")])
    def test_bad_parse_arguments(self, conn, parse, template):
        with pytest.raises(ValueError):
            conn.execute("show version", parse=parse, template=template)


def test_secrets_stay_masked(tmp_path):
    # "token_x" does not look secret by its name: given as a secret, it is masked by value.
    secret = "tok-4417"
    log = tmp_path / "session.log"
    with connect_sim(secrets={"enable_password": PASSWORD, "token_x": secret},
                     log=str(log)) as conn:
        conn.go_to("enable")
        with pytest.raises(CommandError) as caught:
            conn.execute("show %s" % secret, check=True)
        assert secret not in str(caught.value) and secret not in conn.spawn.last_sent
    transcript = log.read_text()
    assert "show ********" in transcript and secret not in transcript
    assert PASSWORD not in transcript.replace("enable_password", "")


def test_importing_the_package_leaves_the_connection_layer_unloaded():
    # Login shells of the test sshd run ``python -m tessel.sim.router`` with another
    # interpreter, which has no pexpect: ``import tessel`` must not pull it in.
    import subprocess

    code = ("import sys; sys.modules['pexpect'] = None; import tessel.sim.router, tessel; "
            "assert 'tessel.connection' not in sys.modules")
    assert subprocess.run([sys.executable, "-c", code]).returncode == 0


@pytest.mark.parametrize("said, error, words", [
    ("ssh: connect to host r1 port 22: Connection refused\r\r\n", ConnectError,
     "ssh: connect to host r1 port 22: Connection refused"),
    ("Trying 10.0.0.1...\r\ntelnet: Unable to connect to remote host: No route to host\r\n",
     ConnectError, "telnet: Unable to connect to remote host: No route to host"),
    ("admin@r1: Permission denied (publickey,password).\r\n", AuthenticationError,
     "Permission denied"),
    ("Received disconnect from r1 port 22:2: Too many authentication failures\r\n",
     AuthenticationError, "Too many authentication failures"),
    ("Access denied to unauthorised users!\r\nConnection closed by r1 port 22\r\n", ConnectError,
     "Connection closed by r1"),
    ("@@@ WARNING: REMOTE HOST IDENTIFICATION HAS CHANGED! @@@\r\n"
     "Host key verification failed.\r\n", HostKeyError, "has changed"),
])
def test_a_client_that_ends_before_the_prompt_is_classified_by_what_it_said(said, error, words):
    from tessel.transports import closed_error

    err = closed_error("r1", said)
    assert type(err) is error and words in str(err) and "r1" in str(err) and err.host == "r1"


def test_configure_started_in_a_sub_mode_ends_in_the_configuration_state(conn):
    """No path leads back into a sub-mode: every line accepted is success, not an error."""
    conn.go_to("config")
    assert conn.execute("router bgp 65001").state == "config_sub"
    results = conn.configure(["hostname R1"])
    assert [r.failed for r in results] == [False] and conn.state == "config"

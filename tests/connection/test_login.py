"""Logging in with the real ssh client to a real sshd, and the real telnet client to a server.

The test sshd shows a banner that holds prompt-like lines (``Router>``,
``backbone#``) before every login, as devices' banners do.
"""
from pathlib import Path

import pytest

import tessel
from tessel.core.errors import AuthenticationError, ConnectError, HostKeyError
from tessel.eal.spawn import Spawn
from tessel.statemachine.statemachine import State, StateMachine

from servers import BASH_PROMPT, closed_port

ENABLE = {"enable_password": "lab"}
KEYBOARD_INTERACTIVE = ["-o", "PreferredAuthentications=keyboard-interactive"]
PASSWORD_METHOD = ["-o", "PreferredAuthentications=password"]


def ssh(sshd, known_hosts, user="sim", platform="generic", **kwargs):
    kwargs.setdefault("password", sshd.password)
    kwargs.setdefault("secrets", ENABLE)
    return tessel.connect(platform, sshd.host, port=sshd.port, username=sshd.users[user],
                          known_hosts=known_hosts, timeout=10, **kwargs)


class TestSsh:
    @pytest.mark.parametrize("how", ["password", "keyboard-interactive", "key"])
    def test_logs_in_and_drives_the_router(self, sshd, known_hosts, tmp_path, how):
        kwargs = {"password": sshd.password, "ssh_options": PASSWORD_METHOD}
        if how == "keyboard-interactive":
            kwargs["ssh_options"] = KEYBOARD_INTERACTIVE
        elif how == "key":
            kwargs = {"password": None, "key_file": sshd.client_key}
        log = tmp_path / "session.log"
        with ssh(sshd, known_hosts, log=str(log), **kwargs) as conn:
            assert (conn.state, conn.hostname) == ("disable", "R1")
            result = conn.execute("show version", state="enable")
            assert result.output.splitlines()[0] == "Simulated router software, version 1.0"
            assert conn.configure(["interface Loopback1", "shutdown"])[-1].failed is False
            assert conn.state == "enable"
        transcript = log.read_text()
        assert "Router>" in transcript and sshd.password not in transcript

    @pytest.mark.parametrize("transport", ["ssh", "asyncssh"])
    def test_no_wait_runs_out_from_login_to_enable(self, sshd, known_hosts, monkeypatch,
                                                   transport):
        """The first prompt is confirmed by the device's answer to a line end, the enable
        prompt (after the password) by nothing following it: no settle wait expires."""
        expired = []
        poll = Spawn.poll

        def counted(spawn, wait=0.0):
            arrived = poll(spawn, wait)
            if wait > 0 and not arrived:
                expired.append(wait)
            return arrived

        monkeypatch.setattr(Spawn, "poll", counted)
        with ssh(sshd, known_hosts, transport=transport) as conn:
            conn.go_to("enable")
            assert (conn.state, conn.hostname, expired) == ("enable", "R1", [])
            assert conn.execute("show version").output.startswith("Simulated router software")
            assert conn.spawn.in_doubt is None

    @pytest.mark.parametrize("options", [PASSWORD_METHOD, KEYBOARD_INTERACTIVE])
    def test_a_wrong_password_is_an_authentication_error(self, sshd, known_hosts, options):
        with pytest.raises(AuthenticationError) as caught:
            ssh(sshd, known_hosts, password="not-" + sshd.password, ssh_options=options)
        assert caught.value.host == sshd.host
        assert sshd.password not in str(caught.value) + caught.value.output

    def test_a_password_question_without_a_password(self, sshd, known_hosts):
        with pytest.raises(AuthenticationError, match="asks for a password and none was given"):
            ssh(sshd, known_hosts, password=None)

    @pytest.mark.parametrize("transport", ["ssh", "asyncssh"])
    @pytest.mark.parametrize("policy, recorded, outcome", [
        ("strict", None, "is not known"),
        ("accept-new", None, "recorded"),
        ("off", None, "not recorded"),
        ("strict", "other", "has changed"),
        ("accept-new", "other", "has changed"),
        ("off", "other", "not recorded"),
    ])
    def test_host_key_policies(self, sshd, tmp_path, transport, policy, recorded, outcome):
        path = tmp_path / "known_hosts"
        if recorded:
            # Another valid key recorded for this host: the client key stands in for it.
            with open(sshd.client_key + ".pub") as handle:
                sshd.known_hosts(str(path), " ".join(handle.read().split()[:2]))
        else:
            path.write_text("")
        before = path.read_text()
        if outcome in ("is not known", "has changed"):
            with pytest.raises(HostKeyError, match=outcome) as caught:
                ssh(sshd, str(path), host_keys=policy, transport=transport)
            assert sshd.host in str(caught.value) and path.read_text() == before
            return
        with ssh(sshd, str(path), host_keys=policy, transport=transport) as conn:
            assert conn.state == "disable"
        assert (path.read_text() != before) == (outcome == "recorded")
        if outcome == "recorded":
            # What one client recorded, the other trusts.
            other = "asyncssh" if transport == "ssh" else "ssh"
            with ssh(sshd, str(path), transport=other) as conn:
                assert conn.state == "disable"

    @pytest.mark.parametrize("transport, host, port, words", [
        ("ssh", "127.0.0.1", "closed", "Connection refused"),
        ("ssh", "nohost.invalid", None, "Could not resolve hostname"),
        ("asyncssh", "127.0.0.1", "closed", "Connection refused"),
        ("asyncssh", "nohost.invalid", None, "Name or service not known"),
    ])
    def test_unreachable_hosts_are_connect_errors_with_the_client_message(self, transport, host,
                                                                          port, words):
        port = closed_port() if port == "closed" else port
        with pytest.raises(ConnectError, match=words) as caught:
            tessel.connect("generic", host, port=port, username="nobody", password="x",
                           transport=transport)
        assert type(caught.value) is ConnectError


class BashShell(StateMachine):
    """bash with the prompt ``lab# ``: one state."""

    def create(self):
        self.add_state(State("shell", r"^%N#\s*$"))


class TestBashOverSsh:
    @pytest.fixture
    def shell(self, sshd, known_hosts, monkeypatch):
        # A terminal type with colours and bracketed paste, which bash then uses.
        monkeypatch.setenv("TERM", "xterm-256color")
        with ssh(sshd, known_hosts, user="bash", platform=BashShell) as conn:
            yield conn

    def test_the_prompt_and_its_hostname(self, shell):
        assert (shell.state, shell.hostname) == ("shell", BASH_PROMPT.split("#")[0])

    @pytest.mark.parametrize("command, output", [
        ("echo total#", "total#"),
        ("printf 'interface x#\\nrouter>\\nlab#\\n'", "interface x#\nrouter>\nlab#"),
        ("printf '\\033[1;31mred\\033[0m plain\\n'", "red plain"),
        ("printf 'one\\r\\ntwo\\r\\r\\nthree\\n'", "one\ntwo\nthree"),
        ("printf 'ab\\bc\\n'", "ac"),
    ])
    def test_output_is_clean_and_prompt_like_lines_are_output(self, shell, command, output):
        assert shell.execute(command).output == output
        assert shell.hostname == "lab" and shell.state == "shell"
        assert shell.execute("echo next").output == "next"


class TestTelnet:
    def connect(self, telnetd, **kwargs):
        kwargs.setdefault("password", telnetd.password)
        return tessel.connect("generic", telnetd.host, port=telnetd.port, transport="telnet",
                              username=telnetd.username, secrets=ENABLE, timeout=10, **kwargs)

    def test_logs_in_and_drives_the_router(self, telnetd):
        with self.connect(telnetd) as conn:
            assert (conn.state, conn.hostname) == ("disable", "R1")
            assert conn.execute("show version", state="enable").output.startswith("Simulated")
            assert conn.configure(["interface Loopback2", "no shutdown"])[-1].failed is False
            assert conn.state == "enable"

    def test_a_wrong_password_is_an_authentication_error(self, telnetd):
        # '% Authentication failed' from the server written here, 'Login incorrect' from login.
        with pytest.raises(AuthenticationError,
                           match="refused the login.*(Authentication failed|Login incorrect)"):
            self.connect(telnetd, password="not-" + telnetd.password)

    def test_a_closed_port_is_a_connect_error(self, telnetd):
        with pytest.raises(ConnectError, match="Connection refused"):
            tessel.connect("generic", "127.0.0.1", port=closed_port(), transport="telnet")


def readme_example():
    """The first Python example under the README's 'Connecting to a device'."""
    text = (Path(__file__).parents[2] / "README.md").read_text()
    section = text.split("## Connecting to a device", 1)[1]
    return section.split("```python\n", 1)[1].split("```", 1)[0]


def test_the_readme_example_runs_against_the_test_sshd(sshd, known_hosts, capsys):
    code = readme_example()
    for old, new in [
            ('host="10.0.0.1"', 'host=%r, port=%d, known_hosts=%r' % (sshd.host, sshd.port,
                                                                      known_hosts)),
            ('username="admin"', "username=%r" % sshd.users["sim"]),
            ('password="..."', "password=%r" % sshd.password),
            ('"enable_password": "..."', '"enable_password": "lab"')]:
        assert code.count(old) == 1, old
        code = code.replace(old, new)
    namespace = {}
    exec(compile(code, "README.md", "exec"), namespace)
    assert namespace["result"].output.startswith("Simulated router software")
    assert [r.failed for r in namespace["results"]] == [False, False]
    assert capsys.readouterr().out.endswith("2 lines configured; back in enable\n")

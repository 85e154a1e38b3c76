"""A script recorded on FRRouting's vtysh over ssh and run again against `tessel replay` of its
capture, as a local program and as the login shell of an ssh user: the same results, no secret
in the capture, and an unrecorded command a clear error."""
import os
import shutil

import pytest

import tessel
from tessel.capture import read_capture

BGP = ["router bgp 65001", " neighbor 10.0.9.2 remote-as 64609", " neighbor 10.0.9.2 bogus",
       " address-family ipv4 unicast", "  neighbor 10.0.9.2 maximum-prefix 500"]


def script(conn):
    """Results (command, output, failed flag, state) of a script that visits every mode."""
    done = [conn.execute("show version"), conn.execute("show bogus"),
            conn.execute("show version", state="disable")]
    done += conn.configure(BGP, stop_on_failure=False)
    done.append(conn.execute("show running-config", state="enable"))
    return [(r.command, r.output, r.failed, r.state) for r in done] + [conn.state]


@pytest.fixture
def recorded(frr, vtysh_login, tmp_path):
    """A capture of the script on vtysh over ssh, and the script's results."""
    path = tmp_path / "vtysh.jsonl"
    login = vtysh_login("ssh")
    with tessel.connect("frr", record=str(path), timeout=10, **login) as conn:
        results = script(conn)
    assert login["password"] not in path.read_text()
    return path, results


def test_a_script_replayed_from_its_capture_gives_the_same_results(recorded, frr,
                                                                   tessel_replay):
    path, live = recorded
    capture = read_capture(str(path))
    assert [r[2] for r in live[:-1]].count(True) == 2 and live[-1] == "enable"
    assert capture.secrets == ["password"] and capture.start.login[-1].sent == "{password}\n"
    assert capture.start.prompt.strip() == frr.hostname + "#"
    assert {(e.state, e.state_after) for e in capture.exchanges} >= {
        ("enable", "disable"), ("disable", "enable"), ("config", "config_sub"),
        ("config_sub", "config_sub"), ("config_sub", "enable")}
    assert script(tessel_replay(str(path))) == live

    conn = tessel_replay(str(path))
    with pytest.raises(tessel.TransitionError) as caught:
        conn.execute("show ip route")
    assert "'show ip route' was not recorded at the prompt '%s#' (state enable); recorded at " \
           "this prompt: 'terminal length 0', 'show version', 'show bogus'" % frr.hostname \
           in str(caught.value)


def test_the_replay_serves_as_the_login_shell_of_an_ssh_user(recorded, tmp_path):
    from servers import SshServer, Unavailable

    shell = ('here="$(dirname "$0")"; PYTHONPATH="$here/lib" exec /usr/bin/python3 -m tessel '
             'replay --strict "$here/capture.jsonl"')
    try:
        server = SshServer(banner=False, users={"replay": (shell, ())}).start()
    except Unavailable as err:
        pytest.skip(str(err))
    try:
        path, live = recorded
        shutil.copy(path, os.path.join(server.directory, "capture.jsonl"))
        os.chmod(os.path.join(server.directory, "capture.jsonl"), 0o644)
        with tessel.connect("frr", host=server.host, port=server.port,
                            username=server.users["replay"], password=server.password,
                            known_hosts=server.known_hosts(str(tmp_path / "known_hosts")),
                            timeout=10) as conn:
            assert script(conn) == live
    finally:
        server.stop()

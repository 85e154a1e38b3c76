"""Platforms learned from captures of FRRouting's vtysh: the learned file passes the check and
draws, and its simulator reaches every recorded state and answers as vtysh did; captures of
two sessions merge."""
import re
import sys

import tessel
from tessel.capture import read_capture
from tessel.platforms.check import check_file

from test_cli_tool import run_tessel
from test_frr_replay import recorded, script  # noqa: F401 (recorded is a fixture)

LINES = ["key chain KC", " key 1", "  exit", " exit", "route-map RM permit 10",
         " set local-preference 200"]


def learned_sim(platform, hostname):
    return tessel.connect(platform, transport="command", timeout=10, command=[
        sys.executable, "-m", "tessel", "sim", platform, "--hostname", hostname])


def test_the_platform_learned_from_a_vtysh_script_gives_its_results(recorded, tmp_path):
    path, live = recorded
    platform = str(tmp_path / "vtysh.yaml")
    done = run_tessel("learn", str(path), "-o", platform)
    assert done.returncode == 0, done.stderr
    assert check_file(platform) == []
    graph = run_tessel("graph", platform)
    assert graph.returncode == 0 and '"config_sub" [style=dashed' in graph.stdout

    capture = read_capture(str(path))
    states = {s for e in capture.exchanges for s in (e.state, e.state_after)}
    with learned_sim(platform, capture.hostname) as conn:
        # show version in two states, the failures, the sub-modes: as vtysh gave them.
        assert script(conn) == live
        reached = set()
        for state in sorted(states - {"config_sub"}):
            conn.go_to(state)
            reached.add(conn.state)
        reached.add(conn.configure(["router bgp 65001"])[0].state)
    assert reached == states == {"disable", "enable", "config", "config_sub"}


def test_a_view_session_and_a_configuration_session_merge(frr, vtysh_login, tmp_path):
    view, config = str(tmp_path / "view.jsonl"), str(tmp_path / "config.jsonl")
    with tessel.connect("frr", record=view, timeout=10, **vtysh_login("ssh")) as conn:
        conn.execute("show running-config")
        version = conn.execute("show version", state="disable").output
        conn.go_to("enable")
    with tessel.connect("frr", record=config, timeout=10, **vtysh_login("command")) as conn:
        configured = [(r.command, r.state, r.failed) for r in conn.configure(LINES)]
        running = conn.execute("show running-config").output
    assert " set local-preference 200" in running

    platform = str(tmp_path / "lab.yaml")
    done = run_tessel("learn", view, config, "-o", platform)
    assert done.returncode == 0 and check_file(platform) == [], done.stderr
    assert re.search(r"'show running-config' in enable printed different outputs \(view.jsonl, "
                     r"exchange 2 and config.jsonl, exchange \d+\): the last is kept",
                     done.stderr), done.stderr
    with learned_sim(platform, frr.hostname) as conn:
        assert conn.execute("show version", state="disable").output == version
        assert [(r.command, r.state, r.failed) for r in conn.configure(LINES)] == configured
        assert conn.execute("show running-config", state="enable").output == running

"""FRRouting's vtysh through the frr and generic platforms: the mode found at connect, nested
configuration, a line refused deep in a sub-mode, and `tessel run` over several ssh logins."""
import json
import re
import subprocess
import sys

import pytest
import yaml

import tessel
from frr_daemons import nested_config
from tessel.core.errors import ConfigError

#: The simulated router, for what must hold for vtysh and the simulator alike.
SIM = {"transport": "command", "secrets": {"enable_password": "lab"},
       "command": [sys.executable, "-m", "tessel.sim.router", "--hostname", "R1",
                   "--enable-password", "lab"]}


def stripped(text):
    return {line.strip() for line in text.splitlines()}


@pytest.mark.parametrize("platform, transport", [
    ("frr", "command"), ("frr", "ssh"), ("frr", "telnet"), ("generic", "command")])
def test_connect_runs_its_commands_in_the_privileged_mode_it_finds(
        platform, transport, vtysh_login, frr, tmp_path):
    log = tmp_path / "session.log"
    with tessel.connect(platform, log=str(log), timeout=10, **vtysh_login(transport)) as conn:
        assert (conn.state, conn.hostname) == ("enable", frr.hostname)
        version = conn.execute("show version")
    assert version.state == "enable" and version.output.startswith("FRRouting ")
    transcript = log.read_text()
    name = re.escape(frr.hostname)
    assert re.search(r"(?m)^%s# ?terminal length 0\s*$" % name, transcript), transcript
    assert not re.search(r"(?m)^%s>" % name, transcript), "moved to the unprivileged mode"


@pytest.mark.parametrize("platform, transport", [
    ("frr", "command"), ("frr", "ssh"), ("generic", "command")])
def test_nested_configuration_reaches_the_running_configuration(
        platform, transport, vtysh_login, frr):
    lines = nested_config(2)
    with tessel.connect(platform, timeout=10, **vtysh_login(transport)) as conn:
        results = conn.configure(lines)
        assert conn.state == "enable"
        shown = conn.execute("show running-config")
    assert [r.command for r in results] == lines
    assert [r.command for r in results if r.failed] == []
    # 'router bgp' enters a sub-mode, the last 'exit' leaves one: no result claims a mode
    # outside configuration.
    assert results[0].state not in ("config", "enable", "disable")
    assert results[-1].state == "config"
    assert {r.state for r in results}.isdisjoint({"enable", "disable"})
    assert not shown.failed and shown.state == "enable"
    assert {line.strip() for line in lines} <= stripped(shown.output)
    assert shown.output.strip() == frr.running_config().strip()


BGP = ["router bgp 65001", " neighbor 10.0.9.2 remote-as 64609", " address-family ipv4 unicast",
       "  neighbor 10.0.9.2 maximum-prefix 500"]
KEYS = ["key chain KC-9", " key 1"]
INTERFACE = ["interface Loopback7", " description uplink"]
#: Lines that follow the refused one: never sent.
AFTER = ["exit", "interface tsl-never", " description never sent", "exit"]


@pytest.mark.parametrize("platform, device, before, refused, reason", [
    ("frr", "vtysh", BGP, "  bogus thing", "% Unknown command"),
    ("frr", "vtysh", BGP, "  neighbor", "% Command incomplete"),
    ("frr", "vtysh", KEYS, "  key-string", "% Command incomplete"),
    ("generic", "vtysh", BGP, "  neighbor 10.0.9.2 maximum-prefix many", "% Unknown command"),
    ("generic", "sim", INTERFACE, " bogus line", "% Invalid input"),
], ids=["frr-unknown-in-af", "frr-incomplete-in-af", "frr-incomplete-in-key",
        "generic-unknown-in-af", "generic-sim-in-interface"])
def test_a_line_refused_in_a_sub_mode_leaves_device_and_state_agreeing(
        platform, device, before, refused, reason, request):
    if device == "vtysh":
        frr = request.getfixturevalue("frr")
        login = request.getfixturevalue("vtysh_login")("command")
    else:
        login = SIM
    with tessel.connect(platform, timeout=10, **login) as conn:
        start = conn.state
        with pytest.raises(ConfigError) as caught:
            conn.configure(before + [refused] + AFTER)
        assert conn.state == start
        # The device's own answer: the next command runs in the state the connection claims.
        shown = conn.execute("show running-config", state="enable")
    err = caught.value
    assert err.line == refused
    assert [r.command for r in err.results] == before + [refused]
    assert [r.failed for r in err.results] == [False] * len(before) + [True]
    assert err.results[-1].failure.startswith(reason)
    assert not shown.failed and shown.state == "enable"
    assert {line.strip() for line in before} <= stripped(shown.output)
    assert "never sent" not in shown.output
    if device == "vtysh":
        assert shown.output.strip() == frr.running_config().strip()


def test_tessel_run_configures_several_vtysh_logins_over_ssh(
        frr, frr_sshd, frr_known_hosts, tmp_path):
    users = ["vtysh", "vtysh2", "vtysh"]
    hosts = {"frr-%d" % number: {
        "hostname": frr_sshd.host, "port": frr_sshd.port, "platform": "frr",
        "username": frr_sshd.users[user], "password": frr_sshd.password,
        "connection_options": {"tessel": {"extras": {"known_hosts": frr_known_hosts}}}}
        for number, user in enumerate(users)}
    (tmp_path / "hosts.yaml").write_text(yaml.safe_dump(hosts))
    lines = nested_config(2)
    config = tmp_path / "frr.conf"
    # As a running configuration is written: '!' between the blocks (skipped).
    config.write_text("\n".join(line + ("\n!" if line == "exit" else "") for line in lines))
    out = tmp_path / "results.jsonl"
    done = subprocess.run([sys.executable, "-m", "tessel", "run", "-i", str(tmp_path),
                           "--config", str(config), "--output", str(out), "--timeout", "20"],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    records = {r["host"]: r for r in map(json.loads, out.read_text().splitlines())}
    assert sorted(records) == sorted(hosts)
    for record in records.values():
        assert (record["ok"], record["state"], record["error"]) == (True, "enable", None)
        assert [(r["command"], r["failed"]) for r in record["result"]] == [
            (line, False) for line in lines]
    assert {line.strip() for line in lines} <= stripped(frr.running_config())
    assert frr_sshd.password not in out.read_text() + done.stdout + done.stderr

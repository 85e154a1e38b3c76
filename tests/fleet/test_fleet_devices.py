"""Fleet runs against simulated devices on real ptys: the Python API and `tessel run`."""
import json
import os
import signal
import subprocess
import sys
import time

import pexpect
import pytest

from simulated import (ENABLE_PASSWORD, LOGIN_PASSWORD, RUNNERS, SWITCHES_STACKS, device, faulty,
                       sim)
from tessel.eal.ptyspawn import PtySpawn
from tessel.fleet import Commands, Configure, run
from tessel.inventory import load

pytest.importorskip("tessel.connection")

HEALTHY = {"r1": "R1", "r2": "R2", "login-ok": "R3"}
#: What each failing host fails with.
FAILING = {"slow": "timeout", "refused": "AuthenticationError", "dies": "closed"}


def tessel(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "tessel", *args], capture_output=True,
                          text=True, timeout=180, **kwargs)


@pytest.mark.parametrize("event_loop", RUNNERS)
def test_every_host_reports_and_failures_stay_with_their_host(write_inventory, fleet_hosts,
                                                              event_loop):
    results = run(load(write_inventory(fleet_hosts)),
                  Commands(["show version", "show running-config"], state="enable"),
                  workers=6, timeout=5, event_loop=event_loop)
    assert sorted(r.host for r in results.ok) == sorted(HEALTHY)
    for name, hostname in HEALTHY.items():
        version, config = results[name].value
        assert version.output.splitlines() == ["Simulated router software, version 1.0",
                                               "%s uptime is 1 minute" % hostname]
        assert "hostname %s" % hostname in config.output
        assert results[name].state == "enable"
    for name, kind in FAILING.items():
        failure = results[name]
        assert not failure.ok and failure.error_line, name
        assert kind.lower() in (failure.error_type + failure.error).lower(), (name, failure.error)
    for result in results.values():
        for secret in (LOGIN_PASSWORD, "wrong-password", ENABLE_PASSWORD):
            assert secret not in (result.error or "") + repr(result.value)


@pytest.mark.parametrize("dies, lines, ok, refused", [
    (False, ["interface Loopback7", "description uplink", "exit"], True, None),
    (False, ["interface Loopback7", "bogus line", "description never sent"], False, "bogus line"),
    (True, ["interface Loopback7", "description dies", "exit"], False, "description dies"),
])
def test_configuration_stops_at_the_refused_line(write_inventory, dies, lines, ok, refused):
    command = (faulty("dies-on", "description", "--hostname", "R1") if dies
               else sim("--hostname", "R1"))
    inventory = load(write_inventory({"r1": device(command)}))
    result = run(inventory, Configure(lines), timeout=5)["r1"]
    assert result.ok is ok
    sent = [r.command for r in result.value]  # the lines sent so far, whatever stopped them
    if ok:
        assert sent == lines and not any(r.failed for r in result.value)
    elif dies:
        assert sent[:1] == lines[:1] and refused in result.error_line
    else:
        assert sent == lines[:2] and result.value[-1].failed
        assert refused in result.error_line and result.error_type == "ConfigError"


def test_tessel_run_writes_every_result_and_exits_1_when_a_host_failed(
        write_inventory, fleet_hosts, tmp_path):
    out = tmp_path / "results.jsonl"
    done = tessel("run", "-i", str(write_inventory(fleet_hosts)), "--command", "show version",
                  "--state", "enable", "--workers", "6", "--timeout", "5", "--output", str(out))
    assert done.returncode == 1, done.stderr
    records = {r["host"]: r for r in map(json.loads, out.read_text().splitlines())}
    assert sorted(records) == sorted(fleet_hosts)
    assert {h for h, r in records.items() if r["ok"]} == set(HEALTHY)
    assert records["r1"]["result"][0]["output"].startswith("Simulated router software")
    assert records["refused"]["error_type"] == "AuthenticationError"
    table = {line.split()[0]: line.split() for line in done.stdout.splitlines()[1:-1]}
    assert [table[h][1:3] for h in sorted(HEALTHY)] == [["enable", "ok"]] * 3
    assert {table[h][2] for h in FAILING} == {"FAILED"}
    assert "6 hosts: 3 ok, 3 failed" in done.stdout
    assert LOGIN_PASSWORD not in out.read_text() + done.stdout + done.stderr
    assert "\x1b[" not in done.stderr  # no progress bar off a terminal


def test_tessel_run_filter_and_config_file(write_inventory, fleet_hosts, tmp_path):
    config = tmp_path / "change.cfg"
    config.write_text("! a change\ninterface Loopback9\n description fleet\n\nexit\n")
    done = tessel("run", "-i", str(write_inventory(fleet_hosts)), "--filter", "name=r*",
                  "--filter", "name!=refused", "--config", str(config), "--output", "-")
    assert done.returncode == 0, done.stdout + done.stderr
    records = [json.loads(line) for line in done.stdout.splitlines()]
    assert sorted(r["host"] for r in records) == ["r1", "r2"]
    assert [c["command"].strip() for c in records[0]["result"]] == [
        "interface Loopback9", "description fleet", "exit"]


@pytest.mark.parametrize("args, message", [
    (["--command", "show version", "--timeout", "0"], "--timeout must be a positive"),
    (["--command", "show version", "--workers", "0"], "--workers must be at least 1"),
    (["--command", "show version", "--filter", "name=nobody"], "matches the filter"),
    (["--command", "show version", "--filter", "colour=red"], "unknown filter field"),
    (["--config", "/nonexistent/change.cfg"], "cannot read"),
    (["--command", "show version", "show\tver"], "command 2 holds a TAB"),
    (["--command", "show version", "--async", "--scheduler", "tcp://127.0.0.1:9"],
     "--async runs the sessions in this process"),
])
def test_tessel_run_mistakes_are_one_line_and_exit_2(write_inventory, args, message):
    inventory = write_inventory({"r1": device(sim())})
    done = tessel("run", "-i", str(inventory), *args)
    assert done.returncode == 2
    assert message in done.stderr and len(done.stderr.strip().splitlines()) == 1


def test_progress_bar_is_drawn_on_a_terminal(write_inventory):
    inventory = write_inventory({"r1": device(sim("--hostname", "R1")),
                                 "r2": device(sim("--hostname", "R2"))})
    child = PtySpawn(sys.executable, ["-m", "tessel", "run", "-i", str(inventory),
                                           "--command", "show version"],
                          encoding="utf-8", timeout=60, dimensions=(24, 120))
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0
    assert "2/2" in child.before and "hosts" in child.before


@pytest.mark.parametrize("how", ["environment", "prompt"])
def test_login_password_from_the_environment_or_a_prompt(write_inventory, how):
    entry = device(faulty("login", LOGIN_PASSWORD, "--hostname", "R8"), hostname="R8")
    inventory = write_inventory({"r8": entry | {"username": "admin"}})
    env = dict(os.environ, TESSEL_PASSWORD=LOGIN_PASSWORD) if how == "environment" else None
    args = ["-m", "tessel", "run", "-i", str(inventory), "--command", "show version"]
    child = PtySpawn(sys.executable, args + (["--ask-password"] if env is None else []),
                          encoding="utf-8", timeout=60, env=env)
    if env is None:
        child.expect("password: ")
        child.sendline(LOGIN_PASSWORD)
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0, child.before
    assert "R8 uptime" in child.before and LOGIN_PASSWORD not in child.before


@pytest.mark.parametrize("runner", [[], pytest.param(["--async"], marks=SWITCHES_STACKS)],
                         ids=["threads", "loop"])
@pytest.mark.parametrize("interrupts", [1, 2])
def test_ctrl_c_sends_nothing_more_and_reports_every_host(write_inventory, tmp_path, interrupts,
                                                          runner):
    # r1 configures a slow device; r2 is still logging in when Ctrl-C comes (its device starts
    # once `go` exists); r3 and r4 wait for a free worker. A second Ctrl-C leaves r2 behind.
    received, go = tmp_path / "received.log", tmp_path / "go"
    received.touch()

    def slow(name, start_after=""):
        return device(faulty("records", "%s%s" % (received, start_after), "--hostname", name,
                             "--delay", "0.5"))

    inventory = write_inventory({"r1": slow("R1"), "r2": slow("R2", ",%s" % go),
                                 "r3": slow("R3"), "r4": slow("R4")})
    config = tmp_path / "change.cfg"
    config.write_text("".join("interface Loopback%d\n description step-%d\n" % (i, i)
                              for i in range(6)))
    out = tmp_path / "results.jsonl"
    child = PtySpawn(sys.executable, ["-m", "tessel", "run", "-i", str(inventory), "--config",
                                      str(config), "--workers", "2", "--timeout", "60",
                                      "--output", str(out), *runner],
                     encoding="utf-8", timeout=120, dimensions=(24, 200))
    try:
        while "R1\t description step-2" not in received.read_text():
            assert child.isalive(), child.read_nonblocking(100000, timeout=1)
            time.sleep(0.05)
        with received.open("a") as handle:  # the device answers each line 0.5 s after it
            handle.write("INTERRUPT\n")
        os.kill(child.pid, signal.SIGINT)
        child.expect("waiting for 2 sessions")
        if interrupts == 2:
            os.kill(child.pid, signal.SIGINT)
        else:
            go.touch()
        child.expect(pexpect.EOF)
    finally:
        go.touch()
        child.close(force=True)
    assert child.exitstatus == 130, child.before
    assert out.read_text(), child.before
    records = {r["host"]: r for r in map(json.loads, out.read_text().splitlines())}
    assert {h: r["status"] for h, r in records.items()} == {
        "r1": "interrupted", "r2": "interrupted", "r3": "not started", "r4": "not started"}
    before, after = received.read_text().split("INTERRUPT\n")
    configured = [line.split("\t") for line in before.splitlines() if "Loopback" in line
                  or "step-" in line]
    assert not [line for line in after.splitlines() if "Loopback" in line or "step-" in line]
    assert {name for name, _ in configured} == {"R1"}
    assert "R3" not in before + after and "R4" not in before + after
    if interrupts == 1:  # r1 finished the line it was in, and reports every line it sent
        assert [c["command"] for c in records["r1"]["result"]] == [
            line for _, line in configured]
        assert "before the task" in records["r2"]["error"] and records["r2"]["state"]
    assert "4 hosts: 0 ok, 0 failed, 2 interrupted, 2 not started" in child.before

"""Fleets on one event loop over asyncssh, against simulated devices served by `tessel sim --ssh`."""
import asyncio
import json
import re
import subprocess
import sys
import threading

import pytest

from simulated import ENABLE_PASSWORD, SWITCHES_STACKS, SimServer
from tessel.eal.bridge import await_only
from tessel.fleet import Apply, run
from tessel.inventory import from_dicts

pytestmark = SWITCHES_STACKS
PASSWORD = "pw-fleet"
VERSION = "Simulated router software, version 1.0\n%s uptime is 1 minute"


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    started = SimServer(tmp_path_factory.mktemp("fleet-ssh"), "--password", PASSWORD)
    yield started
    started.stop()


def hosts(server, count, prefix):
    """Hosts whose login name is their device's hostname, all over asyncssh."""
    extras = {"transport": "asyncssh", "known_hosts": server.known_hosts,
              "secrets": {"enable_password": ENABLE_PASSWORD}}
    return {"%s%d" % (prefix, n): {
        "hostname": "127.0.0.1", "port": server.port, "username": "%s%d" % (prefix, n),
        "password": PASSWORD, "platform": "generic",
        "connection_options": {"tessel": {"extras": extras}}} for n in range(count)}


def test_300_sessions_held_open_at_once_on_one_loop(server):
    count, opened, everyone = 300, [], asyncio.Event()
    threads = threading.active_count()

    def task(conn, host):
        conn.go_to("enable")
        opened.append(host.name)
        if len(opened) == count:
            everyone.set()
        await_only(asyncio.wait_for(everyone.wait(), 120))  # all open and in enable here
        version = conn.execute("show version")
        lines = conn.configure(["interface Loopback1", "description %s" % host.name])
        return (conn.hostname, version.output, [r.failed for r in lines], conn.state,
                threading.active_count() - threads)

    # No event_loop argument: every host's transport is asyncssh, so the run goes on the loop.
    results = run(from_dicts(hosts(server, count, "A")), task, workers=count, timeout=60)
    assert {name: (r.status, r.error) for name, r in results.items() if not r.ok} == {}
    extra_threads = max(r.value[4] for r in results.values())
    assert [r.value[:4] for r in results.values()] == [
        ("A%d" % n, VERSION % ("A%d" % n), [False, False], "enable") for n in range(count)]
    assert extra_threads < 20  # no thread per session


def test_tessel_run_over_200_hosts_from_an_inventory(server, write_inventory):
    inventory = write_inventory(hosts(server, 200, "B"))
    done = subprocess.run([sys.executable, "-m", "tessel", "run", "-i", str(inventory),
                           "--command", "show version", "--state", "enable", "--workers", "200",
                           "--timeout", "60", "--output", "-"],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    records = [json.loads(line) for line in done.stdout.splitlines()]
    assert sorted((r["host"], r["status"], r["state"], r["result"][0]["output"])
                  for r in records) == sorted(
        ("B%d" % n, "ok", "enable", VERSION % ("B%d" % n)) for n in range(200))
    assert "200 hosts: 200 ok, 0 failed" in done.stderr and PASSWORD not in done.stderr


CANDIDATE = "interface Loopback4\n description fleet\n"
DIFF = ("--- running\n+++ candidate\n@@ -0,0 +1,2 @@\n+interface Loopback4\n"
        "+ description fleet\n")


def test_tessel_run_apply_dry_run_changes_nothing_and_apply_applies(server, write_inventory,
                                                                    tmp_path):
    devices = hosts(server, 3, "D")
    inventory = write_inventory(devices)
    candidate = tmp_path / "change.cfg"
    candidate.write_text(CANDIDATE)

    def tessel_run(*options):
        return subprocess.run([sys.executable, "-m", "tessel", "run", "-i", str(inventory),
                               "--apply", str(candidate), "--timeout", "60", *options],
                              capture_output=True, text=True, timeout=300)

    dry = tessel_run("--dry-run")
    assert dry.returncode == 0, dry.stderr[-2000:]
    for name in devices:
        assert "--- %s: dry run: +2 -0 lines, nothing sent\n%s" % (name, DIFF) in dry.stdout
        assert re.search(r"\n%s +disable +ok .* dry run: \+2 -0 lines" % name, dry.stdout)
    # The devices hold nothing of it: a dry run on threads shows the same diff.
    unchanged = run(from_dicts(devices), Apply(CANDIDATE, dry_run=True), event_loop=False,
                    timeout=60)
    assert {name: r.value.diff for name, r in unchanged.items()} == dict.fromkeys(devices, DIFF)

    applied = tessel_run("--output", "-")
    assert applied.returncode == 0, applied.stderr[-2000:]
    records = [json.loads(line) for line in applied.stdout.splitlines()]
    assert {r["host"]: (r["status"], r["result"]["diff"], r["result"]["committed"])
            for r in records} == dict.fromkeys(devices, ("ok", DIFF, True))
    again = run(from_dicts(devices), Apply(CANDIDATE), event_loop=False, timeout=60)
    assert {name: (r.value.sent, r.value.summary) for name, r in again.items()} == \
        dict.fromkeys(devices, ([], "no change"))

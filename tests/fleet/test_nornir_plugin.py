"""The Nornir connection plugin and tasks, with the real Nornir against simulated devices."""
import os
import tomllib

import pytest

from simulated import LOGIN_PASSWORD, device, sim

nornir = pytest.importorskip("nornir")

from nornir.core.plugins.connections import ConnectionPluginRegister  # noqa: E402

from tessel.nornir import (Tessel, tessel_apply, tessel_command, tessel_config,  # noqa: E402
                           tessel_go_to)

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_entry_point_names_the_plugin_class():
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as handle:
        project = tomllib.load(handle)["project"]
    target = project["entry-points"]["nornir.plugins.connections"]["tessel"]
    module, _, name = target.partition(":")
    assert getattr(__import__(module, fromlist=[name]), name) is Tessel


@pytest.fixture
def nr(write_inventory, fleet_hosts):
    pytest.importorskip("tessel.connection")
    if "tessel" not in ConnectionPluginRegister.available:
        ConnectionPluginRegister.auto_register()  # from the entry point, when installed
    if "tessel" not in ConnectionPluginRegister.available:
        ConnectionPluginRegister.register("tessel", Tessel)  # a source tree on PYTHONPATH
    hosts = {"r1": device(sim("--hostname", "R1")),
             "r2": {"groups": ["sims"], "data": {"site": "lon"}},
             "refused": fleet_hosts["refused"]}
    groups = {"sims": device(sim("--hostname", "R2"))}
    folder = write_inventory(hosts, groups, {"username": "admin"})
    runner = nornir.InitNornir(
        runner={"plugin": "threaded", "options": {"num_workers": 3}},
        inventory={"plugin": "SimpleInventory", "options": {
            "host_file": str(folder / "hosts.yaml"), "group_file": str(folder / "groups.yaml"),
            "defaults_file": str(folder / "defaults.yaml")}},
        logging={"enabled": False})
    yield runner
    runner.close_connections()


def test_commands_and_configuration_run_in_one_session_per_host(nr):
    went = nr.run(task=tessel_go_to, state="enable")
    assert sorted(went.failed_hosts) == ["refused"]
    assert "Authentication failed" in str(went["refused"][0].exception)
    assert LOGIN_PASSWORD not in str(went["refused"][0].result)
    healthy = nr.filter(filter_func=lambda h: h.name != "refused")
    assert {h: r[0].result for h, r in healthy.run(task=tessel_go_to, state="enable").items()
            } == {"r1": "enable", "r2": "enable"}

    configured = healthy.run(task=tessel_config,
                             config="interface Loopback5\n description nornir\n")
    assert not configured.failed
    assert configured["r1"][0].changed
    assert configured["r1"][0].result.splitlines()[0] == "interface Loopback5"

    shown = healthy.run(task=tessel_command, command="show running-config")
    for name, hostname in (("r1", "R1"), ("r2", "R2")):
        output = shown[name][0].result
        assert "hostname %s" % hostname in output
        assert "interface Loopback5" in output
        assert shown[name][0].command_result.state == "enable"


def test_refused_command_and_configuration_fail_the_task(nr):
    one = nr.filter(name="r1")
    wrong = one.run(task=tessel_command, command="show nonsense", state="enable")
    assert wrong.failed and "Invalid input" in str(wrong["r1"][0].exception)
    refused = one.run(task=tessel_config, config=["interface Loopback6", "bogus", "shutdown"],
                      on_failed=True)  # r1 failed the task before
    result = refused["r1"][0]
    assert refused.failed and result.exception.line == "bogus"
    assert [r.command for r in result.command_results] == ["interface Loopback6", "bogus"]


def test_apply_task_dry_run_apply_and_nothing_left(nr, tmp_path):
    healthy = nr.filter(filter_func=lambda h: h.name != "refused")
    change = "interface Loopback8\n description nornir\n"
    (tmp_path / "change.cfg").write_text(change)
    dry = healthy.run(task=tessel_apply, candidate=change, dry_run=True)
    applied = healthy.run(task=tessel_apply, candidate_file=str(tmp_path / "change.cfg"))
    again = healthy.run(task=tessel_apply, candidate=change)
    for name in ("r1", "r2"):
        assert dry[name][0].diff == applied[name][0].result == applied[name][0].diff
        assert "+ description nornir" in dry[name][0].result
        assert [(r[name][0].changed, r[name][0].failed) for r in (dry, applied, again)] == [
            (False, False), (True, False), (False, False)]
        assert again[name][0].result == "" and again[name][0].apply_result.sent == []
    refused = healthy.run(task=tessel_apply, candidate="interface Loopback9\n bogus\n")
    assert refused.failed and refused["r1"][0].exception.undone == ["no interface Loopback9"]
    assert not refused["r1"][0].changed

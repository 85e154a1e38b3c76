"""Fleet runs on a real Dask LocalCluster (two worker processes on loopback)."""
import _thread
import json
import subprocess
import sys
import threading

import pytest

from tessel.fleet import Apply, Commands, Configure, RunInterrupted, run
from tessel.inventory import load

distributed = pytest.importorskip("distributed")
pytest.importorskip("tessel.connection")


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       host="127.0.0.1", dashboard_address=":0")
    with distributed.Client(cluster) as connected:
        yield connected
    cluster.close()


def summary(results):
    """What a run found, without timings and worker names."""
    return {name: (r.ok, r.state, r.error_type,
                   [(c.command, c.output) for c in r.value or ()]) for name, r in results.items()}


def test_dask_run_gives_the_thread_run_results_on_both_workers(client, write_inventory,
                                                               fleet_hosts):
    inventory = load(write_inventory(fleet_hosts))
    work = Commands(["show version"], state="enable")
    arrived = []
    on_dask = run(inventory, work, workers=3, client=client, timeout=5, progress=arrived.append)
    on_threads = run(inventory, work, workers=6, timeout=5)
    assert summary(on_dask) == summary(on_threads)
    assert sum(r.ok for r in on_dask.values()) == 3
    assert sorted(r.host for r in arrived) == sorted(fleet_hosts)
    workers = set(client.scheduler_info()["workers"])
    assert {r.worker for r in on_dask.values()} == workers


@pytest.mark.parametrize("limit", [1, 2])
def test_each_worker_bounds_its_own_sessions(client, write_inventory, limit):
    from simulated import device, sim

    hosts = {"r%d" % i: device(sim("--hostname", "R%d" % i)) for i in range(6)}
    results = run(load(write_inventory(hosts)), PeakSessions(), workers=limit, client=client)
    assert all(r.ok for r in results.values()), [r.error for r in results.values()]
    assert max(r.value for r in results.values()) <= limit


class PeakSessions:
    """A task that reports how many sessions its worker process had open at its peak."""

    def __call__(self, conn, host):
        import threading
        import time

        import tessel.fleet as fleet

        state = fleet.__dict__.setdefault("_test_sessions", {"lock": threading.Lock(),
                                                             "now": 0, "peak": 0})
        with state["lock"]:
            state["now"] += 1
            state["peak"] = max(state["peak"], state["now"])
        conn.execute("show version")
        time.sleep(0.2)  # overlap with the worker's other jobs if it would run them at once
        with state["lock"]:
            state["now"] -= 1
            state["peak"], peak = 0 if state["now"] == 0 else state["peak"], state["peak"]
        return peak


def test_tessel_run_through_a_scheduler(client, write_inventory, fleet_hosts, tmp_path):
    inventory = write_inventory(fleet_hosts)
    done = subprocess.run([sys.executable, "-m", "tessel", "run", "-i", str(inventory),
                           "--command", "show version", "--state", "enable", "--timeout", "5",
                           "--scheduler", client.scheduler.address, "--output", "-"],
                          capture_output=True, text=True, timeout=180)
    assert done.returncode == 1, done.stderr
    records = {r["host"]: r for r in map(json.loads, done.stdout.splitlines())}
    assert {h for h, r in records.items() if r["ok"]} == {"r1", "r2", "login-ok"}
    assert set(r["worker"] for r in records.values()) <= set(client.scheduler_info()["workers"])
    assert "6 hosts: 3 ok, 3 failed" in done.stderr


def test_ctrl_c_reaches_the_sessions_on_the_workers(client, write_inventory, tmp_path, ctrl_c):
    from simulated import device, faulty

    # r1 configures a slow device; the others cannot log in before Ctrl-C (their devices start
    # once `go` exists) or wait for a free slot.
    received, go = tmp_path / "received.log", tmp_path / "go"
    received.touch()
    hosts = {"r%d" % i: device(faulty("records", "%s%s" % (received, "" if i == 1 else ",%s" % go),
                                      "--hostname", "R%d" % i, "--delay", "0.5"))
             for i in range(1, 5)}
    lines = [line for i in range(6) for line in ("interface Loopback%d" % i, "description %d" % i)]

    def interrupt():
        while "R1\tdescription 1" not in received.read_text():
            threading.Event().wait(0.05)
        with received.open("a") as handle:  # the device answers each line 0.5 s after it
            handle.write("INTERRUPT\n")
        _thread.interrupt_main()
        go.touch()

    threading.Thread(target=interrupt, daemon=True).start()
    with pytest.raises(KeyboardInterrupt) as caught:
        run(load(write_inventory(hosts)), Configure(lines), workers=1, client=client, timeout=60)
    go.touch()
    assert isinstance(caught.value, RunInterrupted)
    results = caught.value.results
    before, after = received.read_text().split("INTERRUPT\n")
    configured = [line.split("\t")[1] for line in before.splitlines()
                  if line.startswith("R1\t") and ("Loopback" in line or "description" in line)]
    assert [r.command for r in results["r1"].value] == configured
    assert not [line for line in before.splitlines() + after.splitlines()
                if ("Loopback" in line or "description" in line) and not line.startswith("R1")]
    assert not [line for line in after.splitlines() if "Loopback" in line or "description" in line]
    assert results["r1"].status == "interrupted"
    for name in ("r2", "r3", "r4"):
        assert results[name].status in ("interrupted", "not started"), results[name]
        if results[name].status == "not started":
            assert "R%s\t" % name[1] not in before + after


def test_apply_on_dask_reports_each_hosts_diff(client, write_inventory):
    from simulated import device, sim

    inventory = load(write_inventory({"r%d" % i: device(sim("--hostname", "R%d" % i))
                                      for i in range(2)}))
    change = "interface Loopback0\n description dask\n"
    for dry_run, sent in ((True, []), (False, ["interface Loopback0", "description dask",
                                               "exit"])):
        results = run(inventory, Apply(change, dry_run=dry_run), client=client, timeout=10)
        assert {name: (r.value.diff.splitlines()[-1], r.value.sent, r.value.committed)
                for name, r in results.items()} == dict.fromkeys(
            ["r0", "r1"], ("+ description dask", sent, not dry_run))

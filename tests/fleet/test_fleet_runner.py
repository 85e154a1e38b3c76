"""The fleet runner's own duties, with a recording fake in place of tessel.connect:
bounded sessions, per-host isolation, masking, order, the arguments of connect."""
import dataclasses
import threading

import pytest

from tessel.core.errors import AuthenticationError
from tessel.fleet import TaskFailed, connect_arguments, run
from tessel.inventory import InventoryError, from_dicts


@dataclasses.dataclass
class Said:
    command: str
    output: str


class FakeConnection:
    state = "disable"
    closed = False

    def close(self):
        self.closed = True


opened = []


def fake_connect(platform, host=None, *, username=None, password=None, port=None,
                 transport="ssh", secrets=None, timeout=10.0):
    if password == "wrong":
        raise AuthenticationError("%s refused the login (password %s)" % (host, password))
    opened.append(FakeConnection())
    return opened[-1]


def inventory(count, **host):
    return from_dicts({"h%d" % i: dict(platform="generic", **host) for i in range(count)})


@pytest.mark.parametrize("workers, hosts", [(1, 3), (3, 9)])
def test_sessions_at_once_reach_but_never_exceed_workers(workers, hosts):
    barrier = threading.Barrier(workers, timeout=20)
    lock = threading.Lock()
    running = [0, 0]  # now, most

    def task(conn, host):
        with lock:
            running[0] += 1
            running[1] = max(running)
        barrier.wait()  # passes only when `workers` sessions are open together
        with lock:
            running[0] -= 1
        return host.name

    results = run(inventory(hosts), task, workers=workers, connect=fake_connect)
    assert [r.value for r in results.values()] == ["h%d" % i for i in range(hosts)]
    assert all(r.ok for r in results.values())
    assert running[1] == workers


def test_each_host_fails_alone_with_its_error_and_secrets_masked():
    hosts = from_dicts({
        "good": {"platform": "generic", "password": "pw-good"},
        "refused": {"platform": "generic", "password": "wrong"},
        "raises": {"platform": "generic", "password": "pw-raises"},
        "partial": {"platform": "generic"},
        "no-platform": {},
        "bad-option": {"platform": "generic", "connection_options": {
            "tessel": {"extras": {"colour": "red"}}}},
    })

    def task(conn, host):
        if host.name == "raises":
            raise RuntimeError("line one mentions pw-raises\nline two")
        if host.name == "partial":
            raise TaskFailed("stopped half way", [Said("show a", "A")])
        return Said("show version", "v1 pw-good")

    seen = []
    results = run(hosts, task, workers=4, connect=fake_connect, progress=seen.append)
    assert list(results) == ["good", "refused", "raises", "partial", "no-platform",
                             "bad-option"]
    assert sorted(r.host for r in seen) == sorted(results)
    by = {name: (r.ok, r.error_type) for name, r in results.items()}
    assert by == {"good": (True, None), "refused": (False, "AuthenticationError"),
                  "raises": (False, "RuntimeError"), "partial": (False, "TaskFailed"),
                  "no-platform": (False, "InventoryError"), "bad-option": (False, "InventoryError")}
    assert results["good"].value.output == "v1 ********"
    assert "wrong" not in results["refused"].error and "********" in results["refused"].error
    assert results["raises"].error_line == "line one mentions ********"
    assert results["partial"].value == [Said("show a", "A")]
    assert "colour" in results["bad-option"].error
    assert all(c.closed for c in opened)


@pytest.mark.parametrize("extras, timeout, expected", [
    ({}, None, {"host": "10.0.0.1", "port": 2222}),
    ({}, 5.0, {"timeout": 5.0}),
    ({"timeout": 1.0}, 5.0, {"timeout": 1.0}),       # the host's own timeout wins
    ({"log": "logs/{name}.log"}, None, {"log": "logs/r1.log"}),
    ({"transport": "command", "command": ["sim"]}, None, {"transport": "command"}),
])
def test_connect_arguments_come_from_the_host_and_its_extras(extras, timeout, expected):
    host = from_dicts({"r1": {"hostname": "10.0.0.1", "port": 2222, "platform": "generic",
                              "connection_options": {"tessel": {"extras": extras}}}})["r1"]
    arguments = connect_arguments(host, timeout, connect=lambda platform, **kw: None)
    assert arguments["platform"] == "generic"
    assert {k: arguments[k] for k in expected} == expected


def test_extras_that_connect_does_not_take_are_refused():
    host = from_dicts({"r1": {"platform": "generic", "connection_options": {
        "tessel": {"extras": {"hostnmae": "R1"}}}}})["r1"]
    with pytest.raises(InventoryError, match="hostnmae"):
        connect_arguments(host, connect=fake_connect)

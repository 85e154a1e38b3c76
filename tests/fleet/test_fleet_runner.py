"""The fleet runner's own duties, with a recording fake in place of tessel.connect:
bounded sessions, per-host isolation, masking, order, the arguments of connect, Ctrl-C."""
import _thread
import asyncio
import dataclasses
import signal
import threading
import time
import types

import pytest

from simulated import RUNNERS, SWITCHES_STACKS
from tessel.core.errors import AuthenticationError, UnexpectedStateError
from tessel.eal import bridge
from tessel.eal.bridge import await_only
from tessel.fleet import (Commands, Configure, RunInterrupted, TaskFailed, connect_arguments,
                          read_config_lines, run, summary_table)
from tessel.inventory import InventoryError, from_dicts


@dataclasses.dataclass
class Said:
    command: str
    output: str
    failed: bool = False


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


def waiter(event_loop):
    """``wait_for(ready)``: pauses until ``ready()`` holds (True) or long enough (False); a
    session on the loop lets the others run meanwhile."""
    def wait_for(ready):
        for _ in range(4000):
            if event_loop:
                await_only(asyncio.sleep(0.005))
            else:
                time.sleep(0.005)
            if ready():
                return True
        return False
    return wait_for


@pytest.mark.parametrize("event_loop", RUNNERS)
@pytest.mark.parametrize("workers, hosts", [(1, 3), (3, 9)])
def test_sessions_at_once_reach_but_never_exceed_workers(workers, hosts, event_loop):
    wait_for, lock = waiter(event_loop), threading.Lock()
    running = [0, 0]  # now, most

    def task(conn, host):
        with lock:
            running[0] += 1
            running[1] = max(running)
        wait_for(lambda: running[1] >= workers)  # `workers` sessions open together, once
        with lock:
            running[0] -= 1
        return host.name

    results = run(inventory(hosts), task, workers=workers, connect=fake_connect,
                  event_loop=event_loop)
    assert [r.value for r in results.values()] == ["h%d" % i for i in range(hosts)]
    assert all(r.ok for r in results.values())
    assert running[1] == workers


@pytest.mark.parametrize("event_loop", RUNNERS)
def test_each_host_fails_alone_with_its_error_and_secrets_masked(event_loop):
    hosts = from_dicts({
        "good": {"platform": "generic", "password": "pw-good"},
        "refused": {"platform": "generic", "password": "wrong"},
        "raises": {"platform": "generic", "password": "pw-raises"},
        "partial": {"platform": "generic"},
        "no-platform": {},
        "bad-option": {"platform": "generic", "connection_options": {
            "tessel": {"extras": {"colour": "red"}}}},
        "hop": {"platform": "generic", "password": "pw-hop"},
        # The extras' password takes the place of the host's, and is masked as a secret.
        "extras-pw": {"platform": "generic", "password": "pw-host", "connection_options": {
            "tessel": {"extras": {"password": "wrong"}}}},
    })

    def task(conn, host):
        if host.name == "raises":
            raise RuntimeError("line one mentions pw-raises\nline two")
        if host.name == "partial":
            raise TaskFailed("stopped half way", [Said("show a", "A")])
        if host.name == "hop":
            cause = UnexpectedStateError("hop disable->enable ended in state disable",
                                         failed_hop="disable->enable", state_reached="disable",
                                         output="Password: pw-hop\r\n% Denied pw-hop\r\n\r\n")
            raise TaskFailed("going to enable: Failed", []) from cause
        return Said("show version", "v1 pw-good")

    seen = []
    results = run(hosts, task, workers=4, connect=fake_connect, progress=seen.append,
                  event_loop=event_loop)
    assert list(results) == ["good", "refused", "raises", "partial", "no-platform",
                             "bad-option", "hop", "extras-pw"]
    assert sorted(r.host for r in seen) == sorted(results)
    by = {name: (r.ok, r.error_type) for name, r in results.items()}
    assert by == {"good": (True, None), "refused": (False, "AuthenticationError"),
                  "raises": (False, "RuntimeError"), "partial": (False, "TaskFailed"),
                  "no-platform": (False, "InventoryError"), "bad-option": (False, "InventoryError"),
                  "hop": (False, "UnexpectedStateError"),
                  "extras-pw": (False, "AuthenticationError")}
    hop = results["hop"]
    assert (hop.failed_hop, hop.state_reached, hop.last_line, hop.state) == (
        "disable->enable", "disable", "% Denied ********", "disable")
    assert "hop disable->enable; reached disable; device: '% Denied ********'" in summary_table(
        results.values())
    assert results["good"].value.output == "v1 ********"
    for name in ("refused", "extras-pw"):
        assert "wrong" not in results[name].error and "********" in results[name].error
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
    # Every keyword of connect: those that name a connection parameter take its place.
    ({"host": "10.0.0.9", "port": 22, "username": "ops", "password": "pw", "platform": "linux",
      "hostname": "R1", "key_file": "k", "host_keys": "off", "known_hosts": "kh",
      "ssh_options": ["-4"], "context": {"a": 1}}, None,
     {"host": "10.0.0.9", "port": 22, "username": "ops", "password": "pw", "platform": "linux",
      "hostname": "R1", "key_file": "k", "host_keys": "off", "known_hosts": "kh",
      "ssh_options": ["-4"], "context": {"a": 1}}),
    ({"username": None}, None, {"username": "admin"}),
])
def test_connect_arguments_come_from_the_host_and_its_extras(extras, timeout, expected):
    host = from_dicts({"r1": {"hostname": "10.0.0.1", "port": 2222, "platform": "generic",
                              "username": "admin",
                              "connection_options": {"tessel": {"extras": extras}}}})["r1"]
    arguments = connect_arguments(host, timeout)
    assert arguments["platform"] == expected.get("platform", "generic")
    assert {k: arguments[k] for k in expected} == expected


@SWITCHES_STACKS
def test_the_loop_is_refused_where_it_cannot_run_and_chosen_where_it_can():
    over_asyncssh = from_dicts({"a": {"platform": "generic", "connection_options": {
        "tessel": {"extras": {"transport": "asyncssh"}}}}})

    def where(conn, host):
        return bridge.in_bridge()

    async def inside(event_loop):
        return run(over_asyncssh, where, connect=fake_connect, event_loop=event_loop)

    with pytest.raises(ValueError, match="Dask"):
        run(over_asyncssh, where, event_loop=True, client=object())
    with pytest.raises(RuntimeError, match="runs already"):
        asyncio.run(inside(True))
    assert asyncio.run(inside(None))["a"].value is False  # threads, inside a running loop
    assert run(over_asyncssh, where, connect=fake_connect)["a"].value is True
    assert run(inventory(1), where, connect=fake_connect)["h0"].value is False


def test_extras_that_connect_does_not_take_are_refused():
    host = from_dicts({"r1": {"platform": "generic", "connection_options": {
        "tessel": {"extras": {"hostnmae": "R1"}}}}})["r1"]
    with pytest.raises(InventoryError, match="hostnmae"):
        connect_arguments(host, connect=fake_connect)


@pytest.mark.parametrize("entry, sent, error", [
    ({"password": 1234}, {"password": "1234"}, None),
    ({"username": 7}, {"username": "7"}, None),
    ({"password": [1, 2]}, None, "the password must be text, not a list"),
    ({"password": True}, None, "the password must be text, not true/false"),
    ({"password": 1.5}, None, "not a number with a fraction"),
    ({"username": {"a": 1}}, None, "the username must be text, not a mapping"),
    ({"connection_options": {"tessel": {"extras": {"secrets": {"enable_password": 42}}}}},
     {"secrets": {"enable_password": "42"}}, None),
    ({"connection_options": {"tessel": {"extras": {"secrets": {"enable_password": [4]}}}}},
     None, "the secret enable_password must be text, not a list"),
])
def test_credentials_are_text_or_fail_their_host_in_one_line(entry, sent, error):
    calls = {}

    def connect(platform, host=None, **kwargs):
        calls[host] = kwargs
        return FakeConnection()

    hosts = from_dicts({"odd": dict(platform="generic", **entry),
                        "fine": {"platform": "generic", "password": "pw"}})
    results = run(hosts, lambda conn, host: host.name, connect=connect)
    assert results["fine"].ok
    odd = results["odd"]
    if error is None:
        assert odd.ok and {k: calls["odd"][k] for k in sent} == sent
    else:
        assert (odd.ok, odd.error_type, "odd" in calls) == (False, "InventoryError", False)
        assert error in odd.error and "\n" not in odd.error


@pytest.mark.parametrize("make, expected", [
    (lambda: read_config_lines("interface Lo1\r\n description a\rexit\n"),
     ["interface Lo1", " description a", "exit"]),
    (lambda: read_config_lines("description a\x85d\n"),
     ValueError("line 1 holds the control character U+0085")),
    (lambda: read_config_lines("description a\u2028b\n"),
     ValueError("line 1 holds the control character U+2028")),
    (lambda: read_config_lines("! c\n# c\n\x0c\n \t\ninterface Lo1\x0c\n"), ["interface Lo1"]),
    (lambda: read_config_lines("interface Lo1\n\n description \x15x\n"),
     ValueError("line 3 holds the control character U+0015")),
    (lambda: read_config_lines("\tdescription x"), ValueError("line 1 holds a TAB")),
    (lambda: Configure(["interface Lo1", "description a\nb"]),
     ValueError("line 2 is one line, but holds a line break")),
    (lambda: Commands(["show version", "show \x1b[A"]),
     ValueError("command 2 holds the control character U+001B")),
])
def test_lines_end_only_at_line_breaks_and_control_characters_are_refused(make, expected):
    if isinstance(expected, ValueError):
        with pytest.raises(ValueError, match=str(expected).replace("+", r"\+")):
            make()
    else:
        assert make() == expected


class Session:
    """A fake session whose commands go out through ``spawn.send``, as a real one's do."""

    state = "enable"

    def __init__(self, host, sent, on_command, closed):
        self.host, self.closed = host, closed
        self.spawn = types.SimpleNamespace(send=lambda text: sent.append((host, text)))
        self.on_command = on_command

    def execute(self, command, timeout=None):
        self.spawn.send(command + "\n")
        self.on_command(self.host, command)
        self.spawn.send(" ")  # a pager's answer: the command in progress ends whole
        return Said(command, "")

    def close(self):
        self.closed[self.host].set()


def plain_task(conn, host):
    """A task of the caller's own that writes to the device itself."""
    for command in ("c1", "c2", "c3"):
        conn.spawn.send(command + "\n")
        conn.on_command(host.name, command)


@pytest.mark.parametrize("event_loop", RUNNERS)
@pytest.mark.parametrize("interrupts", [1, 2])
@pytest.mark.parametrize("task", [Commands(["c1", "c2", "c3"]), plain_task],
                         ids=["Commands", "plain"])
def test_ctrl_c_sends_nothing_more_and_reports_every_host(task, interrupts, event_loop, ctrl_c):
    # h0 and h1 are in their command c2 when h0's Ctrl-C comes, h2 is still logging in, the
    # others wait for a free worker. With a second Ctrl-C, h0 is still in c2: on threads the
    # run stops waiting for it, on the loop its session is closed there.
    names = ["h%d" % i for i in range(6)]
    wait_for, arrived = waiter(event_loop), []
    announced, release, reported = threading.Event(), threading.Event(), set()
    closed = {name: threading.Event() for name in names}
    sent = []

    def all_in(host):
        arrived.append(host)
        assert wait_for(lambda: len(arrived) == 3)

    def on_command(host, command):
        if command != "c2":
            return
        all_in(host)
        if host == "h0":
            _thread.interrupt_main()
        assert wait_for(announced.is_set)
        if host == "h0" and interrupts == 2:
            assert wait_for(lambda: {"h1", "h2"} <= reported)
            _thread.interrupt_main()
            assert wait_for(release.is_set)  # still in its command when the run returns

    def connect(platform, host=None, **kwargs):
        if host == "h2":
            all_in(host)
            assert wait_for(announced.is_set)
        return Session(host, sent, on_command, closed)

    seen = []

    def progress(result):
        seen.append(result)
        reported.add(result.host)

    with pytest.raises(KeyboardInterrupt) as caught:
        run(inventory(6), task, workers=3, connect=connect, progress=progress,
            on_interrupt=lambda running: announced.set(), event_loop=event_loop)
    release.set()
    assert isinstance(caught.value, RunInterrupted)
    results = caught.value.results
    assert sorted(r.host for r in seen) == names == list(results)
    assert [results[n].status for n in names] == ["interrupted"] * 3 + ["not started"] * 3
    assert caught.value.abandoned == (1 if interrupts == 2 else 0)
    assert closed["h0"].wait(20) and closed["h1"].wait(20) and closed["h2"].wait(20)
    pager = [] if task is plain_task else [" "]
    cut = event_loop and interrupts == 2  # h0's c2 ends without its pager's answer
    assert sorted(sent) == sorted((h, text) for h in ("h0", "h1") for c in ("c1", "c2")
                                  for text in [c + "\n"] + (pager if (h, c) != ("h0", "c2")
                                                             or not cut else []))
    if task is not plain_task:
        assert [c.command for c in results["h1"].value] == ["c1", "c2"]
        assert ([c.command for c in results["h0"].value or ()]
                == ([] if interrupts == 2 else ["c1", "c2"]))
    assert results["h2"].state == "enable" and "before the task" in results["h2"].error


@SWITCHES_STACKS
def test_on_the_loop_a_keyboard_interrupt_of_the_callers_handler_still_reports_every_host():
    def raising(signum, frame):
        raise KeyboardInterrupt

    def task(conn, host):
        if host.name == "h1":
            _thread.interrupt_main()  # raised here, in the middle of the task
        return host.name

    previous = signal.signal(signal.SIGINT, raising)
    try:
        with pytest.raises(RunInterrupted) as caught:
            run(inventory(4), task, workers=2, connect=fake_connect, event_loop=True)
    finally:
        signal.signal(signal.SIGINT, previous)
    results = caught.value.results
    assert [r.status for r in results.values()] == ["ok", "interrupted", "not started",
                                                    "not started"]
    assert "what it did is unknown" in results["h1"].error

"""Configuration transactions on FRRouting's vtysh: diff, dry run, merge, replace, idempotence,
rollback, a refused line taken back, and a confirm timer refused. vtysh itself is the judge."""
import asyncio
import os

import pytest

import tessel
from frr_daemons import nested_config
from tessel.config import parse
from tessel.platforms import load

SPEC = load("frr").config
NEW_PEER = ["router bgp 65001", " neighbor 10.0.9.9 remote-as 64699",
            " neighbor 10.0.9.9 description new"]
CANDIDATE = "\n".join(NEW_PEER) + "\n"


def tree(text):
    return parse(text, SPEC)


@pytest.fixture
def frr2(frr):
    """FRR with two BGP neighbours, their route maps, key chains and interfaces."""
    frr.vtysh("configure terminal", *nested_config(2))
    return frr


def vtysh(frr, **kwargs):
    return tessel.connect("frr", transport="command", command=frr.vtysh_argv, timeout=10,
                          **kwargs)


def test_merge_diff_dry_run_apply_idempotence_and_rollback(frr2):
    before = frr2.running_config()
    with vtysh(frr2) as conn:
        assert tree(conn.running_config()) == tree(before)
        shown = conn.config_diff(CANDIDATE)
        # The missing neighbour inside its router bgp block, and nothing else.
        assert shown.splitlines() == ["--- running", "+++ candidate", "@@ -1 +1,3 @@",
                                      " " + NEW_PEER[0], "+" + NEW_PEER[1], "+" + NEW_PEER[2]]
        dry = conn.apply(CANDIDATE, dry_run=True)
        assert (dry.diff, dry.results, dry.committed) == (shown, [], False)
        assert frr2.running_config() == before
        done = conn.apply(CANDIDATE)
        assert done.sent == [line.strip() for line in NEW_PEER] + ["exit"]
        assert done.committed and not done.pending and conn.state == "enable"
        assert {line.strip() for line in NEW_PEER} <= {
            line.strip() for line in frr2.running_config().splitlines()}
        again = conn.apply(CANDIDATE)
        assert (again.diff, again.sent, again.committed) == ("", [], False)
        rolled = conn.rollback()
        assert rolled.sent == ["router bgp 65001", "no neighbor 10.0.9.9 description new",
                               "no neighbor 10.0.9.9 remote-as 64699", "exit"]
    assert frr2.running_config() == before


def test_replace_with_an_edited_copy_of_the_running_configuration(frr2):
    with vtysh(frr2) as conn:
        # Started in a sub-mode, which no path leads back into: it ends in configuration mode.
        assert conn.execute("router bgp 65001", state="config").state == "config_sub"
        before = conn.running_config()
        assert conn.state == "config"
        # Neighbour 10.0.0.2 removed (with its address-family lines), 10.0.9.9 added, the
        # description of 10.0.0.3 changed.
        edited = "\n".join(line for line in before.splitlines()
                           if "neighbor 10.0.0.2 " not in line).replace(
            " neighbor 10.0.0.3 description peer 2",
            " neighbor 10.0.0.3 description core\n neighbor 10.0.9.9 remote-as 64699") + "\n"
        assert edited.count("\n") == before.count("\n") - 3
        diff = conn.config_diff(edited, replace=True)
        assert {"- neighbor 10.0.0.2 remote-as 64601", "-  neighbor 10.0.0.2 route-map RM-1 in",
                "+ neighbor 10.0.0.3 description core", "- neighbor 10.0.0.3 description peer 2",
                "+ neighbor 10.0.9.9 remote-as 64699"} <= set(diff.splitlines())
        done = conn.apply(edited, replace=True)
        assert done.diff == diff
        assert tree(frr2.running_config()) == tree(edited)
        assert conn.config_diff(edited, replace=True) == ""
        assert conn.apply(edited, replace=True).sent == []
        conn.rollback()
    assert tree(frr2.running_config()) == tree(before)


# The undo of each platform: frr removes an interface's description without its text; the
# generic platform does not know that, vtysh refuses its undo line, and the next change (the
# interface itself) is taken back all the same.
UNDONE = ["router bgp 65001", "no neighbor 10.0.9.9 remote-as 64699", "exit", "interface tsl7"]


@pytest.mark.parametrize("platform, undone, problem", [
    ("frr", UNDONE + ["no description", "exit", "no interface tsl7"], None),
    ("generic", UNDONE + ["no interface tsl7"], "'no description seven' was refused"),
])
def test_a_refused_line_takes_back_what_was_sent(frr2, platform, undone, problem):
    before = frr2.running_config()
    candidate = ("interface tsl7\n description seven\nexit\nrouter bgp 65001\n"
                 " neighbor 10.0.9.9 remote-as 64699\n neighbor 10.0.9.9 bogus setting\n"
                 " neighbor 10.0.9.9 description never sent\n")
    with tessel.connect(platform, transport="command", command=frr2.vtysh_argv,
                        timeout=10) as conn:
        with pytest.raises(tessel.ApplyError) as caught:
            conn.apply(candidate)
        assert conn.state == "enable"
        with pytest.raises(tessel.ConfigError, match="nothing to roll back"):
            conn.rollback()
    err = caught.value
    assert (err.line, err.restored, err.remaining) == ("neighbor 10.0.9.9 bogus setting", True,
                                                        "")
    assert err.failure.startswith("% Unknown command") and err.results[-1].command == err.line
    assert err.undone == undone
    assert "'neighbor 10.0.9.9 bogus setting' refused" in str(err)
    assert "the running configuration is as before" in str(err)
    assert (problem is None) == ("went wrong" not in str(err)) and (problem or "") in str(err)
    assert frr2.running_config() == before


def test_a_confirm_timer_is_refused_before_anything_is_sent(frr):
    before = frr.running_config()
    with vtysh(frr) as conn:
        sent = conn.spawn.last_sent
        for call in (lambda: conn.apply(CANDIDATE, confirm=60),
                     lambda: conn.apply(CANDIDATE, confirm=60, dry_run=True),
                     lambda: conn.apply(CANDIDATE, comment="change 7")):
            with pytest.raises(ValueError, match="has no commit with a confirm timer|takes no "
                               "commit comment"):
                call()
        with pytest.raises(tessel.ConfigError, match="nothing to confirm"):
            conn.confirm()
        assert conn.spawn.last_sent == sent == "terminal length 0\n"
    assert frr.running_config() == before


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="greenlet's stack copies under AddressSanitizer")
def test_the_async_connection_applies_and_rolls_back(frr2):
    before = frr2.running_config()

    async def session():
        async with tessel.aconnect("frr", transport="command", command=frr2.vtysh_argv,
                                   timeout=10) as conn:
            shown = await conn.config_diff(CANDIDATE)
            done = await conn.apply(CANDIDATE)
            running = await conn.running_config()
            await conn.rollback()
            return shown, done, running

    shown, done, running = asyncio.run(session())
    assert done.diff == shown != "" and NEW_PEER[1] in running.splitlines()
    assert frr2.running_config() == before

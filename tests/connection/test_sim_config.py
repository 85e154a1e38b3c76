"""Simulated devices keep a configuration: stored, shown, committed, rolled back; the
transactions of Connection, tessel diff and tessel apply run against them."""
import io
import sys
import time

import pytest

import tessel
from tessel.cli import main
from tessel.config import parse
from tessel.core.errors import ApplyError
from tessel.platforms import load, platform_file, responses_file
from tessel.sim.platform_sim import PlatformSimulator, read_responses
from tessel.transaction import changed_counts

#: Seconds per minute of the simulated confirm timers.
SCALE = 1.0
ROUTER = [sys.executable, "-m", "tessel.sim.router"]


def simulator(platform, typed):
    """A platform's simulator that has answered the lines typed."""
    definition = load(platform).definition
    responses = read_responses(responses_file(platform_file(platform)), definition)
    sim = PlatformSimulator(definition, responses=responses, stdin=io.StringIO(typed),
                            stdout=io.StringIO(), abbreviate=True)
    sim.run()
    return sim


def shown(sim):
    return "\n".join(sim.configuration_lines()) + "\n"


CONF = "configure terminal\n"


@pytest.mark.parametrize("platform, typed, present, absent", [
    # a line in its sub-modes' blocks; a line entered twice is kept once
    ("frr", CONF + "router bgp 65001\naddress-family ipv4 unicast\nnetwork 10.0.0.0/8\n"
     "network 10.0.0.0/8\n", ["router bgp 65001", " address-family ipv4 unicast",
                              "  network 10.0.0.0/8"], []),
    # the platform's negation without the text, and 'no' of a line's first words
    ("frr", CONF + "interface lo\nno description\nexit\nrouter bgp 65001\n"
     "no neighbor 192.0.2.2\n", ["interface lo", "  neighbor 192.0.2.2 route-map RM-IN in"],
     [" description loopback", " neighbor 192.0.2.2 remote-as 65002"]),
    # a removal of nothing is a line of its own, which its opposite removes
    ("generic", "enable\n\n" + CONF + "no ip routing\n", ["no ip routing"], []),
    ("generic", "enable\n\n" + CONF + "no ip routing\nip routing\n", [],
     ["no ip routing", "ip routing"]),
    ("frr", CONF + "no route-map RM-IN permit 10\n", [], ["route-map RM-IN permit 10",
                                                          " set local-preference 200"]),
    # a path's line opens a block; abbreviations are kept written out
    ("generic", "enable\n\n" + CONF + "int Gi 0/1\ndesc uplink\nno shutdown\nexit\nip route x\n",
     ["interface Gi 0/1", " description uplink", " no shutdown", "ip route x"], ["desc uplink"]),
    ("bracket", "system-view\ninterface GigabitEthernet0/0/1\nshutdown\nundo shutdown\n"
     "description x\nquit\n", ["interface GigabitEthernet0/0/1", " description x"],
     [" shutdown", " undo shutdown"]),
    # an abbreviated commit commits (a response alone would only say so)
    ("hierarchical", "configure\nset a b\ncomm\n", ["set a b"], []),
], ids=["blocks-once", "negations", "no-kept", "no-taken-back", "block-removed", "path-block",
        "undo", "abbreviated-commit"])
def test_lines_are_kept_in_their_blocks_and_removed_by_negation(platform, typed, present,
                                                                 absent):
    lines = shown(simulator(platform, typed)).splitlines()
    assert [line for line in present if line not in lines] == []
    assert [line for line in absent if line in lines] == []


def test_the_shapes_the_platforms_print():
    definition = load("frr").definition
    sample = read_responses(responses_file(platform_file("frr")), definition)["enable"][
        "show running-config"].output
    # FRR's header, '!' separators, blocks closed by exit and exit-address-family: as given.
    assert shown(simulator("frr", "")) == sample.replace("%N", "R1")
    assert shown(simulator("bracket", "system-view\ninterface Gi0/0/1\ndescription x\n")) == \
        "#\nsysname R1\n#\ninterface Gi0/0/1\n description x\n#\nreturn\n"
    hierarchical = simulator("hierarchical", "configure\nset a b 1\ndelete x\n")
    assert "set a b 1" not in shown(hierarchical)  # in the candidate, not committed
    assert hierarchical.stdout.getvalue().count("warning: statement not found: x") == 1


def hierarchical():
    argv = [sys.executable, "-m", "tessel", "sim", "hierarchical", "--timer-scale", str(SCALE)]
    return tessel.connect("hierarchical", transport="command", command=argv, timeout=10)


def tree(text, platform="hierarchical"):
    return parse(text, load(platform).config)


def test_commit_confirmed_rolls_back_by_itself_unless_confirmed():
    with hierarchical() as conn:
        kept = conn.apply("set system host-name r1\n", confirm=120)
        assert (kept.pending, kept.sent[-1]) == (True, "commit confirmed 2")
        conn.confirm()
        lost = conn.apply("set system domain-name lab\n", confirm=120)
        assert lost.pending and "set system domain-name lab" in conn.running_config()
        time.sleep(3 * SCALE)  # both timers (2 minutes of SCALE seconds) have run out
        assert tree(conn.running_config()) == tree("set system host-name r1\n")
        with pytest.raises(ApplyError, match="differs from the candidate"):
            conn.confirm()


def test_commit_compare_replace_rollback_and_a_refused_line():
    first = "set system host-name r1\nset interfaces lo0 unit 0\n"
    with hierarchical() as conn:
        done = conn.apply(first, comment="first")
        assert done.sent == ["set system host-name r1", "set interfaces lo0 unit 0",
                             'commit comment "first"']
        assert ["+set system host-name r1", "+set interfaces lo0 unit 0"] == [
            line for line in done.device_diff.splitlines() if line.startswith(("+", "-"))]
        assert 'comment "first"' in conn.running_config()
        replaced = conn.apply("set system host-name r2\n", replace=True)
        assert replaced.sent == ["delete", "set system host-name r2", "commit"]
        assert tree(conn.running_config()) == tree("set system host-name r2\n")
        assert conn.config_diff("set system host-name r2\n", replace=True) == ""
        assert conn.rollback().sent == ["rollback 1", "commit"]
        assert tree(conn.running_config()) == tree(first)
        with pytest.raises(ApplyError, match="'frobnicate now' refused") as caught:
            conn.apply("set a b\nfrobnicate now\n")
        assert caught.value.undone == ["rollback 0"]
        assert tree(conn.running_config()) == tree(first)
        # Commits: the rollback, r2, first, the one the device started with.
        conn.rollback(number=3)
        assert tree(conn.running_config()) == tree("")


def test_the_simulated_router_keeps_what_apply_sends():
    candidate = ("interface Loopback1\n description up\nrouter bgp 1\n neighbor 10.0.0.2 "
                 "remote-as 2\n address-family ipv4 unicast\n  neighbor 10.0.0.2 activate\n")
    with tessel.connect("generic", transport="command", command=ROUTER, timeout=10,
                        secrets={"enable_password": "lab"}) as conn:
        assert changed_counts(conn.config_diff(candidate)) == (6, 0)
        assert len(conn.apply(candidate).sent) == 9
        assert conn.apply(candidate).sent == [] and conn.config_diff(candidate) == ""
        merged = conn.running_config()
        edited = merged.replace(" description up", " description down").replace(
            "interface Loopback0\n", "")
        assert conn.apply(edited, replace=True).sent == [
            "interface Loopback1", "no description up", "exit", "no interface Loopback0",
            "interface Loopback1", "description down", "exit"]
        assert tree(conn.running_config(), "generic") == tree(edited, "generic")
        assert conn.config_diff(edited, replace=True) == ""
        conn.rollback()
        assert tree(conn.running_config(), "generic") == tree(merged, "generic")


@pytest.mark.parametrize("argv, candidate, status, out, err", [
    (["diff", "generic"], "interface Loopback0\n description x\n", 0, "+ description x",
     "+1 -0 line(s) would change"),
    (["diff", "generic", "--replace"], "hostname R1\n", 0, "-interface Loopback0", "+0 -1"),
    (["apply", "generic", "--dry-run"], "interface Loopback0\n description x\n", 0,
     "+ description x", "dry run: +1 -0 line, nothing sent"),
    (["apply", "generic"], "interface Loopback0\n description x\n bogus words\n", 1, "",
     "'bogus words' refused"),
    # the undo refused too: said so, not called done
    (["apply", "bracket"], "sysname R2\ninterface GigabitEthernet0/0/1\n bogus\n", 1, "",
     "taking back the 2 change(s) accepted before it went wrong (nothing sent): 'undo "
     "interface GigabitEthernet0/0/1' was refused"),
    (["apply", "generic", "--confirm", "60"], "hostname R1\n", 2, "",
     "no commit with a confirm timer"),
    (["apply", "generic"], "interface Lo9\n description a\x15b\n", 2, "", "line 2 holds"),
    (["apply", "hierarchical", "--confirm", "60"], "set a b 1\n", 0, "+set a b 1",
     "committed with a confirm timer of 60 s and confirmed"),
], ids=["diff", "diff-replace", "dry-run", "refused", "undo-refused", "no-timer",
        "control-character", "confirmed"])
def test_tessel_diff_and_apply(argv, candidate, status, out, err, tmp_path, capsys):
    path = tmp_path / "candidate.cfg"
    path.write_text(candidate)
    device = ROUTER if argv[1] == "generic" else [sys.executable, "-m", "tessel", "sim",
                                                   argv[1]]
    assert main(argv + ["--context", "enable_password=lab", "--candidate", str(path), "--",
                        *device]) == status
    captured = capsys.readouterr()
    assert out in captured.out and err in captured.err

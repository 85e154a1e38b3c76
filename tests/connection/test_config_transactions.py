"""Configuration trees, diffs and the lines to send; transactions on a platform with commit."""
import threading

import pytest

from tessel.config import (combined, diff, merge_changes, negate, parse, replace_changes,
                           steps)
from tessel.connection import CommandResult, Connection
from tessel.core.errors import ApplyError, ConfigError
from tessel.platforms import load

FRR = load("frr").config
SET = load("hierarchical").config
BRACKET = load("bracket").config

RUNNING = """\
Building configuration...

Current configuration:
!
frr version 8.4.4
no ip forwarding
!
router bgp 65001
 neighbor 10.0.0.2 remote-as 64601
 neighbor 10.0.0.2 description peer 1
 !
 address-family ipv4 unicast
  neighbor 10.0.0.2 route-map RM-1 in
 exit-address-family
exit
!
route-map RM-1 permit 10
 set metric 1
exit
!
end
"""
BGP = "router bgp 65001\n"
AF = " address-family ipv4 unicast\n"

# (spec, running, candidate, replace, the lines sent, the +/- lines of the diff)
CASES = {
    "same-text-reordered-without-banners": (
        FRR, RUNNING, "route-map RM-1 permit 10\n set metric 1\nno ip forwarding\n" + BGP
        + AF + "  neighbor 10.0.0.2 route-map RM-1 in\n neighbor 10.0.0.2 description peer 1\n"
        " neighbor 10.0.0.2 remote-as 64601\n", True, [], []),
    "merge-line-in-block": (
        FRR, RUNNING, BGP + " neighbor 10.0.0.3 remote-as 64602\n", False,
        ["router bgp 65001", "neighbor 10.0.0.3 remote-as 64602", "exit"],
        ["+ neighbor 10.0.0.3 remote-as 64602"]),
    "merge-in-nested-block": (
        FRR, RUNNING, BGP + AF + "  neighbor 10.0.0.2 maximum-prefix 10\n", False,
        ["router bgp 65001", "address-family ipv4 unicast", "neighbor 10.0.0.2 maximum-prefix 10",
         "exit", "exit"], ["+  neighbor 10.0.0.2 maximum-prefix 10"]),
    "merge-new-nested-block": (
        FRR, RUNNING, "key chain KC\n key 1\n  key-string s\n exit\nexit\n", False,
        ["key chain KC", "key 1", "key-string s", "exit", "exit"],
        ["+key chain KC", "+ key 1", "+  key-string s"]),
    "replace-deepest-first-then-additions": (
        FRR, RUNNING, BGP + " neighbor 10.0.0.3 remote-as 64602\n" + AF
        + "route-map RM-1 permit 10\n set metric 1\n", True,
        ["router bgp 65001", "address-family ipv4 unicast",
         "no neighbor 10.0.0.2 route-map RM-1 in", "exit",
         "no neighbor 10.0.0.2 description peer 1", "no neighbor 10.0.0.2 remote-as 64601",
         "exit", "ip forwarding", "router bgp 65001", "neighbor 10.0.0.3 remote-as 64602", "exit"],
        ["-no ip forwarding", "- neighbor 10.0.0.2 remote-as 64601",
         "- neighbor 10.0.0.2 description peer 1", "+ neighbor 10.0.0.3 remote-as 64602",
         "-  neighbor 10.0.0.2 route-map RM-1 in"]),
    "replace-removes-a-block-by-its-header": (
        FRR, RUNNING, RUNNING.replace("route-map RM-1 permit 10\n set metric 1\n", ""), True,
        ["no route-map RM-1 permit 10"], ["-route-map RM-1 permit 10", "- set metric 1"]),
    "description-by-the-platform-negation": (
        FRR, "interface tsl1\n description a\nexit\n", "interface tsl1\n description b\n", True,
        ["interface tsl1", "no description", "description b", "exit"],
        ["- description a", "+ description b"]),
    "set-lines": (
        SET, "set a b 1\nset a c 2\n[edit]\n", "set a b 1\nset a d 3\n", True,
        ["delete a c 2", "set a d 3"], ["-set a c 2", "+set a d 3"]),
    "bracket-undo-and-quit": (
        BRACKET, "#\ninterface Gi0/0/1\n ip address 10.0.0.1 24\n#\nreturn\n",
        "interface Gi0/0/1\n description up\n", True,
        ["interface Gi0/0/1", "undo ip address 10.0.0.1 24", "description up", "quit"],
        ["- ip address 10.0.0.1 24", "+ description up"]),
}


@pytest.mark.parametrize("spec, running, candidate, replace, sent, changed", CASES.values(),
                         ids=CASES.keys())
def test_changes_and_diff(spec, running, candidate, replace, sent, changed):
    before, wanted = parse(running, spec), parse(candidate, spec)
    changes = (replace_changes if replace else merge_changes)(before, wanted, spec)
    assert [line for line, _ in steps(changes, spec.exit)] == sent
    text = diff(before, combined(before, wanted, replace))
    assert [line for line in text.splitlines()[2:] if line[:1] in "+-"] == changed
    assert (text == "") == (not sent)
    # Once applied, nothing is left to send.
    after = combined(before, wanted, replace)
    assert (replace_changes if replace else merge_changes)(after, wanted, spec) == []


def test_the_diff_is_unified_with_the_block_headers_as_context():
    before = parse(RUNNING, FRR)
    wanted = parse(BGP + AF + "  neighbor 10.0.0.2 route-map RM-2 in\n", FRR)
    assert diff(before, combined(before, wanted, False)) == (
        "--- running\n+++ candidate\n@@ -1,2 +1,3 @@\n router bgp 65001\n"
        "  address-family ipv4 unicast\n+  neighbor 10.0.0.2 route-map RM-2 in\n")


def test_undo_takes_the_changes_back_last_first():
    before = parse(RUNNING, FRR)
    changes = replace_changes(before, parse(BGP + " neighbor 10.0.0.9 remote-as 1\n", FRR), FRR)
    undo = [change for done in reversed(changes) for change in done.undo]
    # A removed block comes back whole; a neighbour before its description and its settings.
    assert [line for line, _ in steps(undo, "exit")] == [
        "router bgp 65001", "no neighbor 10.0.0.9 remote-as 1", "exit", "no ip forwarding",
        "route-map RM-1 permit 10", "set metric 1", "exit",
        "router bgp 65001", "neighbor 10.0.0.2 remote-as 64601",
        "neighbor 10.0.0.2 description peer 1", "address-family ipv4 unicast",
        "neighbor 10.0.0.2 route-map RM-1 in", "exit", "exit"]


@pytest.mark.parametrize("template, line, negated", [
    ("no {line}", "neighbor 1.1.1.1 remote-as 1", "no neighbor 1.1.1.1 remote-as 1"),
    ("no {line}", "no ip forwarding", "ip forwarding"),
    ("undo {line}", "undo shutdown", "shutdown"),
    ("delete {path}", "set system host-name r1", "delete system host-name r1"),
    ("delete {path}", "set", ValueError),
])
def test_negate(template, line, negated):
    if negated is ValueError:
        with pytest.raises(ValueError, match="nothing after its first word"):
            negate(line, template)
    else:
        assert negate(line, template) == negated


# -- a platform with commit: the hierarchical style, against a recording fake ---------------

class CommitDevice(Connection):
    """A connection to a fake device with a candidate, commit, commit confirmed, rollback and
    compare, as the hierarchical platform declares them; it records every line."""

    def __init__(self, running=("set a b 1",)):
        self.machine = load("hierarchical")(hostname="r1")
        self.machine.update_cur_state("operational")
        self.spawn = type("Masking", (), {"mask": staticmethod(lambda text: text)})()
        self.host, self.timeout, self._lock, self._applied = "r1", 10.0, threading.RLock(), None
        self.running, self.commits = list(running), [list(running)]
        self.candidate, self.sent, self.refuse = list(running), [], set()

    def go_to(self, state, *, timeout=None):
        for line in {"config": ["configure"], "operational": ["exit"]}[state]:
            if state != self.state:
                self.sent.append(line)
        self.machine.update_cur_state(state)
        return []

    def execute(self, command, *, state=None, timeout=None, dialog=None, check=False, **_):
        if state is not None:
            self.go_to(state)
        self.sent.append(command)
        output, failed = "", command in self.refuse
        if failed:
            pass
        elif command == "show configuration | display set":
            output = "\n".join(self.running)
        elif command == "show | compare":
            output = "\n".join("+" + line for line in self.candidate if line not in self.running)
        elif command == "delete" and dialog:
            self.candidate = []
        elif command.startswith("set "):
            self.candidate.append(command)
        elif command.startswith("delete "):
            self.candidate.remove("set " + command[len("delete "):])
        elif command.startswith("commit"):
            self.running = list(self.candidate)
            self.commits.append(list(self.candidate))
        elif command.startswith("rollback "):
            self.candidate = list(self.commits[-1 - int(command.split()[1])])
        else:
            failed = True
        return CommandResult(command, "error: refused" if failed else output, self.state,
                             failed, "error: refused" if failed else None)


def test_commit_with_timer_comment_and_confirm():
    device = CommitDevice()
    with pytest.raises(ValueError, match="whole minutes"):
        device.apply("set a c 2\n", confirm=90)
    with pytest.raises(ValueError, match="double quote"):
        device.apply("set a c 2\n", comment='x" and more')
    with pytest.raises(ConfigError, match="nothing to confirm"):
        device.confirm()
    assert device.sent == []
    done = device.apply("set a c 2\n", confirm=120, comment="change 7")
    assert done.sent == ["set a c 2", 'commit confirmed 2 comment "change 7"']
    assert (done.committed, done.pending, done.device_diff) == (True, True, "+set a c 2")
    assert device.running == ["set a b 1", "set a c 2"] and device.state == "operational"
    assert device.confirm().command == "commit" and device.apply("set a c 2\n").sent == []
    # A commit confirmed too late: the device rolled back by itself before the confirmation.
    device.apply("set a d 3\n", confirm=60)
    device.running = device.candidate = list(device.commits[-2])
    with pytest.raises(ApplyError, match="confirmed on r1, but the running configuration read "
                       "afterwards differs from the candidate"):
        device.confirm()


def test_replace_and_rollback_use_the_platform_commands():
    device = CommitDevice(["set a b 1", "set a c 2"])
    done = device.apply("set a b 1\nset a d 3\n", replace=True)
    assert done.sent == ["delete", "set a b 1", "set a d 3", "commit"]
    assert device.running == ["set a b 1", "set a d 3"]
    device.sent.clear()
    rolled = device.rollback()
    assert rolled.sent == ["rollback 1", "commit"] and device.running == ["set a b 1", "set a c 2"]
    assert "-set a d 3" in rolled.diff.splitlines()
    with pytest.raises(ConfigError, match="nothing to roll back"):
        device.rollback()


@pytest.mark.parametrize("pending, refused, message, sent", [
    (["set z 9"], set(), "holds changes that are not committed", ["show | compare"]),
    ([], {"set a d 3"}, "'set a d 3' refused by r1: error: refused; nothing was committed, "
     "and 'rollback 0' discarded the candidate",
     ["show | compare", "set a c 2", "set a d 3", "rollback 0"]),
    ([], {"commit"}, "'commit' refused by r1",
     ["show | compare", "set a c 2", "set a d 3", "show | compare", "commit", "rollback 0"]),
], ids=["others-uncommitted", "refused-line", "refused-commit"])
def test_a_stopped_transaction_commits_nothing(pending, refused, message, sent):
    device = CommitDevice()
    device.candidate += pending
    device.refuse = refused
    with pytest.raises(ApplyError, match=message) as caught:
        device.apply("set a c 2\nset a d 3\n")
    assert device.running == ["set a b 1"] and device.commits == [["set a b 1"]]
    assert device.sent[device.sent.index("configure") + 1:-1] == sent
    assert caught.value.restored and device.state == "operational"
    assert caught.value.undone == (["rollback 0"] if "rollback 0" in sent else [])

"""tessel check: each kind of finding from a broken file, and the shipped platforms pass."""
import os
import re

import pytest

from tessel.cli import main
from tessel.platforms import shipped_file, shipped_names
from tessel.platforms.analysis import backtracking_risk, parse, required_text
from tessel.platforms.check import check_file

GOOD = """\
platform: lab
states:
  - name: user
    prompt: '^%N> ?$'
    sample: '%N> '
  - name: config
    prompt: '^%N\\(config\\)# ?$'
    sample: '%N(config)# '
  - name: admin
    prompt: '^%N# ?$'
    sample: '%N# '
paths:
  - from: user
    to: admin
    command: enable
    dialog:
      - {expect: 'Password: ?$', send: '{password}', continue: true, sample: 'Password: '}
  - {from: admin, to: user, command: disable}
  - {from: admin, to: config, command: configure}
  - {from: config, to: admin, command: end}
pager: {expect: '--More--', sample: ' --More-- '}
"""

# (text to replace, replacement, the findings as (line, words), in which hostname modes)
BROKEN = [
    ("prompt: '^%N> ?$'", "prompt: '^%N> [?$'", [(4, "does not compile")], None),
    ("sample: '%N> '", "sample: '%N$ '", [(5, "not matched by the state's own prompt")],
     "both"),
    # A loose first prompt takes a later state's prompt, with or without learning.
    ("prompt: '^%N> ?$'", "prompt: '^%N[>(].*$'", [(8, "also matched by the prompt of user")],
     "both"),
    # '%N#' learned as '\\S+#' also matches 'R1(config)#': only hostname learning sees it.
    ("  - name: config\n    prompt: '^%N\\(config\\)# ?$'\n    sample: '%N(config)# '\n"
     "  - name: admin\n    prompt: '^%N# ?$'\n    sample: '%N# '\n",
     "  - name: admin\n    prompt: '^%N# ?$'\n    sample: '%N# '\n"
     "  - name: config\n    prompt: '^%N\\(config\\)# ?$'\n    sample: '%N(config)# '\n",
     [(11, "also matched by the prompt of admin")], "learning"),
    ("  - {from: config, to: admin, command: end}\n", "",
     [(3, "states user, admin cannot be reached from config"),
      (6, "state config cannot get back to user, admin")], None),
    ("  - {from: admin, to: config, command: configure}\n", "",
     [(3, "states user, admin cannot get back to config"),
      (6, "state config cannot be reached from user, admin")], None),
    ("expect: 'Password: ?$', send: '{password}', continue: true, sample: 'Password: '",
     "expect: '> ?$', send: '{password}', continue: true, sample: 'R1> '",
     [(17, "also matched by the prompt of user")], None),
    ("sample: 'Password: '", "sample: 'Passcode: '", [(17, "not matched by its own pattern")],
     None),
    ("{from: admin, to: user, command: disable}", "{from: admin, to: user}",
     [(18, "has no command")], None),
    ("pager: {expect: '--More--', sample: ' --More-- '}", "pager: {expect: '# ?$', "
     "sample: 'R1# '}", [(21, "pager prompt 'R1# ' is also matched")], None),
]


# A family of sub-modes: configuration lines lead in, 'end' out from any depth.
FAMILY = GOOD.replace("  - name: config\n", """\
  - name: sub
    prompt: '^%N\\(config-[a-z]+\\)# ?$'
    sample: '%N(config-router)# '
    entered_by: configuration
  - name: config
""").replace("pager:", """\
  - {from: sub, to: admin, command: end}
submodes:
  - {name: config-router, command: 'router {x}', parent: config, sample: '%N(config-router)# '}
  - {name: config-af, command: 'address-family {x}', parent: config-router,
     sample: '%N(config-af)# ', exit: [exit-address-family, exit]}
pager:""")


@pytest.mark.parametrize("old, new, message", [
    ("    entered_by: configuration\n", "", "state sub cannot be reached from"),
    ("{from: sub, to: admin, command: end}", "{from: sub, to: config, command: exit}",
     "'exit' goes up one level from a sub-mode of sub (to config, config-router): it does not "
     "reach config from every depth"),
    ("sample: '%N(config-af)# '", "sample: '%N(af)# '",
     "'R1(af)# ' is not matched by the prompt of its state sub"),
    # Lines lead from config into sub, and sub out to admin: go_to still needs a path out.
    ("  - {from: config, to: admin, command: end}\n", "",
     "state config has no route to user, admin: configuration lines lead from it into sub"),
], ids=["needs-entered-by", "exit-path-lies", "sub-mode-sample", "config-needs-a-way-out"])
def test_sub_mode_findings(tmp_path, old, new, message):
    assert check_file(write(tmp_path, FAMILY)) == []
    findings = check_file(write(tmp_path, FAMILY.replace(old, new, 1)))
    assert any(message in f.message for f in findings), findings


def write(tmp_path, text):
    path = tmp_path / "lab.yaml"
    path.write_text(text)
    return str(path)


def test_the_good_file_has_no_findings(tmp_path):
    assert check_file(write(tmp_path, GOOD)) == []


@pytest.mark.parametrize("old, new, expected, modes", BROKEN,
                         ids=[row[2][0][1][:40] for row in BROKEN])
def test_each_kind_of_finding_is_an_error_with_its_line(tmp_path, capsys, old, new, expected,
                                                       modes):
    assert old in GOOD
    path = write(tmp_path, GOOD.replace(old, new, 1))
    findings = check_file(path)
    assert {f.severity for f in findings} == {"error"}
    # One finding per expected line and words, or one per hostname mode.
    got = sorted({(f.line, words) for f in findings for line, words in expected
                  if f.line == line and words in f.message})
    assert got == sorted(expected) and len(findings) == len(expected) * (2 if modes == "both"
                                                                          else 1), findings
    if modes is not None:
        seen = {"learning" if "hostname learning" in f.message else "fixed" for f in findings}
        assert seen == ({"fixed", "learning"} if modes == "both" else {modes})
    assert main(["check", path]) == 1
    out = capsys.readouterr().out.splitlines()
    assert len(out) == len(findings) and all(o.startswith(path + ":") and ": error: " in o
                                             for o in out)


def test_a_state_without_sample_is_a_warning_only(tmp_path, capsys):
    path = write(tmp_path, GOOD.replace("    sample: '%N# '\n", ""))
    assert [(f.line, f.severity) for f in check_file(path)] == [(9, "warning")]
    assert main(["check", path]) == 0


EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "path-prompt.yaml")


@pytest.mark.parametrize("name", shipped_names() + [EXAMPLE])
def test_every_shipped_platform_and_the_example_pass(name, capsys):
    assert check_file(shipped_file(name) or name) == []
    assert main(["check", name]) == 0


# -- large files: the groups of states and the prompt prefilter --------------------------

def ring(size, prompts=None, broken=None):
    """A file of `size` states s0..s<size-1> in a ring, without the path leaving `broken`."""
    lines = ["platform: ring", "states:"]
    for k in range(size):
        prompt = (prompts or {}).get(k, "^%%N\\(s%d\\)# ?$" % k)
        lines += ["  - name: s%d" % k, "    prompt: '%s'" % prompt, "    sample: '%%N(s%d)# '" % k]
    lines.append("paths:")
    lines += ["  - {from: s%d, to: s%d, command: go}" % (k, (k + 1) % size)
              for k in range(size) if k != broken]
    return "\n".join(lines) + "\n"


def test_findings_on_a_ring_with_a_broken_link_and_a_loose_prompt(tmp_path):
    # s28 -> s29 missing: a chain of 30 groups of one state, s29 its start and s28 its end; the
    # prompt of s3 also takes the sample of s25 (the required text "R1(s" lets it through).
    findings = check_file(write(tmp_path, ring(30, {3: "^%N\\(s(3|25)\\)# ?$"}, broken=28)))
    first = ", ".join("s%d" % k for k in range(20))
    also = ("the sample 'R1(s25)# ' of state s25 is also matched by the prompt of s3, registered "
            "earlier, so detect_state would take s3 (%s)")
    assert [(f.line, f.severity, f.message.split(": define")[0]) for f in findings] == [
        (80, "error", also % "hostname R1"), (80, "error", also % "hostname learning"),
        (87, "error", "state s28 cannot get back to %s and 9 more" % first),
        (90, "error", "state s29 cannot be reached from %s and 9 more" % first)]


# -- patterns that can backtrack catastrophically -------------------------------------------

CATASTROPHIC = [r"^(a+)+>$", r"(a|aa)+$", r"(\w+\s?)+#$", r"(x\w+\d+y)+", r"(\w+a)+", r"(\w+|\d+)+",
                r"(a{1,3})+", r"(?>(a+)+b)", r"(?=(a+)+b)", r"((ab)+)+", r"(a?a?)+", r"(a*)*b",
                r"(?:\s*--More--\s*)+", r"\(config(?:-[\w-]+)+\)#", r"(.*,)*x", r"(?:(?:ab)?ab)+x",
                r"(a|a)+$", r"(a(?:x?|y?))+"]
SAFE = [r"^R1\(s17\)# ?$", r"^(?P<h>\S+)\(config-[\w-]+\)#\s*$", r"(a|ab)+$", r"(\d+\.)+$",
        r"(ba+)+$", r".*.*=.*", r"(a+)++b", r"(a++)+b", r"(?>a+|a)+c", r"(?:[0-9a-f]{2}[:.-]?)+",
        r"(\d{1,3}\.){3}\d{1,3}", r"^[\w.-]+@\S+:[^\n]*\$ ?$", r"(?i)(a|A)+$", r"(?:a|b)+",
        r"([^,]*,)*x", r"\(config(?:-\w+)+\)#", r"(?:-|)\w+", r"(?:a{20})+$"]


@pytest.mark.parametrize("pattern, risky", [(p, True) for p in CATASTROPHIC] +
                         [(p, False) for p in SAFE])
def test_catastrophic_backtracking_is_told_from_the_safe_patterns(pattern, risky):
    assert backtracking_risk(parse(pattern)) is risky


# Each with a line it matches: one of the required texts is in the line.
@pytest.mark.parametrize("pattern, line, texts", [
    (r"^R1\(s17\)# ?$", "R1(s17)# ", {"R1(s17)#"}),
    (r"^\S+>|^\S+#", "R1#", {">", "#"}),
    (r"(?i)config#", "CONFIG#", None),
    (r"(?i:ab)cd", "ABcd", {"cd"}),
    (r"x(?=y)yz|q\b", "q", {"xyz", "q"}),
    (r"a{0}b?c(?:de)+", "cdede", {"de"}),
    (r"(?:conf|config)-(\w+)#", "config-if#", {"conf"}),
    (r"[ab]|", "", None),
])
def test_required_texts_hold_for_every_match(pattern, line, texts):
    assert re.search(pattern, line)
    found = required_text(parse(pattern))
    assert found == (None if texts is None else frozenset(texts))
    assert found is None or any(text in line for text in found)


def test_risky_patterns_are_findings_and_the_check_does_not_run_them_on_python_re(tmp_path):
    # The sample of admin would keep Python's re busy for days in the prompt of user; the check
    # runs the risky patterns on google-re2, or, for the one it cannot compile (a lookahead),
    # not at all.
    text = GOOD.replace("prompt: '^%N> ?$'", "prompt: '^%N ((\\w+\\s?)+)> ?$'").replace(
        "prompt: '^%N# ?$'", "prompt: '^%N ((\\w+\\s?)+)(?=#)# ?$'").replace(
        "sample: '%N> '", "sample: '%N x> '").replace("sample: '%N# '", "sample: '%N " + "a" * 40
                                                      + "# '").replace(
        "{expect: 'Password: ?$'", "{expect: '(\\w+:?)+ ?$'").replace(
        "pager: {expect: '--More--'", "pager: {expect: '(?:\\s*--More--\\s*)+'") + (
        "failure: ['^% (\\w+\\s?)+$']\nerror_sample: '% Unknown command'\n")
    findings = check_file(write(tmp_path, text))
    assert [(f.line, f.key, f.severity) for f in findings] == [
        (4, "states[0].prompt", "warning"), (10, "states[2].prompt", "error"),
        (17, "paths[0].dialog[0].expect", "warning"), (21, "pager.expect", "warning"),
        (22, "failure", "warning")]
    assert all("can backtrack catastrophically" in f.message for f in findings)
    assert "'^%N ((\\\\w+\\\\s?)+)(?=#)# ?$'" in findings[1].message
    assert "google-re2 cannot run it (invalid perl operator: (?=)" in findings[1].message

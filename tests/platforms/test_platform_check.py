"""tessel check: each kind of finding from a broken file, and the shipped platforms pass."""
import os

import pytest

from tessel.cli import main
from tessel.platforms import shipped_file, shipped_names
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
], ids=["needs-entered-by", "exit-path-lies", "sub-mode-sample"])
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

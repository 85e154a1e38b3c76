"""Platform files: loading, the classes built from them, and mistakes reported by line and key."""
import textwrap

import pytest

from tessel.core.errors import PlatformError
from tessel.platforms import load, shipped_names
from tessel.platforms.base import (ConfigSpec, config_state, connect_commands,
                                   failure_patterns, pager)
from tessel.platforms.datafile import Send
from tessel.platforms.generic import GenericRouter

SHIPPED = ["bracket", "frr", "generic", "hierarchical", "linux"]

VALID = """\
platform: lab
description: A lab device.
states:
  - name: user
    prompt: '^%N> ?$'
    sample: '%N> '
  - name: admin
    prompt: ['^%N# ?$', '^%N\\(admin\\)# ?$']
    sample: '%N# '
paths:
  - from: user
    to: admin
    command: [enable, '{level}']
    dialog:
      - {expect: 'Password: ?$', send: '{pin}', continue: true, sample: 'Password: ',
         secret: true}
  - {from: admin, to: user, command: disable}
statements:
  - {expect: '\\[y/n\\]', send: 'y', continue: true, restart_timer: true}
pager: {expect: '--More--'}
failure: '^% '
connect: [{state: admin, command: 'terminal length 0'}]
config_state: admin
defaults: {level: 15}
"""

# A family of sub-modes that configuration lines open, and the sub-modes the simulator knows.
SUBMODES = VALID.replace("""  - name: admin
""", """  - name: sub
    prompt: '^%N\\(conf-[a-z]+\\)# ?$'
    sample: '%N(conf-a)# '
    entered_by: configuration
  - name: admin
""").replace("connect: [{state: admin,", "connect: [{state: [admin, user],") + """\
submodes:
  - {name: conf-a, command: 'a {x}', parent: admin, sample: '%N(conf-a)# '}
  - {name: conf-b, command: b, parent: conf-a, sample: '%N(conf-b)# ', exit: [up, exit]}
"""

# A configuration section with commit, a timer and a command that asks a question.
CONFIGURED = VALID + """\
config:
  show: show running-config
  state: admin
  ignore: ['^end$']
  style: blocks
  negate: 'no {line}'
  commit: commit
  abort: discard
  commit_confirm: 'commit confirmed {minutes}'
  confirm: confirm
  save: {command: save, dialog: [{expect: 'Proceed\\?', send: 'y'}]}
  negations: [{match: '^description ', negate: 'no description'}]
"""


def write(tmp_path, text, name="lab.yaml"):
    path = tmp_path / name
    path.write_text(textwrap.dedent(text))
    return str(path)


class FakeSpawn:
    def __init__(self):
        self.sent, self.secrets = [], []

    def sendline(self, line=""):
        self.sent.append(line)

    def add_secret(self, value):
        self.secrets.append(value)


def test_a_file_becomes_a_platform_class_with_its_declarations(tmp_path):
    cls = load(write(tmp_path, VALID))
    machine = cls(hostname="sw1")
    assert [s.name for s in machine.states] == ["user", "admin"]
    assert machine.get_state("admin").pattern == r"^sw1# ?$|^sw1\(admin\)# ?$"
    assert [str(p) for p in machine.paths] == ["user->admin", "admin->user"]
    assert len(machine.default_dialog) == 1
    assert not machine.default_dialog[0].continue_timer
    assert connect_commands(machine)[0].command == "terminal length 0"
    assert pager(machine).expect == "--More--" and pager(machine).send == " "
    assert failure_patterns(machine) == ("^% ",) and config_state(machine) == "admin"
    # A list of lines with a field filled from the defaults, unless the context gives it.
    spawn = FakeSpawn()
    machine.get_path("user", "admin").command(spawn, context={})
    machine.get_path("user", "admin").command(spawn, context={"level": "7"})
    assert spawn.sent == ["enable", "15", "enable", "7"]


def test_sub_modes_and_connect_states_are_read(tmp_path):
    cls = load(write(tmp_path, SUBMODES))
    assert cls.config_substates == ("sub",) and cls.definition.login_state == "admin"
    assert connect_commands(cls)[0].target == ["admin", "user"]
    assert [(m.name, m.parent, m.state, m.exits) for m in cls.definition.submodes] == [
        ("conf-a", "admin", "sub", ["exit"]), ("conf-b", "conf-a", "sub", ["up", "exit"])]


def test_a_secret_answer_is_masked_whatever_its_field_is_called(tmp_path):
    machine = load(write(tmp_path, VALID))()
    statement = machine.get_path("user", "admin").dialog[0]
    spawn = FakeSpawn()
    statement.run_action(spawn, context={"pin": "4711"})
    assert spawn.sent == ["4711"] and spawn.secrets == ["4711"]


def test_the_configuration_section_becomes_the_config_attribute(tmp_path):
    spec = load(write(tmp_path, CONFIGURED)).config
    assert (spec.state, spec.ignore, spec.closers, spec.exit) == ("admin", ("^end$",),
                                                                   ("!", "exit"), "exit")
    assert spec.command("commit_confirm").command == "commit confirmed {minutes}"
    assert spec.command("save").dialog[0].action == "y" and spec.command("diff") is None
    assert spec.negations == (("^description ", "no description"),)
    assert load(write(tmp_path, VALID)).config is None
    # A Python platform's ConfigSpec is held to the rules of the file.
    with pytest.raises(ValueError, match=r"config.commit_confirm: .* holds no \{minutes\}"):
        ConfigSpec(show="show", commit="commit", abort="x", confirm="c",
                   commit_confirm="commit confirmed")


MISTAKES = [
    ("description: A lab device.", "descripton: x", 2, "descripton", "unknown key"),
    ("    to: admin\n", "    to: root\n", 12, "paths[0].to", "unknown state 'root'"),
    ("prompt: '^%N> ?$'", "prompt: '^%N> (?$'", 5, "states[0].prompt", "does not compile"),
    ("send: '{pin}'", "send: yes", 15, "paths[0].dialog[0].send", "got a boolean"),
    ("continue: true, sample", "continue: maybe, sample", 15, "paths[0].dialog[0].continue",
     "expected true or false"),
    ("  - name: admin", "  - name: user", 7, "states[1].name", "defined already"),
    ("{from: admin, to: user, command: disable}", "{from: user, to: admin, command: x}", 17,
     "paths[1]", "defined already"),
    ("pager: {expect: '--More--'}", "pager: {expect: '--More--', key: q}", 20, "pager.key",
     "unknown key"),
    ("connect: [{state: admin,", "connect: [{state: root,", 22, "connect[0].state",
     "unknown state"),
    ("config_state: admin", "config_state: conf", 23, "config_state", "unknown state"),
    ("failure: '^% '", "failure: ['^(% ']", 21, "failure", "does not compile"),
    ("defaults: {level: 15}", "defaults: [15]", 24, "defaults", "expected a mapping"),
    ("platform: lab", "platform: [lab]", 1, "platform", "expected a text"),
    ("    sample: '%N> '", "    sample: '%N> '\n   bad: [", 7, "", "not valid YAML"),
]


CONFIG_MISTAKES = [
    ("  show: show running-config\n", "", 26, "config", "the key 'show' is missing"),
    ("state: admin\n  ignore", "state: root\n  ignore", 27, "config.state", "unknown state"),
    ("['^end$']", "['^(end$']", 28, "config.ignore", "does not compile"),
    ("style: blocks", "style: tree", 29, "config.style", "expected blocks or set"),
    ("negate: 'no {line}'", "negate: 'no'", 30, "config.negate", "holds no {line} or {path}"),
    ("'commit confirmed {minutes}'", "'commit confirmed'", 33, "config.commit_confirm",
     "holds no {minutes} or {seconds}"),
    ("{minutes}", "{hours}", 33, "config.commit_confirm", "unknown placeholder {hours}"),
    ("  commit: commit\n", "", 31, "config.abort", "only a platform with commit has it"),
    ("  abort: discard\n", "", 31, "config.commit", "needs abort"),
    ("  confirm: confirm\n", "", 33, "config.commit_confirm", "needs confirm"),
    ("  confirm: confirm", "  confirm: confirm\n  comit: commit", 35, "config.comit",
     "unknown key"),
    ("'^description '", "'^(description '", 36, "config.negations[0].match",
     "does not compile"),
    ("negate: 'no description'", "negate: 'no {text}'", 36, "config.negations[0]",
     "unknown placeholder {text}"),
]


SUBMODE_MISTAKES = [
    ("entered_by: configuration", "entered_by: lines", 10, "states[1].entered_by",
     "expected paths or configuration"),
    ("connect: [{state: [admin, user],", "connect: [{state: [admin, admin],", 26,
     "connect[0].state", "listed twice"),
    ("parent: conf-a", "parent: nowhere", 31, "submodes[1].parent", "unknown parent"),
    ("parent: admin", "parent: conf-b", 30, "submodes[0].parent", "form a loop"),
    ("parent: admin", "parent: sub", 30, "submodes[0].parent", "is a family of sub-modes"),
    ("name: conf-b", "name: user", 31, "submodes[1].name", "taken by a state"),
    ("parent: admin,", "parent: admin, state: admin,", 30, "submodes[0].state",
     "not a state entered by configuration"),
    ("config_state: admin\n", "", 7, "states[1]", "has no configuration state"),
]


@pytest.mark.parametrize("text, mistake, replacement, line, key, message",
                         [(VALID, *row) for row in MISTAKES]
                         + [(SUBMODES, *row) for row in SUBMODE_MISTAKES]
                         + [(CONFIGURED, *row) for row in CONFIG_MISTAKES],
                         ids=[row[3] or "yaml-syntax" for row in MISTAKES + SUBMODE_MISTAKES]
                         + [row[4] for row in CONFIG_MISTAKES])
def test_a_mistake_is_one_error_with_file_line_and_key(tmp_path, text, mistake, replacement,
                                                         line, key, message):
    assert mistake in text
    path = write(tmp_path, text.replace(mistake, replacement, 1))
    with pytest.raises(PlatformError) as caught:
        load(path)
    text = str(caught.value)
    assert text.startswith("%s:%d: error: " % (path, line)), text
    assert "\n" not in text and message in text
    if key:
        assert (" %s: " % key) in text


@pytest.mark.parametrize("name, message", [
    ("missing.yaml", "no platform file"),
    ("nosuchplatform", "unknown platform 'nosuchplatform'"),
    ("no.such.module:Platform", "cannot import the platform module"),
])
def test_names_that_lead_nowhere(name, message):
    with pytest.raises(PlatformError, match=message):
        load(name)


def test_shipped_platforms_load_by_name_and_the_generic_class_stays():
    assert shipped_names() == SHIPPED
    assert load("generic") is GenericRouter
    assert load("linux") is load("linux")
    assert GenericRouter.config_state == "config"
    assert [c.command for c in GenericRouter.connect_commands] == ["terminal length 0"]


@pytest.mark.parametrize("description", [
    None,                       # not written again
    "A lab device.",            # written again, the same content
    "A lab devise.",            # the same size, written at once: the modification time may agree
    "A lab device, edited.",
])
def test_a_platform_file_is_parsed_once_until_its_content_changes(tmp_path, monkeypatch,
                                                                 description):
    from tessel.platforms import definition

    parsed = []
    read = definition.read_definition
    monkeypatch.setattr(definition, "read_definition",
                        lambda text, file: parsed.append(file) or read(text, file))
    path = write(tmp_path, VALID)
    first = load(path)
    if description is not None:
        write(tmp_path, VALID.replace("A lab device.", description))
    unchanged = description in (None, "A lab device.")
    for _ in range(2):
        again = load(path)
        assert (again is first, len(parsed)) == (unchanged, 1 if unchanged else 2)
        assert again.definition.description == (description or "A lab device.")


def test_the_generic_interface_path_enters_the_context_interface_or_loopback0():
    command = GenericRouter().get_path("config", "config_if").command
    spawn = FakeSpawn()
    command(spawn)
    command(spawn, context={"interface": "Gi0/2"})
    assert spawn.sent == ["interface Loopback0", "interface Gi0/2"]


def test_send_fails_with_the_missing_field_named():
    with pytest.raises(Exception, match="'vlan'"):
        Send(["vlan {vlan}"])(FakeSpawn(), context={})

"""Platform files: the YAML format, read into a checked :class:`Definition` with line numbers.

A platform file describes a family of devices as data::

    platform: linux
    description: A Linux shell; root through sudo.
    states:
      - name: user
        prompt: '^[\\w.-]+@%N:[^\\n]*\\$ ?$'
        sample: 'admin@%N:~$ '
    paths:
      - from: user
        to: root
        command: sudo -i
        dialog:
          - expect: '\\[sudo\\] password for [^:]+: ?$'
            send: '{password}'
            continue: true
            sample: '[sudo] password for admin: '

A state may stand for a family of configuration sub-modes that configuration
lines open (``entered_by: configuration``): no path needs to lead into it, and
its ``submodes`` tell the simulator which line opens which mode::

    states:
      - name: config_sub
        prompt: '^%N\\(config-[^)\\s]+\\)#\\s*$'
        sample: '%N(config-router)#'
        entered_by: configuration
    submodes:
      - {name: config-router, command: 'router bgp {asn}', parent: config,
         sample: '%N(config-router)#'}
      - {name: config-router-af, command: 'address-family {family}', parent: config-router,
         sample: '%N(config-router-af)#', exit: [exit-address-family, exit]}

Reading never raises on a mistake in the file: every mistake becomes a
:class:`Problem` with the file, the line and the key, so that ``tessel check``
can list them all and :func:`tessel.platforms.load` can report the first.
"""
import re
import string
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Tuple

import yaml

from tessel.core.errors import PlatformError
from yaml.constructor import SafeConstructor
from yaml.nodes import MappingNode, Node, ScalarNode, SequenceNode

#: The hostname that stands in for ``%N`` when patterns are compiled to test them.
TEST_HOSTNAME = "R1"

ERROR = "error"
WARNING = "warning"

#: libyaml's parser where PyYAML was built with it (ten times faster), else the Python one.
SAFE_LOADER = getattr(yaml, "CSafeLoader", yaml.SafeLoader)

_STR = "tag:yaml.org,2002:str"
_BOOL = "tag:yaml.org,2002:bool"
_NULL = "tag:yaml.org,2002:null"
_NUMBERS = ("tag:yaml.org,2002:int", "tag:yaml.org,2002:float")


@dataclass(frozen=True)
class Problem:
    """One mistake or doubt in a platform file: where it is and what is wrong."""

    file: str
    line: int
    key: str
    message: str
    severity: str = ERROR

    def __str__(self) -> str:
        where = "%s:%d" % (self.file, self.line) if self.line else self.file
        key = "%s: " % self.key if self.key else ""
        return "%s: %s: %s%s" % (where, self.severity, key, self.message)


@dataclass
class Place:
    """Where an entry of the file stands: its key path and the line of each of its keys."""

    key: str
    line: int
    lines: Dict[str, int] = field(default_factory=dict)

    def at(self, sub: str = "") -> Tuple[str, int]:
        """The key path and line of one key of the entry (the entry itself for '')."""
        if not sub:
            return self.key, self.line
        return "%s.%s" % (self.key, sub) if self.key else sub, self.lines.get(sub, self.line)


@dataclass
class StatementDef:
    """A question the device may ask, and the answer (``send``; None: recognise only)."""

    expect: str
    send: Optional[str] = None
    loop_continue: bool = False
    restart_timer: bool = False
    sample: Optional[str] = None
    secret: Optional[bool] = None
    refused: Optional[str] = None
    place: Place = field(default_factory=lambda: Place("", 0))

    @property
    def fields(self) -> List[str]:
        return template_fields(self.send or "")

    @property
    def is_secret(self) -> bool:
        """Whether the answer is masked: said so, or filled from a field that looks secret."""
        from tessel.utils import is_secret_key

        if self.secret is not None:
            return self.secret
        return any(is_secret_key(name) for name in self.fields)


#: How a state is entered: along the file's paths (the default), or by configuration lines
#: that open a sub-mode (no path needs to lead into such a state).
ENTERED_BY = ("paths", "configuration")


@dataclass
class StateDef:
    name: str
    prompts: List[str]
    sample: Optional[str] = None
    #: False when a prompt does not compile (the state is kept so that paths may name it).
    valid: bool = True
    entered_by: str = "paths"
    place: Place = field(default_factory=lambda: Place("", 0))

    @property
    def by_configuration(self) -> bool:
        return self.entered_by == "configuration"


@dataclass
class PathDef:
    source: str
    target: str
    commands: List[str]
    dialog: List[StatementDef]
    place: Place = field(default_factory=lambda: Place("", 0))


@dataclass
class PagerDef:
    expect: str
    send: str = " "
    sample: Optional[str] = None
    place: Place = field(default_factory=lambda: Place("", 0))


@dataclass
class ConnectDef:
    """A command run after login in one of ``states``: the current one when it is listed,
    else the nearest."""

    states: List[str]
    command: str
    place: Place = field(default_factory=lambda: Place("", 0))

    @property
    def state(self) -> str:
        """The first state listed."""
        return self.states[0]


#: What leaves a sub-mode for its parent when the file names nothing else.
SUBMODE_EXITS = ("exit",)


@dataclass
class SubmodeDef:
    """A configuration sub-mode: the line that opens it, the mode it is opened from
    (``parent``: a state or another sub-mode), its prompt, and the lines that go back up
    one level (``exits``). It belongs to ``state``, a state entered by configuration."""

    name: str
    command: str
    parent: str
    sample: str
    state: str = ""
    exits: List[str] = field(default_factory=lambda: list(SUBMODE_EXITS))
    place: Place = field(default_factory=lambda: Place("", 0))


@dataclass
class CommandDef:
    """A command of the configuration section, with the questions it asks."""

    command: str
    dialog: List[StatementDef] = field(default_factory=list)


#: The keys of the configuration section that are not commands, with their defaults.
CONFIG_SETTINGS = ("state", "ignore", "style", "closers", "exit", "negate", "negations",
                   "comment")


@dataclass
class ConfigDef:
    """The ``config`` section: how the platform shows, compares, changes and saves its
    configuration (see :class:`tessel.platforms.base.ConfigSpec`). ``commands`` holds the
    commands it gives, by key (``show``, ``commit``, ``save``, ...)."""

    commands: Dict[str, CommandDef]
    state: Optional[str] = None
    ignore: List[str] = field(default_factory=list)
    style: str = "blocks"
    closers: Optional[List[str]] = None
    exit: Optional[str] = None
    negate: Optional[str] = None
    negations: List[Tuple[str, str]] = field(default_factory=list)
    comment: Optional[str] = None
    place: Place = field(default_factory=lambda: Place("config", 0))

    def settings(self) -> Dict[str, Any]:
        """The keywords of a ConfigSpec that are not commands, as far as the file gives them."""
        given: Dict[str, Any] = {key: value for key, value in (
            ("state", self.state), ("style", self.style), ("exit", self.exit),
            ("negate", self.negate), ("comment", self.comment),
            ("closers", self.closers)) if value is not None}
        return dict(given, ignore=tuple(self.ignore), negations=tuple(self.negations))


@dataclass
class Definition:
    """A platform as its file describes it."""

    file: str
    name: str
    description: str = ""
    states: List[StateDef] = field(default_factory=list)
    paths: List[PathDef] = field(default_factory=list)
    statements: List[StatementDef] = field(default_factory=list)
    pager: Optional[PagerDef] = None
    failure: List[str] = field(default_factory=list)
    connect: List[ConnectDef] = field(default_factory=list)
    submodes: List[SubmodeDef] = field(default_factory=list)
    config_state: Optional[str] = None
    ntc_platform: Optional[str] = None
    defaults: Dict[str, str] = field(default_factory=dict)
    error_sample: Optional[str] = None
    config: Optional[ConfigDef] = None
    place: Place = field(default_factory=lambda: Place("", 1))

    def state(self, name: str) -> Optional[StateDef]:
        return next((s for s in self.states if s.name == name), None)

    def submode(self, name: str) -> Optional[SubmodeDef]:
        return next((m for m in self.submodes if m.name == name), None)

    @property
    def config_substates(self) -> List[str]:
        """The states that configuration lines enter (families of sub-modes)."""
        return [s.name for s in self.states if s.by_configuration]

    @property
    def entry_state(self) -> Optional[str]:
        """The state configuration lines are entered in: ``config_state``, else ``config``."""
        if self.config_state is not None:
            return self.config_state
        return "config" if self.state("config") else None

    @property
    def login_state(self) -> str:
        """Where a device is after login: the state of the first connect command, else the
        first state."""
        if self.connect:
            return self.connect[0].state
        return self.states[0].name if self.states else ""


def template_fields(text: str) -> List[str]:
    """The ``{name}`` fields of a text, in order ([] when it holds none or is malformed)."""
    try:
        return [name for _, name, _, _ in string.Formatter().parse(text) if name]
    except ValueError:
        return []


def last_line(text: str) -> str:
    """The line a prompt is recognised on: the last line of a sample."""
    lines = text.splitlines()
    return lines[-1] if lines else ""


def fixed_pattern(pattern: str, hostname: str = TEST_HOSTNAME) -> str:
    """A prompt pattern with ``%N`` replaced by a hostname, as the machine does."""
    return pattern.replace("%N", re.escape(hostname))


def compile_error(pattern: str) -> Optional[str]:
    """Why a pattern (``%N`` allowed) does not compile, or None when it does."""
    try:
        re.compile(fixed_pattern(pattern))
    except re.error as err:
        return "the regular expression %r does not compile: %s" % (pattern, err)
    return None


# -- reading ------------------------------------------------------------------------------

class _Reader:
    """Walks the YAML node tree, checking types and keys, and collecting problems."""

    def __init__(self, file: str) -> None:
        self.file = file
        self.problems: List[Problem] = []
        self._constructor = SafeConstructor()

    def problem(self, line: int, key: str, message: str, severity: str = ERROR) -> None:
        self.problems.append(Problem(self.file, line, key, message, severity))

    @staticmethod
    def line(node: Node) -> int:
        return int(node.start_mark.line) + 1

    def value(self, node: ScalarNode) -> Any:
        return self._constructor.construct_object(node, deep=True)

    @staticmethod
    def kind(node: Node) -> str:
        if isinstance(node, MappingNode):
            return "a mapping"
        if isinstance(node, SequenceNode):
            return "a list"
        if node.tag == _BOOL:
            return "a boolean"
        if node.tag == _NULL:
            return "nothing (null)"
        if node.tag in _NUMBERS:
            return "a number"
        return "a text"

    # -- typed readers: each returns None (and records a problem) on a wrong type

    def text(self, node: Node, key: str, numbers: bool = True) -> Optional[str]:
        if isinstance(node, ScalarNode):
            if node.tag == _STR:
                return str(self.value(node))
            if numbers and node.tag in _NUMBERS:
                return str(node.value)
            if node.tag == _BOOL:
                self.problem(self.line(node), key, "expected a text, got a boolean (%s); quote "
                             "it: '%s'" % (node.value, node.value))
                return None
        self.problem(self.line(node), key, "expected a text, got %s" % self.kind(node))
        return None

    def texts(self, node: Node, key: str) -> Optional[List[str]]:
        """A text or a list of texts."""
        if isinstance(node, SequenceNode):
            items = [self.text(item, "%s[%d]" % (key, i)) for i, item in enumerate(node.value)]
            if any(item is None for item in items):
                return None
            if not items:
                self.problem(self.line(node), key, "the list is empty")
                return None
            return [item for item in items if item is not None]
        single = self.text(node, key)
        return None if single is None else [single]

    def flag(self, node: Node, key: str) -> Optional[bool]:
        if isinstance(node, ScalarNode) and node.tag == _BOOL:
            return bool(self.value(node))
        self.problem(self.line(node), key, "expected true or false, got %s" % self.kind(node))
        return None

    def items(self, node: Node, key: str) -> List[Node]:
        if isinstance(node, SequenceNode):
            return list(node.value)
        if isinstance(node, ScalarNode) and node.tag == _NULL:
            return []
        self.problem(self.line(node), key, "expected a list, got %s" % self.kind(node))
        return []

    def mapping(self, node: Node, key: str, required: Sequence[str],
                optional: Sequence[str]) -> Tuple[Dict[str, Node], Place]:
        """The keys of a mapping node by name, after checking them against the allowed ones."""
        place = Place(key, self.line(node))
        found: Dict[str, Node] = {}
        if not isinstance(node, MappingNode):
            self.problem(self.line(node), key, "expected a mapping (key: value), got %s"
                         % self.kind(node))
            return found, place
        allowed = list(required) + list(optional)
        for key_node, value_node in node.value:
            name = key_node.value if isinstance(key_node, ScalarNode) else str(key_node)
            where = "%s.%s" % (key, name) if key else str(name)
            if name not in allowed:
                self.problem(self.line(key_node), where, "unknown key; the keys here are: %s"
                             % ", ".join(allowed))
                continue
            if name in found:
                self.problem(self.line(key_node), where, "the key is given twice")
                continue
            found[name] = value_node
            place.lines[name] = self.line(key_node)
        for name in required:
            if name not in found:
                self.problem(place.line, key, "the key '%s' is missing" % name)
        return found, place

    def regex(self, pattern: Optional[str], line: int, key: str) -> Optional[str]:
        if pattern is None:
            return None
        error = compile_error(pattern)
        if error is not None:
            self.problem(line, key, error)
            return None
        return pattern

    # -- entries ---------------------------------------------------------------------------

    def statement(self, node: Node, key: str) -> Optional[StatementDef]:
        found, place = self.mapping(node, key, ["expect"], ["send", "continue", "restart_timer",
                                                            "sample", "secret", "refused"])
        if "expect" not in found:
            return None
        expect = self.regex(self.text(found["expect"], key + ".expect"), place.lines["expect"],
                            key + ".expect")
        send = None
        if "send" in found:
            send_node = found["send"]
            if not (isinstance(send_node, ScalarNode) and send_node.tag == _NULL):
                send = self.text(send_node, key + ".send")
        statement = StatementDef(expect=expect or "", send=send, place=place)
        for name, attribute in (("continue", "loop_continue"), ("restart_timer", "restart_timer"),
                                ("secret", "secret")):
            if name in found:
                value = self.flag(found[name], "%s.%s" % (key, name))
                if value is not None:
                    setattr(statement, attribute, value)
        for name in ("sample", "refused"):
            if name in found:
                setattr(statement, name, self.text(found[name], "%s.%s" % (key, name)))
        return statement if expect is not None else None

    def statements(self, node: Node, key: str) -> List[StatementDef]:
        result = []
        for index, item in enumerate(self.items(node, key)):
            statement = self.statement(item, "%s[%d]" % (key, index))
            if statement is not None:
                result.append(statement)
        return result

    def state(self, node: Node, key: str) -> Optional[StateDef]:
        found, place = self.mapping(node, key, ["name", "prompt"], ["sample", "entered_by"])
        if "name" not in found or "prompt" not in found:
            return None
        name = self.text(found["name"], key + ".name")
        prompts = self.texts(found["prompt"], key + ".prompt")
        sample = self.text(found["sample"], key + ".sample") if "sample" in found else None
        entered_by = "paths"
        if "entered_by" in found:
            given = self.text(found["entered_by"], key + ".entered_by")
            if given is not None and given not in ENTERED_BY:
                self.problem(place.lines["entered_by"], key + ".entered_by", "expected %s, "
                             "not %r" % (" or ".join(ENTERED_BY), given))
            elif given is not None:
                entered_by = given
        if name is None or prompts is None:
            return None
        compiled = [self.regex(p, place.lines["prompt"], key + ".prompt") for p in prompts]
        return StateDef(name=name, prompts=prompts, sample=sample, place=place,
                        entered_by=entered_by, valid=all(p is not None for p in compiled))

    def path(self, node: Node, key: str, states: Dict[str, StateDef]) -> Optional[PathDef]:
        found, place = self.mapping(node, key, ["from", "to"], ["command", "dialog"])
        if "from" not in found or "to" not in found:
            return None
        ends = []
        for end in ("from", "to"):
            name = self.text(found[end], "%s.%s" % (key, end))
            if name is not None and name not in states:
                self.problem(place.lines[end], "%s.%s" % (key, end), "unknown state '%s'; the "
                             "states are: %s" % (name, ", ".join(states) or "(none)"))
                name = None
            ends.append(name)
        commands: Optional[List[str]] = []
        if "command" in found:
            commands = self.texts(found["command"], key + ".command")
        dialog = self.statements(found["dialog"], key + ".dialog") if "dialog" in found else []
        if ends[0] is None or ends[1] is None or commands is None:
            return None
        return PathDef(source=ends[0], target=ends[1], commands=commands, dialog=dialog,
                       place=place)

    def definition(self, node: Node) -> Optional[Definition]:
        found, place = self.mapping(
            node, "", ["platform", "states"],
            ["description", "paths", "statements", "pager", "failure", "connect",
             "config_state", "ntc_platform", "defaults", "error_sample", "submodes",
             "config"])
        if not isinstance(node, MappingNode):
            return None
        name = self.text(found["platform"], "platform") if "platform" in found else None
        if name == "":
            self.problem(place.lines["platform"], "platform", "the platform needs a name")
        definition = Definition(file=self.file, name=name or "", place=place)
        if "description" in found:
            definition.description = self.text(found["description"], "description") or ""

        states: Dict[str, StateDef] = {}
        for index, item in enumerate(self.items(found["states"], "states")
                                     if "states" in found else []):
            state = self.state(item, "states[%d]" % index)
            if state is None:
                continue
            if state.name in states:
                self.problem(state.place.lines.get("name", state.place.line),
                             "states[%d].name" % index, "a state named '%s' is defined "
                             "already" % state.name)
                continue
            states[state.name] = state
        definition.states = list(states.values())
        if "states" in found and not definition.states and not self.problems:
            self.problem(place.lines["states"], "states", "a platform needs at least one state")

        pairs: Dict[Tuple[str, str], int] = {}
        for index, item in enumerate(self.items(found["paths"], "paths")
                                     if "paths" in found else []):
            path = self.path(item, "paths[%d]" % index, states)
            if path is None:
                continue
            pair = (path.source, path.target)
            if pair in pairs:
                self.problem(path.place.line, "paths[%d]" % index, "a path from %s to %s is "
                             "defined already (line %d)" % (pair + (pairs[pair],)))
                continue
            pairs[pair] = path.place.line
            definition.paths.append(path)

        if "statements" in found:
            definition.statements = self.statements(found["statements"], "statements")
        if "pager" in found:
            definition.pager = self.pager(found["pager"])
        if "failure" in found:
            failure = self.texts(found["failure"], "failure") or []
            definition.failure = [p for p in failure
                                  if self.regex(p, place.lines["failure"], "failure")]
        if "connect" in found:
            for index, item in enumerate(self.items(found["connect"], "connect")):
                connect = self.connect(item, "connect[%d]" % index, states)
                if connect is not None:
                    definition.connect.append(connect)
        for key in ("config_state", "ntc_platform", "error_sample"):
            if key in found:
                setattr(definition, key, self.text(found[key], key))
        if definition.config_state is not None and definition.config_state not in states:
            self.problem(place.lines["config_state"], "config_state", "unknown state '%s'; the "
                         "states are: %s" % (definition.config_state, ", ".join(states)))
            definition.config_state = None
        if "defaults" in found:
            definition.defaults = self.defaults(found["defaults"])
        families = [states[name] for name in definition.config_substates]
        if families and definition.entry_state is None:
            self.problem(families[0].place.line, families[0].place.key, "state %s is entered "
                         "by configuration, and the platform has no configuration state: set "
                         "config_state" % families[0].name)
        if "submodes" in found:
            definition.submodes = self.submodes(found["submodes"], definition)
        if "config" in found:
            definition.config = self.config(found["config"], states)
        return definition

    def config(self, node: Node, states: Dict[str, StateDef]) -> Optional[ConfigDef]:
        """The configuration section; its mistakes are told by key."""
        from tessel.platforms.base import CONFIG_COMMANDS, config_problems

        found, place = self.mapping(node, "config", ["show"],
                                    [key for key in CONFIG_COMMANDS if key != "show"]
                                    + list(CONFIG_SETTINGS))
        if not isinstance(node, MappingNode):
            return None
        section = ConfigDef(commands={}, place=place)
        given: Dict[str, Any] = {}
        for key in CONFIG_COMMANDS:
            if key in found:
                command = self.config_command(found[key], "config." + key)
                if command is not None:
                    section.commands[key] = command
                    given[key] = command.command
        for key in ("state", "style", "exit", "negate", "comment"):
            if key in found:
                value = self.text(found[key], "config." + key)
                if value is not None:
                    setattr(section, key, value)
                    given[key] = value
        if section.state is not None and section.state not in states:
            self.problem(place.lines["state"], "config.state", "unknown state '%s'; the "
                         "states are: %s" % (section.state, ", ".join(states)))
            section.state = None
        if "ignore" in found:
            section.ignore = [pattern for pattern in self.texts(found["ignore"], "config.ignore")
                              or [] if self.regex(pattern, place.lines["ignore"],
                                                  "config.ignore")]
        if "closers" in found:
            section.closers = self.texts(found["closers"], "config.closers")
        for index, item in enumerate(self.items(found["negations"], "config.negations")
                                     if "negations" in found else []):
            key = "config.negations[%d]" % index
            place.lines["negations[%d]" % index] = self.line(item)
            entry, _ = self.mapping(item, key, ["match", "negate"], [])
            if len(entry) != 2:
                continue
            match = self.text(entry["match"], key + ".match")
            template = self.text(entry["negate"], key + ".negate")
            if self.regex(match, self.line(entry["match"]), key + ".match") is not None \
                    and template is not None:
                assert match is not None
                section.negations.append((match, template))
        if section.negations:
            given["negations"] = section.negations
        told = []
        for key, message in config_problems(given):
            if key == "show" and "show" not in found:
                continue  # told as a missing key already
            told.append(place.at(key) + (message,))
        for where, line, message in sorted(told, key=lambda item: item[1]):
            self.problem(line, where, message)
        return section if "show" in section.commands else None

    def config_command(self, node: Node, key: str) -> Optional[CommandDef]:
        """A command: a line, or a mapping of the line and the questions it asks."""
        if not isinstance(node, MappingNode):
            text = self.text(node, key)
            return None if text is None else CommandDef(text)
        found, _ = self.mapping(node, key, ["command"], ["dialog"])
        text = self.text(found["command"], key + ".command") if "command" in found else None
        dialog = self.statements(found["dialog"], key + ".dialog") if "dialog" in found else []
        return None if text is None else CommandDef(text, dialog)

    def pager(self, node: Node) -> Optional[PagerDef]:
        found, place = self.mapping(node, "pager", ["expect"], ["send", "sample"])
        if "expect" not in found:
            return None
        expect = self.regex(self.text(found["expect"], "pager.expect"), place.lines["expect"],
                            "pager.expect")
        send = self.text(found["send"], "pager.send") if "send" in found else " "
        sample = self.text(found["sample"], "pager.sample") if "sample" in found else None
        if expect is None or send is None:
            return None
        return PagerDef(expect=expect, send=send, sample=sample, place=place)

    def connect(self, node: Node, key: str, states: Dict[str, StateDef]) -> Optional[ConnectDef]:
        found, place = self.mapping(node, key, ["state", "command"], [])
        if len(found) != 2:
            return None
        names = self.texts(found["state"], key + ".state")
        command = self.text(found["command"], key + ".command")
        unknown = [name for name in names or () if name not in states]
        if unknown:
            self.problem(place.lines["state"], key + ".state", "unknown state '%s'; the states "
                         "are: %s" % (unknown[0], ", ".join(states)))
            return None
        if names is None or command is None:
            return None
        if len(set(names)) != len(names):
            self.problem(place.lines["state"], key + ".state", "a state is listed twice")
            return None
        return ConnectDef(states=names, command=command, place=place)

    def submodes(self, node: Node, definition: Definition) -> List[SubmodeDef]:
        """The sub-modes, each checked against the states and the other sub-modes."""
        states = {state.name: state for state in definition.states}
        families = definition.config_substates
        result: Dict[str, SubmodeDef] = {}
        for index, item in enumerate(self.items(node, "submodes")):
            key = "submodes[%d]" % index
            found, place = self.mapping(item, key, ["name", "command", "parent", "sample"],
                                        ["state", "exit"])
            values = {name: self.text(found[name], "%s.%s" % (key, name))
                      for name in ("name", "command", "parent", "sample", "state")
                      if name in found}
            exits = self.texts(found["exit"], key + ".exit") if "exit" in found else None
            if any(values.get(name) is None for name in ("name", "command", "parent", "sample")):
                continue
            name, state = str(values["name"]), values.get("state")
            if state is None:
                if len(families) != 1:
                    self.problem(place.line, key, "the key 'state' is missing: name the state "
                                 "entered by configuration (%s)" % (", ".join(families) or
                                                                    "none has entered_by: "
                                                                    "configuration"))
                    continue
                state = families[0]
            elif state not in families:
                self.problem(place.lines["state"], key + ".state", "'%s' is not a state "
                             "entered by configuration; those are: %s"
                             % (state, ", ".join(families) or "(none)"))
                continue
            if name in states or name in result:
                self.problem(place.lines["name"], key + ".name", "the name '%s' is taken by a "
                             "%s already" % (name, "state" if name in states else "sub-mode"))
                continue
            if "exit" in found and exits is None:
                continue
            result[name] = SubmodeDef(name=name, command=str(values["command"]),
                                      parent=str(values["parent"]), sample=str(values["sample"]),
                                      state=state, place=place,
                                      exits=exits if exits is not None else list(SUBMODE_EXITS))
        problems = submode_chain_problems(result, states, families)
        for name, problem in problems.items():
            key, line = result[name].place.at("parent")
            self.problem(line, key, problem)
        return [mode for name, mode in result.items() if name not in problems]

    def defaults(self, node: Node) -> Dict[str, str]:
        result: Dict[str, str] = {}
        if not isinstance(node, MappingNode):
            self.problem(self.line(node), "defaults", "expected a mapping (field: value), got %s"
                         % self.kind(node))
            return result
        for key_node, value_node in node.value:
            name = str(key_node.value)
            value = self.text(value_node, "defaults.%s" % name)
            if value is not None:
                result[name] = value
        return result


def submode_chain_problems(submodes: Dict[str, SubmodeDef], states: Dict[str, StateDef],
                           families: List[str]) -> Dict[str, str]:
    """Why a sub-mode's chain of parents is wrong, by sub-mode. A chain runs through sub-modes
    of one family, without a loop, to a state that is not a family. Each sub-mode is walked
    once; a sub-mode whose chain passes a wrong one gets its problem."""
    verdicts: Dict[str, Optional[str]] = {}
    for first in submodes:
        walk: List[str] = []
        name = first
        while True:
            if name in verdicts:
                problem = verdicts[name]
                break
            if name not in submodes:
                problem = None
                if name not in states:
                    problem = "unknown parent '%s': give a state or another sub-mode" % name
                elif name in families:
                    problem = ("the parent '%s' is a family of sub-modes: name one of its "
                               "sub-modes" % name)
                break
            if name in walk:
                problem = "the parents form a loop: %s" % " -> ".join(
                    walk[walk.index(name):] + [name])
                break
            walk.append(name)
            parent = submodes[name].parent
            if parent in submodes and submodes[parent].state != submodes[name].state:
                problem = "the parent '%s' belongs to state %s, not %s" % (
                    parent, submodes[parent].state, submodes[name].state)
                break
            name = parent
        for walked in walk:
            verdicts[walked] = problem
    return {name: problem for name in submodes
            if (problem := verdicts.get(name)) is not None}


def read_definition(text: str, file: str) -> Tuple[Optional[Definition], List[Problem]]:
    """Reads a platform file's text; returns the definition (None if unusable) and the problems.

    A definition comes back even when some entries had problems: those
    entries are left out, the rest is read, so that every mistake is found.
    """
    reader = _Reader(file)
    try:
        node = yaml.compose(text, Loader=SAFE_LOADER)
    except yaml.MarkedYAMLError as err:
        mark = err.problem_mark or err.context_mark
        line = int(mark.line) + 1 if mark is not None else 0
        problem = " ".join(p for p in (err.context, err.problem) if p)
        return None, [Problem(file, line, "", "not valid YAML: %s" % problem)]
    except yaml.YAMLError as err:
        return None, [Problem(file, 0, "", "not valid YAML: %s" % err)]
    if node is None:
        return None, [Problem(file, 1, "", "the file is empty")]
    definition = reader.definition(node)
    if definition is not None and not definition.name:
        definition = None
    return definition, reader.problems


def read_file(path: str) -> Tuple[Optional[Definition], List[Problem]]:
    """Reads a platform file; a file that cannot be read is one problem."""
    try:
        with open(path, encoding="utf-8") as handle:
            text = handle.read()
    except (OSError, UnicodeDecodeError) as err:
        return None, [Problem(path, 0, "", "cannot read the file: %s" % err)]
    return read_definition(text, path)


def read_platform(path: str, text: Optional[str] = None) -> Definition:
    """The definition in a platform file (``text``: its content, already read); the first
    error in it raises PlatformError.

    The message names the file, the line and the key. Warnings do not stop
    the loading (``tessel check`` shows them).
    """
    definition, problems = read_file(path) if text is None else read_definition(text, path)
    errors = [p for p in problems if p.severity == ERROR]
    if errors or definition is None:
        first = errors[0] if errors else problems[0]
        more = len(errors) - 1
        raise PlatformError("%s%s" % (first, " (and %d more: run 'tessel check %s')"
                                      % (more, path) if more > 0 else ""))
    return definition

"""What a platform declares besides its states and paths: connect commands, pager, failures.

A platform is a ``StateMachine`` subclass. Beside what its ``create()``
registers, it may set these class attributes, which the connection reads
through the functions below (so a platform that sets none still works):

* ``connect_commands``: a sequence of :class:`ConnectCommand`, run in order
  right after login, each in its state or in the nearest of its states
  (paging off, terminal width, ...);
* ``pager``: a :class:`Pager`, the prompt a device shows between pages of
  long output and the key that asks for the next page; None when the
  platform's devices do not page (or paging is switched off at connect);
* ``failure_patterns``: regular expressions (searched line by line, with
  ``re.MULTILINE``) that mark a command's output as a failure, such as
  ``^% Invalid input``;
* ``config_state``: the state in which configuration lines are entered
  (default ``"config"``);
* ``ntc_platform``: the platform's name in the ntc-templates index, so
  that ``parse="ntc"`` finds a template by command (None: not indexed);
* ``config_substates``: the states that configuration lines enter, each a
  family of sub-modes (``R1(config-router)#`` at any depth); no path leads
  into them, and the paths out of them are the ones right from any depth;
* ``config``: a :class:`ConfigSpec`, how the platform shows, compares,
  changes, commits and saves its configuration (None: the configuration
  methods of a connection are refused).

This module must not import the state machine module: platforms import it
while that module may still be initialising.
"""
import re
import string
from dataclasses import dataclass, fields
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union


@dataclass(frozen=True)
class Pager:
    """A pager prompt (``expect``, a regular expression) and the text that answers it.

    ``send`` is written as it is, without a line end (a blank for ``--More--``).
    """

    expect: str
    send: str = " "


@dataclass(frozen=True)
class ConnectCommand:
    """A command run once after login, in ``state``: a state name, or several names (a
    tuple), of which the current state when it is one, else the nearest."""

    state: Union[str, Tuple[str, ...]]
    command: str

    def __post_init__(self) -> None:
        names = (self.state,) if isinstance(self.state, str) else tuple(self.state)
        if not names or not all(isinstance(name, str) and name for name in names):
            raise ValueError("a connect command names one state or several, not %r"
                             % (self.state,))
        object.__setattr__(self, "state", names[0] if len(names) == 1 else names)

    @property
    def states(self) -> Tuple[str, ...]:
        return (self.state,) if isinstance(self.state, str) else self.state

    @property
    def target(self) -> Union[str, List[str]]:
        """What ``go_to`` takes: the one state's name, or the list of names."""
        return self.state if isinstance(self.state, str) else list(self.state)


def connect_commands(machine: Any) -> Tuple[ConnectCommand, ...]:
    """The machine's connect commands; entries of another class that have ``state`` and
    ``command`` are read as ConnectCommand."""
    return tuple(step if isinstance(step, ConnectCommand) else
                 ConnectCommand(step.state, step.command)
                 for step in getattr(machine, "connect_commands", None) or ())


def pager(machine: Any) -> Optional[Pager]:
    return getattr(machine, "pager", None)


def failure_patterns(machine: Any) -> Tuple[str, ...]:
    return tuple(getattr(machine, "failure_patterns", None) or ())


def config_state(machine: Any) -> str:
    return str(getattr(machine, "config_state", None) or "config")


def ntc_platform(machine: Any) -> Optional[str]:
    return getattr(machine, "ntc_platform", None)


def config_substates(machine: Any) -> Tuple[str, ...]:
    names: Sequence[str] = getattr(machine, "config_substates", None) or ()
    return tuple(names)


# -- configuration -----------------------------------------------------------------------

#: The shapes of a configuration: ``blocks``, nested by indentation (a router command line);
#: ``set``, flat lines that each name the whole path of one setting.
CONFIG_STYLES = ("blocks", "set")


@dataclass(frozen=True)
class ConfigCommand:
    """A command of the configuration section and the questions it asks (``dialog``, a tuple
    of :class:`~tessel.eal.dialogs.Statement`), answered while it runs."""

    command: str
    dialog: Tuple[Any, ...] = ()


#: Where a command of the section is written out: the plain line, or a ConfigCommand.
Command = Union[str, ConfigCommand]

#: The keys of :class:`ConfigSpec` that hold a command, with the ``{placeholders}`` each takes
#: (a command lists them all or, for ``commit_confirm``, one of them).
CONFIG_COMMANDS: Dict[str, Tuple[str, ...]] = {
    "show": (), "replace": (), "diff": (), "commit": (), "commit_confirm": ("minutes", "seconds"),
    "confirm": (), "abort": (), "rollback": (), "rollback_to": ("number",), "save": ()}
#: The keys that only a platform with ``commit`` may give.
NEEDS_COMMIT = ("replace", "comment", "commit_confirm", "confirm", "abort", "rollback",
                "rollback_to")


@dataclass(frozen=True)
class ConfigSpec:
    """How a platform shows, compares, changes and saves its configuration.

    * ``show``: the command that prints the running configuration, run in
      ``state`` (None: the state of the first connect command, else the first
      state); ``ignore``: regular expressions of the lines of its output that
      are not configuration (``^Building configuration``, ``^end$``);
    * ``style``: ``"blocks"`` (nested by indentation; ``closers`` are the
      lines that end a block and are not configuration, ``exit`` the line
      that leaves a block) or ``"set"`` (flat lines);
    * ``negate``: how a line is removed: ``"no {line}"``, ``"undo {line}"``,
      ``"delete {path}"`` (``{path}``: the line without its first word). A
      line that already starts with the words before ``{line}`` is negated by
      dropping them (``no ip forwarding`` by ``ip forwarding``); ``negations``:
      pairs of a regular expression and a template for the lines that are
      removed otherwise (``("^description ", "no description")``), the first
      whose expression the line matches taking the place of ``negate``;
    * where the platform has them: ``save``; ``diff``, the on-box comparison
      of the candidate with the running configuration (its output holds no
      line but ``ignore``'s when nothing is pending); and with ``commit``
      (changes are entered in a candidate that the commit makes running):
      ``abort`` (discards what was entered), ``comment`` (words added to a
      commit line, holding ``{comment}``), ``commit_confirm`` (a commit that
      rolls back unless confirmed, holding ``{minutes}`` or ``{seconds}``),
      ``confirm``, ``rollback`` (loads the previous commit into the
      candidate), ``rollback_to`` (loads commit ``{number}``) and ``replace``
      (empties the candidate, which is then entered in full).
    """

    show: Command
    negate: str = "no {line}"
    negations: Tuple[Tuple[str, str], ...] = ()
    state: Optional[str] = None
    ignore: Tuple[str, ...] = ()
    style: str = "blocks"
    closers: Tuple[str, ...] = ("!", "exit")
    exit: str = "exit"
    replace: Optional[Command] = None
    diff: Optional[Command] = None
    commit: Optional[Command] = None
    comment: Optional[str] = None
    commit_confirm: Optional[Command] = None
    confirm: Optional[Command] = None
    abort: Optional[Command] = None
    rollback: Optional[Command] = None
    rollback_to: Optional[Command] = None
    save: Optional[Command] = None

    def __post_init__(self) -> None:
        object.__setattr__(self, "ignore", tuple(self.ignore))
        object.__setattr__(self, "closers", tuple(self.closers))
        object.__setattr__(self, "negations", tuple(
            (str(match), str(template)) for match, template in self.negations))
        given = {item.name: getattr(self, item.name) for item in fields(self)}
        problems = config_problems({key: command_text(value) if key in CONFIG_COMMANDS
                                    else value for key, value in given.items()
                                    if value is not None})
        if problems:
            raise ValueError("config.%s: %s" % problems[0])

    def command(self, key: str) -> Optional[ConfigCommand]:
        """The command under ``key`` as a ConfigCommand (None where the platform has none)."""
        value = getattr(self, key)
        if value is None or isinstance(value, ConfigCommand):
            return value
        return ConfigCommand(str(value))


def command_text(command: Command) -> str:
    return command.command if isinstance(command, ConfigCommand) else command


def placeholders(text: str) -> Optional[List[str]]:
    """The ``{name}`` parts of a text, or None when its braces do not pair."""
    try:
        return [name for _, name, _, _ in string.Formatter().parse(text) if name is not None]
    except ValueError:
        return None


def _placeholder_problem(text: str, allowed: Sequence[str], one_of: bool,
                         required: bool = True) -> Optional[str]:
    found = placeholders(text)
    if found is None:
        return "the braces in %r do not pair" % text
    wrong = [name for name in found if name not in allowed]
    if wrong:
        return "unknown placeholder {%s}%s" % (wrong[0], (": it takes %s" % " or ".join(
            "{%s}" % name for name in allowed)) if allowed else ": it takes none")
    missing = [name for name in allowed if name not in found]
    if required and allowed and (len(missing) == len(allowed) if one_of else missing):
        return "%r holds no %s" % (text, " or ".join("{%s}" % name for name in missing))
    if len(found) != len(set(found)):
        return "%r holds a placeholder more than once" % text
    if one_of and len(found) > 1:
        return "%r holds more than one of %s" % (text, " and ".join(
            "{%s}" % name for name in allowed))
    return None


def config_problems(given: Dict[str, Any]) -> List[Tuple[str, str]]:
    """The mistakes of a configuration section, as (key, message); ``given`` holds its keys,
    commands as their text. Shared by the file reader and :class:`ConfigSpec`."""
    problems: List[Tuple[str, str]] = []
    if not str(given.get("show") or "").strip():
        problems.append(("show", "the command that shows the running configuration is missing"))
    style = given.get("style", "blocks")
    if style not in CONFIG_STYLES:
        problems.append(("style", "expected %s, not %r" % (" or ".join(CONFIG_STYLES), style)))
    checks: List[Tuple[str, Tuple[str, ...], bool]] = [
        ("negate", ("line", "path"), True), ("comment", ("comment",), False),
        ("exit", (), False)]
    checks += [(key, names, key == "commit_confirm") for key, names in CONFIG_COMMANDS.items()]
    for key, names, one_of in checks:
        if key not in given:
            continue
        text = str(given[key])
        if not text.strip():
            problems.append((key, "the command is empty"))
            continue
        problem = _placeholder_problem(text, names, one_of)
        if problem is not None:
            problems.append((key, problem))
    for index, (match, template) in enumerate(given.get("negations") or ()):
        problem = _placeholder_problem(template, ("line", "path"), True, required=False)
        if problem is not None:
            problems.append(("negations[%d]" % index, problem))
        try:
            re.compile(match)
        except re.error as err:
            problems.append(("negations[%d]" % index, "the regular expression %r does not "
                             "compile: %s" % (match, err)))
    if "commit" not in given:
        problems += [(key, "only a platform with commit has it: give commit too")
                     for key in NEEDS_COMMIT if key in given]
    else:
        if "abort" not in given:
            problems.append(("commit", "a platform with commit needs abort, which discards "
                             "what a refused transaction entered"))
        if "commit_confirm" in given and "confirm" not in given:
            problems.append(("commit_confirm", "a commit that waits for a confirmation needs "
                             "confirm"))
    return problems


def config(machine: Any) -> Optional[ConfigSpec]:
    spec = getattr(machine, "config", None)
    if spec is None or isinstance(spec, ConfigSpec):
        return spec
    from tessel.core.errors import PlatformError

    raise PlatformError("the platform's config is a %s, not a ConfigSpec"
                        % type(spec).__name__)

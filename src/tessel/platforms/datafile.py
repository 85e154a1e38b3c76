"""Platforms defined by a file: the StateMachine subclass built from a :class:`Definition`.

:class:`DataPlatform` registers what its ``definition`` holds through the
machine's public methods (``create_state``, ``create_path``,
``add_default_statements``), so a platform from a file gets every check the
machine makes. Its class attributes ``connect_commands``, ``pager``,
``failure_patterns``, ``config_state``, ``ntc_platform``,
``config_substates`` and ``config`` are set from the file when the class is made.
"""
import re
from typing import Any, ClassVar, Dict, List, Mapping, Optional, Tuple, Type

from tessel.eal.dialogs import Dialog, Statement, fill_fields
from tessel.platforms.base import ConfigCommand, ConfigSpec, ConnectCommand, Pager
from tessel.platforms.definition import ConfigDef, Definition, StatementDef, read_platform
from tessel.statemachine.statemachine import StateMachine


class Send:
    """Sends lines whose ``{field}`` parts are filled from the context, or from the defaults.

    Used as a path's command (several lines, or one with fields) and as a
    dialog's answer. ``secret``: the filled values are masked by the spawn
    handle, whatever the fields are called.
    """

    def __init__(self, lines: List[str], defaults: Optional[Mapping[str, str]] = None,
                 secret: bool = False) -> None:
        self.lines = list(lines)
        self.defaults = dict(defaults or {})
        self.secret = secret
        #: How the command is shown by the graph and by the route of a change.
        self.text = "; ".join(self.lines)
        self.__name__ = self.text

    def __call__(self, spawn: Any, context: Optional[Mapping[str, Any]] = None) -> None:
        values: Dict[str, Any] = dict(self.defaults)
        values.update(context or {})
        for line in self.lines:
            filled = fill_fields(line, values, spawn)
            if self.secret and filled:
                add_secret = getattr(spawn, "add_secret", None)
                if add_secret is not None:
                    add_secret(filled)
            spawn.sendline(filled)

    def __repr__(self) -> str:
        return "Send(%r)" % self.lines


class DataStatement(Statement):
    """A dialog statement from a platform file, with what the device shows (``sample``)."""

    def __init__(self, definition: StatementDef, defaults: Mapping[str, str]) -> None:
        action: Any = None
        if definition.send is not None:
            if "{" in definition.send or definition.is_secret:
                action = Send([definition.send], defaults, secret=definition.is_secret)
            else:
                action = definition.send
        super().__init__(pattern=definition.expect, action=action,
                         loop_continue=definition.loop_continue,
                         continue_timer=not definition.restart_timer)
        self.sample = definition.sample


def path_command(lines: List[str], defaults: Mapping[str, str]) -> Any:
    """A path's command: the line itself when it is a plain line, else a :class:`Send`."""
    if not lines:
        return None
    if len(lines) == 1 and "{" not in lines[0]:
        return lines[0]
    return Send(lines, defaults)


class DataPlatform(StateMachine):
    """A platform whose states, paths and statements come from its ``definition``.

    Subclass it with ``definition = ...`` (as :func:`platform_class` does), and
    the class attributes that a connection reads are set from the definition.
    """

    definition: ClassVar[Definition]
    connect_commands: ClassVar[Tuple[ConnectCommand, ...]] = ()
    pager: ClassVar[Optional[Pager]] = None
    failure_patterns: ClassVar[Tuple[str, ...]] = ()
    config_state: ClassVar[Optional[str]] = None
    ntc_platform: ClassVar[Optional[str]] = None
    config_substates: ClassVar[Tuple[str, ...]] = ()
    config: ClassVar[Optional[ConfigSpec]] = None

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        definition = cls.__dict__.get("definition")
        if definition is None:
            return
        cls.connect_commands = tuple(ConnectCommand(tuple(c.states), c.command)
                                     for c in definition.connect)
        cls.pager = Pager(definition.pager.expect, definition.pager.send) \
            if definition.pager else None
        cls.failure_patterns = tuple(definition.failure)
        cls.config_state = definition.entry_state
        cls.ntc_platform = definition.ntc_platform
        cls.config_substates = tuple(definition.config_substates)
        cls.config = config_spec(definition.config, definition.defaults) \
            if definition.config is not None else None
        if definition.description and not cls.__dict__.get("__doc__"):
            cls.__doc__ = definition.description

    def create(self) -> None:
        definition = self.definition
        defaults = definition.defaults
        # Registered one after another with no dict written in between: the machine then need
        # not re-check every state registered so far at each registration (Python 3.11).
        created = [self.create_state(state.name, state.prompts[0] if len(state.prompts) == 1
                                     else list(state.prompts)) for state in definition.states]
        states = {state.name: made for state, made in zip(definition.states, created)}
        for path in definition.paths:
            dialog = Dialog([DataStatement(s, defaults) for s in path.dialog]) \
                if path.dialog else None
            self.create_path(states[path.source], states[path.target],
                             path_command(path.commands, defaults), dialog)
        if definition.statements:
            self.add_default_statements([DataStatement(s, defaults)
                                         for s in definition.statements])


def config_spec(section: ConfigDef, defaults: Mapping[str, str]) -> ConfigSpec:
    """The :class:`ConfigSpec` of a file's configuration section."""
    commands: Dict[str, Any] = {key: ConfigCommand(command.command, tuple(
        DataStatement(statement, defaults) for statement in command.dialog))
        for key, command in section.commands.items()}
    return ConfigSpec(**section.settings(), **commands)


def class_name(name: str) -> str:
    """A class name for a platform name: ``bracket`` -> ``BracketPlatform``."""
    words = [w for w in re.split(r"[^0-9A-Za-z]+", name) if w]
    text = "".join(w[:1].upper() + w[1:] for w in words) or "Data"
    if text[0].isdigit():
        text = "P" + text
    return text + "Platform"


def platform_class(definition: Definition, name: Optional[str] = None) -> Type[DataPlatform]:
    """A new platform class built from ``definition``."""
    cls = type(name or class_name(definition.name), (DataPlatform,),
               {"definition": definition, "__module__": __name__})
    return cls


__all__ = ["DataPlatform", "DataStatement", "Send", "class_name", "path_command",
           "platform_class", "read_platform"]

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
  into them, and the paths out of them are the ones right from any depth.

This module must not import the state machine module: platforms import it
while that module may still be initialising.
"""
from dataclasses import dataclass
from typing import Any, List, Optional, Sequence, Tuple, Union


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

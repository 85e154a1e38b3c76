"""What a platform declares besides its states and paths: connect commands, pager, failures.

A platform is a ``StateMachine`` subclass. Beside what its ``create()``
registers, it may set these class attributes, which the connection reads
through the functions below (so a platform that sets none still works):

* ``connect_commands``: a sequence of :class:`ConnectCommand`, run in order
  right after login, each in its state (paging off, terminal width, ...);
* ``pager``: a :class:`Pager`, the prompt a device shows between pages of
  long output and the key that asks for the next page; None when the
  platform's devices do not page (or paging is switched off at connect);
* ``failure_patterns``: regular expressions (searched line by line, with
  ``re.MULTILINE``) that mark a command's output as a failure, such as
  ``^% Invalid input``;
* ``config_state``: the state in which configuration lines are entered
  (default ``"config"``);
* ``ntc_platform``: the platform's name in the ntc-templates index, so
  that ``parse="ntc"`` finds a template by command (None: not indexed).

This module must not import the state machine module: platforms import it
while that module may still be initialising.
"""
from dataclasses import dataclass
from typing import Any, Optional, Tuple


@dataclass(frozen=True)
class Pager:
    """A pager prompt (``expect``, a regular expression) and the text that answers it.

    ``send`` is written as it is, without a line end (a blank for ``--More--``).
    """

    expect: str
    send: str = " "


@dataclass(frozen=True)
class ConnectCommand:
    """A command run once after login, in ``state`` (a state name)."""

    state: str
    command: str


def connect_commands(machine: Any) -> Tuple[ConnectCommand, ...]:
    return tuple(getattr(machine, "connect_commands", None) or ())


def pager(machine: Any) -> Optional[Pager]:
    return getattr(machine, "pager", None)


def failure_patterns(machine: Any) -> Tuple[str, ...]:
    return tuple(getattr(machine, "failure_patterns", None) or ())


def config_state(machine: Any) -> str:
    return str(getattr(machine, "config_state", None) or "config")


def ntc_platform(machine: Any) -> Optional[str]:
    return getattr(machine, "ntc_platform", None)

"""Dialogs: the prompts a device may show and what to answer to each."""
from typing import Any, Callable, Iterable, Iterator, List, Optional, Union

Action = Union[None, str, Callable[..., Any]]


class Statement:
    """One prompt pattern and the action to take when the device shows it."""

    def __init__(self, pattern: str, action: Action = None, args: Optional[dict] = None,
                 loop_continue: bool = False, continue_timer: bool = True) -> None:
        self.pattern = pattern
        self.action = action
        self.args = args
        self.loop_continue = loop_continue
        self.continue_timer = continue_timer

    def __repr__(self) -> str:
        return f"Statement(pattern={self.pattern!r}, loop_continue={self.loop_continue!r})"


class Dialog:
    """An ordered list of statements processed against the device's output."""

    def __init__(self, statements: Optional[Iterable[Statement]] = None) -> None:
        self.statements: List[Statement] = list(statements or [])

    def append(self, statement: Statement) -> None:
        self.statements.append(statement)

    def __iter__(self) -> Iterator[Statement]:
        return iter(self.statements)

    def __len__(self) -> int:
        return len(self.statements)

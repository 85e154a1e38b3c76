"""Transition engines that move a device along a state machine's paths."""
from typing import Any


class StateTransition:
    """Takes the shortest route from the machine's current state to one target state."""

    def __init__(self, state_machine: Any = None, to_state: Any = None, spawn: Any = None,
                 dialog: Any = None, timeout: Any = None, context: Any = None,
                 prompt_recovery: bool = False) -> None:
        self.state_machine = state_machine
        self.to_state = to_state
        self.spawn = spawn
        self.dialog = dialog
        self.timeout = timeout
        self.context = context
        self.prompt_recovery = prompt_recovery
        self.current_state = "generic"

    def do_transitions(self) -> Any:
        raise NotImplementedError(f"{type(self).__name__}.do_transitions() is not implemented yet")


class HopWiseStateTransition(StateTransition):
    """Moves the device one hop at a time, re-planning after each hop."""


class AnyStateTransition(StateTransition):
    """Recognises whichever state the device is in, or reaches the nearest listed state."""

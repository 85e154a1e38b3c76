"""Exceptions raised by tessel."""


class TesselError(Exception):
    """Base class of every error raised by tessel."""


class StateMachineError(TesselError):
    """A state machine refused an operation or could not change the device's state."""

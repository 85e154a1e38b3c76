"""tessel: drive the command-line sessions of network devices."""
import logging
from typing import Any

from tessel.core import errors as _errors
from tessel.core.errors import (ApplyError, AuthenticationError, CaptureError, CommandError,
                                ConfigError, ConnectError, DialogError, DialogTimeoutError,
                                ExpectTimeoutError, HostKeyError, PlatformError,
                                SessionClosedError, SpawnError, StateMachineError, TesselError,
                                TransitionError, TransitionTimeoutError, UnexpectedStateError)

__version__ = "0.1.0"

#: Names that come from tessel.connection and tessel.aio, imported on first use.
_CONNECTION = ["ApplyResult", "CommandResult", "Connection", "connect", "split_lines"]
_ASYNC = ["AsyncConnection", "aconnect"]

__all__ = _CONNECTION + _ASYNC + [
    "ApplyError", "AuthenticationError", "CaptureError", "CommandError", "ConfigError",
    "ConnectError", "DialogError", "DialogTimeoutError", "ExpectTimeoutError", "HostKeyError",
    "PlatformError", "SessionClosedError", "SpawnError", "StateMachineError", "TesselError",
    "TransitionError", "TransitionTimeoutError", "UnexpectedStateError"]

logging.getLogger("tessel").addHandler(logging.NullHandler())


def __getattr__(name: str) -> Any:
    # Imported on first use: the simulated router runs as ``python -m tessel.sim.router``
    # with nothing but the standard library, so importing the package stays light (the
    # errors module needs nothing more).
    if name in _ASYNC:
        from tessel import aio

        return getattr(aio, name)
    if name in _CONNECTION:
        from tessel import connection

        return getattr(connection, name)
    found = getattr(_errors, name, None)
    if isinstance(found, type) and issubclass(found, TesselError):
        return found  # an error class not listed above
    raise AttributeError("module 'tessel' has no attribute %r" % name)

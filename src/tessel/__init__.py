"""tessel: drive the command-line sessions of network devices."""
import logging
from typing import Any

__version__ = "0.1.0"

__all__ = ["AsyncConnection", "CommandResult", "Connection", "aconnect", "connect"]

logging.getLogger("tessel").addHandler(logging.NullHandler())


def __getattr__(name: str) -> Any:
    # Imported on first use: the simulated router runs as ``python -m tessel.sim.router``
    # with nothing but the standard library, so importing the package stays light.
    if name in ("AsyncConnection", "aconnect"):
        from tessel import aio

        return getattr(aio, name)
    if name in __all__:
        from tessel import connection

        return getattr(connection, name)
    raise AttributeError("module 'tessel' has no attribute %r" % name)

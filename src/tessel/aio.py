"""The asyncio API: :func:`aconnect` and :class:`AsyncConnection`, sessions waiting on a loop.

An :class:`AsyncConnection` is a :class:`~tessel.connection.Connection` whose
calls run in a greenlet (:func:`~tessel.eal.bridge.greenlet_spawn`): the
same login, prompt recognition, dialogs, pager handling and output assembly,
and wherever they wait for the device, the greenlet awaits the loop. The
sessions' children are made for the loop: a pty whose reads the loop waits
for (ssh, telnet, command), or an asyncssh session on the loop itself.
"""
import asyncio
from typing import (Any, Callable, Coroutine, Generator, Iterable, List, Optional, Type, TypeVar,
                    Union)

from tessel.connection import ApplyResult, CommandResult, Connection, connect
from tessel.core.errors import StateMachineError
from tessel.eal.bridge import greenlet_spawn
from tessel.eal.dialogs import Statement

__all__ = ["AsyncConnection", "aconnect"]

T = TypeVar("T")


class AsyncConnection:
    """A logged-in session whose commands are coroutines; made by :func:`aconnect`.

    ``connection`` is the blocking :class:`~tessel.connection.Connection`
    underneath: its properties (``state``, ``hostname``, ``machine``,
    ``spawn``) may be read at any time, but its methods wait for the device
    and belong to this object's coroutines. One call runs at a time: a call
    made while another runs waits for it. A call cancelled while it talked to
    the device (``asyncio.wait_for``, a cancelled task) leaves the device in a
    state nobody knows: later calls then raise ``StateMachineError``, and only
    :meth:`close` works. Bound a call with its ``timeout=`` instead.
    """

    def __init__(self, connection: Connection) -> None:
        self.connection = connection
        self._turn = asyncio.Lock()
        self._cancelled: Optional[str] = None

    @property
    def state(self) -> str:
        """The name of the state the device is in."""
        return self.connection.state

    @property
    def hostname(self) -> Optional[str]:
        """The device's hostname: given to :func:`aconnect`, or learned from its prompt."""
        return self.connection.hostname

    @property
    def host(self) -> Optional[str]:
        return self.connection.host

    async def _call(self, method: Callable[..., T], *args: Any, **kwargs: Any) -> T:
        async with self._turn:
            if self._cancelled is not None and method != self.connection.close:
                raise StateMachineError(
                    "the state of %s is unknown: a call (%s) was cancelled while it talked to "
                    "the device; close the connection" % (self.host or "the device",
                                                          self._cancelled))
            try:
                return await greenlet_spawn(method, *args, **kwargs)
            except asyncio.CancelledError:
                self._cancelled = method.__name__
                raise

    async def go_to(self, state: Any, *, timeout: Optional[float] = None) -> List[Any]:
        """As :meth:`Connection.go_to <tessel.connection.Connection.go_to>`."""
        return await self._call(self.connection.go_to, state, timeout=timeout)

    async def execute(self, command: str, *, state: Optional[str] = None,
                      timeout: Optional[float] = None,
                      dialog: Optional[Iterable[Statement]] = None, check: bool = False,
                      parse: Optional[str] = None,
                      template: Optional[str] = None) -> CommandResult:
        """As :meth:`Connection.execute <tessel.connection.Connection.execute>`."""
        return await self._call(self.connection.execute, command, state=state, timeout=timeout,
                                dialog=dialog, check=check, parse=parse, template=template)

    async def configure(self, lines: Union[str, Iterable[str]], *, state: Optional[str] = None,
                        stop_on_failure: bool = True,
                        timeout: Optional[float] = None) -> List[CommandResult]:
        """As :meth:`Connection.configure <tessel.connection.Connection.configure>`."""
        return await self._call(self.connection.configure, lines, state=state,
                                stop_on_failure=stop_on_failure, timeout=timeout)

    async def running_config(self, *, timeout: Optional[float] = None) -> str:
        """As :meth:`Connection.running_config <tessel.connection.Connection.running_config>`."""
        return await self._call(self.connection.running_config, timeout=timeout)

    async def config_diff(self, candidate: str, *, replace: bool = False,
                          timeout: Optional[float] = None) -> str:
        """As :meth:`Connection.config_diff <tessel.connection.Connection.config_diff>`."""
        return await self._call(self.connection.config_diff, candidate, replace=replace,
                                timeout=timeout)

    async def apply(self, candidate: str, *, replace: bool = False,
                    confirm: Optional[int] = None, comment: Optional[str] = None,
                    dry_run: bool = False, timeout: Optional[float] = None) -> ApplyResult:
        """As :meth:`Connection.apply <tessel.connection.Connection.apply>`."""
        return await self._call(self.connection.apply, candidate, replace=replace,
                                confirm=confirm, comment=comment, dry_run=dry_run,
                                timeout=timeout)

    async def confirm(self, *, timeout: Optional[float] = None) -> CommandResult:
        """As :meth:`Connection.confirm <tessel.connection.Connection.confirm>`."""
        return await self._call(self.connection.confirm, timeout=timeout)

    async def rollback(self, *, number: Optional[int] = None,
                       timeout: Optional[float] = None) -> ApplyResult:
        """As :meth:`Connection.rollback <tessel.connection.Connection.rollback>`."""
        return await self._call(self.connection.rollback, number=number, timeout=timeout)

    async def save(self, *, timeout: Optional[float] = None) -> CommandResult:
        """As :meth:`Connection.save <tessel.connection.Connection.save>`."""
        return await self._call(self.connection.save, timeout=timeout)

    async def close(self) -> None:
        """Ends the session (after the call that runs, if any)."""
        await self._call(self.connection.close)

    async def __aenter__(self) -> "AsyncConnection":
        return self

    async def __aexit__(self, *exc_info: Any) -> None:
        await self.close()

    def __repr__(self) -> str:
        return "<Async%s" % repr(self.connection)[1:]


class Connecting(Coroutine[Any, Any, AsyncConnection]):
    """What :func:`aconnect` returns: the coroutine that opens the session; also for ``async with``.

    Await it (or make a task of it) for the :class:`AsyncConnection`; as an
    async context manager it closes the connection at the end of the block.
    """

    def __init__(self, opening: Coroutine[Any, Any, AsyncConnection]) -> None:
        self._opening = opening
        self._connection: Optional[AsyncConnection] = None

    def send(self, value: Any) -> Any:
        return self._opening.send(value)

    def throw(self, *args: Any) -> Any:
        return self._opening.throw(*args)

    def close(self) -> None:
        self._opening.close()

    def __await__(self) -> Generator[Any, None, AsyncConnection]:
        return self._opening.__await__()

    async def __aenter__(self) -> AsyncConnection:
        self._connection = await self._opening
        return self._connection

    async def __aexit__(self, *exc_info: Any) -> None:
        if self._connection is not None:
            await self._connection.close()


def aconnect(platform: Union[str, Type[Any]], host: Optional[str] = None,
             **kwargs: Any) -> Connecting:
    """Opens a session as :func:`tessel.connect` does, with the same arguments, on the running loop.

    ``await aconnect(...)`` gives an :class:`AsyncConnection`;
    ``async with aconnect(...) as conn:`` closes it at the end of the block.
    Raises the errors of :func:`tessel.connect`.
    """
    return Connecting(_open(platform, host, kwargs))


async def _open(platform: Union[str, Type[Any]], host: Optional[str],
                kwargs: Any) -> AsyncConnection:
    return AsyncConnection(await greenlet_spawn(connect, platform, host, **kwargs))

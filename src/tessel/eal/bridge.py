"""Running the blocking engines on an event loop: each call runs in a greenlet that awaits the loop.

:func:`greenlet_spawn` is a coroutine that runs a plain function in a new
greenlet; whenever that function, however deep in the engines, needs to wait
(a read from the device, a pause), it calls :func:`await_only`, which hands
the awaitable to the coroutine and switches back to it. The coroutine
awaits it on the loop, and switches into the greenlet again with the result
or the exception. So the engines keep one copy of their logic, written as
plain calls, and thousands of sessions wait on one loop in one thread.

A greenlet stays in the thread that made it: a function run here must not
hand its waits to another thread. A task cancelled while it waits gets its
``CancelledError`` raised inside the greenlet, at the ``await_only`` that
waited, so the engines' cleanup runs as for any other error.
"""
import asyncio
import sys
from typing import Any, Awaitable, Callable, Optional, TypeVar

import greenlet

T = TypeVar("T")


class BridgeGreenlet(greenlet.greenlet):  # type: ignore[misc]
    """A greenlet run by :func:`greenlet_spawn`; ``driver`` is the greenlet of its coroutine."""

    def __init__(self, fn: Callable[..., Any], driver: Any) -> None:
        super().__init__(fn, driver)
        self.driver = driver
        # The context of the task that runs it: context variables set by the caller
        # (a correlation id for logging) stay visible inside.
        self.gr_context = driver.gr_context


def in_bridge() -> bool:
    """True inside a function that :func:`greenlet_spawn` runs, where :func:`await_only` works."""
    return isinstance(greenlet.getcurrent(), BridgeGreenlet)


def await_only(awaitable: Awaitable[T]) -> T:
    """Waits for ``awaitable`` on the event loop from inside :func:`greenlet_spawn`; its result.

    Raises what the awaitable raises, ``CancelledError`` included.
    """
    current = greenlet.getcurrent()
    if not isinstance(current, BridgeGreenlet):
        close = getattr(awaitable, "close", None)
        if close is not None:
            close()  # a coroutine never awaited would warn at collection
        raise RuntimeError("await_only() is called outside a function run by greenlet_spawn()")
    result: T = current.driver.switch(awaitable)
    return result


async def greenlet_spawn(fn: Callable[..., T], *args: Any, **kwargs: Any) -> T:
    """Runs ``fn(*args, **kwargs)`` in a greenlet that awaits this loop at each wait; its result."""
    child = BridgeGreenlet(fn, greenlet.getcurrent())
    result: Any = child.switch(*args, **kwargs)
    while not child.dead:
        try:
            value = await result
        except BaseException:
            result = child.throw(*sys.exc_info())
        else:
            result = child.switch(value)
    done: T = result
    return done


async def wait_readable(fd: int, timeout: Optional[float]) -> bool:
    """Waits until ``fd`` is readable (True) or ``timeout`` seconds pass (False; None: no limit)."""
    loop = asyncio.get_running_loop()
    ready = loop.create_future()

    def wake(value: bool) -> None:
        if not ready.done():
            ready.set_result(value)

    loop.add_reader(fd, wake, True)
    timer = loop.call_later(timeout, wake, False) if timeout is not None else None
    try:
        return bool(await ready)
    finally:
        loop.remove_reader(fd)
        if timer is not None:
            timer.cancel()


async def wait_done(future: "asyncio.Future[Any]", timeout: Optional[float]) -> None:
    """Waits until ``future`` is done or ``timeout`` seconds pass (None: no limit)."""
    await asyncio.wait([future], timeout=timeout)

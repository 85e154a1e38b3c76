"""Platforms: the StateMachine subclasses that describe families of devices.

:func:`load` turns what a user names (a shipped platform's short name, or
``MODULE:CLASS``, or the class itself) into the platform class.
"""
import importlib
from typing import Any, Dict, Type, Union

from tessel.core.errors import PlatformError

#: Short names of the platforms that ship with tessel.
ALIASES: Dict[str, str] = {"generic": "tessel.platforms.generic:GenericRouter"}


def load(platform: Union[str, Type[Any]]) -> Type[Any]:
    """The StateMachine subclass named by ``platform``.

    ``platform`` is a shipped name (``generic``), ``MODULE:CLASS``, or a
    ``StateMachine`` subclass (returned as it is). A name that leads nowhere
    raises :class:`PlatformError` with one line saying why.
    """
    from tessel.statemachine.statemachine import StateMachine

    if isinstance(platform, type):
        if not issubclass(platform, StateMachine):
            raise PlatformError("%s is not a StateMachine subclass" % platform.__qualname__)
        return platform
    if not isinstance(platform, str):
        raise PlatformError("a platform is a name, MODULE:CLASS or a StateMachine subclass, "
                            "not %s" % type(platform).__name__)
    target = ALIASES.get(platform, platform)
    module_name, sep, class_name = target.partition(":")
    if not sep or not module_name or not class_name:
        raise PlatformError("unknown platform %r: give a shipped name (%s) or MODULE:CLASS"
                            % (platform, ", ".join(sorted(ALIASES))))
    try:
        module = importlib.import_module(module_name)
    except ImportError as err:
        raise PlatformError("cannot import the platform module %r: %s"
                            % (module_name, err)) from None
    found = getattr(module, class_name, None)
    if found is None:
        raise PlatformError("module %r has no %r" % (module_name, class_name))
    if not isinstance(found, type) or not issubclass(found, StateMachine):
        raise PlatformError("%s is not a StateMachine subclass" % target)
    return found

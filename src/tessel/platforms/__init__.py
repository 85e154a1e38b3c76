"""Platforms: the StateMachine subclasses that describe families of devices.

:func:`load` turns what a user names into the platform class: the short name
of a platform that ships with tessel (a data file in ``tessel/platforms/data``),
the path of a platform file (YAML), ``MODULE:CLASS``, or the class itself.
"""
import importlib
import os
import threading
from typing import Any, Dict, List, Optional, Tuple, Type, Union

from tessel.core.errors import PlatformError

#: Shipped platforms whose class lives in a module (built there from the data file).
ALIASES: Dict[str, str] = {"generic": "tessel.platforms.generic:GenericRouter"}

#: Where the shipped platform files and their simulator responses lie.
DATA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")

#: File name endings of platform files and of the responses files beside them.
PLATFORM_SUFFIXES = (".yaml", ".yml")
RESPONSES_SUFFIX = ".responses"

#: The classes built from platform files, by absolute path, with the content they were built
#: from: a file is read and checked once, and again only when its content changed.
_file_classes: Dict[str, Tuple[bytes, Type[Any]]] = {}
_file_classes_lock = threading.Lock()


def shipped_names() -> List[str]:
    """The short names of the platforms that ship with tessel, sorted."""
    try:
        entries = os.listdir(DATA_DIR)
    except OSError:
        return []
    return sorted(name[:-len(".yaml")] for name in entries
                  if name.endswith(".yaml") and not name.endswith(RESPONSES_SUFFIX + ".yaml"))


def shipped_file(name: str) -> Optional[str]:
    """The data file of a shipped platform, or None when no platform has that name."""
    if name in shipped_names():
        return os.path.join(DATA_DIR, name + ".yaml")
    return None


def platform_file(platform: Union[str, Type[Any]]) -> Optional[str]:
    """The file a platform is defined by: a shipped name, a path, or a class from a file."""
    if isinstance(platform, str):
        if shipped_file(platform):
            return shipped_file(platform)
        if os.path.isfile(platform):
            return platform
        return None
    definition = getattr(platform, "definition", None)
    return getattr(definition, "file", None)


def responses_file(definition_file: str) -> Optional[str]:
    """The simulator's responses beside a platform file (``NAME.responses.yaml``), if any."""
    base, _ = os.path.splitext(definition_file)
    for suffix in PLATFORM_SUFFIXES:
        candidate = base + RESPONSES_SUFFIX + suffix
        if os.path.isfile(candidate):
            return candidate
    return None


def looks_like_file(name: str) -> bool:
    return name.endswith(PLATFORM_SUFFIXES) or os.sep in name or os.path.isfile(name)


def load(platform: Union[str, Type[Any]]) -> Type[Any]:
    """The StateMachine subclass named by ``platform``.

    ``platform`` is a shipped name (``generic``, ``linux``, ...), the path of
    a platform file, ``MODULE:CLASS``, or a ``StateMachine`` subclass
    (returned as it is). A name that leads nowhere, or a file with a mistake,
    raises :class:`PlatformError` with one line saying why (for a file: the
    file, the line and the key). A file, shipped or given by path, is parsed
    once: later calls give the same class until its content changes (see
    :func:`load_file`), so a connection spends no time on it.
    """
    from tessel.statemachine.statemachine import StateMachine

    if isinstance(platform, type):
        if not issubclass(platform, StateMachine):
            raise PlatformError("%s is not a StateMachine subclass" % platform.__qualname__)
        return platform
    if not isinstance(platform, str):
        raise PlatformError("a platform is a name, a platform file, MODULE:CLASS or a "
                            "StateMachine subclass, not %s" % type(platform).__name__)
    if platform not in ALIASES:
        shipped = shipped_file(platform)
        if shipped is not None:
            return load_file(shipped)
        if looks_like_file(platform) and ":" not in os.path.basename(platform):
            if not os.path.isfile(platform):
                raise PlatformError("no platform file %s" % platform)
            return load_file(platform)
    target = ALIASES.get(platform, platform)
    module_name, sep, class_name = target.partition(":")
    if not sep or not module_name or not class_name:
        raise PlatformError("unknown platform %r: give a shipped name (%s), a platform file "
                            "or MODULE:CLASS" % (platform, ", ".join(shipped_names())))
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


def load_file(path: str) -> Type[Any]:
    """The platform class of a platform file; the file's first error raises PlatformError.

    The same class while the file's content stays the same (each call reads the file, a
    few microseconds, and compares): the file is parsed and checked again, into a new
    class, only once it changed, whatever its modification time says.
    """
    key = os.path.abspath(path)
    try:
        with open(key, "rb") as handle:
            data = handle.read()
        text = data.decode("utf-8")
    except (OSError, UnicodeDecodeError):
        return _platform_class(path, None)  # reports the file's problem
    with _file_classes_lock:
        cached = _file_classes.get(key)
        if cached is not None and cached[0] == data:
            return cached[1]
        cls = _platform_class(path, text)
        _file_classes[key] = (data, cls)
        return cls


def _platform_class(path: str, text: Optional[str]) -> Type[Any]:
    from tessel.platforms.datafile import platform_class, read_platform

    return platform_class(read_platform(path, text))

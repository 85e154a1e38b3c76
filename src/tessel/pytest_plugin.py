"""tessel's pytest plugin: tests that drive devices replayed from captures.

Registered by the ``pytest11`` entry point. The fixture ``tessel_replay``,
called with a capture's path, returns a ``Connection`` to the device that the
capture recorded, played by ``tessel replay --strict`` (closed at teardown).
The option ``--tessel-record`` chooses where the device comes from: ``none``
(the default) replays the captures, and a missing one fails the test; ``new``
records from the live device the captures that do not exist yet; ``all``
records every capture again. A test names its live device with the marker
``tessel_device(PLATFORM, host=..., username=..., ...)`` or with keyword
arguments of the fixture call (those win): the arguments of ``tessel.connect``,
passwords excepted, which come from the environment (``password_env``, default
``TESSEL_PASSWORD``, and ``secrets_env={FIELD: VARIABLE}``).

tessel itself is imported only when a test calls the fixture.
"""
import os
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

import pytest

RECORD_MODES = ("none", "new", "all")
MARKER = "tessel_device"
#: Where a test's capture lies when the fixture is called without one, beside the test file.
DEFAULT_DIRECTORY = "captures"
#: The device's arguments that a replay takes too; the others only reach a live device.
REPLAYED = ("timeout", "context", "hostname", "strict", "speed")
#: The arguments of the replay alone.
REPLAY_ONLY = ("strict", "speed")


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("tessel", "tessel: devices replayed from captures")
    group.addoption("--tessel-record", choices=RECORD_MODES, default="none",
                    dest="tessel_record",
                    help="none (default): replay the captures, a missing one fails; new: "
                         "record from the live device the captures that do not exist yet; "
                         "all: record every capture again")


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers", "%s(platform, host=None, **arguments): the live device that tessel_replay "
                   "records from (--tessel-record new or all): tessel.connect's arguments, the "
                   "password from the environment variable password_env (default "
                   "TESSEL_PASSWORD) and secrets from secrets_env={FIELD: VARIABLE}" % MARKER)


def capture_path(request: pytest.FixtureRequest, capture: Optional[str]) -> str:
    """The capture's path: a relative one is taken from the test file's directory; none
    given, ``captures/MODULE/TEST.jsonl`` there."""
    from tessel.capture import file_name

    directory = os.path.dirname(str(request.node.path))
    if capture is None:
        module = os.path.splitext(os.path.basename(str(request.node.path)))[0]
        return os.path.join(directory, DEFAULT_DIRECTORY, module, file_name(request.node.name))
    return os.path.join(directory, os.fspath(capture))


def live_device(request: pytest.FixtureRequest,
                given: Dict[str, Any]) -> Tuple[Any, Dict[str, Any]]:
    """The platform and ``tessel.connect``'s arguments of the test's live device."""
    marker = request.node.get_closest_marker(MARKER)
    arguments: Dict[str, Any] = dict(marker.kwargs) if marker is not None else {}
    if marker is not None and marker.args:
        arguments.setdefault("platform", marker.args[0])
        if len(marker.args) > 1:
            arguments.setdefault("host", marker.args[1])
    arguments.update(given)
    for key in REPLAY_ONLY:
        arguments.pop(key, None)
    platform = arguments.pop("platform", None)
    if platform is None:
        raise pytest.UsageError(
            "%s: recording needs the live device: mark the test with @pytest.mark.%s(PLATFORM, "
            "host=..., ...) or give platform= to tessel_replay" % (request.node.nodeid, MARKER))
    if "password" in arguments or "secrets" in arguments:
        raise pytest.UsageError(
            "%s: passwords never belong in a test file: give password_env=VARIABLE and "
            "secrets_env={FIELD: VARIABLE}, read from the environment" % request.node.nodeid)
    password_env = arguments.pop("password_env", "TESSEL_PASSWORD")
    secrets_env = arguments.pop("secrets_env", None) or {}
    arguments["password"] = os.environ.get(password_env) or None
    secrets = {}
    for name, variable in secrets_env.items():
        value = os.environ.get(variable)
        if value is None:
            raise pytest.UsageError("%s: the environment variable %s (the secret %s) is not set"
                                    % (request.node.nodeid, variable, name))
        secrets[name] = value
    arguments["secrets"] = secrets or None
    return platform, arguments


@pytest.fixture
def tessel_replay(request: pytest.FixtureRequest) -> Iterator[Callable[..., Any]]:
    """``tessel_replay(CAPTURE=None, **device)``: a Connection to the device that CAPTURE
    recorded, replayed, or recorded from the live device as ``--tessel-record`` says."""
    opened: List[Tuple[Any, Optional[Tuple[str, str]]]] = []

    def connection(capture: Optional[str] = None, **device: Any) -> Any:
        path = capture_path(request, capture)
        mode = request.config.getoption("tessel_record")
        if mode == "all" or (mode == "new" and not os.path.exists(path)):
            import tessel

            platform, arguments = live_device(request, device)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            partial = path + ".partial"
            try:
                conn = tessel.connect(platform, record=partial, **arguments)
            except BaseException:
                if os.path.exists(partial):
                    os.remove(partial)
                raise
            opened.append((conn, (partial, path)))
            return conn
        if not os.path.exists(path):
            pytest.fail("no capture %s: record it from the live device with "
                        "--tessel-record=new" % path, pytrace=False)
        from tessel.replay import replay_connection

        conn = replay_connection(path, **{key: value for key, value in device.items()
                                          if key in REPLAYED})
        opened.append((conn, None))
        return conn

    yield connection
    failed: Optional[BaseException] = None
    for conn, recorded in reversed(opened):
        try:
            conn.close()
            if recorded is not None:
                os.replace(*recorded)  # the capture in full, once the session closed
        except Exception as err:
            failed = failed or err
    if failed is not None:
        raise failed

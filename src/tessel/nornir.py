"""Nornir integration: the ``tessel`` connection plugin and the tasks that use it.

Installed with ``pip install 'tessel[nornir]'`` (from a checkout:
``pip install '.[nornir]'``), the plugin is registered
under Nornir's entry point group ``nornir.plugins.connections`` as
``tessel``, so Nornir finds it by name::

    from nornir import InitNornir
    from nornir_utils.plugins.functions import print_result   # if installed
    from tessel.nornir import tessel_apply, tessel_command, tessel_config, tessel_go_to

    nr = InitNornir(config_file="config.yaml")
    result = nr.run(task=tessel_command, command="show version", state="enable")

A host's connection comes from its Nornir attributes: ``hostname`` (the
address), ``username``, ``password``, ``port`` and ``platform`` (a tessel
platform: a shipped name, a platform file or ``MODULE:CLASS``), each of
which its ``connection_options: {tessel: ...}`` may override. The
options' ``extras`` are further keyword arguments of ``tessel.connect``:
``transport`` (``ssh``, ``asyncssh``, ``telnet`` or ``command``), ``command`` (the argv
of a local program when the transport is ``command``), ``secrets`` (such
as ``{enable_password: ...}``), ``context``, ``hostname`` (the device's
prompt hostname, learned when unset), ``timeout``, ``key_file``,
``host_keys``, ``known_hosts``, ``ssh_options`` and ``log`` (``{name}`` in
it stands for the host's name); ``host``, ``port``, ``username``,
``password`` and ``platform`` there take the place of the host's.
"""
from typing import Any, Dict, List, Optional, Sequence, Union

from nornir.core.task import Result, Task

from tessel.core.errors import CommandError, ConfigError
from tessel.inventory import CONNECTION_NAME

__all__ = ["CONNECTION_NAME", "Tessel", "tessel_apply", "tessel_command", "tessel_config",
           "tessel_go_to"]


class Tessel:
    """Nornir connection plugin: ``connection`` is an open :class:`tessel.Connection`."""

    def __init__(self) -> None:
        self.connection: Any = None

    def open(self, hostname: Optional[str], username: Optional[str], password: Optional[str],
             port: Optional[int], platform: Optional[str],
             extras: Optional[Dict[str, Any]] = None, configuration: Any = None) -> None:
        from tessel.connection import connect
        from tessel.fleet import allowed_extras, connection_arguments

        arguments = connection_arguments(hostname or "(no hostname)", hostname, username,
                                         password, port, platform, extras,
                                         allowed=allowed_extras(connect))
        self.connection = connect(arguments.pop("platform"), **arguments)

    def close(self) -> None:
        if self.connection is not None:
            connection, self.connection = self.connection, None
            connection.close()


def _connection(task: Task) -> Any:
    return task.host.get_connection(CONNECTION_NAME, task.nornir.config)


def tessel_command(task: Task, command: str, state: Optional[str] = None,
                   timeout: Optional[float] = None, parse: Optional[str] = None,
                   template: Optional[str] = None) -> Result:
    """Runs ``command`` (in ``state`` when given); the result is its output.

    With ``parse`` ("textfsm", "ttp" or "ntc") the result is the parsed
    records. The full ``CommandResult`` is the Result's ``command_result``.
    A command that the platform's failure patterns refuse fails the task
    with a ``CommandError``.
    """
    conn = _connection(task)
    options: Dict[str, Any] = {"state": state, "timeout": timeout}
    if parse is not None:
        options.update(parse=parse, template=template)
    outcome = conn.execute(command, **options)
    error = (CommandError("command %r failed: %s" % (command, outcome.failure), outcome)
             if outcome.failed else None)
    return Result(host=task.host, result=outcome.parsed if parse is not None else outcome.output,
                  failed=outcome.failed, exception=error, command_result=outcome)


def tessel_config(task: Task, config: Union[str, Sequence[str], None] = None,
                  config_file: Optional[str] = None, state: Optional[str] = None,
                  stop_on_failure: bool = True, timeout: Optional[float] = None) -> Result:
    """Sends configuration lines (a text, a list, or a file) in the platform's config state.

    The result is the transcript (each line sent, then what the device
    answered); ``command_results`` holds each line's ``CommandResult``.
    A refused line stops the rest (unless ``stop_on_failure`` is false) and
    fails the task with the ``ConfigError``.
    """
    lines = _config_lines(config, config_file)
    conn = _connection(task)
    try:
        results = list(conn.configure(lines, state=state, stop_on_failure=stop_on_failure,
                                      timeout=timeout))
    except ConfigError as err:
        return Result(host=task.host, result=_transcript(err.results), changed=bool(err.results),
                      failed=True, exception=err, command_results=list(err.results))
    refused = [r for r in results if r.failed]
    return Result(host=task.host, result=_transcript(results), changed=bool(results),
                  failed=bool(refused), command_results=results,
                  exception=(ConfigError("configuration line %r refused: %s"
                                         % (refused[0].command, refused[0].failure),
                                         refused[0].command, refused[0].failure or "", results)
                             if refused else None))


def tessel_apply(task: Task, candidate: Optional[str] = None,
                 candidate_file: Optional[str] = None, replace: bool = False,
                 confirm: Optional[int] = None, dry_run: bool = False,
                 comment: Optional[str] = None, timeout: Optional[float] = None) -> Result:
    """Applies a candidate configuration (a text, or a file) as one transaction, with
    ``Connection.apply``: merge, or ``replace``; ``dry_run`` sends nothing.

    The result is the diff (also the Result's ``diff``; '' when nothing
    changes); ``changed`` is true when something was applied;
    ``apply_result`` holds the ``ApplyResult``. ``confirm=SECONDS`` commits
    with the platform's confirm timer and confirms in the same task once the
    running configuration holds the candidate, so a commit never rolls back
    for want of a confirming task; a change that cuts the session off is
    rolled back by the device. A refused or failed change fails the task with
    its ``ApplyError`` (``changed`` when the configuration is left changed).
    """
    from tessel.fleet import Apply, TaskFailed

    if (candidate is None) == (candidate_file is None):
        raise ValueError("give either candidate (a configuration text) or candidate_file")
    if candidate_file is not None:
        with open(candidate_file, encoding="utf-8-sig") as handle:
            candidate = handle.read()
    assert candidate is not None
    change = Apply(candidate, replace=replace, confirm=confirm, dry_run=dry_run,
                   comment=comment, timeout=timeout)
    try:
        done = change(_connection(task), task.host)
    except TaskFailed as err:
        cause = err.__cause__ or err
        left = bool(getattr(cause, "committed", False)) or getattr(cause, "restored", True) \
            is False or getattr(err.value, "committed", False)
        return Result(host=task.host, result=str(err), changed=left, failed=True,
                      exception=cause)
    return Result(host=task.host, result=done.diff, diff=done.diff,
                  changed=done.committed and bool(done.results), apply_result=done)


def tessel_go_to(task: Task, state: str) -> Result:
    """Takes the device to ``state``; the result is the state reached."""
    conn = _connection(task)
    before = conn.state
    conn.go_to(state)
    return Result(host=task.host, result=conn.state, changed=conn.state != before)


def _config_lines(config: Union[str, Sequence[str], None], config_file: Optional[str]) -> List[str]:
    """The lines to send; a line holding a control character (a line break among them) is a
    ValueError that names it, before anything is sent."""
    from tessel.fleet import check_line, read_config_lines

    if (config is None) == (config_file is None):
        raise ValueError("give either config (a text or a list of lines) or config_file")
    if config_file is not None:
        with open(config_file, encoding="utf-8-sig") as handle:
            try:
                return read_config_lines(handle.read())
            except ValueError as err:
                raise ValueError("%s: %s" % (config_file, err)) from None
    if isinstance(config, str):
        return read_config_lines(config)
    return [check_line(str(line), "line %d" % number)
            for number, line in enumerate(config or (), 1)]


def _transcript(results: Sequence[Any]) -> str:
    parts = []
    for result in results:
        parts.append(result.command)
        if result.output:
            parts.append(result.output.rstrip("\n"))
    return "\n".join(parts)

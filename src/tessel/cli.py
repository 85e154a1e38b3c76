"""The ``tessel`` command: a demo, a platform's graph and routes, and driving a device.

``tessel demo`` drives the simulated router over a real pty and says what it
does; ``tessel graph``, ``tessel route``, ``tessel check``, ``tessel sim`` and
``tessel connect`` work on any platform given as a shipped name, a platform
file or ``MODULE:CLASS``. Mistakes of the user end with one line on standard
error and a non-zero exit status.
"""
import argparse
import getpass
import logging
import os
import shutil
import subprocess
import sys
import time
from typing import Any, Dict, List, Optional, Sequence, Type

from tessel.core.errors import (ConfigError, PlatformError, SpawnError, TesselError,
                                TransitionError)

#: How a platform argument is described in the help.
PLATFORM_HELP = "a shipped name (generic, linux, ...), a platform file or MODULE:CLASS"

#: Output formats that ``tessel graph`` hands to Graphviz, by file extension.
GRAPHVIZ_FORMATS = ("svg", "png", "pdf")

DEMO_PASSWORD = "lab"

#: The exit status of a run ended by Ctrl-C (128 + SIGINT, as a shell reports it).
INTERRUPTED_STATUS = 130

#: The subcommands that open one session, to HOST or to the command after '--'.
SESSION_COMMANDS = ("connect", "diff", "apply")


class UserError(Exception):
    """A mistake of the user: reported as one line, exit status 2."""


def fail_line(err: BaseException) -> str:
    """One line that says why an operation failed, from the root cause of ``err``."""
    cause: BaseException = err
    while not isinstance(cause, TransitionError) and isinstance(cause.__cause__, TesselError):
        cause = cause.__cause__
    if isinstance(cause, TransitionError):
        parts = [cause.reason]
        if cause.state_reached:
            parts.append("device is in state %s" % cause.state_reached)
        tail = cause.output.strip()[-80:]
        if tail:
            parts.append("last output %r" % tail)
        return "; ".join(parts)
    return " ".join(str(cause).split("\n")[0].split())


# -- platforms ---------------------------------------------------------------------------

def load_platform(name: str) -> Type[Any]:
    """The platform class that ``name`` names; a mistake is a UserError."""
    from tessel.platforms import load

    try:
        return load(name)
    except PlatformError as err:
        raise UserError(str(err)) from None


def build_platform(name: str, **kwargs: Any) -> Any:
    from tessel.connection import build_machine

    try:
        return build_machine(name, **kwargs)
    except PlatformError as err:
        raise UserError(str(err)) from None
    except TesselError as err:
        raise UserError("cannot build %s: %s" % (name, fail_line(err))) from None


def state_names(machine: Any) -> List[str]:
    return [state.name for state in machine.states]


def check_state(machine: Any, name: str) -> str:
    """``name`` if the machine has such a state ("any" allowed), else a UserError."""
    if name == "any":
        return "any"
    if name not in state_names(machine):
        raise UserError("unknown state %r; the platform's states are: %s"
                        % (name, ", ".join(state_names(machine))))
    return name


# -- printing ------------------------------------------------------------------------------

def duration(seconds: float) -> str:
    return "%.1f ms" % (seconds * 1000) if seconds < 1 else "%.2f s" % seconds


def print_hops(hops: Sequence[Any], out: Any) -> None:
    if not hops:
        print("    (no hop: already there)", file=out)
        return
    steps = ["%s -> %s" % (h.from_state, h.to_state) for h in hops]
    commands = ["sent %r" % h.command for h in hops]
    step_width = max(len(s) for s in steps)
    command_width = max(len(c) for c in commands)
    for hop, step, command in zip(hops, steps, commands):
        line = "    %-*s  %-*s  %8s" % (step_width, step, command_width, command,
                                        duration(hop.seconds))
        if hop.answered:
            line += "  answered %s" % ", ".join("'%s'" % p for p in hop.answered)
        if not hop.ok:
            line += "  ended in %s" % hop.reached
        print(line, file=out)


def write_graph(dot_text: str, path: str) -> str:
    """Writes the graph to ``path`` in the format its extension names; returns that format."""
    extension = os.path.splitext(path)[1].lower().lstrip(".")
    if extension in ("dot", "gv", ""):
        with open(path, "w", encoding="utf-8") as handle:
            handle.write(dot_text)
        return "dot"
    if extension not in GRAPHVIZ_FORMATS:
        raise UserError("cannot write a graph as %r: use .dot, %s"
                        % (extension, ", ".join("." + f for f in GRAPHVIZ_FORMATS)))
    render(dot_text, extension, path)
    return extension


def render(dot_text: str, fmt: str, path: str) -> None:
    """Draws DOT text into ``path`` with Graphviz's ``dot``."""
    dot = shutil.which("dot")
    if dot is None:
        raise UserError("Graphviz's 'dot' program is not installed, so no %s can be drawn; "
                        "install Graphviz (apt-get install graphviz) or write a .dot file"
                        % fmt.upper())
    try:
        subprocess.run([dot, "-T" + fmt, "-o", path], input=dot_text, text=True, check=True,
                       capture_output=True, timeout=30)
    except subprocess.CalledProcessError as err:
        raise UserError("Graphviz's dot failed: %s" % (err.stderr.strip() or err)) from None
    except subprocess.TimeoutExpired:
        raise UserError("Graphviz's dot did not finish within 30 s") from None


# -- subcommands -----------------------------------------------------------------------------

def child_environment() -> Dict[str, str]:
    """The environment for a child Python that must import this very tessel package."""
    import tessel

    env = dict(os.environ)
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(tessel.__file__)))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (package_root, env.get("PYTHONPATH")) if p)
    return env


def cmd_demo(args: argparse.Namespace) -> int:
    from tessel.eal.spawn import Spawn
    from tessel.platforms.generic import GenericRouter
    from tessel.statemachine.statetransition import collapse_repeated_prompt
    from tessel.utils import AttributeDict

    out = sys.stdout
    started = time.monotonic()
    os.makedirs(args.output_dir, exist_ok=True)
    dot_path = os.path.join(args.output_dir, "tessel-demo.dot")
    svg_path = os.path.join(args.output_dir, "tessel-demo.svg")
    log_path = os.path.join(args.output_dir, "tessel-demo.log")
    device = [sys.executable, "-m", "tessel.sim.router", "--hostname", args.hostname,
              "--enable-password", DEMO_PASSWORD]
    context = AttributeDict(enable_password=DEMO_PASSWORD)

    print("tessel demo: the example platform drives a simulated router over a real pty.",
          file=out)
    with Spawn(device, timeout=args.timeout, logfile=log_path, context=context,
               env=child_environment()) as spawn:
        machine = GenericRouter(learn_hostname=True)
        print("  device    python -m tessel.sim.router --hostname %s (pid %s), enable password %r"
              % (args.hostname, spawn.pid, DEMO_PASSWORD), file=out)
        print("  platform  GenericRouter from tessel.platforms.generic: states %s; %d paths"
              % (", ".join(state_names(machine)), len(machine.paths)), file=out)
        print("  context   enable_password, answered when 'enable' asks for it\n", file=out)

        step = time.monotonic()
        machine.detect_state(spawn)
        prompt = collapse_repeated_prompt(spawn.match.text.strip()) if spawn.match else ""
        print("[1] detect_state: nothing had been read yet, so it sent a line and recognised "
              "the prompt", file=out)
        print("    state detected: %s (prompt %r), %s"
              % (machine.current_state, prompt, duration(time.monotonic() - step)), file=out)
        print("    hostname learned from the prompt: %s" % machine.hostname, file=out)

        for number, target in ((2, "config"), (3, "disable")):
            start_state = machine.current_state
            step = time.monotonic()
            hops = machine.go_to(target, spawn, context=context)
            print("[%d] go_to(%r): shortest route from %s, %d hop%s, %s; now in %s"
                  % (number, target, start_state, len(hops), "" if len(hops) == 1 else "s",
                     duration(time.monotonic() - step), machine.current_state), file=out)
            print_hops(hops, out)

    demo_change(device, args.timeout, out)
    with open(dot_path, "w", encoding="utf-8") as handle:
        handle.write(machine.dotgraph())
    print("\nState graph: %s (DOT text)" % dot_path, file=out)
    if shutil.which("dot"):
        render(machine.dotgraph(), "svg", svg_path)
        print("             %s (SVG, drawn by Graphviz dot)" % svg_path, file=out)
    else:
        print("             no SVG: Graphviz's 'dot' is not installed "
              "(apt-get install graphviz)", file=out)
    print("Session transcript: %s (secrets from the context are masked)" % log_path, file=out)
    print("Done in %.2f s. Next: tessel graph generic -o graph.svg; tessel route generic "
          "disable config_if; tessel --help" % (time.monotonic() - started), file=out)
    return 0


#: The change the demo makes: a line inside a block the simulated router has.
DEMO_CANDIDATE = "interface Loopback0\n description managed by tessel\n"


def demo_change(device: List[str], timeout: float, out: Any) -> None:
    """The demo's configuration change on another simulated router: the diff, the apply,
    and a second apply that has nothing left to send."""
    import tessel

    os.environ["PYTHONPATH"] = child_environment()["PYTHONPATH"]  # the device's, as above
    with tessel.connect("generic", transport="command", command=device, timeout=timeout,
                        secrets={"enable_password": DEMO_PASSWORD}) as conn:
        shown = conn.config_diff(DEMO_CANDIDATE)
        print("[4] config_diff of a candidate against a second simulated router's running "
              "configuration:", file=out)
        for line in shown.splitlines():
            print("    " + line, file=out)
        done = conn.apply(DEMO_CANDIDATE)
        again = conn.apply(DEMO_CANDIDATE)
        print("    apply sent %s; the same apply again sent %d lines"
              % (", ".join(repr(line) for line in done.sent), len(again.sent)), file=out)


def cmd_graph(args: argparse.Namespace) -> int:
    machine = build_platform(args.platform)
    text = platform_dot(machine)
    if args.output is None or args.output == "-":
        sys.stdout.write(text)
        return 0
    fmt = write_graph(text, args.output)
    print("wrote %s (%s)" % (args.output, fmt.upper()))
    return 0


def cmd_route(args: argparse.Namespace) -> int:
    machine = build_platform(args.platform)
    start = check_state(machine, args.from_state)
    end = check_state(machine, args.to_state)
    if "any" in (start, end):
        raise UserError("a route runs between two named states, not 'any'")
    try:
        route = machine.get_shortest_path(start, end)
    except TesselError:
        raise UserError("no route from %s to %s" % (start, end)) from None
    from tessel.statemachine.statetransition import command_text

    print("%s -> %s: %d hop%s" % (start, end, len(route), "" if len(route) == 1 else "s"))
    for number, path in enumerate(route, 1):
        line = "  %d. %-24s %s" % (number, "%s -> %s" % (path.from_state, path.to_state),
                                   command_text(path.command) or "(no command)")
        if path.dialog:
            line += "   (dialog: %s)" % ", ".join("'%s'" % s.pattern_text for s in path.dialog)
        print(line)
    return 0


def parse_context(pairs: Sequence[str], ask: Sequence[str]) -> Dict[str, str]:
    context: Dict[str, str] = {}
    for pair in pairs:
        key, sep, value = pair.partition("=")
        if not sep or not key:
            raise UserError("--context takes KEY=VALUE, not %r" % pair)
        context[key] = value
    for key in ask:
        try:
            context[key] = getpass.getpass("%s: " % key)
        except EOFError:
            raise UserError("--ask %s: no terminal and no input line to read it from (is "
                            "standard input taken by --config -?)" % key) from None
    return context


def session_command(args: argparse.Namespace) -> List[str]:
    """The command after '--' (none for HOST); a UserError unless one of them is given."""
    command = list(args.command)
    if command and args.host:
        raise UserError("give HOST, or the command that opens the session after '--', not both")
    if not command and not args.host:
        raise UserError("%s needs the command that opens the session, after '--' "
                        "(for example: -- python -m tessel.sim.router), or a HOST to reach "
                        "over ssh or telnet" % args.subcommand)
    return command


def open_session(args: argparse.Namespace) -> Any:
    """The connection that the options of a session ask for (``tessel connect``, ``diff``,
    ``apply``), its state told on standard error."""
    import tessel
    from tessel.inventory import environment_credentials

    command = session_command(args)
    platform = load_platform(args.platform)
    context = parse_context(args.context, [])
    # The environment gives what the flags leave unset, as for tessel run.
    username, password, secrets = environment_credentials()
    username = args.user or username
    secrets = {k: v for k, v in secrets.items() if k not in context}
    secrets.update(parse_context([], args.ask))
    if args.ask_password:
        password = getpass.getpass("password for %s%s: " % (username + "@" if username else "",
                                                            args.host or "the device"))
    err_out = sys.stderr
    try:
        conn = tessel.connect(
            platform, args.host, username=username, password=password, port=args.port,
            transport="command" if command else "telnet" if args.telnet else "ssh",
            command=command or None, key_file=args.key, secrets=secrets, context=context,
            hostname=args.hostname, timeout=args.timeout, log=args.log,
            host_keys=args.host_keys, known_hosts=args.known_hosts, record=args.record)
    except PlatformError as err:
        raise UserError(str(err)) from None
    except (TypeError, ValueError) as err:
        raise UserError(str(err)) from None
    print("tessel: device is in state %s (hostname %s)" % (conn.state, conn.hostname),
          file=err_out)
    return conn


def cmd_connect(args: argparse.Namespace) -> int:
    session_command(args)
    load_platform(args.platform)
    target = check_state(build_platform(args.platform), args.state) if args.state else None
    config_lines = read_config(args.config) if args.config else []
    err_out = sys.stderr
    with open_session(args) as conn:
        if target not in (None, "any", conn.state):
            try:
                hops = conn.go_to(target)
            except TesselError as err:
                raise DeviceError("could not reach state %s: %s"
                                  % (target, fail_line(err))) from None
            print("tessel: went to %s" % conn.state, file=err_out)
            print_hops(hops, err_out)
        if config_lines:
            try:
                results = conn.configure(config_lines)
            except ConfigError as err:
                raise DeviceError("configuration stopped: %s (%d line%s sent)" % (
                    fail_line(err), len(err.results), "" if len(err.results) == 1 else "s")) \
                    from None
            except TesselError as err:
                raise DeviceError("configuration failed: %s" % fail_line(err)) from None
            print("tessel: configured %d line%s" % (len(results), "" if len(results) == 1
                                                    else "s"), file=err_out)
        for line in args.run:
            try:
                result = conn.execute(line)
            except TesselError as err:
                raise DeviceError("running %r failed: %s" % (line, fail_line(err))) from None
            if result.output.strip():
                print(result.output)
            if result.failed:
                raise DeviceError(conn.spawn.mask("%r failed: %s" % (line, result.failure)))
    return 0


def read_text(path: str, what: str) -> str:
    """The UTF-8 text of a file ('-': standard input); a UserError that names ``what`` when
    it cannot be read."""
    try:
        if path == "-":
            return sys.stdin.read()
        with open(path, encoding="utf-8-sig") as handle:
            return handle.read()
    except OSError as err:
        raise UserError("cannot read %s %s: %s" % (what, path, err.strerror or err)) from None
    except UnicodeDecodeError as err:
        raise UserError("cannot read %s %s: not UTF-8 text (%s)" % (what, path, err.reason)) \
            from None


def read_candidate(path: str, required: bool = True) -> str:
    """A candidate configuration's text from a file ('-': standard input); a control
    character in a line, or no line at all where ``required``, is a UserError."""
    from tessel.transaction import check_candidate

    text = read_text(path, "the candidate configuration")
    name = "standard input" if path == "-" else path
    try:
        check_candidate(text)
    except ValueError as err:
        raise UserError("%s: %s" % (name, err)) from None
    if required and not text.strip():
        raise UserError("%s holds no configuration line" % name)
    return text


def cmd_diff(args: argparse.Namespace) -> int:
    candidate = read_candidate(args.candidate, required=False)
    with open_session(args) as conn:
        try:
            shown = conn.spawn.mask(conn.config_diff(candidate, replace=args.replace))
        except PlatformError as err:
            raise UserError(str(err)) from None
        except TesselError as err:
            raise DeviceError("reading the running configuration failed: %s"
                              % fail_line(err)) from None
    from tessel.transaction import changed_counts

    sys.stdout.write(shown)
    print("tessel: %s" % ("+%d -%d line(s) would change" % changed_counts(shown) if shown else
                          "nothing would change"), file=sys.stderr)
    return 0


def cmd_apply(args: argparse.Namespace) -> int:
    from tessel.core.errors import ApplyError

    candidate = read_candidate(args.candidate)
    with open_session(args) as conn:
        try:
            done = conn.apply(candidate, replace=args.replace, confirm=args.confirm,
                              comment=args.comment, dry_run=args.dry_run)
        except (PlatformError, ValueError) as err:  # refused before anything was sent
            raise UserError(str(err)) from None
        except ApplyError as err:
            raise DeviceError(fail_line(err)) from None
        except TesselError as err:
            raise DeviceError("the change failed: %s" % fail_line(err)) from None
        sys.stdout.write(conn.spawn.mask(done.diff))
        if done.pending:
            try:
                conn.confirm()
            except TesselError as err:
                raise DeviceError("the change was committed with a confirm timer of %d s, "
                                  "and confirming it failed: %s; the device rolls it back when "
                                  "the timer runs out" % (args.confirm, fail_line(err))) from None
    confirmed = args.confirm is not None and done.committed
    print("tessel: %s%s" % (done.summary, ", committed with a confirm timer of %d s and "
                                          "confirmed" % args.confirm if confirmed else ""),
          file=sys.stderr)
    return 0


def read_config(path: str) -> List[str]:
    """The configuration lines of a file ('-': standard input), without blank lines and
    ``!``/``#`` comments; a line holding a control character is a UserError."""
    from tessel.fleet import read_config_lines

    text = read_text(path, "the configuration file")
    try:
        return read_config_lines(text)
    except ValueError as err:
        raise UserError("%s: %s" % ("standard input" if path == "-" else path, err)) from None


def positive_seconds(text: str) -> float:
    """An argparse type: a positive, finite number of seconds."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a number of seconds" % text) from None
    if not (value > 0 and value < float("inf")):
        raise argparse.ArgumentTypeError("must be a positive number of seconds, not %s" % text)
    return value


def positive_whole(text: str) -> int:
    """An argparse type: a whole number above 0."""
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value <= 0:
        raise argparse.ArgumentTypeError("%r is not a whole number above 0" % text)
    return value


def port_number(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 0 < value < 65536:
        raise argparse.ArgumentTypeError("%r is not a port number (1 to 65535)" % text)
    return value


class DeviceError(Exception):
    """The device did not do what was asked: reported as one line, exit status 1."""


# -- tessel run: many devices --------------------------------------------------------------------

def cmd_run(args: argparse.Namespace) -> int:
    from tessel import fleet
    from tessel.inventory import InventoryError, load

    if args.timeout is not None and args.timeout <= 0:
        raise UserError("--timeout must be a positive number of seconds, not %s" % args.timeout)
    if args.workers < 1:
        raise UserError("--workers must be at least 1, not %d" % args.workers)
    try:
        inventory = load(args.inventory)
        if args.filter:
            inventory = inventory.filter(args.filter)
    except InventoryError as err:
        raise UserError(str(err)) from None
    for warning in inventory.warnings:
        print("tessel: warning: %s" % warning, file=sys.stderr)
    if not len(inventory):
        raise UserError("no host in %s matches the filter" % args.inventory if args.filter
                        else "the inventory %s holds no host" % args.inventory)
    # The tasks take the connection's timeout: --timeout, or the host's own from the inventory.
    task: Any
    changes = [name for name, given in (("--replace", args.replace), ("--dry-run", args.dry_run),
                                        ("--confirm", args.confirm is not None),
                                        ("--comment", args.comment is not None)) if given]
    if changes and args.apply is None:
        raise UserError("%s goes with --apply" % changes[0])
    if args.apply is not None:
        if args.state:
            raise UserError("--state goes with --command or --config: --apply enters the "
                            "candidate where the platform's configuration is entered")
        try:
            task = fleet.Apply(read_candidate(args.apply), replace=args.replace,
                               confirm=args.confirm, dry_run=args.dry_run, comment=args.comment)
        except (TypeError, ValueError) as err:
            raise UserError(str(err)) from None
    elif args.config is not None:
        lines = read_config(args.config)
        if not lines:
            raise UserError("%s holds no configuration line" % args.config)
        task = fleet.Configure(lines, state=args.state)
    else:
        try:
            task = fleet.Commands(list(args.command), state=args.state)
        except ValueError as err:
            raise UserError(str(err)) from None

    inventory = inventory.with_environment()
    password = getpass.getpass("password: ") if args.ask_password else None
    secrets = {key: getpass.getpass("%s: " % key) for key in args.ask}
    inventory = inventory.with_credentials(password=password, secrets=secrets)
    if args.record:
        inventory = recorded(inventory, args.record)

    event_loop(args)
    client = connect_scheduler(args.scheduler) if args.scheduler else None
    to_stdout = args.output == "-"
    report = sys.stderr if to_stdout else sys.stdout
    output: Optional[Any] = None
    started = time.monotonic()
    stopped: Optional[fleet.RunInterrupted] = None

    def announce(running: int) -> None:
        print("\ntessel: interrupted: nothing more is sent; waiting for %d session%s to end "
              "the command in progress (Ctrl-C again to stop waiting)"
              % (running, "" if running == 1 else "s"), file=sys.stderr, flush=True)

    try:
        if args.output is not None:
            output = sys.stdout if to_stdout else open(args.output, "w", encoding="utf-8")
        records = fleet.JsonLines(output) if output is not None else None
        with fleet.ProgressBar(len(inventory)) as bar:
            try:
                results = fleet.run(inventory, task, workers=args.workers, client=client,
                                    timeout=args.timeout, progress=fleet.both(bar, records),
                                    on_interrupt=announce, event_loop=event_loop(args))
            except fleet.RunInterrupted as interrupt:
                stopped, results = interrupt, interrupt.results
    except OSError as err:
        raise UserError("cannot write %s: %s" % (args.output, err.strerror or err)) from None
    finally:
        if output is not None and not to_stdout:
            output.close()
        if client is not None:
            client.close()
    if args.record:
        warn_unfinished_captures(args.record, results)
    try:
        report_run(results, time.monotonic() - started, interrupted=stopped is not None,
                   outputs=args.output is None, report=report)
    finally:
        if stopped is not None and stopped.abandoned:
            # Sessions still finishing a command would hold the exit until they end: leave
            # now, whatever happens on the way.
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(INTERRUPTED_STATUS)
    if stopped is not None:
        return INTERRUPTED_STATUS
    return 1 if results.failed else 0


def report_run(results: Any, elapsed: float, interrupted: bool, outputs: bool,
               report: Any) -> None:
    """The command outputs (when ``outputs``), the table and the totals of a run."""
    from tessel import fleet

    if outputs and print_outputs(results.values(), sys.stdout):
        print(file=report)
    report.write(fleet.summary_table(results.values(), shutil.get_terminal_size().columns
                                     if report.isatty() else None))
    counts = "%d ok, %d failed" % (results.count(fleet.OK), results.count(fleet.FAILED))
    if interrupted:
        counts += ", %d interrupted, %d not started" % (results.count(fleet.INTERRUPTED),
                                                        results.count(fleet.NOT_STARTED))
    print("%d host%s: %s, in %.1f s (%.0f hosts per minute)"
          % (len(results), "" if len(results) == 1 else "s", counts, elapsed,
             60.0 * len(results) / max(elapsed, 1e-9)), file=report)


def event_loop(args: argparse.Namespace) -> Optional[bool]:
    """Where tessel run's sessions go: on one event loop with --async, else as fleet.run
    chooses (on the loop when every host's transport is asyncssh)."""
    if not args.use_async:
        return None
    if args.scheduler:
        raise UserError("--async runs the sessions in this process, --scheduler on a Dask "
                        "cluster: give one of them")
    return True


def add_event_loop_option(run: Any) -> None:
    run.add_argument("--async", dest="use_async", action="store_true",
                     help="run every session on one event loop in this process, as is done "
                          "when every host's transport is asyncssh (--workers then bounds the "
                          "sessions open at once, thousands allowed)")


def connect_scheduler(address: str) -> Any:
    try:
        from distributed import Client
    except ImportError:
        raise UserError("--scheduler needs Dask: pip install 'tessel[dask]' (from a checkout: "
                        "pip install '.[dask]')") from None
    try:
        return Client(address, timeout=10)  # type: ignore[no-untyped-call]
    except (OSError, TimeoutError) as err:
        raise UserError("cannot reach the Dask scheduler at %s: %s" % (address, err)) from None


def print_outputs(results: Any, out: Any) -> bool:
    """Each host's command outputs, or the diff of its configuration change, in the
    inventory's order; True when it printed any."""
    from tessel.transaction import ApplyResult

    printed = False
    for result in results:
        if isinstance(result.value, ApplyResult):
            print("--- %s: %s" % (result.host, result.value.summary), file=out)
            if result.value.diff:
                print(result.value.diff.rstrip("\n"), file=out)
            printed = True
            continue
        for item in result.value or ():
            command = getattr(item, "command", None)
            if command is None:
                continue
            print("--- %s: %s" % (result.host, command), file=out)
            text = (getattr(item, "output", "") or "").rstrip("\n")
            if text:
                print(text, file=out)
            printed = True
    return printed


def add_run_parser(sub: Any) -> None:
    from tessel.inventory import FILTER_SYNTAX

    run = sub.add_parser(
        "run", help="run commands or configuration on the hosts of an inventory",
        usage="tessel run -i INVENTORY [--filter EXPR] (--command CMD... | --config FILE | "
              "--apply FILE) [options]",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Connect to every host of a Nornir simple inventory (hosts.yaml, "
                    "groups.yaml, defaults.yaml) with tessel.connect, run the commands or the "
                    "configuration, and report each host's result. A host's failure (a refused "
                    "login, a timeout, a lost session) fails that host only; the exit status "
                    "is 1 when any host failed. Ctrl-C stops the run: nothing more is sent, "
                    "every host is reported (ok, failed, interrupted or not started) and the "
                    "exit status is 130; a second Ctrl-C stops waiting for the commands in "
                    "progress.",
        epilog="Filters:\n" + FILTER_SYNTAX + "\nCredentials the inventory leaves unset come "
               "from TESSEL_USERNAME, TESSEL_PASSWORD and TESSEL_SECRET_<KEY> (for instance "
               "TESSEL_SECRET_ENABLE_PASSWORD), or from --ask-password and --ask KEY.")
    run.add_argument("-i", "--inventory", required=True, metavar="INVENTORY",
                     help="a directory with hosts.yaml, a hosts file, or a Nornir config file")
    run.add_argument("--filter", action="append", default=[], metavar="EXPR",
                     help="select hosts, such as 'group=core data.site=lon*' (repeatable)")
    work = run.add_mutually_exclusive_group(required=True)
    work.add_argument("--command", action="extend", nargs="+", metavar="CMD",
                      help="commands to run on each host, in turn")
    work.add_argument("--config", metavar="FILE",
                      help="configuration lines to send ('-': standard input; blank lines and "
                           "! or # comments skipped)")
    work.add_argument("--apply", metavar="FILE",
                      help="a candidate configuration to apply to each host as a transaction "
                           "('-': standard input); each host's diff is printed (or in the JSON "
                           "lines)")
    run.add_argument("--replace", action="store_true",
                     help="with --apply: make each running configuration equal to the "
                          "candidate (default: merge)")
    run.add_argument("--dry-run", action="store_true",
                     help="with --apply: print each host's diff and send nothing")
    run.add_argument("--confirm", type=positive_whole, metavar="SECONDS",
                     help="with --apply: commit with the platform's confirm timer, confirmed "
                          "once the running configuration holds the candidate")
    run.add_argument("--comment", metavar="TEXT", help="with --apply: the commit's comment")
    run.add_argument("--state", help="state to run the commands in (with --config: the state "
                                     "to enter the lines in; default the platform's)")
    run.add_argument("--workers", type=int, default=20, metavar="N",
                     help="sessions at once (per Dask worker with --scheduler; default 20)")
    run.add_argument("--output", metavar="FILE.jsonl",
                     help="write every host's result as a JSON line ('-': standard output)")
    run.add_argument("--timeout", type=float, metavar="T",
                     help="seconds, as tessel.connect's timeout: each login wait, each "
                          "state change as a whole, and the silence allowed before a command's "
                          "prompt; for hosts whose inventory sets none (default: 10)")
    run.add_argument("--scheduler", metavar="tcp://HOST:PORT",
                     help="run on a Dask cluster through this scheduler")
    run.add_argument("--ask-password", action="store_true",
                     help="ask for the login password of hosts that have none")
    run.add_argument("--ask", action="append", default=[], metavar="KEY",
                     help="ask for a secret, such as enable_password, for hosts that have none")
    run.add_argument("--record", metavar="DIR",
                     help="write a capture of each host's session into DIR, named after the "
                          "host (DIR/NAME.jsonl)")
    add_event_loop_option(run)
    run.set_defaults(func=cmd_run)


# -- recordings: tessel run --record, tessel replay ------------------------------------------

def recorded(inventory: Any, directory: str) -> Any:
    """The inventory with each host's session recorded into ``directory``."""
    from dataclasses import replace

    from tessel.capture import file_name as capture_name
    from tessel.inventory import CONNECTION_NAME, ConnectionOptions, Inventory

    names: Dict[str, str] = {}
    for host in inventory:
        name = capture_name(host.name)
        if name in names:
            raise UserError("hosts %s and %s would share the capture %s"
                            % (names[name], host.name, name))
        names[name] = host.name
    try:
        os.makedirs(directory, exist_ok=True)
    except OSError as err:
        raise UserError("cannot create %s: %s" % (directory, err.strerror or err)) from None
    hosts = []
    for host in inventory:
        options = replace(host.connection_options.get(CONNECTION_NAME) or ConnectionOptions())
        options.extras = dict(options.extras or {},
                              record=os.path.join(directory, capture_name(host.name)))
        hosts.append(replace(host, connection_options=dict(host.connection_options,
                                                           **{CONNECTION_NAME: options})))
    return Inventory(hosts, inventory.groups, inventory.defaults, inventory.warnings)


def warn_unfinished_captures(directory: str, hosts: Any) -> None:
    """Warns of each host whose capture lacks its end: it could not be written in full."""
    from tessel.capture import file_name, finished

    for name in hosts:
        path = os.path.join(directory, file_name(name))
        if not finished(path):
            print("tessel: warning: the capture of %s (%s) is incomplete: it could not be "
                  "written in full" % (name, path), file=sys.stderr)


def cmd_replay(args: argparse.Namespace) -> int:
    from tessel.replay import run as replay

    if not args.speed >= 0:
        raise UserError("--speed is a factor of 0 or more, not %s" % args.speed)
    return replay(args.capture, strict=args.strict, speed=args.speed)


def add_replay_parser(sub: Any) -> None:
    replay = sub.add_parser(
        "replay", help="play a recorded device on this terminal",
        description="Play the device of a capture (tessel connect --record, record=) on this "
                    "terminal: what it printed at the start, then each input answered with "
                    "what the device printed for it at that prompt, so the prompt and the "
                    "state follow the recording. Run it as the command of "
                    "transport='command', or as the login shell of an ssh user. An input the "
                    "capture does not hold gets the platform's error line (an empty line the "
                    "prompt again).",
        epilog="Example: tessel connect frr --run 'show version' -- tessel replay r1.jsonl")
    replay.add_argument("capture", metavar="CAPTURE", help="the capture file")
    replay.add_argument("--strict", action="store_true",
                        help="end at the first input the capture does not hold, with exit "
                             "status 3 and a line on standard error saying what came and what "
                             "was recorded there")
    replay.add_argument("--speed", type=float, default=0.0, metavar="FACTOR",
                        help="play the recorded timings, FACTOR times as fast (1: as "
                             "recorded); 0, the default: as fast as possible")
    replay.set_defaults(func=cmd_replay)


def cmd_learn(args: argparse.Namespace) -> int:
    from tessel.core.errors import CaptureError
    from tessel.learn import learn_files, responses_path

    try:
        learned = learn_files(args.captures, args.output)
    except (CaptureError, ValueError) as err:
        raise UserError(str(err)) from None
    for note in learned.notes:
        print("tessel learn: note: %s" % note, file=sys.stderr)
    for problem in learned.problems:
        print(problem, file=sys.stderr)
    errors = sum(1 for p in learned.problems if p.severity == "error")
    platform = learned.platform
    print("tessel learn: wrote %s (%d states, %d paths) and %s (%d commands)" % (
        args.output, len(platform["states"]), len(platform["paths"]),
        responses_path(args.output), sum(len(c) for c in learned.responses.values())),
        file=sys.stderr)
    if errors:
        print("tessel learn: tessel check finds %d error%s in it: the captures do not show "
              "enough" % (errors, "" if errors == 1 else "s"), file=sys.stderr)
        return 1
    print("tessel learn: try it: tessel sim %s%s" % (args.output, " --hostname %s"
                                                     % learned.hostname if learned.hostname
                                                     else ""), file=sys.stderr)
    return 0


def add_learn_parser(sub: Any) -> None:
    learn = sub.add_parser(
        "learn", help="learn a platform file from captures of a device",
        description="Write a platform file and the simulator's responses beside it "
                    "(NAME.responses.yaml) from captures of one device (tessel connect "
                    "--record, record=): a state per prompt shape (the hostname as %%N, a "
                    "family of sub-mode prompts as one state), paths from the commands that "
                    "changed the prompt, their questions as dialogs (secrets as fields), the "
                    "pager, failure patterns from the errors seen, the commands run after "
                    "login, and every command's output per state. Several captures merge. "
                    "Notes on what was left out or merged go to standard error; exit status 1 "
                    "when tessel check finds errors in the result, 2 when a capture cannot be "
                    "read (nothing is written then).",
        epilog="Example: tessel learn r1-view.jsonl r1-config.jsonl -o r1.yaml && "
               "tessel sim r1.yaml --hostname r1")
    learn.add_argument("captures", metavar="CAPTURE", nargs="+", help="a capture file")
    learn.add_argument("-o", "--output", metavar="NAME.yaml", required=True,
                       help="the platform file to write")
    learn.set_defaults(func=cmd_learn)


# -- platform files: graph with dialogs, platforms, check, sim -------------------------------

def questions(path: Any) -> List[str]:
    """The questions a path's dialog answers: the samples the platform gives, else patterns."""
    asked = []
    for statement in path.dialog or ():
        sample = getattr(statement, "sample", None)
        asked.append(sample.strip() if isinstance(sample, str) and sample.strip()
                     else statement.pattern_text)
    return asked


def dot_quote(text: str) -> str:
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


def platform_dot(machine: Any) -> str:
    """The machine's graph as DOT text, each edge labelled with its command and the
    questions asked on the way (the core's ``dotgraph()`` shows the commands only)."""
    from tessel.statemachine.statetransition import command_text

    from tessel.platforms.base import config_substates

    lines = ["digraph G {"]
    families = config_substates(machine)
    for state in machine.states:
        lines.append("  %s" % dot_quote(state.name) if state.name not in families else
                     "  %s [style=dashed, label=%s]" % (dot_quote(state.name), dot_quote(
                         "%s\n(entered by configuration lines)" % state.name)))
    for path in machine.paths:
        label = command_text(path.command)
        for question in questions(path):
            label += "\nasks %s" % question
        lines.append("  %s -> %s [label=%s]" % (dot_quote(str(path.from_state)),
                                               dot_quote(str(path.to_state)), dot_quote(label)))
    lines.append("}")
    return "\n".join(lines) + "\n"


def cmd_platforms(args: argparse.Namespace) -> int:
    from tessel.platforms import shipped_file, shipped_names
    from tessel.platforms.datafile import read_platform

    names = shipped_names()
    width = max((len(n) for n in names), default=0)
    for name in names:
        path = shipped_file(name)
        try:
            description = read_platform(path).description if path else ""
        except PlatformError as err:
            description = "(broken: %s)" % err
        print("%-*s  %s" % (width, name, " ".join(description.split())))
    print("\nA platform file (PATH.yaml) or MODULE:CLASS may be given wherever a name is.",
          file=sys.stderr)
    return 0


def definition_path(name: str) -> str:
    """The platform file behind a name, a path or a class defined by a file."""
    from tessel.platforms import platform_file

    path = platform_file(name)
    if path is None and ":" in name:
        path = platform_file(load_platform(name))
    if path is None:
        if name.endswith((".yaml", ".yml")) or os.sep in name:
            raise UserError("no platform file %s" % name)
        load_platform(name)  # says why the name leads nowhere
        raise UserError("%s is not defined by a platform file" % name)
    return path


def cmd_check(args: argparse.Namespace) -> int:
    from tessel.platforms.check import check_file, has_errors

    path = definition_path(args.platform)
    problems = check_file(path, hostname=args.hostname)
    for problem in problems:
        print(problem)
    errors = sum(1 for p in problems if p.severity == "error")
    print("tessel: %s: %d error%s, %d warning%s" % (
        path, errors, "" if errors == 1 else "s", len(problems) - errors,
        "" if len(problems) - errors == 1 else "s"), file=sys.stderr)
    return 1 if has_errors(problems) else 0


def cmd_sim(args: argparse.Namespace) -> int:
    from tessel.sim.platform_sim import simulate, simulator_factory

    if args.ssh is None:
        for option in ("password", "host_key"):
            if getattr(args, option) is not None:
                raise UserError("--%s goes with --ssh" % option.replace("_", "-"))
        try:
            return simulate(args.platform, hostname=args.hostname or "R1", secrets=args.secret,
                            start=args.start, responses=args.responses, delay=args.delay,
                            page_length=args.page_length, abbreviate=args.abbreviate,
                            timer_scale=args.timer_scale)
        except PlatformError as err:
            raise UserError(str(err)) from None
    if args.hostname is not None:
        raise UserError("with --ssh each device's hostname is its login name, not --hostname")
    try:
        from tessel.sim.sshserver import load_host_key, parse_address, run_server
    except ImportError as err:
        if err.name != "asyncssh":
            raise
        raise UserError("--ssh needs asyncssh: pip install 'tessel[asyncssh]'") from None
    if args.password == "":
        raise UserError("--password is empty: leave it out for logins without a password")
    try:
        host, port = parse_address(args.ssh)
        make = simulator_factory(args.platform, secrets=args.secret, start=args.start,
                                 responses=args.responses, delay=args.delay,
                                 page_length=args.page_length, abbreviate=args.abbreviate,
                                 timer_scale=args.timer_scale)
        key, directory = load_host_key(args.host_key)
    except (PlatformError, ValueError) as err:
        raise UserError(str(err)) from None
    if directory is not None:
        print("tessel sim: a new host key, in %s until the server stops" % directory,
              file=sys.stderr)
    return run_server(make, host, port, key, directory, password=args.password, out=sys.stdout)


def add_platform_commands(sub: Any) -> None:
    """The subcommands that work on platform definitions: platforms, check and sim."""
    platforms = sub.add_parser(
        "platforms", help="list the platforms that ship with tessel",
        description="List the shipped platforms, each a data file, with their descriptions.")
    platforms.set_defaults(func=cmd_platforms)

    check = sub.add_parser(
        "check", help="check a platform file",
        description="Check a platform definition: regular expressions that do not compile, "
                    "samples that their own prompt does not match or that an earlier state's "
                    "prompt also matches (with a fixed hostname and with hostname learning), "
                    "states that cannot be reached from every other state, questions that a "
                    "prompt also matches, paths without a command. One line per finding; exit "
                    "status 1 when there are errors.")
    check.add_argument("platform", metavar="PLATFORM", help=PLATFORM_HELP)
    check.add_argument("--hostname", default="R1",
                       help="the hostname put into the samples (default: R1)")
    check.set_defaults(func=cmd_check)

    sim = sub.add_parser(
        "sim", help="a simulated device generated from a platform",
        description="Run a simulated device on standard input and output that behaves as the "
                    "platform definition says: sample prompts, paths by their commands, dialog "
                    "questions checked against --secret, commands answered from a responses "
                    "file (by default NAME.responses.yaml beside the platform file), the pager "
                    "for long output, an error line for anything else. Where the platform "
                    "declares its configuration, the device keeps one: the lines entered, shown "
                    "by the show command; a candidate, commit, commit with a confirm timer and "
                    "rollback where the platform has commit.",
        epilog="Examples: tessel sim linux --hostname web1 --secret password=s3cret; "
               "tessel sim generic --ssh 127.0.0.1:2222 --password pw (then: ssh -p 2222 "
               "R7@127.0.0.1)")
    sim.add_argument("platform", metavar="PLATFORM", help=PLATFORM_HELP)
    sim.add_argument("--hostname", help="the device's hostname (default: R1)")
    sim.add_argument("--secret", action="append", default=[], metavar="KEY=VALUE",
                     help="the answer a {KEY} question expects (repeatable); an empty VALUE: "
                          "the question is not asked")
    sim.add_argument("--start", metavar="STATE",
                     help="the state to start in (default: the state of the first connect "
                          "command, else the first state)")
    sim.add_argument("--responses", metavar="FILE", help="the commands' outputs, per state")
    sim.add_argument("--delay", type=float, default=0.0, metavar="SECONDS",
                     help="pause before answering each command (a slow device)")
    sim.add_argument("--page-length", type=int, default=24, metavar="LINES",
                     help="lines per page when the platform has a pager; 0: no paging "
                          "(default: 24)")
    sim.add_argument("--abbreviate", action="store_true",
                     help="accept any unique prefix of a command's words (conf t)")
    sim.add_argument("--timer-scale", type=positive_seconds, default=60.0, metavar="SECONDS",
                     help="how long a minute of a commit's confirm timer lasts (default: 60; "
                          "a test may make it short)")
    sim.add_argument("--ssh", metavar="HOST:PORT",
                     help="serve devices over ssh instead, one per login name, which is its "
                          "hostname; they keep their state between sessions (PORT 0: a free "
                          "port; prints where it listens and the host key's known_hosts line)")
    sim.add_argument("--password", metavar="PW",
                     help="with --ssh: the login password of every device (default: logins "
                          "ask no password)")
    sim.add_argument("--host-key", metavar="FILE",
                     help="with --ssh: the server's private key (default: a new one, kept in a "
                          "temporary directory until the server stops)")
    sim.set_defaults(func=cmd_sim)


# -- entry point --------------------------------------------------------------------------------

def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tessel",
        description="Drive the command-line sessions of network devices with a state machine.",
        epilog="Start with 'tessel demo'. A platform is a shipped name (see 'tessel "
               "platforms'), a platform file (PATH.yaml) or MODULE:CLASS.")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="log what the library does to standard error")
    sub = parser.add_subparsers(dest="subcommand", metavar="COMMAND")
    sub.required = True

    demo = sub.add_parser(
        "demo", help="drive a simulated router and show each step",
        description="Start the simulated router over a real pty, detect its state and learn "
                    "its hostname, go to config and back to disable, printing every "
                    "transition with its commands and timing, and write the state graph as "
                    "DOT (and SVG where Graphviz is installed).")
    demo.add_argument("-o", "--output-dir", default=".",
                      help="where to write tessel-demo.dot/.svg/.log (default: .)")
    demo.add_argument("--hostname", default="R1",
                      help="the simulated router's hostname (default: R1)")
    demo.add_argument("--timeout", type=positive_seconds, default=5.0,
                      help="seconds allowed for each step (default: 5)")
    demo.set_defaults(func=cmd_demo)

    graph = sub.add_parser(
        "graph", help="a platform's state graph as DOT, SVG or PNG",
        description="Print a platform's state graph as DOT text, or write it to a file in "
                    "the format of its extension: .dot, or .svg/.png/.pdf drawn by Graphviz.")
    graph.add_argument("platform", metavar="PLATFORM", help=PLATFORM_HELP)
    graph.add_argument("-o", "--output", metavar="FILE", help="file to write (default: stdout)")
    graph.set_defaults(func=cmd_graph)

    route = sub.add_parser(
        "route", help="the shortest route between two states",
        description="Print the shortest route between two states of a platform, with the "
                    "command and dialog of each path.")
    route.add_argument("platform", metavar="PLATFORM", help=PLATFORM_HELP)
    route.add_argument("from_state", metavar="FROM", help="start state")
    route.add_argument("to_state", metavar="TO", help="target state")
    route.set_defaults(func=cmd_route)

    add_platform_commands(sub)

    connect = sub.add_parser(
        "connect", help="log in to a device, go to a state, configure it and run commands",
        usage="tessel connect [options] PLATFORM HOST\n"
              "       tessel connect [options] PLATFORM -- COMMAND...",
        description="Log in to HOST over ssh (or telnet), or start COMMAND (a console "
                    "program, the simulated router) on a pty; recognise the device's state, "
                    "go to --state, push the --config lines, and run the --run commands, "
                    "printing their output. Exit status 1 when the device refuses a command "
                    "or a configuration line.",
        epilog="Examples: tessel connect generic 10.0.0.1 -u admin --ask-password --ask "
               "enable_password --state enable --run 'show version'; tessel connect generic "
               "--state enable --context enable_password=lab --run 'show version' -- "
               "python -m tessel.sim.router. " + CREDENTIALS_EPILOG)
    add_session_options(connect)
    connect.add_argument("--state", help="state to go to after login")
    connect.add_argument("--config", metavar="FILE",
                         help="configuration lines to push, one per line ('-': standard "
                              "input; blank lines and ! or # comments skipped); stops at the "
                              "first line the device refuses")
    connect.add_argument("--run", action="append", default=[], metavar="CMD",
                         help="command to run and print (repeatable); a command the device "
                              "refuses ends the run with exit status 1")
    connect.set_defaults(func=cmd_connect)

    add_change_parsers(sub)
    add_run_parser(sub)
    add_replay_parser(sub)
    add_learn_parser(sub)
    return parser


def add_session_options(parser: Any) -> None:
    """PLATFORM, HOST and the options that open a session (connect, diff, apply)."""
    parser.add_argument("platform", metavar="PLATFORM", help=PLATFORM_HELP)
    parser.add_argument("host", metavar="HOST", nargs="?",
                        help="the device's host name or address")
    login = parser.add_argument_group("login")
    login.add_argument("-u", "--user", metavar="USER",
                       help="the username to log in as (default: $TESSEL_USERNAME)")
    login.add_argument("-p", "--port", type=port_number, metavar="PORT",
                       help="the port (default: 22 for ssh, 23 for telnet)")
    login.add_argument("--telnet", action="store_true", help="use telnet instead of ssh")
    login.add_argument("--key", metavar="FILE", help="ssh identity (private key) file")
    login.add_argument("--host-keys", choices=("strict", "accept-new", "off"),
                       default="strict",
                       help="ssh host keys: known ones only (strict, the default), record a "
                            "new one (accept-new), or accept any (off: unsafe)")
    login.add_argument("--known-hosts", metavar="FILE",
                       help="the known_hosts file to use instead of ssh's default")
    login.add_argument("--ask-password", action="store_true",
                       help="ask for the login password without echo (default: "
                            "$TESSEL_PASSWORD)")
    parser.add_argument("--timeout", type=positive_seconds, default=10.0,
                        help="seconds: each login wait, each state change as a whole, and the "
                             "silence allowed before a command's prompt (default: 10)")
    parser.add_argument("--hostname", help="the device's hostname (default: learned)")
    parser.add_argument("--context", action="append", default=[], metavar="KEY=VALUE",
                        help="a context field, such as interface=Loopback1 (repeatable)")
    parser.add_argument("--ask", action="append", default=[], metavar="KEY",
                        help="ask for a secret context field without echo, such as "
                             "enable_password (repeatable)")
    parser.add_argument("--log", metavar="FILE", help="write a session transcript here")
    parser.add_argument("--record", metavar="CAPTURE",
                        help="write a capture of the session here (secrets replaced), for "
                             "'tessel replay'")


#: What the credentials of tessel connect, diff and apply default to.
CREDENTIALS_EPILOG = ("Credentials the options leave unset come from TESSEL_USERNAME, "
                      "TESSEL_PASSWORD and TESSEL_SECRET_<KEY> (for instance "
                      "TESSEL_SECRET_ENABLE_PASSWORD), as for tessel run.")


def add_change_parsers(sub: Any) -> None:
    """tessel diff and tessel apply: a candidate configuration against one device."""
    diff = sub.add_parser(
        "diff", help="what a candidate configuration would change on a device",
        usage="tessel diff [options] PLATFORM HOST --candidate FILE [--replace]\n"
              "       tessel diff [options] PLATFORM --candidate FILE -- COMMAND...",
        description="Log in to HOST (or start COMMAND on a pty) as tessel connect does, read "
                    "the running configuration and print a unified diff of what applying the "
                    "candidate would change, each changed line inside its blocks; nothing is "
                    "changed. Nothing printed: nothing would change. Exit status 1 when the "
                    "device refuses, 2 for a mistake.",
        epilog="Example: tessel diff frr --candidate r1.cfg -- vtysh. " + CREDENTIALS_EPILOG)
    add_session_options(diff)
    diff.add_argument("--candidate", required=True, metavar="FILE",
                      help="the candidate configuration, as the device shows its own ('-': "
                           "standard input)")
    diff.add_argument("--replace", action="store_true",
                      help="the running configuration is to equal the candidate: also show "
                           "what it holds that the candidate does not (default: merge)")
    diff.set_defaults(func=cmd_diff)

    apply = sub.add_parser(
        "apply", help="apply a candidate configuration to a device, as one transaction",
        usage="tessel apply [options] PLATFORM HOST --candidate FILE [--replace] "
              "[--confirm SECONDS] [--dry-run]\n"
              "       tessel apply [options] PLATFORM --candidate FILE -- COMMAND...",
        description="Log in as tessel connect does and apply the candidate with "
                    "Connection.apply: merge (only what is missing) or --replace (the running "
                    "configuration ends up equal to the candidate), committed where the "
                    "platform has commit. The diff goes to standard output, what was done to "
                    "standard error. A refused line stops the change: nothing is committed, or "
                    "the lines already accepted are taken back. Exit status 1 when the device "
                    "refuses or the change fails, 2 for a mistake (nothing is sent then).",
        epilog="Example: tessel apply hierarchical core1 -u admin --ask-password --candidate "
               "core1.set --replace --confirm 300. " + CREDENTIALS_EPILOG)
    add_session_options(apply)
    apply.add_argument("--candidate", required=True, metavar="FILE",
                       help="the candidate configuration, as the device shows its own ('-': "
                            "standard input)")
    apply.add_argument("--replace", action="store_true",
                       help="make the running configuration equal to the candidate (default: "
                            "merge, which adds only what is missing)")
    apply.add_argument("--dry-run", action="store_true",
                       help="print the diff and send nothing")
    apply.add_argument("--confirm", type=positive_whole, metavar="SECONDS",
                       help="commit with the platform's confirm timer, then confirm once the "
                            "running configuration holds the candidate: a change that cuts "
                            "the session off is rolled back by the device itself (platforms "
                            "with such a timer only)")
    apply.add_argument("--comment", metavar="TEXT",
                       help="the commit's comment (platforms with commit comments)")
    apply.set_defaults(func=cmd_apply)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    words = list(sys.argv[1:] if argv is None else argv)
    # Everything after the first '--' is the device command of 'connect'.
    command: List[str] = []
    if "--" in words:
        split = words.index("--")
        words, command = words[:split], words[split + 1:]
    args = parser.parse_args(words)
    if args.subcommand in SESSION_COMMANDS:
        args.command = command
    elif command:
        parser.error("only %s take a command after '--'" % ", ".join(
            "'%s'" % name for name in SESSION_COMMANDS))
    if args.verbose:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("%(name)s: %(message)s"))
        logger = logging.getLogger("tessel")
        logger.addHandler(handler)
        logger.setLevel(logging.INFO)
    try:
        return int(args.func(args) or 0)
    except UserError as err:
        print("tessel: %s" % err, file=sys.stderr)
        return 2
    except DeviceError as err:
        print("tessel: %s" % err, file=sys.stderr)
        return 1
    except (SpawnError, TesselError) as err:
        print("tessel: %s" % fail_line(err), file=sys.stderr)
        return 1
    except OSError as err:
        print("tessel: %s" % err, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("tessel: interrupted", file=sys.stderr)
        return INTERRUPTED_STATUS


if __name__ == "__main__":
    sys.exit(main())

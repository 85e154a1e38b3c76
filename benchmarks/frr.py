"""A 500-line nested configuration and ``show running-config`` on FRRouting, tessel against vtysh
alone and against netmiko and scrapli driving the same vtysh.

Run as root (it starts FRR's daemons and a test sshd, as the tests do):

    python benchmarks/frr.py [--rounds N] [--platform frr]

FRR's daemons run in a pathspace of their own (``tests/frr/frr_daemons.py``).
The configuration is about 500 lines nested as a user writes them: BGP
neighbours with their address-family settings, route maps, key chains with
keys and interface descriptions (static routes are slow in FRR itself and
would measure FRR). Each measure pushes the lines into a configuration from
which the previous push was removed, then reads ``show running-config``:

* ``vtysh -f``: vtysh alone reads the lines from a file, then ``vtysh -c 'show
  running-config'``: the floor. Target: tessel on a local vtysh (``transport=
  "command"``) at most 1.3x this;
* ``pexpect (local)``: the floor of sending the lines one by one, each once the
  prompt of the one before arrived (as tessel does, so that no line follows a
  refused one): a minimal pexpect loop on a local vtysh that sends a line,
  waits for a prompt pattern and looks for a refusal in what came before it,
  with none of tessel's checks (no confirmation that the prompt is the last
  thing printed, no echo or state tracking). tessel's ratio to it is printed;
* over ssh, every tool logs in as a user of the test sshd whose login shell is
  vtysh; the session is open before the clock starts. Target: tessel ahead of
  netmiko and scrapli (their ratio to tessel above 1).

Every tool checks each line's answer for a refusal, and the running
configuration is checked after each push. The settings, each tool's best:

* tessel: ``configure(lines)`` (each line sent once the prompt of the one
  before arrived); its pty handle sends without pexpect's default 50 ms
  ``delaybeforesend`` pause (tessel turns it off);
* netmiko: device type ``generic``, ``fast_cli`` (its default),
  ``send_config_set`` with ``cmd_verify=True`` and ``error_pattern='^%'``
  (per-line checking; without ``cmd_verify`` netmiko sleeps 50 ms per line),
  ``send_command`` with the privileged prompt as ``expect_string``. netmiko
  uses paramiko, not pexpect;
* scrapli: a vendor-neutral definition of vtysh's modes below (every
  ``(config-...)`` sub-mode counts as configuration mode), the failure
  messages as failure indicators, ``send_inputs`` with
  ``stop_on_indicated_failure``; its ``bin`` transport (the system ssh client,
  as tessel) with the default read delays. scrapli does not use pexpect.

Rounds interleave the tools in turn; the medians over the rounds are printed,
with each ratio beside its target.
"""
import argparse
import importlib.util
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Any, Dict, List, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "tests", "frr"), os.path.join(HERE, "..", "tests",
                                                                       "connection")]

import frr_daemons  # noqa: E402  (the test suite's FRR instance)
import servers  # noqa: E402  (the test suite's sshd on loopback)

import tessel  # noqa: E402

PEERS = 250
#: FRR's refusals, for the peers' error checks.
FAILURES = ["% Unknown command", "% Command incomplete", "% Ambiguous command",
            "% Invalid input"]

SCRAPLI_DEFINITION = r"""---
prompt_pattern: '^\S{1,63}[>#]\s?+$'
default_mode: 'privileged'
modes:
  - name: 'unprivileged'
    prompt_pattern: '^[\w.\-]{1,63}>\s?+$'
    accessible_modes:
      - name: 'privileged'
        instructions:
          - send_input:
              input: 'enable'
  - name: 'privileged'
    prompt_pattern: '^[\w.\-]{1,63}#\s?+$'
    accessible_modes:
      - name: 'configuration'
        instructions:
          - send_input:
              input: 'configure terminal'
  - name: 'configuration'
    prompt_pattern: '^[\w.\-]{1,63}\(config[\w.\-]*\)#\s?+$'
    accessible_modes:
      - name: 'privileged'
        instructions:
          - send_input:
              input: 'end'
failure_indicators:
  - '% Unknown command'
  - '% Command incomplete'
  - '% Ambiguous command'
  - '% Invalid input'
on_open_instructions:
  - enter_mode:
      requested_mode: 'privileged'
  - send_input:
      input: 'terminal length 0'
on_close_instructions:
  - write:
      input: 'exit'
"""


def stripped(text: str) -> set:
    return {line.strip() for line in text.splitlines()}


class Tool:
    """One way of pushing the lines and reading the running configuration."""

    name = ""

    def open(self) -> None:
        pass

    def push(self, lines: List[str]) -> None:
        raise NotImplementedError

    def show(self) -> str:
        raise NotImplementedError

    def close(self) -> None:
        pass


class VtyshFile(Tool):
    name = "vtysh -f"

    def __init__(self, frr: frr_daemons.Frr, scratch: str) -> None:
        self.frr = frr
        self.path = os.path.join(scratch, "config.txt")

    def push(self, lines: List[str]) -> None:
        # The file was written by prepare(), before the clock started.
        done = subprocess.run(self.frr.vtysh_argv + ["-f", self.path], capture_output=True,
                              text=True)
        if done.returncode != 0 or any(f in done.stdout + done.stderr for f in FAILURES):
            raise SystemExit("vtysh -f failed: %s" % (done.stdout + done.stderr))

    def show(self) -> str:
        return self.frr.vtysh("show running-config")

    def prepare(self, lines: List[str]) -> None:
        with open(self.path, "w", encoding="ascii") as handle:
            handle.write("\n".join(lines) + "\n")


class PexpectFloor(Tool):
    name = "pexpect (local)"

    def __init__(self, frr: frr_daemons.Frr) -> None:
        self.argv = frr.vtysh_argv
        host = re.escape(frr.hostname)
        self.prompt = re.compile(r"%s# $" % host)
        self.config_prompt = re.compile(r"%s\(config[\w.-]*\)# $" % host)

    def open(self) -> None:
        import pexpect

        self.child = pexpect.spawn(self.argv[0], self.argv[1:], encoding="utf-8", timeout=20,
                                   dimensions=(24, 200), env=frr_daemons.clean_environment())
        self.child.delaybeforesend = None
        self.child.delayafterread = None
        self.child.expect(self.prompt)

    def push(self, lines: List[str]) -> None:
        for line in ["configure terminal", *lines]:
            self.child.sendline(line)
            self.child.expect(self.config_prompt)
            if any(f in self.child.before for f in FAILURES):
                raise SystemExit("pexpect: %r refused: %s" % (line, self.child.before))
        self.child.sendline("end")
        self.child.expect(self.prompt)

    def show(self) -> str:
        self.child.sendline("show running-config")
        self.child.expect(self.prompt)
        return str(self.child.before)

    def close(self) -> None:
        self.child.close(force=True)


class Tessel(Tool):
    def __init__(self, platform: str, name: str, **connect: Any) -> None:
        self.platform = platform
        self.name = name
        self.connect = connect

    def open(self) -> None:
        self.conn = tessel.connect(self.platform, timeout=20, **self.connect)

    def push(self, lines: List[str]) -> None:
        self.conn.configure(lines)

    def show(self) -> str:
        return str(self.conn.execute("show running-config").output)

    def close(self) -> None:
        self.conn.close()


class Netmiko(Tool):
    name = "netmiko (ssh)"

    def __init__(self, server: servers.SshServer, user: str, hostname: str) -> None:
        self.server, self.user, self.prompt = server, user, r"%s#\s*$" % hostname

    def open(self) -> None:
        from netmiko import ConnectHandler

        self.handle = ConnectHandler(device_type="generic", host=self.server.host,
                                     port=self.server.port, username=self.user,
                                     password=self.server.password, fast_cli=True)

    def push(self, lines: List[str]) -> None:
        self.handle.send_config_set(["configure terminal", *lines, "end"],
                                    enter_config_mode=False, exit_config_mode=False,
                                    cmd_verify=True, error_pattern="^%")

    def show(self) -> str:
        return str(self.handle.send_command("show running-config", expect_string=self.prompt,
                                            read_timeout=30))

    def close(self) -> None:
        self.handle.disconnect()


class Scrapli(Tool):
    name = "scrapli (ssh)"

    def __init__(self, server: servers.SshServer, user: str, known_hosts: str) -> None:
        self.server, self.user, self.known_hosts = server, user, known_hosts

    def open(self) -> None:
        from scrapli.auth import Options as AuthOptions
        from scrapli.cli import Cli, LoadedDefinition
        from scrapli.transport import BinOptions

        self.cli = Cli(self.server.host, port=self.server.port,
                       definition_file_or_name=LoadedDefinition(
                           platform_name="tessel_vtysh", definition=SCRAPLI_DEFINITION),
                       auth_options=AuthOptions(username=self.user,
                                                password=self.server.password),
                       transport_options=BinOptions(
                           known_hosts_path=self.known_hosts,
                           extra_open_args=["-o", "GSSAPIAuthentication=no"]))
        self.cli.open()

    def push(self, lines: List[str]) -> None:
        result = self.cli.send_inputs(lines, requested_mode="configuration",
                                      stop_on_indicated_failure=True)
        if result.failed:
            raise SystemExit("scrapli: a line was refused")
        self.cli.enter_mode("privileged")

    def show(self) -> str:
        return str(self.cli.send_input("show running-config").result)

    def close(self) -> None:
        self.cli.close()


def measure(tools: List[Tool], frr: frr_daemons.Frr, lines: List[str],
            rounds: int) -> Dict[str, List[float]]:
    figures: Dict[str, List[float]] = {tool.name: [] for tool in tools}
    wanted = stripped("\n".join(lines))
    for number in range(rounds + 1):
        turn = number % len(tools)
        for tool in tools[turn:] + tools[:turn]:
            frr.reset()
            if isinstance(tool, VtyshFile):
                tool.prepare(lines)
            tool.open()
            try:
                started = time.perf_counter()
                tool.push(lines)
                shown = tool.show()
                elapsed = time.perf_counter() - started
            finally:
                tool.close()
            missing = wanted - stripped(shown)
            if missing or wanted - stripped(frr.running_config()):
                raise SystemExit("%s: the running configuration lacks %d lines, such as %r"
                                 % (tool.name, len(missing), sorted(missing)[:3]))
            if number:  # round 0 warms up: imports, first logins, page cache
                figures[tool.name].append(elapsed)
    return figures


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=3, help="rounds (default: 3)")
    parser.add_argument("--lines", type=int, default=500,
                        help="configuration lines (default: 500)")
    parser.add_argument("--platform", default="frr",
                        help="tessel's platform for vtysh (default: frr)")
    args = parser.parse_args(argv)
    lines = frr_daemons.nested_config(PEERS)[:args.lines]
    try:
        frr = frr_daemons.Frr().start()
    except frr_daemons.Unavailable as err:
        print("cannot run: %s" % err, file=sys.stderr)
        return 1
    print("FRR %s up in %.3f s; %d configuration lines" % (frr.name, frr.startup_time,
                                                          len(lines)))
    server = None
    try:
        shell = "exec %s" % " ".join(frr.vtysh_argv)
        # No banner: the peers take its prompt-like lines for prompts.
        server = servers.SshServer(banner=False, users={"vtysh": (shell, ("frrvty", "frr"))})
        server.start()
        user = server.users["vtysh"]
        with tempfile.TemporaryDirectory() as scratch:
            known_hosts = server.known_hosts(os.path.join(scratch, "known_hosts"))
            tools: List[Tool] = [
                VtyshFile(frr, scratch),
                PexpectFloor(frr),
                Tessel(args.platform, "tessel (local)", transport="command",
                       command=frr.vtysh_argv),
                Tessel(args.platform, "tessel (ssh)", host=server.host, port=server.port,
                       username=user, password=server.password, known_hosts=known_hosts)]
            for module, tool in (("netmiko", lambda: Netmiko(server, user, frr.hostname)),
                                 ("scrapli", lambda: Scrapli(server, user, known_hosts))):
                if importlib.util.find_spec(module) is not None:
                    tools.append(tool())
                else:
                    print("(%s is not installed: not measured)" % module)
            figures = measure(tools, frr, lines, args.rounds)
    except servers.Unavailable as err:
        print("cannot run: %s" % err, file=sys.stderr)
        return 1
    finally:
        if server is not None:
            server.stop()
        frr.stop()
    report(figures, args.rounds)
    return 0


def report(figures: Dict[str, List[float]], rounds: int) -> None:
    median = {name: statistics.median(values) for name, values in figures.items()}
    against = {"pexpect (local)": ("vtysh -f", "pexpect / vtysh -f", "", None),
               "tessel (local)": ("vtysh -f", "tessel / vtysh -f", "<= 1.3", True),
               "netmiko (ssh)": ("tessel (ssh)", "netmiko / tessel", "> 1", False),
               "scrapli (ssh)": ("tessel (ssh)", "scrapli / tessel", "> 1", False)}
    print("\n%-16s %12s   %-18s %7s  %-7s %s" % ("tool", "push + show", "ratio", "", "target",
                                                 "met"))
    for name, value in median.items():
        cells = ["%-16s %10.3f s" % (name, value)]
        if name in against:
            base, label, target, at_most = against[name]
            ratio = value / median[base]
            met = "" if at_most is None else "yes" if (
                ratio <= 1.3 if at_most else ratio > 1) else "NO"
            cells.append("  %-18s %7.2f  %-7s %s" % (label, ratio, target, met))
        print("".join(cells))
    if "pexpect (local)" in median and "tessel (local)" in median:
        print("\ntessel (local) / pexpect (local), one line per round trip: %.2f"
              % (median["tessel (local)"] / median["pexpect (local)"]))
    print("\nmedians of %d rounds; each: the configuration pushed into a cleared one, then "
          "'show running-config'" % rounds)


if __name__ == "__main__":
    sys.exit(main())

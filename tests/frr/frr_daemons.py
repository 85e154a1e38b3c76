"""FRRouting's daemons for the tests: zebra, bgpd, staticd and ripd in a pathspace of their own.

Each run gets a pathspace named ``tsl-frr-PID`` (``-N``): its configuration
directory ``/etc/frr/NAME`` and its sockets in ``/var/run/frr/NAME``, so that
runs side by side never share a daemon. ``vtysh -N NAME`` reaches it.

The daemons run in a new network namespace (they never see, nor change, the
machine's interfaces and routes; bgpd listens on no port) and a new PID
namespace whose first process is a small shell that stops them on SIGTERM.
``unshare --kill-child`` sends it that signal when unshare ends, and setpriv
ends unshare when the process that started it dies: a test run that is killed
takes its daemons along. (The daemons give up root for the ``frr`` user, which
clears a parent-death signal of their own; hence the shell in between.)

ripd is there for its key chains: with no daemon that takes them, vtysh accepts
``key chain`` lines and keeps them nowhere.

Run as a script, ``python frr_daemons.py`` starts an instance and prints its start-up time.
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from typing import Dict, List, Optional, Sequence

DAEMONS = ("zebra", "bgpd", "staticd", "ripd")
DAEMON_DIRECTORY = "/usr/lib/frr"
CONFIG_ROOT = "/etc/frr"
RUN_ROOT = "/var/run/frr"
#: Pathspaces are named PREFIX-PID, so that those of a run that was killed can be removed.
PREFIX = "tsl-frr"
#: The first process of the PID namespace: starts the daemons, stops them on SIGTERM. When it
#: ends, the kernel kills whatever is left in the namespace.
SUPERVISOR = r"""
pids=""
trap 'kill $pids 2>/dev/null; wait; exit 0' TERM INT
for daemon in %s; do
  extra=""
  [ "$daemon" = bgpd ] && extra="-p 0"
  "$FRR_DAEMONS/$daemon" -N "$FRR_NAME" -f "$FRR_CONFIG" -P 0 $extra \
      --log "file:$FRR_LOGS/$daemon.log" &
  pids="$pids $!"
done
wait
""" % " ".join(DAEMONS)
#: Top-level blocks that :meth:`Frr.reset` removes.
REMOVABLE = ("router bgp ", "route-map ", "key chain ", "ip prefix-list ", "interface ")
#: The daemons' configuration at start.
FRR_CONF = "frr defaults traditional\n!\n"
VTYSH_CONF = "service integrated-vtysh-config\n"


class Unavailable(Exception):
    """FRR cannot run here (not installed, not root, ...): the tests that need it are skipped."""


def nested_config(peers: int, first: int = 1) -> List[str]:
    """Configuration lines, nested as a user writes them: for each peer a BGP neighbour (with
    its address-family settings), a route map, a key chain with a key and an interface."""
    bgp = ["router bgp 65001", " bgp router-id 192.0.2.254"]
    family = [" address-family ipv4 unicast"]
    others: List[str] = []
    for number in range(first, first + peers):
        peer = "10.0.%d.%d" % (number // 250, number % 250 + 1)
        bgp += [" neighbor %s remote-as %d" % (peer, 64600 + number),
                " neighbor %s description peer %d" % (peer, number)]
        family += ["  neighbor %s route-map RM-%d in" % (peer, number),
                   "  neighbor %s maximum-prefix %d" % (peer, 1000 + number)]
        others += ["route-map RM-%d permit 10" % number,
                   " set metric %d" % number,
                   " set local-preference %d" % (100 + number),
                   "exit",
                   "key chain KC-%d" % number,
                   " key 1",
                   "  key-string key-%d" % number,
                   " exit",
                   "exit",
                   "interface tsl%d" % number,
                   " description uplink %d" % number,
                   "exit"]
    return bgp + family + [" exit-address-family", "exit"] + others


def remove_leftovers() -> None:
    """Removes the pathspaces of runs that were killed before cleaning up."""
    for root in (CONFIG_ROOT, RUN_ROOT):
        try:
            names = os.listdir(root)
        except OSError:
            continue
        for name in names:
            found = re.fullmatch(r"%s-(\d+)" % PREFIX, name)
            if found and not os.path.exists("/proc/%s" % found.group(1)):
                shutil.rmtree(os.path.join(root, name), ignore_errors=True)


def clean_environment(**extra: str) -> Dict[str, str]:
    """The environment of FRR's programs: without a sanitizer preloaded into them (the tests
    may run under one), which is no part of what is tested."""
    env = {key: value for key, value in os.environ.items()
           if key not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}
    env.update(extra)
    return env


def dying_with_parent(argv: Sequence[str]) -> List[str]:
    """``argv``, ended by SIGKILL when the process that started it dies (unshare ignores
    SIGTERM while it waits for its child)."""
    return ["setpriv", "--pdeathsig", "KILL", "--", *argv]


class Frr:
    """One FRR instance: zebra, bgpd and staticd in pathspace :attr:`name`."""

    def __init__(self) -> None:
        self.name = "%s-%d" % (PREFIX, os.getpid())
        self.config_directory = os.path.join(CONFIG_ROOT, self.name)
        self.run_directory = os.path.join(RUN_ROOT, self.name)
        self.process: Optional["subprocess.Popen[bytes]"] = None
        #: The name in vtysh's prompt (the machine's).
        self.hostname = ""
        #: Seconds from the start of the daemons to vtysh's first answer.
        self.startup_time = 0.0

    @property
    def vtysh_argv(self) -> List[str]:
        """The command line of an interactive vtysh on this instance."""
        return [self.vtysh_path, "-N", self.name]

    @property
    def vtysh_path(self) -> str:
        return shutil.which("vtysh") or "/usr/bin/vtysh"

    def start(self) -> "Frr":
        missing = [d for d in DAEMONS if not os.access(os.path.join(DAEMON_DIRECTORY, d), os.X_OK)]
        if missing or not shutil.which("vtysh"):
            raise Unavailable("FRRouting is not installed (apt-get install frr): no %s"
                              % ", ".join(missing or ["vtysh"]))
        if os.geteuid() != 0:
            raise Unavailable("starting FRR's daemons needs root")
        for tool in ("setpriv", "unshare"):
            if not shutil.which(tool):
                raise Unavailable("%s (util-linux) is not installed" % tool)
        remove_leftovers()
        try:
            self._write_config()
            env = clean_environment(FRR_DAEMONS=DAEMON_DIRECTORY, FRR_NAME=self.name,
                                    FRR_CONFIG=os.path.join(self.config_directory, "frr.conf"),
                                    FRR_LOGS=self.config_directory)
            started = time.monotonic()
            self.process = subprocess.Popen(
                dying_with_parent(["unshare", "--pid", "--fork", "--kill-child=TERM", "--net",
                                   "--", "/bin/sh", "-c", SUPERVISOR]),
                env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=open(os.path.join(self.config_directory, "start.log"), "wb"))
            self._wait_until_up()
            self.startup_time = time.monotonic() - started
            found = re.search(r"(?m)^hostname (\S+)$", self.vtysh("show running-config"))
            self.hostname = found.group(1) if found else ""
            if not self.hostname:
                raise Unavailable("FRR's running configuration names no hostname")
        except BaseException:
            self.stop()
            raise
        return self

    def _write_config(self) -> None:
        shutil.rmtree(self.config_directory, ignore_errors=True)
        os.makedirs(self.config_directory)
        for name, text, mode in (("frr.conf", FRR_CONF, 0o640), ("vtysh.conf", VTYSH_CONF, 0o644)):
            path = os.path.join(self.config_directory, name)
            with open(path, "w", encoding="ascii") as handle:
                handle.write(text)
            os.chmod(path, mode)
        # The daemons read their configuration and write their logs as the frr user.
        for path in [self.config_directory] + [os.path.join(self.config_directory, name)
                                               for name in os.listdir(self.config_directory)]:
            shutil.chown(path, "frr", "frr")

    def _wait_until_up(self, limit: float = 30.0) -> None:
        deadline = time.monotonic() + limit
        while True:
            assert self.process is not None
            if self.process.poll() is not None:
                raise Unavailable("FRR's daemons exited at start (status %s): %s"
                                  % (self.process.returncode, self.log()[-2000:]))
            done = subprocess.run([self.vtysh_path, "-N", self.name, "-c", "show version"],
                                  capture_output=True, text=True, timeout=limit,
                                  env=clean_environment())
            # Every daemon must answer: vtysh also answers when only some of them are up.
            if done.returncode == 0 and all(
                    os.path.exists(os.path.join(self.run_directory, "%s.vty" % daemon))
                    for daemon in DAEMONS):
                return
            if time.monotonic() > deadline:
                raise Unavailable("FRR did not answer within %d s: %s"
                                  % (limit, (done.stdout + done.stderr).strip()))
            time.sleep(0.02)

    # -- use -----------------------------------------------------------------------------

    def vtysh(self, *commands: str) -> str:
        """What a fresh ``vtysh -c`` prints for ``commands``, one after the other."""
        argv = [self.vtysh_path, "-N", self.name]
        for command in commands:
            argv += ["-c", command]
        done = subprocess.run(argv, capture_output=True, text=True, timeout=60,
                              env=clean_environment())
        return done.stdout + done.stderr

    def running_config(self) -> str:
        return self.vtysh("show running-config")

    def reset(self) -> None:
        """Removes what the tests configure (BGP, route maps, prefix lists, key chains,
        interfaces), so that the next test starts from the configuration at start."""
        blocks = [line for line in self.running_config().splitlines()
                  if line.startswith(REMOVABLE)]
        if blocks:
            self.vtysh("configure terminal", *["no " + line for line in blocks])
        left = [line for line in self.running_config().splitlines()
                if line.startswith(REMOVABLE)]
        if left:
            raise RuntimeError("FRR keeps configuration that could not be removed: %s" % left)

    def log(self) -> str:
        texts = []
        for name in ["start"] + list(DAEMONS):
            try:
                with open(os.path.join(self.config_directory, name + ".log"), encoding="utf-8",
                          errors="replace") as handle:
                    texts.append(handle.read())
            except OSError:
                pass
        return "".join(texts)

    def stop(self) -> None:
        process, self.process = self.process, None
        if process is not None and process.poll() is None:
            # The supervisor (unshare's child) stops the daemons; unshare then ends with it.
            for child in _children(process.pid):
                try:
                    os.kill(child, signal.SIGTERM)
                except ProcessLookupError:
                    pass
            try:
                process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        for directory in (self.config_directory, self.run_directory):
            shutil.rmtree(directory, ignore_errors=True)


def _children(pid: int) -> List[int]:
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid), encoding="ascii") as handle:
            return [int(part) for part in handle.read().split()]
    except OSError:
        return []


if __name__ == "__main__":
    instance = Frr().start()
    try:
        print("FRR up in %.3f s (pathspace %s, hostname %s)"
              % (instance.startup_time, instance.name, instance.hostname))
    finally:
        instance.stop()
    sys.exit(0)

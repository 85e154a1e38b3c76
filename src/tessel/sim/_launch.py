"""Launcher of a fork-served simulated device: hands this terminal to the server, waits, exits.

Run as ``python -I -S _launch.py SOCKET DEVICE ARGS...``. It must start in a
few milliseconds, so it imports only two C modules (no site packages, no
``socket``/``signal``/``json`` wrappers, which pull in ``enum`` and ``re``;
not even ``array``, which costs as much as the rest). It sends its
standard input, output and error to the fork server with the request
(device and arguments, NUL-separated), forwards the signals it gets to the
forked device, and exits with the device's status.
"""
import _signal  # type: ignore[import-not-found]  # the C module, without enum
import _socket
import os
import sys

FORWARDED = ("SIGINT", "SIGQUIT", "SIGTSTP", "SIGTERM", "SIGHUP", "SIGWINCH", "SIGCONT")
# Signals that end the session. One that comes before the device's pid ends the launcher at once:
# the server hangs up a device whose launcher has gone.
ENDING = ("SIGTERM", "SIGHUP")


def read_line(server: "_socket.socket") -> bytes:
    line = b""
    while not line.endswith(b"\n"):
        chunk = server.recv(1)  # retried by the interpreter after a forwarded signal
        if not chunk:
            break
        line += chunk
    return line


def main() -> int:
    if len(sys.argv) < 3:
        sys.stderr.write("usage: _launch.py SOCKET DEVICE [ARGS...]\n")
        return 2
    path = sys.argv[1]
    request = b"\0".join(os.fsencode(a) for a in sys.argv[2:])
    # The device may read the terminal before its pid reaches us (the server forks it first), so
    # the handlers are in place before the request goes out, and a signal that comes early (a
    # Ctrl-Z, a Ctrl-C) is kept until the pid is known.
    device: list[int] = []  # its pid, once the server sends it
    early: list[int] = []  # signals that came before that
    ending = {getattr(_signal, name) for name in ENDING}

    def forward(signum: int, frame: object) -> None:
        if not device:
            if signum in ending:
                raise SystemExit(128 + signum)
            early.append(signum)
            return
        try:
            os.kill(device[0], signum)
        except ProcessLookupError:
            pass

    for name in FORWARDED:
        _signal.signal(getattr(_signal, name), forward)
    server = _socket.socket(_socket.AF_UNIX, _socket.SOCK_STREAM)
    try:
        server.connect(path)
        descriptors = b"".join(fd.to_bytes(4, sys.byteorder) for fd in (0, 1, 2))
        server.sendmsg([request], [(_socket.SOL_SOCKET, _socket.SCM_RIGHTS, descriptors)])
    except OSError as err:
        sys.stderr.write("cannot reach the fork server at %s: %s\n" % (path, err))
        return 1
    first = read_line(server)
    if not first:
        sys.stderr.write("the fork server refused the device %s\n" % sys.argv[2])
        return 1
    device.append(int(first))
    while early:
        forward(early.pop(0), None)
    status = read_line(server)
    code = int(status) if status else 1
    return 128 - code if code < 0 else code


if __name__ == "__main__":
    sys.exit(main())

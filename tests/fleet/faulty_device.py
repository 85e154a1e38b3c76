"""A device front that fails on purpose, in front of a real simulated device.

python faulty_device.py login PASSWORD -- DEVICE...   asks Username:/Password: first; a wrong
    password is refused the way devices refuse it, the right one starts DEVICE on this terminal.
python faulty_device.py dies-on TEXT -- DEVICE...     runs DEVICE on an inner terminal and dies
    (killing it) as soon as a typed line holding TEXT has started to answer.
"""
import os
import pty
import select
import signal
import sys
import termios
import time
import tty


def login(password, device):
    sys.stdout.write("\nUser Access Verification\n\nUsername: ")
    sys.stdout.flush()
    sys.stdin.readline()
    old = termios.tcgetattr(0)
    new = termios.tcgetattr(0)
    new[3] &= ~termios.ECHO
    termios.tcsetattr(0, termios.TCSADRAIN, new)
    sys.stdout.write("Password: ")
    sys.stdout.flush()
    given = sys.stdin.readline().rstrip("\r\n")
    termios.tcsetattr(0, termios.TCSADRAIN, old)
    sys.stdout.write("\n")
    if given != password:
        sys.stdout.write("% Authentication failed\n")
        sys.stdout.flush()
        return 1
    sys.stdout.flush()
    os.execvp(device[0], device)


def dies_on(text, device):
    pid, inner = pty.fork()
    if pid == 0:
        os.execvp(device[0], device)
    tty.setraw(0)  # the inner terminal echoes and translates; this one passes bytes through
    typed = b""
    dying = False
    while True:
        ready, _, _ = select.select([0, inner], [], [], 0.5 if dying else None)
        if dying and not ready:
            break
        if inner in ready:
            try:
                data = os.read(inner, 4096)
            except OSError:
                data = b""
            if not data:
                break
            os.write(1, data)
            if dying:
                break  # the answer has started: die now
        if 0 in ready and not dying:
            data = os.read(0, 4096)
            if not data:
                break
            os.write(inner, data)
            typed += data
            lines = typed.replace(b"\r", b"\n").split(b"\n")
            if any(text.encode() in line for line in lines[:-1]):
                dying = True
            typed = lines[-1]
    os.kill(pid, signal.SIGKILL)
    os._exit(137)


def main(argv):
    split = argv.index("--")
    mode, argument, device = argv[0], argv[1], argv[split + 1:]
    if mode == "login":
        return login(argument, device)
    if mode == "dies-on":
        return dies_on(argument, device)
    raise SystemExit("unknown mode %r" % mode)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

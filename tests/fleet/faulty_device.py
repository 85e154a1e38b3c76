"""A device front that fails on purpose, in front of a real simulated device.

python faulty_device.py login PASSWORD -- DEVICE...   asks Username:/Password: first; a wrong
    password is refused the way devices refuse it, the right one starts DEVICE on this terminal.
python faulty_device.py dies-on TEXT -- DEVICE...     runs DEVICE on an inner terminal and dies
    (killing it) as soon as a typed line holding TEXT has started to answer.
python faulty_device.py hangs-on TEXT -- DEVICE...    the same, but goes silent instead of dying.
python faulty_device.py records LOG[,FILE] -- DEVICE...  appends each typed line to LOG as
    "HOSTNAME<tab>line", HOSTNAME the device's --hostname; with FILE, the device starts only once
    FILE exists (a login that waits for its first prompt meanwhile).
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


def proxy(text, device, die, log=None, start_after=None):
    tty.setraw(0)  # the inner terminal echoes and translates; this one passes bytes through
    while start_after and not os.path.exists(start_after):
        time.sleep(0.05)
    pid, inner = pty.fork()
    if pid == 0:
        os.execvp(device[0], device)
    hostname = device[device.index("--hostname") + 1] if "--hostname" in device else "?"
    typed = b""
    dying = False
    while True:
        ready, _, _ = select.select([inner] if dying else [0, inner], [], [])
        if inner in ready:
            try:
                data = os.read(inner, 4096)
            except OSError:
                data = b""
            if not data:
                break
            if not dying:
                os.write(1, data)
                continue
            # The answer has started: pass on whole lines only (never the closing prompt),
            # then die or go silent.
            os.write(1, data[:data.rfind(b"\n") + 1])
            if not die:
                while os.read(0, 4096):  # silent until hung up
                    pass
            break
        if 0 in ready and not dying:
            data = os.read(0, 4096)
            if not data:
                break
            os.write(inner, data)
            typed += data
            lines = typed.replace(b"\r", b"\n").split(b"\n")
            if text is not None and any(text.encode() in line for line in lines[:-1]):
                dying = True
            if log is not None and len(lines) > 1:
                with open(log, "a") as handle:
                    handle.write("".join("%s\t%s\n" % (hostname, line.decode(errors="replace"))
                                         for line in lines[:-1]))
            typed = lines[-1]
    os.kill(pid, signal.SIGKILL)
    os._exit(137)


def main(argv):
    split = argv.index("--")
    mode, argument, device = argv[0], argv[1], argv[split + 1:]
    if mode == "login":
        return login(argument, device)
    if mode in ("dies-on", "hangs-on"):
        return proxy(argument, device, die=mode == "dies-on")
    if mode == "records":
        log, _, start_after = argument.partition(",")
        return proxy(None, device, die=False, log=log, start_after=start_after or None)
    raise SystemExit("unknown mode %r" % mode)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

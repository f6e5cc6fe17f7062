#!/usr/bin/env python3
"""Runs a console program on a pseudo-terminal and types its input one line
at a time, each line only once the program waits to read: the transcript
then reads as it does at a terminal, every answer echoed right after its
prompt. The program's own bytes are untouched; the terminal adds only the
echo. Ctrl-D ends the input after the last line.

Usage: typed.py PROGRAM [INPUT]   exits with the program's exit status
"""
import os
import pty
import select
import sys
import termios

def read_syscall():
    """The number of read(2) on this machine, whatever its architecture:
    read by this very process, /proc/self/syscall names the call reading it."""
    with open("/proc/self/syscall", "rb", buffering=0) as f:
        return f.read().split()[0]


def waits_for_input(pid, read=read_syscall()):
    """True when the program is blocked reading its standard input."""
    try:
        with open(f"/proc/{pid}/syscall", "rb") as f:
            fields = f.read().split()
    except OSError:
        return False
    return len(fields) > 1 and fields[0] == read and int(fields[1], 16) == 0


def read_ready(fd, timeout):
    """What the program has written by the timeout, or b"" for nothing."""
    if not select.select([fd], [], [], timeout)[0]:
        return b""
    try:
        return os.read(fd, 65536)
    except OSError:  # the program has closed the terminal
        return b""


def main():
    program = sys.argv[1]
    lines = []
    if len(sys.argv) > 2:
        with open(sys.argv[2], "rb") as f:
            lines = f.read().splitlines(keepends=True)
    pid, terminal = pty.fork()
    if pid == 0:
        attrs = termios.tcgetattr(0)
        attrs[1] &= ~termios.OPOST  # "\n" stays "\n", in output and echo
        termios.tcsetattr(0, termios.TCSANOW, attrs)
        os.execv(program, [program])

    out = sys.stdout.buffer
    quiet = 0  # turns without output; a bound where /proc cannot tell
    while True:
        chunk = read_ready(terminal, 0.01)
        out.write(chunk)
        out.flush()
        done, code = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        quiet = 0 if chunk else quiet + 1
        if quiet and (waits_for_input(pid) or quiet > 100):
            os.write(terminal, lines.pop(0) if lines else b"\x04")
            quiet = 0
    while chunk := read_ready(terminal, 0.05):
        out.write(chunk)
    out.flush()
    sys.exit(os.waitstatus_to_exitcode(code))


if __name__ == "__main__":
    main()

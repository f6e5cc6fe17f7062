"""make tour: runs every program of the list on its sample input, typed at
a pseudo-terminal one line at a time, each line only once the program waits
to read, so each dialogue reads as it does when a person types the answers.
The window opens on a display that answers; without one it is drawn under
Xvfb (tests/windowshot.sh) and a fresh screenshot is saved.

Usage: python3 -m lab.commands.tour BUILD_DIR   exits 1 when any program fails
"""
import os
import pty
import select
import sys
import subprocess
import termios

from lab import TOP, fail, programs, run


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


def typed(program, lines):
    """Runs the program, typing the lines; its exit status. The program's
    own bytes are untouched; the terminal adds only the echo; Ctrl-D ends
    the input after the last line."""
    pid, terminal = pty.fork()
    if pid == 0:
        attrs = termios.tcgetattr(0)
        attrs[1] &= ~termios.OPOST  # "\n" stays "\n", in output and echo
        termios.tcsetattr(0, termios.TCSANOW, attrs)
        try:
            os.execv(program, [program])
        except OSError as error:  # said on the terminal, as a shell would
            os.write(2, f"{program}: {error.strerror}\n".encode())
        finally:  # the child never goes on with the tour, whatever execv did
            os._exit(127)
    out, quiet = sys.stdout.buffer, 0  # quiet: turns without output
    while True:
        chunk = read_ready(terminal, 0.01)
        out.write(chunk)
        out.flush()
        done, code = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        quiet = 0 if chunk else quiet + 1
        if quiet and (waits_for_input(pid) or quiet > 100):  # a bound where
            os.write(terminal, lines.pop(0) if lines else b"\x04")  # /proc
            quiet = 0  # cannot tell
    while chunk := read_ready(terminal, 0.05):
        out.write(chunk)
    out.flush()
    return os.waitstatus_to_exitcode(code)


def has_display():
    """An X display that answers, or a Wayland socket that exists."""
    wayland = os.environ.get("WAYLAND_DISPLAY")
    if wayland and os.path.exists(os.path.join(os.environ.get("XDG_RUNTIME_DIR", "/-"), wayland)):
        return True
    return bool(os.environ.get("DISPLAY")) and run("xdpyinfo").returncode == 0


def window(build):
    program = build / "window" / "windowdemo"
    if not program.exists():
        print("not built: Qt 6 Widgets is missing (Debian: qt6-base-dev)")
        return 1
    if has_display():
        print("--- a window opens holding the greeting; close it to go on", flush=True)
        status = subprocess.run([program]).returncode
        print(f"--- exit status: {status}")
        return status
    print("--- no display here: drawn under Xvfb, closed through the window manager")
    shot = run("sh", TOP / "tests" / "windowshot.sh", program, build / "tour")
    if shot.returncode:
        print(shot.stdout + shot.stderr, end="")  # its report only on failure
        return 1
    print(f"--- exit status: 0\n--- screenshot: "
          f"{(build / 'tour' / 'windowdemo.png').relative_to(TOP)}")
    return 0


def main(build):
    build, failed = TOP / build, []
    for program in programs():
        technique = program["technique"].replace("`", "")
        print(f"\n=== {program['name']}: {technique} ===", flush=True)
        if program.get("window"):
            status = window(build)
        else:
            given = program["input"] and (TOP / program["input"]).read_bytes()
            status = typed(str(build / "demos" / program["name"]),
                           given.splitlines(keepends=True) if given else [])
            print(f"--- exit status: {status}")
        failed += [program["name"]] * bool(status)
    if failed:
        print(f"\ntour: failed: {' '.join(failed)}")
    return 1 if failed else 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "build/default"))
    except KeyboardInterrupt:
        fail("interrupted")

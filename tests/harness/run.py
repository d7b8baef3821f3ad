# Waiting with generous upper bounds, processes that end with the test, and failures that
# say what was expected.
import os
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

# Upper bounds, generous so that a loaded machine only makes a test slower. An unloaded
# programming run takes about 7 s.
WAIT = 60
RUN_WAIT = 240


class Failed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failed(message)


def wait_for(what, predicate, timeout=WAIT):
    # Polls predicate until it gives a true value, and returns that.
    end = time.monotonic() + timeout
    while not (value := predicate()):
        check(time.monotonic() < end, f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.05)
    return value


def read_text(path):
    try:
        return Path(path).read_text(errors="replace")
    except FileNotFoundError:
        return ""


@dataclass
class Scratch:
    # A test's folder, its environment, and what it started, ended by finish().
    folder: Path
    env: dict
    procs: list = field(default_factory=list)
    cleanups: list = field(default_factory=list)


def scratch(folder, keep_env=()):
    # A fresh folder, and an environment without the caller's display or session bus.
    folder = Path(folder).resolve()
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS") or k in keep_env}
    return Scratch(folder, env)


def spawn(s, argv, out=None, err=None, env=None, **options):
    # A process in a session of its own, ended by finish(s); its output to the file out, its
    # errors to the file err (or to out).
    sink = open(out, "w") if out else subprocess.DEVNULL
    errors = open(err, "w") if err else subprocess.STDOUT if out else subprocess.DEVNULL
    proc = subprocess.Popen([str(a) for a in argv], env=env or s.env, stdout=sink, stderr=errors,
                            start_new_session=True, **options)
    s.procs.append(proc)
    return proc


def end(proc, timeout=WAIT):
    # Asks proc to end, kills it when it does not, and waits for it.
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
    return proc.wait()


def finish(s):
    # Kills whatever is still running, then the cleanups; an error there hides no earlier one.
    for proc in reversed(s.procs):
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    for step in s.cleanups:
        try:
            step()
        except Exception as e:  # noqa: BLE001 (the test's own outcome is what counts)
            print(f"(while cleaning up: {e})")


def help_if_asked(path):
    # With -h or --help as the first argument: prints the opening comment of the program at
    # path, its usage among it, and ends it.
    if sys.argv[1:2] in (["-h"], ["--help"]):
        lines = Path(path).read_text().splitlines()[1:]
        for line in lines[:next((i for i, x in enumerate(lines) if not x.startswith("#")), None)]:
            print(line[2:])
        sys.exit(0)


def run_case(s, name, case, report):
    # Runs case(s), a test's one case, and ends what it started; a failure goes to report(s,
    # text). The exit code for CTest.
    try:
        case(s)
    except Failed as e:
        report(s, f"FAIL {name}: {e}")
        return 1
    finally:
        finish(s)
    print(f"case {name} passed")
    return 0

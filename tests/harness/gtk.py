# The Linux window, vek-update, driven as an operator would under a test's own X server:
# choose the port in the drop-down, click Program, close the window. What it shows is read back
# from its widgets through its VEK_STATUS_TRACE file: status texts are lines of their own, the
# other widgets' lines start with '@' and their name.
from pathlib import Path
from types import SimpleNamespace

from . import facts, x11
from .run import RUN_WAIT, WAIT, check, read_text, scratch, spawn, wait_for


def prepare(s):
    # The environment the window runs in: a private runtime folder (its ports folder in it, the
    # only place it looks for ports), home and state folder (its console log), the X backend that
    # works under Xvfb, the trace. No session bus, as on many a desktop.
    (s.folder / "home").mkdir(exist_ok=True)
    (s.folder / "run").mkdir(mode=0o700, exist_ok=True)
    s.env.update(HOME=str(s.folder / "home"), XDG_RUNTIME_DIR=str(s.folder / "run"),
                 XDG_STATE_HOME=str(s.folder / "state"), GDK_BACKEND="x11", GSK_RENDERER="cairo",
                 GSETTINGS_BACKEND="memory", VEK_STATUS_TRACE=str(s.folder / "status.txt"),
                 VEK_PORTS_FOLDER_ONLY="1")


def session(folder):
    # A fresh folder, an X server of its own and the environment the window runs in.
    s = scratch(folder)
    x11.xvfb(s)
    prepare(s)
    return s


def start(s, tool, *prefix):
    # The window, once it shows " - Idle - ".
    w = SimpleNamespace(env=s.env, trace=Path(s.env["VEK_STATUS_TRACE"]),
                        console=s.folder / "console.txt")
    w.proc = spawn(s, [*prefix, tool], out=w.console, err=s.folder / "stderr.txt")
    wait_status(w, " - Idle - ")
    w.window = x11.find_window(s.env, facts.TITLE)
    return w


def trace(w):
    return read_text(w.trace).splitlines()


def statuses(w):
    return [line for line in trace(w) if not line.startswith("@")]


def traced(w, widget):
    # What the trace says of widget ("progress", "hint", "list", "row", "ports-hint").
    tag = f"@{widget} "
    return [line[len(tag):] for line in trace(w) if line.startswith(tag)]


def console(w):
    return read_text(w.console)


def wait_status(w, text, timeout=WAIT, after=0):
    # Until the status text shows at trace line after or later.
    def seen():
        check(w.proc.poll() is None or text in trace(w)[after:],
              f'the tool ended (exit code {w.proc.poll()}) before "{text}"')
        return text in trace(w)[after:]
    wait_for(f'status "{text}"', seen, timeout)


def open_list(w):
    # Opens the drop-down with the mouse, which probes the ports again; what it lists then,
    # the selected entry first.
    probes = len(traced(w, "list"))
    x11.click(w.env, w.window, facts.gtk_point("PORTS"))
    wait_for("the port list to open", lambda: len(x11.windows_of(w.env, w.proc.pid)) > 1)
    selected, *listed = wait_for("a probe", lambda: traced(w, "list")[probes:])[0].split("\t")
    return selected, listed


def close_list(w, key="Escape"):
    x11.xdo(w.env, "key", key)
    wait_for("the port list to close", lambda: len(x11.windows_of(w.env, w.proc.pid)) == 1)


def choose_port(w, path):
    # Walks to the entry with the arrow keys, which lands on it only when the list holds the
    # live entries of the ports folder, sorted.
    expected = sorted(str(p) for p in Path(path).parent.glob("*") if p.exists())
    _, listed = open_list(w)
    check(listed == expected, f"listed {listed}, expected {expected}")
    x11.xdo(w.env, "key", "Home", *["Down"] * expected.index(str(path)))
    close_list(w, "Return")


def press_program(w):
    shown = len(statuses(w))
    x11.click(w.env, w.window, facts.gtk_point("PROGRAM"))
    wait_for("a status text after Program", lambda: len(statuses(w)) > shown)


def program(s, tool, target):
    # The window started, the target's port chosen and Program pressed.
    w = start(s, tool)
    choose_port(w, target.link)
    press_program(w)
    return w


def wait_end(w, timeout=RUN_WAIT):
    # The status that ended the run: "Programming Completed" or "FAILED".
    return wait_for("the end of the run", lambda: next(
        (t for t in reversed(statuses(w)) if t in ("Programming Completed", "FAILED")), None),
        timeout)


def wait_exit(w, code):
    wait_for("the tool to end", lambda: w.proc.poll() is not None)
    check(w.proc.returncode == code, f"the tool ended with exit code {w.proc.returncode}, "
          f"expected {code}")


def opened_ports(w):
    # The ports the console says the runs opened (scripts/demo.py checks its run's).
    prefix = " . Opening serial port "
    return [line[len(prefix):].rsplit(" at ", 1)[0]
            for line in console(w).splitlines() if line.startswith(prefix)]


def screenshot(w, path):
    x11.screenshot(w.env, path, w.window)


def report(s, failure):
    # A failure, and what the window showed: its trace's tail, the console's tail, its errors.
    print(failure, "trace:", *read_text(s.env["VEK_STATUS_TRACE"]).splitlines()[-8:], sep="\n  ")
    print("console (tail):", *read_text(s.folder / "console.txt").splitlines()[-12:], sep="\n  ")
    print("stderr:", read_text(s.folder / "stderr.txt"), f"\nlogs and screenshots: {s.folder}")

"""The Linux window, vek-update, driven as an operator would under a test's own X server:
choose the port in the drop-down, click Program, close the window. What it shows is read back
from its widgets through its VEK_STATUS_TRACE file."""
from pathlib import Path
from types import SimpleNamespace

from . import facts, x11
from .run import RUN_WAIT, WAIT, check, read_text, scratch, spawn, wait_for


def prepare(s, folder_only=True):
    """The environment the window runs in: a private runtime folder (its ports folder in it)
    and home, the X backend that works under Xvfb, and the trace file."""
    (s.folder / "home").mkdir(exist_ok=True)
    (s.folder / "run").mkdir(mode=0o700, exist_ok=True)
    s.env.update(HOME=str(s.folder / "home"), XDG_RUNTIME_DIR=str(s.folder / "run"),
                 GDK_BACKEND="x11", GSK_RENDERER="cairo", GSETTINGS_BACKEND="memory",
                 GTK_A11Y="none", NO_AT_BRIDGE="1", VEK_STATUS_TRACE=str(s.folder / "status.txt"))
    if folder_only:
        s.env["VEK_PORTS_FOLDER_ONLY"] = "1"


def start(s, tool, *prefix):
    """The window, once it shows " - Idle - "."""
    w = SimpleNamespace(env=s.env, trace=Path(s.env["VEK_STATUS_TRACE"]),
                        console=s.folder / "console.txt", stderr=s.folder / "stderr.txt")
    w.proc = spawn(s, [*prefix, tool], out=w.console, err=w.stderr)
    wait_status(w, " - Idle - ")
    w.window = x11.find_window(s.env, facts.TITLE)
    return w


def trace(w):
    return read_text(w.trace).splitlines()


def statuses(w):
    """The status texts; the other widgets' lines start with '@'."""
    return [line for line in trace(w) if not line.startswith("@")]


def traced(w, widget):
    """What the trace says of widget ("progress", "hint", "list", "row", "ports-hint")."""
    tag = f"@{widget} "
    return [line[len(tag):] for line in trace(w) if line.startswith(tag)]


def console(w):
    return read_text(w.console)


def wait_status(w, text, timeout=WAIT, after=0):
    """Index of the first status line equal to text, at index after or later."""
    def seen():
        lines = statuses(w)
        found = next((i + 1 for i in range(after, len(lines)) if lines[i] == text), 0)
        check(found or w.proc.poll() is None,
              f'the tool ended (exit code {w.proc.poll()}) before "{text}"')
        return found
    return wait_for(f'status "{text}"', seen, timeout) - 1


def open_list(w):
    """Opens the drop-down with the mouse, which probes the ports again; what it lists then,
    the selected entry first."""
    probes = len(traced(w, "list"))
    x11.click(w.env, w.window, facts.gtk_point("PORTS"))
    wait_for("the port list to open", lambda: len(x11.windows_of(w.env, w.proc.pid)) > 1)
    selected, *listed = wait_for("a probe", lambda: traced(w, "list")[probes:])[0].split("\t")
    return selected, listed


def close_list(w, key="Escape"):
    x11.xdo(w.env, "key", key)
    wait_for("the port list to close", lambda: len(x11.windows_of(w.env, w.proc.pid)) == 1)


def choose_port(w, path, expected=None):
    """Opens the drop-down and walks to the entry with the arrow keys, which lands on it only
    when the list holds what the test expects (by default: the live entries of the ports
    folder, sorted)."""
    folder = Path(path).parent
    expected = expected or sorted(str(p) for p in folder.glob("*") if p.exists())
    _, listed = open_list(w)
    check(listed == expected, f"listed {listed}, expected {expected}")
    x11.xdo(w.env, "key", "Home", *["Down"] * expected.index(str(path)))
    close_list(w, "Return")


def press_program(w, shows_status=True):
    shown = len(statuses(w))
    x11.click(w.env, w.window, facts.gtk_point("PROGRAM"))
    if shows_status:
        wait_for("a status text after Program", lambda: len(statuses(w)) > shown)


def program(s, tool, target):
    """The window started, the target's port chosen and Program pressed."""
    w = start(s, tool)
    choose_port(w, target.link)
    press_program(w)
    return w


def wait_end(w, timeout=RUN_WAIT):
    """The status that ended the run: "Programming Completed" or "FAILED"."""
    return wait_for("the end of the run", lambda: next(
        (t for t in reversed(statuses(w)) if t in ("Programming Completed", "FAILED")), None),
        timeout)


def wait_exit(w, code):
    wait_for("the tool to end", lambda: w.proc.poll() is not None)
    got = w.proc.returncode
    check(got == code, f"the tool ended with exit code {got}, expected {code}")


def opened_ports(w):
    prefix = " . Opening serial port "
    return [line[len(prefix):].rsplit(" at ", 1)[0]
            for line in console(w).splitlines() if line.startswith(prefix)]


def session(folder, folder_only=True):
    # A fresh folder, an X server of its own and the environment the window runs in.
    s = scratch(folder)
    x11.xvfb(s)
    prepare(s, folder_only)
    return s


def run_trace(image_length):
    # The trace of a clean run: the status texts, each followed by the progress bar when the
    # step that showed it changed the bar. Nothing acknowledged at "Contacting Device...";
    # the step that sends a block has seen the one before acknowledged; all at "Verifying...".
    shares = [off / image_length for off in range(0, image_length, facts.BLOCK)] + [1.0]
    bars = [f"@progress {x:.4f} {int(x * 100)}% normal" for x in shares]
    statuses = facts.run_statuses(image_length)
    lines = [statuses[0], bars[0], statuses[1]]
    for status, bar in zip(statuses[2:], bars[1:]):
        lines += [status, bar]
    return lines + statuses[len(bars) + 1:]


def listed(w):
    # The list as the operator finds it on opening it (a probe), closed again: the selected
    # entry and the entries.
    selected, entries = open_list(w)
    close_list(w)
    return selected, entries


def size(w):
    g = x11.geometry(w.env, w.window)
    return g["WIDTH"], g["HEIGHT"]


def screenshot(w, path):
    x11.screenshot(w.env, path, w.window)


def close(w):
    x11.close_window(w.env, w.window)


def report(s, failure):
    # A failure, and what the window showed: its last texts, the console's tail, its errors.
    w = SimpleNamespace(trace=Path(s.env["VEK_STATUS_TRACE"]), console=s.folder / "console.txt")
    print(failure)
    print("status lines:", *statuses(w)[-8:], sep="\n  ")
    print("console (tail):", *console(w).splitlines()[-12:], sep="\n  ")
    print("stderr:", read_text(s.folder / "stderr.txt"), f"\nlogs and screenshots: {s.folder}")

#!/usr/bin/env python3
"""End-to-end cases of the GTK window: the real vek-update under its own Xvfb, driven with
xdotool as an operator would (choose the port in the drop-down, click Program), against
simulated targets published in a private ports folder.

    e2e.py CASE --tool vek-update --sim vek-target-sim --image firmware.bin --out DIR

The status line, the progress bar, the hints and the port list are read back from the widgets
through the tool's VEK_STATUS_TRACE file. Logs and screenshots go to DIR/CASE.
"""
import ctypes
import fcntl
import grp
import os
import pwd
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from types import SimpleNamespace

TITLE = "Korlund / Dravel Software Update Tool"
# The controls' centres: the dialog units of the Win32 template at 2 pixels each.
PORT_LIST_AT = (72, 42)
PROGRAM_AT = (200, 42)
BASE = 0x81000
BLOCK = 512
# Upper bounds, generous so that a loaded machine only makes a case slower. An unloaded
# programming run takes about 7 s.
WAIT = 60
RUN_WAIT = 240
SKIPPED = 77
NO_FREE_PORT = "No free serial port: see the console"


class Failed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failed(message)


def wait_for(what, predicate, timeout=WAIT):
    """Polls predicate until it gives a true value, and returns that."""
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


# --- the X server ------------------------------------------------------------------------


def start_xvfb(case):
    """A server of the case's own, on a display number it picks itself."""
    rd, wr = os.pipe()
    case.procs.append(subprocess.Popen(
        ["Xvfb", "-displayfd", str(wr), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
         "-noreset"], pass_fds=[wr], stdout=open(case.out / "xvfb.log", "w"),
        stderr=subprocess.STDOUT, start_new_session=True))
    os.close(wr)
    with os.fdopen(rd) as r:  # a line once it is ready; nothing if it ends
        number = r.readline().strip()
    check(number, "Xvfb ended: " + read_text(case.out / "xvfb.log"))
    case.env["DISPLAY"] = ":" + number


def xdo(case, *args):
    done = subprocess.run(["xdotool", *map(str, args)], env=case.env, capture_output=True,
                          text=True, timeout=WAIT)
    return done.stdout.split() if done.returncode == 0 else []


def click(case, window, at):
    wait_for("the pointer and keyboard to be free", lambda: input_released(case))
    # One command, so the click follows the move (--sync would wait 15 s when the pointer is
    # already there).
    xdo(case, "mousemove", "--window", window, *at, "click", "1")


def find_window(case, title):
    return wait_for(f'the window "{title}"', lambda: (
        xdo(case, "search", "--onlyvisible", "--name", f"^{title}$") or [None])[0])


def window_size(case, window):
    size = dict(s.split("=", 1) for s in xdo(case, "getwindowgeometry", "--shell", window))
    return int(size["WIDTH"]), int(size["HEIGHT"])


def visible_windows(case):
    return xdo(case, "search", "--all", "--onlyvisible", "--pid", case.tool.pid)


def screenshot(case, name, window=None, *options):
    subprocess.run(["import", "-window", window or case.window, *options,
                    str(case.out / f"{case.name}-{name}.png")],
                   env=case.env, timeout=WAIT, check=True)


class XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("l", ctypes.c_long * 5)]


class XEvent(ctypes.Union):
    _fields_ = [("xclient", XClientMessageEvent), ("pad", ctypes.c_long * 24)]


def xlib(case):
    """libX11 and a connection to the case's display."""
    x11 = ctypes.CDLL("libX11.so.6")
    ptr, xid, i = ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int
    x11.XOpenDisplay.restype = ptr
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XDefaultRootWindow.restype = xid
    x11.XDefaultRootWindow.argtypes = [ptr]
    x11.XInternAtom.restype = xid
    x11.XInternAtom.argtypes = [ptr, ctypes.c_char_p, i]
    x11.XSendEvent.argtypes = [ptr, xid, i, ctypes.c_long, ptr]
    x11.XGrabPointer.argtypes = [ptr, xid, i, ctypes.c_uint, i, i, xid, xid, xid]
    x11.XGrabKeyboard.argtypes = [ptr, xid, i, i, i, xid]
    x11.XCloseDisplay.argtypes = [ptr]
    display = x11.XOpenDisplay(case.env["DISPLAY"].encode())
    check(display, "cannot open the display")
    return x11, display


def close_window(case):
    """Sends what a window manager sends when the operator clicks the close button; xdotool
    can only destroy a window or kill its client."""
    x11, display = xlib(case)
    event = XEvent()
    event.xclient.type = 33  # ClientMessage
    event.xclient.window = int(case.window)
    event.xclient.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
    event.xclient.format = 32
    event.xclient.l[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    x11.XSendEvent(display, int(case.window), 0, 0, ctypes.byref(event))
    x11.XCloseDisplay(display)


def input_released(case):
    """True when no client holds the pointer or the keyboard. An open drop-down list holds
    both, and may let go only after its window has gone: a click before that goes to it."""
    x11, display = xlib(case)
    root = x11.XDefaultRootWindow(display)
    pointer = x11.XGrabPointer(display, root, 0, 0, 1, 1, 0, 0, 0)  # 1: GrabModeAsync
    keyboard = x11.XGrabKeyboard(display, root, 0, 1, 1, 0)
    x11.XCloseDisplay(display)  # also drops what this took
    return pointer == 0 and keyboard == 0  # GrabSuccess


# --- the simulated targets and the tool --------------------------------------------------


def ports_folder(case):
    return Path(case.env["XDG_RUNTIME_DIR"]) / "vek-ports"


def start_sim(case, name, *faults):
    sim = SimpleNamespace(name=name, link=ports_folder(case) / name,
                          out=case.out / f"sim-{name}.out", log=case.out / f"sim-{name}.log",
                          memory=case.out / f"sim-{name}.mem")
    # --pace: requests and replies take as long as on a line at 115200 baud, where a
    # pseudo-terminal alone would deliver them at once.
    sim.proc = subprocess.Popen(
        [case.sim_path, "--link", sim.link, "--pace", "--quiet", "--log", sim.log,
         "--memory-out", sim.memory, *faults],
        stdout=open(sim.out, "w"), stderr=subprocess.STDOUT, start_new_session=True)
    case.procs.append(sim.proc)
    wait_for(f"simulator {name}", lambda: "port: " in read_text(sim.out) and sim.link.exists())
    return sim


def stop_sim(sim):
    """Ends the simulator, which writes its memory and a summary of counts on the way out."""
    if sim.proc.poll() is None:
        sim.proc.send_signal(signal.SIGTERM)
    sim.proc.wait(timeout=WAIT)
    words = ([s for s in read_text(sim.out).splitlines() if s.startswith("summary:")]
             or ["summary:"])[-1].split()[1:]
    return dict(zip(words[0::2], words[1::2]))


def sim_requests(sim):
    """(time in ms, kind, address) of each request the simulator heard."""
    return [(float(f[0]), f[3], f[4]) for f in map(str.split, read_text(sim.log).splitlines())]


def start_tool(case, *prefix):
    case.tool = subprocess.Popen(
        [*prefix, case.tool_path], env=case.env, stdout=open(case.out / "console.txt", "w"),
        stderr=open(case.out / "stderr.txt", "w"), start_new_session=True)
    case.procs.append(case.tool)
    # The ports are probed at start: what there is to choose from is what is live now.
    case.listed = sorted(str(p) for p in ports_folder(case).glob("*") if p.exists())
    wait_status(case, " - Idle - ")
    case.window = find_window(case, TITLE)


def trace(case):
    return read_text(case.env["VEK_STATUS_TRACE"]).splitlines()


def statuses(case):
    """The status texts; the other widgets' lines start with '@'."""
    return [line for line in trace(case) if not line.startswith("@")]


def traced(case, widget):
    """What the trace says of widget ("progress", "hint", "list", "row", "ports-hint")."""
    tag = f"@{widget} "
    return [line[len(tag):] for line in trace(case) if line.startswith(tag)]


def console(case):
    return read_text(case.out / "console.txt")


def wait_status(case, text, timeout=WAIT, after=0):
    """Index of the first status line equal to text, at index after or later."""
    def seen():
        lines = statuses(case)
        found = next((i + 1 for i in range(after, len(lines)) if lines[i] == text), 0)
        check(found or case.tool.poll() is None,
              f'the tool ended (exit code {case.tool.poll()}) before "{text}"')
        return found
    return wait_for(f'status "{text}"', seen, timeout) - 1


def open_list(case):
    """Opens the drop-down with the mouse, which probes the ports again; what it lists then."""
    probes = len(traced(case, "list"))
    click(case, case.window, PORT_LIST_AT)
    wait_for("the port list to open", lambda: len(visible_windows(case)) > 1)
    selected, *listed = wait_for("a probe", lambda: traced(case, "list")[probes:])[0].split("\t")
    return selected, listed


def close_list(case, key="Escape"):
    xdo(case, "key", key)
    wait_for("the port list to close", lambda: len(visible_windows(case)) == 1)


def choose_port(case, path):
    """Opens the drop-down and walks to the entry with the arrow keys, which lands on it only
    when the list is in the order the case expects: the ports live when it opens."""
    case.listed = sorted(str(p) for p in ports_folder(case).glob("*") if p.exists())
    _, listed = open_list(case)
    check(listed == case.listed, f"listed {listed}, expected {case.listed}")
    xdo(case, "key", "Home", *["Down"] * case.listed.index(str(path)))
    close_list(case, "Return")


def press_program(case, shows_status=True):
    shown = len(statuses(case))
    click(case, case.window, PROGRAM_AT)
    if shows_status:
        wait_for("a status text after Program", lambda: len(statuses(case)) > shown)


def wait_exit(case, code):
    got = case.tool.wait(timeout=WAIT)
    check(got == code, f"the tool ended with exit code {got}, expected {code}")


def opened_ports(case):
    prefix = " . Opening serial port "
    return [line[len(prefix):].rsplit(" at ", 1)[0]
            for line in console(case).splitlines() if line.startswith(prefix)]


def squeeze(items):
    """Consecutive repeats folded into one: a resend shows the same text again."""
    return [s for i, s in enumerate(items) if i == 0 or items[i - 1] != s]


def run_statuses(image_length):
    blocks = [f"programming {BASE + off:#x}" for off in range(0, image_length, BLOCK)]
    return ["Contacting Device...", *blocks, "Verifying...", "Program Verified OK",
            "Resetting target...", "Programming Completed OK", "Programming Completed"]


def progress_of_run(image_length):
    """The progress bar through a clean run: a step for each block acknowledged."""
    shares = [off / image_length for off in range(0, image_length, BLOCK)] + [1.0]
    return [f"{x:.4f} {int(x * 100)}% normal" for x in shares]


def check_memory(case, sim):
    check(sim.memory.read_bytes() == case.image, f"{sim.name}: memory differs from the image")


def programmed_through(case, *faults):
    """A target, the tool, and a run on that target's port started."""
    sim = start_sim(case, "target", *faults)
    start_tool(case)
    choose_port(case, sim.link)
    press_program(case)
    return sim


# --- the cases ---------------------------------------------------------------------------


def case_full(case):
    """A whole run; the target ends up holding the image, and the steps keep their pace."""
    sim = start_sim(case, "target")
    start_tool(case)
    screenshot(case, "idle")
    size = window_size(case, case.window)
    check(size == (360, 200), f"window {size}: its size must not follow the port names")
    choose_port(case, sim.link)
    press_program(case)
    half_way = len(case.image) // BLOCK // 2 * BLOCK
    wait_status(case, f"programming {BASE + half_way:#x}", RUN_WAIT)
    screenshot(case, "running")
    wait_status(case, "Programming Completed", RUN_WAIT)
    screenshot(case, "finished")

    check(squeeze(statuses(case)) == [" - Idle - ", *run_statuses(len(case.image))],
          f"status texts differ from a clean run's: {squeeze(statuses(case))}")
    check(traced(case, "progress") == progress_of_run(len(case.image)),
          f"progress: {traced(case, 'progress')}")
    check(set(traced(case, "hint")) <= {""}, f"a silence hint in a clean run: {traced(case, 'hint')}")
    check(f"\nFlash Image Size {len(case.image)} bytes\n" in console(case), "no size line")
    check(opened_ports(case) == [str(sim.link)], f"opened {opened_ports(case)}")
    counts = stop_sim(sim)
    check_memory(case, sim)
    requests = sim_requests(sim)
    # A reply lost to the purge after a send (a loaded machine) repeats a block: no fault.
    check(squeeze([r[2] for r in requests if r[1] == "write"])
          == [f"0x{a:06X}" for a in range(BASE, BASE + len(case.image), BLOCK)],
          "blocks not written once each, in order")
    check(int(counts.get("resets", 0)) >= 1, "the target was not reset")
    # A step sends its request after a read that lasts at least the 10 ms of silence that end
    # a reply, and the next step falls due 100 ms after that: a timer running on regardless
    # would send every 100 ms. A resend and the request after it share one step. The mean,
    # as the simulator's own clock jitters under load.
    gaps = [b[0] - a[0] for z, a, b in zip(requests, requests[1:], requests[2:])
            if a[1:] != z[1:]]
    check(sum(gaps) / len(gaps) >= 105, f"requests {sum(gaps) / len(gaps):.1f} ms apart")
    check(case.tool.poll() is None, "the tool ended after completion")
    close_window(case)
    wait_exit(case, 0)


def case_faults(case):
    """Lost, corrupt, split and noisy replies cost resends, but the run completes."""
    sim = programmed_through(case, "--drop", "3,20", "--corrupt", "6,31", "--split", "9",
                             "--noise", "12")
    wait_status(case, "Programming Completed", RUN_WAIT)
    screenshot(case, "finished")
    counts = stop_sim(sim)
    check_memory(case, sim)
    check((counts.get("dropped"), counts.get("corrupted"), counts.get("split")) == ("2", "2", "1"),
          f"faults not injected as asked: {counts}")
    check(console(case).count(" bytes sent\n") > 59, "the faults caused no resend")


def case_failed(case):
    """A wrong range CRC stops the run at FAILED, the target not reset; Program on the same
    port then starts over from block 0 and completes."""
    sim = programmed_through(case, "--wrong-crc", "1")
    failed = wait_status(case, "FAILED", RUN_WAIT)
    screenshot(case, "failed")
    heard = len(sim_requests(sim))
    time.sleep(2.5)  # an observation window: nothing may follow FAILED
    check(statuses(case)[failed:] == ["FAILED"], f"status went on: {statuses(case)[failed:]}")
    check(len(sim_requests(sim)) == heard, "requests were sent after FAILED")
    check("CRC FAIL\n" in console(case), "no CRC FAIL line")

    check(traced(case, "progress")[-1] == "1.0000 100% error",
          f"progress after FAILED: {traced(case, 'progress')[-3:]}")
    shown = len(traced(case, "progress"))

    press_program(case)
    wait_status(case, "Programming Completed", RUN_WAIT, failed)
    check(squeeze(statuses(case)[failed + 1:]) == run_statuses(len(case.image)),
          "the second run did not go from block 0 to completion")
    check(traced(case, "progress")[shown:] == progress_of_run(len(case.image)),
          f"progress of the second run: {traced(case, 'progress')[shown:]}")
    kinds = squeeze([r[1] for r in sim_requests(sim)])
    check(kinds == ["write", "range-crc", "write", "range-crc", "reset"],
          f"requests heard: {kinds}")
    check(opened_ports(case) == [str(sim.link)] * 2, f"opened {opened_ports(case)}")
    stop_sim(sim)
    check_memory(case, sim)


def case_sorted(case):
    """Entries sort as text (10, 11, 2); the entry chosen is the port programmed."""
    sims = [start_sim(case, name) for name in ("com2", "com10", "com11")]
    start_tool(case)
    check([Path(p).name for p in case.listed] == ["com10", "com11", "com2"],
          f"the case's own expectation is off: {case.listed}")
    screenshot(case, "idle")
    choose_port(case, sims[0].link)
    press_program(case)
    wait_status(case, "Programming Completed", RUN_WAIT)
    for sim in sims:
        stop_sim(sim)
    check_memory(case, sims[0])
    check([len(sim_requests(s)) for s in sims[1:]] == [0, 0], "another port was sent requests")
    check(opened_ports(case) == [str(sims[0].link)], f"opened {opened_ports(case)}")


def case_fatal(case):
    """The chosen port is gone: the box comes up over a run in progress, no step of that run
    goes on behind it, and dismissing it ends the tool with exit code 1."""
    live, gone = start_sim(case, "live"), start_sim(case, "gone")
    start_tool(case)
    choose_port(case, live.link)
    press_program(case)
    wait_status(case, f"programming {BASE + 2 * BLOCK:#x}", RUN_WAIT)
    choose_port(case, gone.link)
    stop_sim(gone)  # after the list was seen: opening it again would leave the port out
    check(not gone.link.exists(), "the simulator left its port behind")
    press_program(case, shows_status=False)
    box = find_window(case, "Terminate Program")
    shown = len(statuses(case))
    screenshot(case, "box", box)
    time.sleep(2.5)  # an observation window, longer than the old run's resend period
    check(len(statuses(case)) == shown, f"steps ran behind the box: {statuses(case)[shown:]}")
    check(case.tool.poll() is None, "the tool ended before the box was dismissed")
    width, height = window_size(case, box)
    click(case, box, (width // 2, height - 16))  # OK spans the foot of the box
    wait_exit(case, 1)
    check(opened_ports(case) == [str(live.link), str(gone.link)], f"opened {opened_ports(case)}")


def case_close(case):
    """Closing the window in the middle of a run ends the tool with exit code 0."""
    programmed_through(case)
    wait_status(case, f"programming {BASE + 4 * BLOCK:#x}", RUN_WAIT)
    close_window(case)
    wait_exit(case, 0)


def case_no_port(case):
    """With nothing to choose, Program says so, and the tool carries on."""
    ports_folder(case).mkdir(parents=True)
    start_tool(case)
    press_program(case)
    wait_status(case, "No port selected")
    check(traced(case, "ports-hint") == [""], "a hint for a list that has nothing to explain")
    screenshot(case, "no-port")
    press_program(case)
    check(case.tool.poll() is None, "the tool ended")
    check(opened_ports(case) == [], f"opened {opened_ports(case)}")
    close_window(case)
    wait_exit(case, 0)


def case_unprivileged(case):
    """A port the user may not open, the tool run as an ordinary user: not listed; the console
    names the port's group and the command that adds the user to it, and the empty list says
    to look there."""
    if os.geteuid() != 0:
        print("skipped: dropping privileges needs root")
        return SKIPPED
    user, group = pwd.getpwnam("nobody"), grp.getgrnam("dialout")
    # Everything the user touches lies where the user may go: the build tree may not.
    scratch = Path(tempfile.mkdtemp(prefix="vek-e2e-"))
    def keep_trace_and_clean():
        if (scratch / "status.txt").exists():
            shutil.copy(scratch / "status.txt", case.out)
        shutil.rmtree(scratch, ignore_errors=True)
    case.cleanup.append(keep_trace_and_clean)
    scratch.chmod(0o755)
    tool = scratch / "vek-update"
    shutil.copy(case.tool_path, tool)
    for folder in ("run", "home"):
        (scratch / folder).mkdir(mode=0o700)
        os.chown(scratch / folder, user.pw_uid, user.pw_gid)
    (scratch / "status.txt").touch()
    (scratch / "status.txt").chmod(0o666)
    case.tool_path = tool
    case.env.update(XDG_RUNTIME_DIR=str(scratch / "run"), HOME=str(scratch / "home"),
                    VEK_STATUS_TRACE=str(scratch / "status.txt"))

    sim = start_sim(case, "target")
    device = os.path.realpath(sim.link)
    os.chown(device, 0, group.gr_gid)
    os.chmod(device, 0o660)
    start_tool(case, "setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}",
               "--clear-groups")
    screenshot(case, "idle")
    check(traced(case, "list") == [""], f"listed: {traced(case, 'list')}")
    check(traced(case, "ports-hint") == [NO_FREE_PORT], f"hint: {traced(case, 'ports-hint')}")
    line = next((s for s in console(case).splitlines() if s.startswith(f"Port {sim.link} ")), "")
    check("not listed: no permission" in line and "group dialout" in line
          and '"sudo usermod -aG dialout nobody"' in line and "log out and in again" in line,
          f"console: {line!r}")


def fake_system(root, ptys):
    """A small system of serial devices under root: two adapters of one model that differ
    only by serial number, a port on the board, a device that is no serial port, and one more
    adapter port. Devices are links to the pseudo-terminals given."""
    sys_dir, dev = root / "sys", root / "dev"
    (dev / "serial" / "by-id").mkdir(parents=True)
    (sys_dir / "class" / "tty").mkdir(parents=True)

    def tty_device(name, device, driver, pty):
        (device / name / "tty" / name).mkdir(parents=True)
        (device / name / "tty" / name / "device").symlink_to(device / name)
        (device / name / "driver").symlink_to(sys_dir / "bus" / "drivers" / driver)
        (sys_dir / "class" / "tty" / name).symlink_to(device / name / "tty" / name)
        (dev / name).symlink_to(pty)

    usb = sys_dir / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1"
    for n, serial in enumerate(("VK0001A7", "VK0001B2", "VK0001C9")):
        adapter = usb / f"1-{n + 1}"
        adapter.mkdir(parents=True)
        for name, value in (("idVendor", "f055"), ("idProduct", "7e51"), ("serial", serial),
                            ("manufacturer", "Vekmont"), ("product", "USB Serial Cable")):
            (adapter / name).write_text(value + "\n")
        interface = adapter / f"1-{n + 1}:1.0"
        tty_device(f"ttyUSB{n}", interface, "vekserial", ptys[n])
        (dev / "serial" / "by-id" / f"usb-Vekmont_USB_Serial_Cable_{serial}-if00-port0"
         ).symlink_to(f"../../ttyUSB{n}")
    tty_device("ttyS4", sys_dir / "devices" / "platform" / "serial8250", "serial8250", ptys[3])
    (dev / "ttyS5").symlink_to("/dev/null")


def case_devices(case):
    """The machine's own serial devices, from a fake system: the open list tells the two
    adapters of one model apart by serial number, and names the board port's driver; a device
    that is no serial port and a port another program holds are left out, and the console
    says why each time the list is probed."""
    ptys = [os.openpty() for _ in range(4)]
    root = case.out / "system"
    fake_system(root, [os.ttyname(slave) for _, slave in ptys])
    holder = open(root / "dev" / "ttyUSB2", "rb", buffering=0)
    fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
    del case.env["VEK_PORTS_FOLDER_ONLY"]
    case.env["VEK_SYSTEM_ROOT"] = str(root)
    start_tool(case)
    _, listed = open_list(case)
    expected = [str(root / "dev" / name) for name in ("ttyS4", "ttyUSB0", "ttyUSB1")]
    check(listed == expected, f"listed {listed}")
    rows = dict(r.split("\t", 1) for r in wait_for(
        "the open list's entries", lambda: len(set(traced(case, "row"))) >= 3 and traced(case, "row")))
    # The open list is a window of its own: the screen, cut to the tool's windows.
    boxes = [dict(s.split("=", 1) for s in xdo(case, "getwindowgeometry", "--shell", w))
             for w in visible_windows(case)]
    right = max(int(b["X"]) + int(b["WIDTH"]) for b in boxes)
    bottom = max(int(b["Y"]) + int(b["HEIGHT"]) for b in boxes)
    screenshot(case, "open-list", "root", "-crop", f"{right + 8}x{bottom + 8}+0+0")
    close_list(case)
    model = "Vekmont USB Serial Cable (f055:7e51)"
    for path, serial in zip(expected[1:], ("VK0001A7", "VK0001B2")):
        check(rows.get(path) == f"{model}, serial {serial} | by-id usb-Vekmont_USB_Serial_Cable_"
              f"{serial}-if00-port0", f"{path}: {rows.get(path)!r}")
    check(rows.get(expected[0]) == "driver serial8250", f"ttyS4: {rows.get(expected[0])!r}")

    me = f"{read_text('/proc/self/comm').strip()} (pid {os.getpid()})"
    lines = console(case).splitlines()
    for name, why in (("ttyS5", "not a serial port: the driver refuses the terminal settings"),
                      ("ttyUSB2", f"held by {me}")):
        line = f"Port {root / 'dev' / name} not listed: {why}"
        check(lines.count(line) == 2, f"not said at start-up and at the probe: {line!r}")
    holder.close()


def case_replug(case):
    """Ports come and go while the tool runs: opening the list probes again, so a new port
    shows up and one that went leaves, while the chosen entry stays chosen; during a run the
    run's port stays listed, never probed, and the run completes."""
    chosen, leaving = start_sim(case, "c"), start_sim(case, "d")
    start_tool(case)
    choose_port(case, chosen.link)
    # The chosen entry moves from first to second place: kept by its port, not its place.
    later = start_sim(case, "a")
    stop_sim(leaving)
    selected, listed = open_list(case)
    close_list(case)
    check(listed == [str(later.link), str(chosen.link)], f"listed {listed}")
    check(selected == str(chosen.link), f"selected {selected}")

    press_program(case)
    wait_status(case, f"programming {BASE + 2 * BLOCK:#x}", RUN_WAIT)
    selected, listed = open_list(case)
    close_list(case)
    check(listed == [str(later.link), str(chosen.link)] and selected == str(chosen.link),
          f"during the run: listed {listed}, selected {selected}")
    wait_status(case, "Programming Completed", RUN_WAIT)
    check("not listed" not in console(case), "a port was left out")
    stop_sim(chosen)
    check_memory(case, chosen)

    # The chosen port gone, nothing is chosen: Program must not fall back on another device.
    selected, listed = open_list(case)
    close_list(case)
    check(listed == [str(later.link)] and selected == "",
          f"after the chosen port went: listed {listed}, selected {selected!r}")
    press_program(case)
    wait_status(case, "No port selected")
    stop_sim(later)
    check(opened_ports(case) == [str(chosen.link)], f"opened {opened_ports(case)}")


def case_silent(case):
    """A device that does not answer for a while: once the run has waited 3 s, sending again,
    a hint under the status line says so and counts the requests sent again; the first good
    reply takes it away, and the run completes."""
    sim = programmed_through(case, "--drop", "1-5")
    hints = wait_for("the silence hint", lambda: [h for h in traced(case, "hint") if h])
    screenshot(case, "hint")
    size = window_size(case, case.window)
    check(size == (360, 200), f"window {size}: its size must not follow the hint")
    wait_status(case, "Programming Completed", RUN_WAIT)
    stop_sim(sim)
    check_memory(case, sim)
    check(re.fullmatch(r"No reply from the device yet: check the cable, its power and the port"
                       r" \((1 request|[2-9] requests|\d\d+ requests) sent again\)",
                       hints[0]), f"hint: {hints[0]!r}")
    lines = trace(case)
    second_block = lines.index(f"programming {BASE + BLOCK:#x}")
    shown = lines.index("@hint " + hints[0])
    gone = lines.index("@hint ", shown)
    check(shown < second_block < gone < second_block + 3,
          f"hint shown at line {shown}, gone at {gone}, second block at {second_block}")
    check(traced(case, "hint")[-1] == "", "the hint stayed")


def case_no_display(case):
    """Without a display there is no window: the fatal report goes to standard error, for
    want of a box, and the exit code is 1."""
    env = {k: v for k, v in case.env.items() if k != "DISPLAY"}
    done = subprocess.run([case.tool_path], env=env, capture_output=True, text=True,
                          timeout=WAIT)
    check(done.returncode == 1, f"exit code {done.returncode}, expected 1")
    check("Terminate Program" in done.stderr and "Could not create dialog" in done.stderr,
          f"no fatal report on standard error: {done.stderr!r}")
    check("Error number" not in done.stderr, "a system error reported where there was none")


# --- running a case ----------------------------------------------------------------------


def main():
    name, opts = sys.argv[1], dict(zip(sys.argv[2::2], sys.argv[3::2]))
    run = globals()["case_" + name]
    out = Path(opts["--out"]).resolve() / name
    out.parent.mkdir(parents=True, exist_ok=True)
    # Two test runs of one build tree at once must not clear each other's folder.
    lock = open(out.parent / f"{name}.lock", "w")
    fcntl.flock(lock, fcntl.LOCK_EX)
    shutil.rmtree(out, ignore_errors=True)
    (out / "home").mkdir(parents=True)
    (out / "run").mkdir(mode=0o700)
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS")}
    env.update(HOME=str(out / "home"), XDG_RUNTIME_DIR=str(out / "run"), GDK_BACKEND="x11",
               GSK_RENDERER="cairo", GSETTINGS_BACKEND="memory", GTK_A11Y="none",
               NO_AT_BRIDGE="1", VEK_PORTS_FOLDER_ONLY="1",
               VEK_STATUS_TRACE=str(out / "status.txt"))
    case = SimpleNamespace(name=name, out=out, tool_path=opts["--tool"], sim_path=opts["--sim"],
                           image=Path(opts["--image"]).read_bytes(), env=env, procs=[],
                           cleanup=[])
    try:
        start_xvfb(case)
        if run(case) == SKIPPED:
            return SKIPPED
    except Failed as e:
        print(f"FAIL {name}: {e}\nstatus lines:", *statuses(case)[-8:], sep="\n  ")
        print("console (tail):", *console(case).splitlines()[-12:], sep="\n  ")
        print("stderr:", read_text(out / "stderr.txt"), f"\nlogs and screenshots: {out}")
        return 1
    finally:
        for proc in reversed(case.procs):
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        for step in case.cleanup:
            step()
    print(f"case {name} passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
# End-to-end cases of the Linux window: the real vek-update under an X server of its own,
# driven as an operator would (tests/harness), against simulated targets in a private ports
# folder. What the window shows is read back through its trace file.
#
#   PYTHONPATH=tests e2e.py CASE --tool vek-update --sim vek-target-sim --image IMAGE --out DIR
#
# Logs and screenshots go to DIR/CASE; the gtk-*.png there are the README's pictures.
import fcntl
import grp
import itertools
import os
import pwd
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from types import SimpleNamespace

from harness import facts, gtk, run, target, x11
from harness.run import RUN_WAIT, WAIT, check, wait_for

# An observation window, longer than the resend period of a run.
QUIET_S = 2.5 * facts.RESPONSE_MS / 1000
arg = SimpleNamespace()


def sim(s, name, *options):
    return target.start(s, arg.sim, name, *target.PACE, *options)


def block(n):
    return f"programming {facts.BASE + n * facts.BLOCK:#x}"


def check_memory(t):
    target.stop(t)
    memory = target.memory(t)
    check(memory == arg.image, f"{t.name}: memory of {len(memory)} bytes differs from the image")


def check_clean_run(w, after):
    # The trace from line after on, each line once: a resend shows its status text again.
    got, want = list(dict.fromkeys(gtk.trace(w)[after:])), gtk.run_trace(len(arg.image))
    at = next((i for i, pair in enumerate(zip(got, want)) if pair[0] != pair[1]), len(want))
    check(got == want, f"trace line {after + at}: {got[at:at + 3]}, expected {want[at:at + 3]}")


def check_list(w, expected, when):
    got = gtk.listed(w)
    check(got == expected, f"{when}: selected and listed {got}")


def case_full(s):
    # Entries sort as text (com10, com2). A clean run on com2, then one on com10, whose line
    # hands back every request ahead of the reply: the same texts, no more resends. The steps
    # keep their pace; the tool stays after a run, and closing the window ends it, exit code 0.
    plain, echoing = sim(s, "com2"), sim(s, "com10", "--echo")
    w = gtk.start(s, arg.tool)
    for t in (plain, echoing):
        gtk.choose_port(w, t.link)
        before = len(gtk.statuses(w)), len(gtk.trace(w))
        gtk.press_program(w)
        if t is plain:
            gtk.wait_status(w, block(len(arg.image) // facts.BLOCK // 2), RUN_WAIT)
            gtk.screenshot(w, s.folder / "gtk-half-way.png")
        gtk.wait_status(w, "Programming Completed", RUN_WAIT, before[0])
        check_clean_run(w, before[1])
        check_memory(t)
    check(target.resends(echoing) <= target.resends(plain),
          f"resends: {target.resends(echoing)} with echo, {target.resends(plain)} without")
    check(gtk.opened_ports(w) == [str(plain.link), str(echoing.link)],
          f"opened {gtk.opened_ports(w)}")
    # A step sends after a read that lasts at least the silence that ends a reply, and the
    # next falls due a period after the step: a timer running on regardless would send a
    # period apart. The median, as resends and the simulator's clock under load scatter.
    sent = [f.ms for f in target.requests(plain)]
    gap = sorted(b - a for a, b in zip(sent, sent[1:]))[len(sent) // 2]
    check(gap >= facts.PERIOD_MS + facts.READ_GAP_MS / 2, f"requests {gap:.1f} ms apart")
    check(w.proc.poll() is None, "the tool ended after completion")
    gtk.close(w)
    gtk.wait_exit(w, 0)


def case_failed(s):
    # The last block's acknowledgement comes late: the block is sent again and acknowledged,
    # and the range CRC's reply is lost, so the late acknowledgement is read in its place. Too
    # short to carry a CRC, it fails the verification: FAILED, the bar red, the target not
    # reset, nothing sent after. Program on the same port then starts over and completes.
    last = len(facts.blocks(len(arg.image)))
    # A wait for a reply goes in steps of a read (up to a second) and a pause: the range CRC
    # goes out some 1.2 s after the block, its resend 1.2 s later. The acknowledgement comes
    # midway, far from either.
    t = sim(s, "target", "--delay", last, "--delay-ms", 1800, "--drop", last + 2)
    w = gtk.program(s, arg.tool, t)
    check(gtk.wait_end(w) == "FAILED", "the run did not fail")
    failed = gtk.statuses(w).index("FAILED")
    heard = len(target.requests(t))
    time.sleep(QUIET_S)
    check(len(target.requests(t)) == heard, "requests were sent after FAILED")
    shown = gtk.trace(w)[gtk.trace(w).index("FAILED"):]
    check(shown == ["FAILED", "@progress 1.0000 100% error"], f"from FAILED on: {shown}")
    check("Remote CRC missing: reply of 11 bytes\nLocal  CRC" in gtk.console(w),
          "not failed on the late acknowledgement")

    before = len(gtk.trace(w))
    gtk.press_program(w)
    gtk.wait_status(w, "Programming Completed", RUN_WAIT, failed)
    check_clean_run(w, before)
    kinds = [kind for kind, _ in itertools.groupby(f.kind for f in target.requests(t))]
    check(kinds == ["write", "range-crc", "write", "range-crc", "reset"], f"heard {kinds}")
    check_memory(t)


def case_fatal(s):
    # The fatal report, exit code 1. Without a display, on standard error. In the window, a
    # box over a run whose newly chosen port has gone, with no step of the run behind it.
    done = subprocess.run([arg.tool], env={k: v for k, v in s.env.items() if k != "DISPLAY"},
                          capture_output=True, text=True, timeout=WAIT)
    check(done.returncode == 1 and "Could not create dialog" in done.stderr
          and "Error number" not in done.stderr, f"no display: {done.returncode} {done.stderr!r}")

    live, gone = sim(s, "live"), sim(s, "gone")
    w = gtk.program(s, arg.tool, live)
    gtk.wait_status(w, block(2), RUN_WAIT)
    gtk.choose_port(w, gone.link)
    target.stop(gone)  # after the list was seen: opening it again would leave the port out
    gtk.press_program(w, shows_status=False)
    box = x11.find_window(s.env, "Terminate Program")
    shown = len(gtk.statuses(w))
    time.sleep(QUIET_S)
    check(len(gtk.statuses(w)) == shown, f"steps ran behind the box: {gtk.statuses(w)[shown:]}")
    size = x11.geometry(s.env, box)
    x11.click(s.env, box, (size["WIDTH"] // 2, size["HEIGHT"] - 16))  # OK spans its foot
    gtk.wait_exit(w, 1)


def case_replug(s):
    # Opening the list probes the ports: one that came shows up, one that went leaves, and
    # the chosen entry stays chosen while its port is there, though its place changes. During
    # a run its port stays listed, never probed, and the run completes. Once it has gone
    # nothing is chosen: Program must not fall back on another device. With nothing there
    # and nothing left out, the list is empty and has no hint under it.
    chosen, leaving = sim(s, "c"), sim(s, "d")
    w = gtk.start(s, arg.tool)
    gtk.choose_port(w, chosen.link)
    later = sim(s, "a")
    target.stop(leaving)
    both = (str(chosen.link), [str(later.link), str(chosen.link)])
    check_list(w, both, "after the change")
    gtk.press_program(w)
    gtk.wait_status(w, block(2), RUN_WAIT)
    check_list(w, both, "during the run")
    gtk.wait_status(w, "Programming Completed", RUN_WAIT)
    check_memory(chosen)

    check_list(w, ("", [str(later.link)]), "the chosen gone")
    gtk.press_program(w)
    gtk.wait_status(w, "No port selected")
    target.stop(later)
    check_list(w, ("", []), "all gone")
    check(gtk.traced(w, "ports-hint")[-1] == "", f"hint {gtk.traced(w, 'ports-hint')[-1]!r}")


def case_silent(s):
    # A device that does not answer for a while: once the run has waited 3 s, sending again,
    # a hint says so and counts the requests sent again, the window keeping its size; the
    # first good reply takes it away. Closing the window mid-run ends the tool, exit code 0.
    w = gtk.program(s, arg.tool, sim(s, "target", "--drop", "1-5"))
    hint = wait_for("the silence hint", lambda: [h for h in gtk.traced(w, "hint") if h])[0]
    gtk.screenshot(w, s.folder / "gtk-silent-hint.png")
    check(gtk.size(w) == facts.gtk_window_size(), f"window {gtk.size(w)}: it follows the hint")
    check(re.fullmatch(r"No reply from the device yet: check the cable, its power and the port "
                       r"\((1 request|[2-9] requests|\d\d+ requests) sent again\)", hint), hint)
    gtk.wait_status(w, block(2), RUN_WAIT)
    lines = gtk.trace(w)
    shown, second = lines.index("@hint " + hint), lines.index(block(1))
    check(shown < second and "@hint " in lines[second + 1:second + 3],
          f"hint at line {shown}, second block at {second}: {lines[second:second + 3]}")
    gtk.close(w)
    gtk.wait_exit(w, 0)


def case_unprivileged(s):
    # A port the user may not open, the tool run as an ordinary user: not listed; the console
    # names the port's group and the command that adds the user to it, and the empty list
    # says to look there.
    if os.geteuid() != 0:
        print("skipped: dropping privileges needs root")
        sys.exit(77)  # skipped, to CTest
    user, group = pwd.getpwnam("nobody"), grp.getgrnam("dialout")
    # The case's folder lies where the user may go, as the build tree may not, until the end.
    out, s.folder = s.folder, Path(tempfile.mkdtemp(prefix="vek-e2e-"))
    s.cleanups += [lambda: shutil.copytree(s.folder, out, symlinks=True, dirs_exist_ok=True),
                   lambda: shutil.rmtree(s.folder)]
    s.folder.chmod(0o1777)  # the user writes the trace file here
    gtk.prepare(s)
    for folder in ("run", "home"):
        os.chown(s.folder / folder, user.pw_uid, user.pw_gid)
    shutil.copy(arg.tool, s.folder)

    t = sim(s, "target")
    os.chown(os.path.realpath(t.link), 0, group.gr_gid)
    os.chmod(os.path.realpath(t.link), 0o660)
    w = gtk.start(s, s.folder / Path(arg.tool).name, "setpriv", f"--reuid={user.pw_uid}",
                  f"--regid={user.pw_gid}", "--clear-groups")
    gtk.screenshot(w, s.folder / "gtk-no-free-port.png")
    shown = gtk.traced(w, "list") + gtk.traced(w, "ports-hint")
    check(shown == ["", "No free serial port: see the console"], f"list and hint: {shown}")
    line = next((x for x in gtk.console(w).splitlines() if x.startswith(f"Port {t.link} ")), "")
    check("not listed: no permission" in line and "group dialout" in line
          and '"sudo usermod -aG dialout nobody"' in line and "log out and in again" in line,
          f"console: {line!r}")


def fake_system(root, ptys):
    # Serial devices under root: two adapters of one model that differ only by serial number
    # and a third that another program holds, a port on the board, and a device that is no
    # serial port. Each is a link to one of the pseudo-terminals given.
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
        tty_device(f"ttyUSB{n}", adapter / f"1-{n + 1}:1.0", "vekserial", ptys[n])
        (dev / "serial" / "by-id" / f"usb-Vekmont_USB_Serial_Cable_{serial}-if00-port0"
         ).symlink_to(f"../../ttyUSB{n}")
    tty_device("ttyS4", sys_dir / "devices" / "platform" / "serial8250", "serial8250", ptys[3])
    (dev / "ttyS5").symlink_to("/dev/null")


def case_devices(s):
    # The machine's own serial devices, from a fake system: the open list tells the two
    # adapters of one model apart by serial number and names the board port's driver; a
    # device that is no serial port and a port another program holds are left out, and the
    # console says why at start-up and at each probe.
    ptys = [os.openpty() for _ in range(4)]
    root = s.folder / "system"
    fake_system(root, [os.ttyname(slave) for _, slave in ptys])
    holder = open(root / "dev" / "ttyUSB2", "rb", buffering=0)
    s.cleanups.append(holder.close)
    fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
    del s.env["VEK_PORTS_FOLDER_ONLY"]
    s.env["VEK_SYSTEM_ROOT"] = str(root)
    w = gtk.start(s, arg.tool)
    gtk.open_list(w)
    rows = dict(r.split("\t", 1) for r in wait_for("the open list's rows", lambda: len(
        set(gtk.traced(w, "row"))) >= 3 and gtk.traced(w, "row")))
    # The open list is a window of its own: the screen, cut to the tool's windows.
    boxes = [x11.geometry(s.env, x) for x in x11.windows_of(s.env, w.proc.pid)]
    corner = [max(b["X"] + b["WIDTH"] for b in boxes), max(b["Y"] + b["HEIGHT"] for b in boxes)]
    x11.screenshot(s.env, s.folder / "gtk-open-list.png", "root", "-crop",
                   f"{corner[0] + 8}x{corner[1] + 8}+0+0")
    gtk.close_list(w)
    usb = ("Vekmont USB Serial Cable (f055:7e51), serial {0} | by-id "
           "usb-Vekmont_USB_Serial_Cable_{0}-if00-port0")
    listed = [str(root / "dev" / name) for name in ("ttyS4", "ttyUSB0", "ttyUSB1")]
    check(rows == dict(zip(listed, ["driver serial8250", usb.format("VK0001A7"),
                                   usb.format("VK0001B2")])), f"rows: {rows}")
    me = f"{run.read_text('/proc/self/comm').strip()} (pid {os.getpid()})"
    for name, why in (("ttyS5", "not a serial port: the driver refuses the terminal settings"),
                      ("ttyUSB2", f"held by {me}")):
        line = f"Port {root / 'dev' / name} not listed: {why}"
        check(gtk.console(w).splitlines().count(line) == 2, f"not said twice: {line!r}")


def main():
    name, opts = sys.argv[1], dict(zip(sys.argv[2::2], sys.argv[3::2]))
    arg.tool, arg.sim, arg.image = opts["--tool"], opts["--sim"], Path(opts["--image"]).read_bytes()
    out = Path(opts["--out"]).resolve()
    out.mkdir(parents=True, exist_ok=True)
    # Two test runs of one build tree at once must not clear each other's folder.
    lock = open(out / f"{name}.lock", "w")
    fcntl.flock(lock, fcntl.LOCK_EX)
    s = gtk.session(out / name)
    try:
        globals()["case_" + name](s)
    except run.Failed as e:
        gtk.report(s, f"FAIL {name}: {e}")
        return 1
    finally:
        run.finish(s)
    print(f"case {name} passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())

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

from harness import cli, facts, gtk, run, target, x11
from harness.run import RUN_WAIT, WAIT, check, wait_for

arg = SimpleNamespace()


def sim(s, name, *options):
    return target.start(s, arg.sim, name, *target.PACE, *options)


def block(n):
    return f"programming {facts.BASE + n * facts.BLOCK:#x}"


def check_quiet(count, what):
    # count() stays the same for a while longer than the resend period of a run.
    before = count()
    time.sleep(2.5 * facts.RESPONSE_MS / 1000)
    check(count() == before, what)


def check_list(w, expected, when):
    # The list as the operator finds it on opening it (a probe): the selected entry, the
    # entries and the hint under the list.
    selected, listed = gtk.open_list(w)
    gtk.close_list(w)
    got = selected, listed, gtk.traced(w, "ports-hint")[-1]
    check(got == expected, f"{when}: selected, listed and hint {got}")


def case_full(s):
    # On a line that echoes, a wrong range CRC fails the run: FAILED, the bar red, under it why,
    # and nothing sent after, though the steps go on. Program on the same port then starts
    # over, at the steps' pace. Closing the window during a run ends the tool with exit code 0.
    # Its console log is kept in the state folder too, and no warning of a missing session bus
    # comes at start.
    t = sim(s, "target", "--wrong-crc", "1", "--echo")
    w = gtk.program(s, arg.tool, t)
    check(gtk.wait_end(w) == "FAILED", "the run did not fail")
    check_quiet(lambda: len(target.requests(t)), "requests were sent after FAILED")
    shown = gtk.trace(w)[gtk.trace(w).index("FAILED"):]
    crc = cli.crc16(arg.image)
    why = (f"@hint The device's CRC 0x{crc ^ 0xFFFF:04x} differs from the image's 0x{crc:04x}: "
           "the device was not reset")
    check(shown == ["FAILED", "@progress 1.0000 100% error", why], f"from FAILED on: {shown}")
    before = len(gtk.trace(w))
    gtk.press_program(w)
    gtk.wait_status(w, block(len(arg.image) // facts.BLOCK // 2), RUN_WAIT, before)
    gtk.screenshot(w, s.folder / "gtk-half-way.png")
    x11.close_window(w.env, w.window)
    gtk.wait_exit(w, 0)
    # A step sends after a read that lasts at least the silence that ends a reply, and the
    # next falls due a period after the step: a timer running on regardless would send a
    # period apart. The median, as resends and the simulator's clock under load scatter.
    sent = [f.ms for f in target.requests(t)]
    gap = sorted(b - a for a, b in zip(sent, sent[1:]))[len(sent) // 2]
    check(gap >= facts.PERIOD_MS + facts.READ_GAP_MS / 2, f"requests {gap:.1f} ms apart")
    check("session bus" not in run.read_text(s.folder / "stderr.txt"), "a session bus warning")
    log, console = cli.log_lines(s.folder / "state"), gtk.console(w).splitlines()
    check(log[0].startswith("== vek-update ") and [x for x in log if x in console] == console,
          f"the log: {log[:2]} ... {log[-2:]}")


def case_fatal(s):
    # Without a display, one line that says so, and the exit code of a set-up error. The fatal
    # report, exit code 1: in the window, a box over a run whose newly chosen port has gone,
    # with no step of the run behind it; the list opened during the run holds its port, never
    # probed.
    done = subprocess.run([arg.tool], env={k: v for k, v in s.env.items() if k != "DISPLAY"},
                          capture_output=True, text=True, timeout=WAIT)
    check(done.returncode == cli.CODES["USAGE"] and done.stderr ==
          "vek-update: no display found (neither DISPLAY nor WAYLAND_DISPLAY is set); runs with "
          "--port need none (see --help)\n", f"no display: {done.returncode} {done.stderr!r}")

    live, gone = sim(s, "live"), sim(s, "gone")
    w = gtk.program(s, arg.tool, live)
    gtk.wait_status(w, block(2), RUN_WAIT)
    gtk.choose_port(w, gone.link)
    target.stop(gone)  # after the list was seen: opening it again would leave the port out
    x11.click(s.env, w.window, facts.gtk_point("PROGRAM"))  # the box comes before any status
    box = x11.find_window(s.env, "Terminate Program")
    check_quiet(lambda: len(gtk.statuses(w)), "steps ran behind the box")
    size = x11.geometry(s.env, box)
    x11.click(s.env, box, (size["WIDTH"] // 2, size["HEIGHT"] - 16))  # OK spans its foot
    gtk.wait_exit(w, 1)


def case_replug(s):
    # Opening the list probes the ports: one that came shows up, one that went leaves, and the
    # chosen entry stays chosen while its port is there, though its place changes. Once it has
    # gone nothing is chosen: Program must not fall back on another device. With nothing there
    # and nothing left out, the list is empty and has no hint under it. (During a run its port
    # stays listed, never probed: the fatal case.)
    chosen, leaving = sim(s, "target", "--drop", "1-5"), sim(s, "z")
    w = gtk.start(s, arg.tool)
    gtk.choose_port(w, chosen.link)
    later = sim(s, "a")
    target.stop(leaving)
    check_list(w, (str(chosen.link), [str(later.link), str(chosen.link)], ""), "after the change")
    gtk.press_program(w)
    # The device does not answer at first: once the run has waited 3 s, sending again, a hint
    # says so and counts the requests sent again, the window keeping its size; the first good
    # reply takes it away.
    hint = wait_for("the silence hint", lambda: [h for h in gtk.traced(w, "hint") if h])[0]
    gtk.screenshot(w, s.folder / "gtk-silent-hint.png")
    window = x11.geometry(w.env, w.window)
    check((window["WIDTH"], window["HEIGHT"]) == facts.gtk_window_size(), f"window {window}")
    check(re.fullmatch(r"No reply from the device yet: check the cable, its power and the port "
                       r"\((1 request|[2-9] requests|\d\d+ requests) sent again\)", hint), hint)
    gtk.wait_status(w, block(2), RUN_WAIT)
    check(gtk.traced(w, "hint")[-1] == "", "the hint stayed after good replies")
    gtk.wait_status(w, "Programming Completed", RUN_WAIT)
    # The status texts so far, each once (a resend shows it again), and the bar after each
    # step that changed it: nothing acknowledged at "Contacting Device...", the block before
    # when a step sends a block, all at "Verifying...". Then the image in memory.
    n, statuses = len(arg.image), facts.run_statuses(len(arg.image))
    bars = [f"@progress {o / n:.4f} {o * 100 // n}% normal" for o in [*range(0, n, facts.BLOCK), n]]
    want = [" - Idle - ", statuses[0], bars[0], statuses[1]]
    for status, bar in zip(statuses[2:], bars[1:]):
        want += [status, bar]
    want += statuses[len(bars) + 1:]
    got = [x for x in dict.fromkeys(gtk.trace(w)) if x.startswith("@progress ") or x[:1] != "@"]
    at = next((i for i, pair in enumerate(zip(got, want)) if pair[0] != pair[1]), len(want))
    check(got == want, f"trace entry {at}: {got[at:at + 3]}, expected {want[at:at + 3]}")
    target.stop(chosen)
    check(target.memory(chosen) == arg.image, "the target's memory differs from the image")

    check_list(w, ("", [str(later.link)], ""), "the chosen gone")
    gtk.press_program(w)
    gtk.wait_status(w, "No port selected")
    # Nothing of the finished run stays on the bar.
    wait_for("the bar cleared", lambda: gtk.traced(w, "progress")[-1] == "0.0000  normal")
    target.stop(later)
    check_list(w, ("", [], ""), "all gone")


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
    check_list(w, ("", [], "No free serial port: see the console"), "no free port")
    line = next((x for x in gtk.console(w).splitlines() if x.startswith(f"Port {t.link} ")), "")
    check(all(x in line for x in ("not listed: no permission", "group dialout", "log out and in",
                                  '"sudo usermod -aG dialout nobody"')), f"console: {line!r}")


def fake_system(root):
    # Serial devices under root, each a link to a pseudo-terminal of its own: two adapters of
    # one model that differ only by serial number and a third, a port on the board, and a
    # device that is no serial port.
    usb = root / "sys/devices/pci0000:00/0000:00:14.0/usb1"
    ports = {f"ttyUSB{n}": (usb / f"1-{n + 1}/1-{n + 1}:1.0", "vekserial") for n in range(3)}
    ports["ttyS4"] = (root / "sys/devices/platform/serial8250", "serial8250")
    (root / "dev/serial/by-id").mkdir(parents=True)
    (root / "dev/ttyS5").symlink_to("/dev/null")
    for name, (device, driver) in ports.items():
        device.mkdir(parents=True)
        (device / "driver").symlink_to(root / "sys/bus/drivers" / driver)
        (root / "sys/class/tty" / name).mkdir(parents=True)
        (root / "sys/class/tty" / name / "device").symlink_to(device)
        (root / "dev" / name).symlink_to(os.ttyname(os.openpty()[1]))  # open until the end
    for n, serial in enumerate(("VK0001A7", "VK0001B2", "VK0001C9")):
        for name, value in (("idVendor", "f055"), ("idProduct", "7e51"), ("serial", serial),
                            ("manufacturer", "Vekmont"), ("product", "USB Serial Cable")):
            (usb / f"1-{n + 1}" / name).write_text(value + "\n")
        by_id = f"usb-Vekmont_USB_Serial_Cable_{serial}-if00-port0"
        (root / "dev/serial/by-id" / by_id).symlink_to(f"../../ttyUSB{n}")


def case_devices(s):
    # The machine's own serial devices, from a fake system: the open list tells the two
    # adapters of one model apart by serial number and names the board port's driver; a
    # device that is no serial port and a port another program holds are left out, and the
    # console says why at start-up and at each probe.
    root = s.folder / "system"
    fake_system(root)
    # Another program holds the third adapter: this one, its descriptor open until the end.
    fcntl.flock(os.open(root / "dev/ttyUSB2", os.O_RDONLY | os.O_NOCTTY), fcntl.LOCK_EX)
    s.env.update(VEK_PORTS_FOLDER_ONLY="0", VEK_SYSTEM_ROOT=str(root))
    w = gtk.start(s, arg.tool)
    gtk.open_list(w)
    rows = dict(r.split("\t", 1) for r in wait_for("the open list's rows", lambda: len(
        set(gtk.traced(w, "row"))) >= 3 and gtk.traced(w, "row")))
    # The open list is a window of its own: the screen, its black edges cut away.
    x11.screenshot(s.env, s.folder / "gtk-open-list.png", "root", "-trim", "+repage")
    gtk.close_list(w)
    usb = ("Vekmont USB Serial Cable (f055:7e51), serial {0} | by-id "
           "usb-Vekmont_USB_Serial_Cable_{0}-if00-port0")
    check(rows == {f"{root}/dev/ttyS4": "driver serial8250", f"{root}/dev/ttyUSB0":
                   usb.format("VK0001A7"), f"{root}/dev/ttyUSB1": usb.format("VK0001B2")},
          f"rows: {rows}")
    me = f"{run.read_text('/proc/self/comm').strip()} (pid {os.getpid()})"
    for name, why in (("ttyS5", "not a serial port: the driver refuses the terminal settings"),
                      ("ttyUSB2", f"held by {me}")):
        line = f"Port {root}/dev/{name} not listed: {why}"
        check(gtk.console(w).splitlines().count(line) == 2, f"not said twice: {line!r}")


def main():
    name, opts = sys.argv[1], dict(zip(sys.argv[2::2], sys.argv[3::2]))
    arg.tool, arg.sim, arg.image = opts["--tool"], opts["--sim"], Path(opts["--image"]).read_bytes()
    out = Path(opts["--out"]).resolve()
    out.mkdir(parents=True, exist_ok=True)
    # Two test runs of one build tree at once must not clear each other's folder.
    lock = open(out / f"{name}.lock", "w")
    fcntl.flock(lock, fcntl.LOCK_EX)
    return run.run_case(gtk.session(out / name), name, globals()["case_" + name], gtk.report)


if __name__ == "__main__":
    run.help_if_asked(__file__)
    sys.exit(main())

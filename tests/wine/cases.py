#!/usr/bin/env python3
# The Windows programs under Wine and Xvfb, each test in a prefix of its own whose only COM
# ports are those it maps to its simulated targets. Run with PYTHONPATH=tests.
#   cases.py boot DIR                     boots a prefix at DIR, the template the tests copy
#   cases.py run PROGRAM.exe [ARGS...]    runs a program in a prefix without ports, its exit
#                                         code passed on: the cross build's emulator
#   cases.py serial SIM TEST.exe [ARGS]   the serial tests against targets on COM7 and COM8
#   cases.py ports TEST.exe [ARGS]        the port list's tests, with COM ports named by Wine
#   cases.py CASE VEK-UPDATE.exe READSTATUS.exe SIM IMAGE OUT
# A CASE (full, failed, close) drives vek-update.exe as an operator would, or (commands) runs
# it from the command line; its console, its targets' logs and its screenshots stay in
# OUT/CASE.
#
# Wine does not refuse a second exclusive open of a COM port (share mode 0 is not enforced for
# devices), so exclusive access is tested against the Linux build only.
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from types import SimpleNamespace

from harness import cli, facts, run, target, wine, x11
from harness.run import RUN_WAIT, WAIT, check, read_text, spawn, wait_for

COM = r"\\.\com"
ICON = facts.ROOT / "resources/icon/vek.ico"
DPI = ["PerMonitorV2", "true"]  # the manifest's dpiAwareness and dpiAware


def sim(s, simulator, name, *options):
    return target.start(s, simulator, name, "--pace", *options, link=s.folder / f"{name}.pty")


def tool(s, a, **ports):
    wine.prefix(s, {name: t.link for name, t in ports.items()})
    return wine.start(s, a.exe, a.readstatus)


def check_target(a, w, t):
    # Stops t: it heard every request the tool logged as sent, as sent, in order (an output
    # purge after a write drops some unheard), no two closer than the period but right after
    # a resend, and holds the image. Its summary.
    counts = target.stop(t)
    heard, said = [f.size for f in target.frames(t)], wine.sent(read_text(w.console))
    check(said == heard, f"{len(said)} requests sent, {len(heard)} heard")
    crowded = target.crowded(t, facts.PERIOD_MS)
    check(not crowded, f"requests closer than {facts.PERIOD_MS} ms: {crowded}")
    check(target.memory(t) == a.image, "the target's memory differs from the image")
    return counts


def full(s, a):
    # A run to the end on a line that echoes, as the adapter of a 2-wire line hands back what
    # the tool sends, with a split, a lost, a corrupted and a noisy reply early enough for an
    # image of two blocks. The target is on COM2, listed after COM10 and COM11 as the list
    # sorts text. Ports 1 to 998 are probed: COM998 is listed, COM999 is not. An idle target
    # is on all but COM2.
    t = sim(s, a.sim, "target", "--echo", "--split", "1", "--drop", "2", "--corrupt", "3",
            "--noise", "4")
    idle = sim(s, a.sim, "idle")
    w = tool(s, a, COM2=t, **{f"COM{n}": idle for n in (10, 11, 998, 999)})
    names = [f"{COM}{n}" for n in (10, 11, 2, 998)]
    check(wine.ports(w) == (names[0], names), f"the list reads {wine.ports(w)}")
    wine.choose_port(w, names[2])
    wine.press_program(w)
    wine.wait_status(w, "Programming Completed", RUN_WAIT)
    x11.screenshot(s.env, s.folder / "completed.png")
    c = check_target(a, w, t)
    check((c["split"], c["dropped"], c["corrupted"], c["noise"], c["echoes"]) ==
          (1, 1, 1, 1, c["frames"]), f"faults not injected as asked: {c}")
    # The console log outlives the console: in the user's local application data, its date
    # line first, then every line of the run (standard error's too).
    log, console = cli.log_lines(wine.local_data(s)), read_text(w.console).splitlines()
    check(log[0].startswith("== vek-update ") and [x for x in log if x in console] == console,
          f"the log: {log[:2]} ... {log[-2:]}, the console: {console[-2:]}")


def failed(s, a):
    # A wrong range CRC ends the run FAILED, and Program starts a new one. Program pressed for
    # COM300 meanwhile, whose target has gone, brings up the fatal box: no step runs while it
    # is up, and its button ends the tool. Above 256, Wine would not try /dev/ttyS299.
    t, gone = sim(s, a.sim, "target", "--wrong-crc", "1"), sim(s, a.sim, "gone")
    w = tool(s, a, COM3=t, COM300=gone)
    target.stop(gone)
    wine.press_program(w)
    wine.wait_status(w, "FAILED", RUN_WAIT)
    wine.press_program(w)
    wait_for("a third block", lambda: read_text(w.console).count("image offset 0x400\n") == 2)
    wine.choose_port(w, f"{COM}300")
    wine.press_program(w)
    box = "\n".join(wait_for("the message box", lambda: wine.ask(w, "box")))
    x11.screenshot(s.env, s.folder / "fatal-box.png")
    check("Unable to open serial port. In use already, or not present" in box, f"the box: {box}")
    time.sleep(2.5)  # a step would log a resend within about a second
    last = read_text(w.console).splitlines()[-1]
    check(last == rf" . Opening serial port {COM}300 at 115200 baud", f"a step ran: {last}")
    wine.click(w, "box")
    wine.wait_exit(w, 1)
    check_target(a, w, t)


def bitmap(ico, size):
    # The ARGB of each pixel, row by row from the top, of the 32-bit bitmap of size in an .ico:
    # after its BITMAPINFOHEADER, rows from the bottom.
    for i in range(struct.unpack_from("<3H", ico)[2]):
        width, *_, offset = struct.unpack_from("<4B2H2I", ico, 6 + 16 * i)
        if width == size:
            pixels = struct.unpack_from(f"<{size * size}I", ico, offset + 40)
            return [p for y in reversed(range(size)) for p in pixels[y * size:(y + 1) * size]]
    return None


def close(s, a):
    # No port at all: Program starts nothing and the tool goes on until closed. Its manifest
    # took effect: Wine 8.0 makes every process per-monitor DPI aware whatever it asks, so what
    # the loader read from the manifest counts too; the current controls came from the
    # side-by-side folder. The window manager got the icon's own bitmaps.
    w = tool(s, a)
    check(wine.ports(w) == ("", []), f"the list reads {wine.ports(w)}")
    dpi, controls = wine.ask(w, "dpi"), "".join(wine.ask(w, "controls") or [])
    check(dpi == ["per-monitor", *DPI], f"DPI awareness: {dpi}")
    check(re.search(r"\\winsxs\\[^\\]*common-controls[^\\]*_6\.0\.", controls, re.I),
          f"common controls: {controls}")
    shown = x11.icons(s.env, x11.find_window(s.env, facts.TITLE))
    check(shown and all(bitmap(ICON.read_bytes(), size) == argb for size, argb in shown.items()),
          f"the window's icons of {sorted(shown)} pixels are not the program's")
    wine.press_program(w)
    wine.wait_status(w, "No port selected")
    wine.close_box(w)
    wine.wait_exit(w, 0)


def command(s, a, *argv):
    # The program run from cmd, as a script there runs it: its output, and its exit code as
    # cmd hands it on.
    done = wine.wine(s.env, "cmd", "/c", a.exe, *argv, timeout=RUN_WAIT)
    (s.folder / "output.txt").open("a").write(f"$ {argv}\n{done.stdout}")
    return done


def commands(s, a):
    # From the command line: one port programmed under its unit, its console the window's, the
    # exit code reaches the caller, and its report line holds the unit and what Wine tells of
    # the port; a wrong CRC gives its own; the list names COM998 and not COM999, each with what
    # Wine tells of it; a log folder that cannot be written changes nothing but one line, in a
    # run with --fast through a USB adapter's 16 ms holes, behind an echo among stray bytes.
    # Then, nine ports at once at the window's pace, devices and lines as they come: late (3 s,
    # 8 s) on lines that echo, and without echo; answering a block with its copy, behind an
    # echo and without; a stray 0x00 around every reply, and a stray 0xFF around every echo and
    # reply: no resend; a USB adapter's 16 ms holes in the copies of a device that answers with
    # them, without echo, and behind an echo among stray bytes with a lost reply: one resend.
    # All complete, every block written once the device answers. Last, two ports whose programs
    # the command's Ctrl-C does not reach (Wine hands a signal to one process only), the
    # devices silent: a second Ctrl-C ends them.
    plain, wrong = sim(s, a.sim, "plain"), sim(s, a.sim, "wrong", "--wrong-crc", "1")
    usb = ["--usb", "16", "--full-ack"]
    lines = {"late3": ["--echo", "--late", "3"], "late8": ["--echo", "--late", "8"],
             "quiet": ["--late", "3"], "copies": ["--echo", "--full-ack"], "acks": ["--full-ack"],
             "zero": ["--stray", "0"], "ff": ["--echo", "--stray", "0xFF"], "usb": usb,
             "usbecho": [*usb, "--echo", "--stray", "0", "--drop", "3"]}
    most = {"zero": 0, "ff": 0}  # resends beyond the requests a late device slept through
    devices = {name: sim(s, a.sim, name, *options) for name, options in lines.items()}
    fast = sim(s, a.sim, "usbfast", *usb, "--echo", "--stray", "0xFF")
    silent = {f"COM{n}": sim(s, a.sim, f"silent{n}", "--drop", "1-100000") for n in (20, 21)}
    ports = dict(COM3=plain, COM4=wrong, COM5=fast, COM998=plain, COM999=plain, **silent,
                 **{f"COM{10 + i}": t for i, t in enumerate(devices.values())})
    wine.prefix(s, {name: t.link for name, t in ports.items()})
    report = s.folder / "units.jsonl"
    done = command(s, a, "--port", "COM3", "--unit", "SN-W1", "--report",
                   "Z:" + str(report).replace("/", "\\"))
    check(done.returncode == 0, f"exit code {done.returncode}")
    # What the link says of the settings a pseudo-terminal under Wine did not take aside.
    out = [x for x in done.stdout.replace("\r", "").splitlines() if not x.startswith("Port ")]
    check(out[:-1] == cli.console(rf"{COM[:4]}COM3", a.image, parity_line=False) and
          cli.summary("\n".join(out), "COM3", "SN-W1")["outcome"] == "programmed",
          f"the console: {out}")
    [record] = cli.records(report)
    check(record["unit"] == "SN-W1" and record["outcome"] == "programmed" and
          record["adapter"] == {"device": r"\Device\Serial2"}, f"the record: {record}")
    check(command(s, a, "--port", "com4").returncode == cli.CODES["VERIFY_FAILED"], "wrong CRC")
    listed = dict(x.split("\t", 1) for x in command(s, a, "--list").stdout.splitlines() if "\t" in x)
    check(listed.get(f"{COM}998") == r"\Device\Serial997" and f"{COM}999" not in listed,
          f"--list: {listed}")
    folder = wine.local_data(s) / "vek-update"
    shutil.rmtree(folder)
    folder.write_text("a file where the log's folder should be")
    done = command(s, a, "--port", "COM5", "--fast")
    check(done.returncode == 0 and done.stdout.count("no console log") == 1,
          f"no log folder: exit code {done.returncode}, {done.stdout[:300]}")
    check(target.stop(plain)["reset-acks"] == 1 and target.memory(plain) == a.image,
          "the target did not get the image")

    done = command(s, a, *[x for n in range(10, 10 + len(devices)) for x in ("--port", f"COM{n}")])
    check(done.returncode == 0, f"{len(devices)} at once: exit code {done.returncode}")
    for name, t in {**devices, "usbfast": fast}.items():
        counts, heard = target.stop(t), target.requests(t)
        writes = [f for f in heard if f.kind == "write" and f.action != "asleep"]
        check(target.memory(t) == a.image and len({f.address for f in writes}) ==
              len(facts.blocks(len(a.image))), f"{name}: not every block written")
        check(target.resends(t) <= counts["asleep"] + most.get(name, 1),
              f"{name}: {target.resends(t)} resends")

    out = s.folder / "interrupted.txt"
    proc = spawn(s, [wine.WINE64, a.exe, "--give-up", "0", *[x for n in silent for x in ("--port", n)]],
                 out=out)
    wait_for("both ports' requests", lambda: all(len(target.requests(t)) > 1 for t in silent.values()))
    proc.send_signal(signal.SIGINT)
    time.sleep(0.5)
    proc.send_signal(signal.SIGINT)
    check(proc.wait(WAIT) == cli.CODES["INTERRUPTED"], f"interrupted twice: {proc.returncode}")
    check(read_text(out).count("ended without a summary (killed)") == 2, "the stuck ports went on")


def serial_ports(s, simulator):
    # A paced target that answers at once, and a line that echoes, the reply 200 ms behind the
    # echo, as the COM ports the serial tests find in their environment.
    plain = sim(s, simulator, "plain")
    echo = sim(s, simulator, "echo", "--echo", "--echo-gap", "200")
    s.env.update(VEK_TEST_PORT_PLAIN=r"\\.\COM7", VEK_TEST_PORT_ECHO=r"\\.\COM8")
    return {"COM7": plain.link, "COM8": echo.link}


def listed_ports(s):
    # The ports test_ports_win32 expects. Its own open of a port decides what opens, so nothing
    # needs to be behind them; a folder, which does not open as a port, is.
    return {f"COM{n}": s.folder for n in (3, 7, 10, 12, 998, 999)}


CASES = {"full": full, "failed": failed, "close": close, "commands": commands}


def main(command, *args):
    if command == "boot":
        return wine.boot(args[0])
    if command in ("run", "serial", "ports"):
        s = run.scratch(tempfile.mkdtemp(prefix="vek-wine."))
        try:
            if command == "serial":
                ports, args = serial_ports(s, args[0]), args[1:]
            else:
                ports = listed_ports(s) if command == "ports" else ()
            wine.prefix(s, ports)
            # Now and then Wine does not start a program in a new prefix at all; the program
            # then says nothing, and gets one more start.
            for attempt in (1, 2):
                done = subprocess.run([wine.WINE64, *args], env=s.env, capture_output=True,
                                      text=True, errors="replace")
                print(done.stdout, end="")
                print(done.stderr, end="", file=sys.stderr)
                if done.returncode == 0 or done.stdout.strip() or attempt == 2:
                    return done.returncode
                print("(the program did not start; once more)")
        finally:
            run.finish(s)
            shutil.rmtree(s.folder, ignore_errors=True)
    exe, readstatus, simulator, image, out = args
    s = run.scratch(Path(out) / command)
    a = SimpleNamespace(exe=exe, readstatus=readstatus, sim=simulator,
                        image=Path(image).read_bytes())
    x11.xvfb(s)
    try:
        CASES[command](s, a)
    except run.Failed:
        print(read_text(s.folder / "console.txt")[-3000:])
        raise
    finally:
        run.finish(s)


if __name__ == "__main__":
    run.help_if_asked(__file__)
    try:
        sys.exit(main(*sys.argv[1:]))
    except run.Failed as e:
        sys.exit(f"FAIL: {e}")

#!/usr/bin/env python3
# The Windows programs under Wine and Xvfb, each test in a prefix of its own whose only COM
# ports are those it maps to its simulated targets. Run with PYTHONPATH=tests.
#   cases.py boot DIR                     boots a prefix at DIR, the template the tests copy
#   cases.py run PROGRAM.exe [ARGS...]    runs a program in a prefix without ports, its exit
#                                         code passed on: the cross build's emulator
#   cases.py serial TEST.exe SIM [ARGS]   the serial tests against targets on COM7 to COM10
#   cases.py CASE VEK-UPDATE.exe READSTATUS.exe SIM IMAGE OUT
# A CASE (full, faults, failed, close) drives vek-update.exe as an operator would; its console,
# its targets' logs and its screenshots stay in OUT/CASE.
#
# Wine does not refuse a second exclusive open of a COM port (share mode 0 is not enforced for
# devices), so exclusive access is tested against the Linux build only.
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from types import SimpleNamespace

from harness import facts, run, target, wine, x11
from harness.run import RUN_WAIT, check, read_text, wait_for

COM = r"\\.\com"


def sim(s, a, name, *options):
    return target.start(s, a.sim, name, "--pace", *options, link=s.folder / f"{name}.pty")


def tool(s, a, **ports):
    wine.prefix(s, {name: t.link for name, t in ports.items()})
    return wine.start(s, a.exe, a.readstatus)


def ended(s, w, status):
    wine.wait_status(w, status, RUN_WAIT)
    x11.screenshot(s.env, s.folder / f"{status.split()[-1].lower()}.png")


def check_target(a, w, t):
    # t heard every request the tool logged as sent, no two closer than the period, and
    # holds the image. Its summary.
    counts = wine.check_heard(w.console, t)
    crowded = target.crowded(t, facts.PERIOD_MS)
    check(not crowded, f"requests closer than {facts.PERIOD_MS} ms: {crowded}")
    check(target.memory(t) == a.image, "the target's memory differs from the image")
    return counts


def full(s, a):
    # The target on COM2, listed after COM10 and COM11 as the list sorts text. Ports 1 to 998
    # are probed: COM998 is listed, COM999 is not. An idle target is on all but COM2.
    t, idle = sim(s, a, "target"), sim(s, a, "idle")
    w = tool(s, a, COM2=t, **{f"COM{n}": idle for n in (10, 11, 998, 999)})
    names = [f"{COM}{n}" for n in (10, 11, 2, 998)]
    check(wine.ports(w) == (names[0], names), f"the list reads {wine.ports(w)}")
    wine.choose_port(w, names[2])
    wine.press_program(w)
    ended(s, w, "Programming Completed")
    # All the console is there while the program runs: the check counts every sent line.
    counts = check_target(a, w, t)
    check(min(counts["range-crcs"], counts["resets"], counts["reset-acks"]) > 0,
          f"the target saw {counts}")
    check(f"Flash Image Size {len(a.image)} bytes" in read_text(w.console).splitlines(),
          "no image size line")


def faults(s, a):
    # Lost, corrupted, split and noisy replies, each after an echo of its request, as the
    # adapter of a 2-wire line hands back what the tool sends.
    t = sim(s, a, "target", "--echo", "--drop", "3,30", "--corrupt", "7,45", "--split", "12",
            "--noise", "20,50")
    w = tool(s, a, COM3=t)
    wine.press_program(w)
    ended(s, w, "Programming Completed")
    c = check_target(a, w, t)
    check((c["dropped"], c["corrupted"], c["split"], c["noise"], c["echoes"]) ==
          (2, 2, 1, 2, c["frames"]), f"faults not injected as asked: {c}")


def failed(s, a):
    # A wrong range CRC ends the run FAILED, and Program starts a new one. Program pressed for
    # COM300 meanwhile, whose target has gone, brings up the fatal box: no step runs while it
    # is up, and its button ends the tool. Above 256, Wine would not try /dev/ttyS299.
    t, gone = sim(s, a, "target", "--wrong-crc", "1"), sim(s, a, "gone")
    w = tool(s, a, COM3=t, COM300=gone)
    target.stop(gone)
    wine.press_program(w)
    ended(s, w, "FAILED")
    check("CRC FAIL" in read_text(w.console).splitlines(), "no CRC FAIL line")
    kinds = [f.kind for f in target.requests(t)]
    check((kinds.count("range-crc"), kinds.count("reset")) == (1, 0), f"the target saw {kinds}")
    wine.press_program(w)
    wait_for("a third block", lambda: read_text(w.console).count("image offset 0x400\n") == 2)
    wine.choose_port(w, f"{COM}300")
    wine.press_program(w)
    box = "\n".join(wine.fatal_box(w))
    x11.screenshot(s.env, s.folder / "fatal-box.png")
    for text in ("Terminate Program", "An Error has occurred as follows:", "Error number ",
                 "Unable to open serial port. In use already, or not present",
                 "The program will now abort"):
        check(text in box, f'the box lacks "{text}": {box}')
    time.sleep(2.5)  # a step would log a resend within about a second
    last = read_text(w.console).splitlines()[-1]
    check(last == rf" . Opening serial port {COM}300 at 115200 baud", f"a step ran: {last}")
    check(w.proc.poll() is None, "the tool ended before the box was dismissed")
    wine.dismiss_box(w)
    wine.wait_exit(w, 1)
    check_target(a, w, t)


def close(s, a):
    # No port at all: Program starts nothing and the tool goes on until closed.
    w = tool(s, a)
    check(wine.ports(w) == ("", []), f"the list reads {wine.ports(w)}")
    wine.press_program(w)
    wine.wait_status(w, "No port selected")
    wine.close_box(w)
    wine.wait_exit(w, 0)


def serial(s, exe, simulator, *args):
    # Paced targets: one that answers at once, one that sends each reply in two pieces 200 ms
    # apart, and a line that echoes, the reply 200 ms behind the echo.
    options = {"PLAIN": [], "SPLIT": ["--split-rate", "1", "--split-gap", "200"],
               "ECHO": ["--echo", "--echo-gap", "200"]}
    ports = {}
    for n, (name, more) in enumerate(options.items(), 7):
        ports[f"COM{n}"] = target.start(s, simulator, name.lower(), "--pace", *more,
                                        link=s.folder / f"{name}.pty").link
        s.env[f"VEK_TEST_PORT_{name}"] = rf"\\.\COM{n}"
    wine.prefix(s, ports)
    out = s.folder / "console.txt"
    code = run.spawn(s, [wine.WINE64, exe, *args], out=out).wait()
    print(read_text(out))
    check(code == 0, f"exit code {code}")


CASES = {"full": full, "faults": faults, "failed": failed, "close": close}


def main(command, *args):
    if command == "boot":
        return wine.boot(args[0])
    if command in ("run", "serial"):
        s = run.scratch(tempfile.mkdtemp(prefix="vek-wine."))
        try:
            if command == "serial":
                return serial(s, *args)
            wine.prefix(s)
            return subprocess.run([wine.WINE64, *args], env=s.env).returncode
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
    print(f"{command}: passed")


if __name__ == "__main__":
    try:
        sys.exit(main(*sys.argv[1:]))
    except run.Failed as e:
        sys.exit(f"FAIL: {e}")

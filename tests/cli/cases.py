#!/usr/bin/env python3
# The Linux program run from the command line as production scripts run it, against simulated
# targets on pseudo-terminals (tests/harness). One CTest test per case:
#
#   PYTHONPATH=tests cases.py CASE --tool vek-update --sim vek-target-sim --image IMAGE --out DIR
#
# Each case keeps its output, reports, logs and the targets' logs in DIR/CASE.
import fcntl
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from datetime import datetime
from pathlib import Path
from types import SimpleNamespace

from harness import cli, facts, run, target
from harness.run import RUN_WAIT, WAIT, check, read_text, spawn, wait_for

arg = SimpleNamespace()


def sim(s, name, *options):
    return target.start(s, arg.sim, name, *target.PACE, *options)


def command(s, *options, timeout=RUN_WAIT, under=()):
    # The tool with options (under a program such as strace), its output through a pipe, as a
    # script runs it; its log in the case's state folder.
    done = subprocess.run([*map(str, under), arg.tool, *map(str, options)], env=s.env,
                          capture_output=True, text=True, errors="replace", timeout=timeout)
    (s.folder / "output.txt").open("a").write(f"$ {options}\n{done.stdout}{done.stderr}")
    return done


def matches(record, t, outcome, code):
    # A report line against what its target heard: the requests and the resends it counted.
    heard = target.requests(t)
    check(record["outcome"] == outcome and record["exit_code"] == code, f"record {record}")
    check(record["requests"] == len(heard) and record["resends"] == target.resends(t),
          f"record {record['requests']} requests, {record['resends']} resends; the target heard "
          f"{len(heard)}, {target.resends(t)} again")
    start, end = (datetime.fromisoformat(record[k].replace("Z", "+00:00")) for k in ("start", "end"))
    # The times are the wall clock's, the seconds the tick's: alike to a few milliseconds.
    check(abs((end - start).total_seconds() - record["seconds"]) < 0.5, f"times {record}")
    check(record["image"] == {"name": arg.image_path.name, "size": len(arg.image),
                              "crc16": f"0x{cli.crc16(arg.image):04x}"}, f"image {record}")


def case_one(s):
    # One port at the window's pace: the console log byte for byte the window's, then one
    # summary line; plain lines in a pipe; what the link says of the line's settings on
    # standard error, and in the log in its place; the report line; the console log in the state
    # folder, a log past its limit kept once as console.log.1.
    t = sim(s, "target")
    pty = os.path.realpath(t.link)
    old = s.folder / "state/vek-update/console.log"
    old.parent.mkdir(parents=True)
    old.write_text("an earlier day\n" * 80000)
    done = command(s, "--port", t.link, "--report", s.folder / "report.jsonl")
    check(done.returncode == 0, f"exit code {done.returncode}: {done.stderr}")
    cli.plain(done.stdout)
    lines = done.stdout.splitlines()
    window = cli.console(t.link, arg.image)
    settings = f"Port {t.link}: even parity not set, the line runs 8N1"
    check(lines[:-1] == [x for x in window if x != settings] and
          done.stderr.splitlines() == [settings], "the console differs from the window's")
    got = cli.summary(done.stdout, str(t.link))
    crc = f"0x{cli.crc16(arg.image):04x}"
    check(got["outcome"] == "programmed" and got["bytes"] == len(arg.image) and
          got["resends"] == 0 and got["crc"] == crc, f"summary {got}")
    target.stop(t)
    check(target.memory(t) == arg.image, "the target's memory differs from the image")
    [record] = cli.records(s.folder / "report.jsonl")
    matches(record, t, "programmed", 0)
    check(record["port"] == str(t.link) and record["device_crc16"] == crc and
          record["adapter"] == {"pseudo_terminal": pty} and record["schema"] == 1 and
          record["unit"] is None and record["cause"] is None, f"record {record}")
    log = cli.log_lines(s.folder / "state")
    check(log[0].startswith("== vek-update ") and log[0].endswith(f"image CRC-16 {crc}") and
          log[1:] == window + lines[-1:], f"the log: {log[:3]} ... {log[-2:]}")
    check(read_text(str(old) + ".1") == "an earlier day\n" * 80000, "the older log was not kept")


def case_codes(s):
    # Each exit code from its real cause, each run's report line saying the same, and why: a
    # usage error (a unit id with a control character or too long among them); no such port,
    # its fatal report on standard error; a port another program holds, who holds it in the
    # record; --verify-only against a device that does not hold the image; a wrong CRC; a
    # silent device given up; Ctrl-C mid-run, after which the port is free. A report that cannot
    # be written (no such folder, a full file system) is exit code 6 and a line naming the
    # system's cause; a report line is on the disk before its summary.
    report = s.folder / "report.jsonl"
    for options in (["--bogus"], ["--port"], ["--port", "a", "--port", "a"], ["--give-up", "x"],
                    ["--port", "a", "--unit", "SN\x1b[2J"], ["--unit", "SN-1", "--port", "a"],
                    ["--port", "a", "--unit", "S" * 65], ["--port", "a", "--unit", ""]):
        done = command(s, *options)
        check(done.returncode == cli.CODES["USAGE"] and "(see --help)" in done.stderr,
              f"usage: {options}")
        cli.plain(done.stderr)
    done = command(s, "--help")
    check(done.returncode == 0 and done.stdout in read_text(facts.ROOT / "README.md"),
          "README.md does not hold --help as the program prints it")
    # Every program and script of the tree answers --help with its usage (which names it),
    # doing nothing else.
    tools = Path(arg.sim).parent
    drivers = [p for p in (facts.ROOT / "tests").glob("*/*.py") if p.parent.name != "harness"]
    env = dict(s.env, PYTHONPATH=f"{facts.ROOT / 'tests'}:{facts.ROOT / 'tests/wine'}")
    for program in [tools / "vek-target-sim", tools / "vek-image-crc", facts.ROOT / ".ci/run",
                    *(facts.ROOT / "scripts").iterdir(), *drivers]:
        python = [sys.executable] if program.suffix == ".py" else []
        done = subprocess.run([*python, program, "--help"], env=env, capture_output=True,
                              text=True, timeout=WAIT)
        check(done.returncode == 0 and program.name in done.stdout, f"{program} --help")
    done = command(s, "--port", s.folder / "none", "--report", report)
    check(done.returncode == cli.CODES["PORT"] and "Unable to open serial port" in done.stderr and
          "Unable" not in done.stdout, f"no port: {done.returncode}")
    notes = s.folder / "notes.txt"  # a file named by mistake takes no frames
    notes.write_text("the batch's notes\n")
    check(command(s, "--port", notes).returncode == cli.CODES["PORT"] and
          notes.read_text() == "the batch's notes\n", "a file taken for a port")
    held = sim(s, "held")
    holder = os.open(held.link, os.O_RDWR | os.O_NOCTTY)
    fcntl.flock(holder, fcntl.LOCK_EX)
    done = command(s, "--port", held.link, "--unit", "SN-held", "--report", report)
    check(done.returncode == cli.CODES["PORT"] and
          cli.summary(done.stdout, str(held.link), "SN-held")["cause"] ==
          cli.records(report)[-1]["cause"], "a port another program holds")
    os.close(holder)
    check(fsync_first(s, "--verify-only", "--port", held.link, "--report", report) ==
          cli.CODES["VERIFY_FAILED"], "a device without the image verified")
    unsafe(s, held)

    wrong = sim(s, "wrong", "--wrong-crc", "1")
    done = command(s, "--port", wrong.link, "--fast", "--report", report)
    check(done.returncode == cli.CODES["VERIFY_FAILED"], f"wrong CRC: {done.returncode}")
    check(cli.summary(done.stdout, str(wrong.link))["crc"] != f"0x{cli.crc16(arg.image):04x}",
          "the summary does not give the device's CRC")
    silent = sim(s, "silent", "--drop", "1-100000")
    done = command(s, "--port", silent.link, "--give-up", "2", "--report", report)
    check(done.returncode == cli.CODES["NO_ANSWER"], f"silent device: {done.returncode}")

    t = sim(s, "target")
    proc = spawn(s, [arg.tool, "--port", t.link, "--report", report], out=s.folder / "ctrl-c.txt")
    wait_for("a few blocks", lambda: len(target.requests(t)) > 3)
    proc.send_signal(signal.SIGINT)
    check(proc.wait(WAIT) == cli.CODES["INTERRUPTED"], f"interrupted: {proc.returncode}")
    check(command(s, "--port", t.link, "--fast").returncode == 0, "the port was not free after")

    records = cli.records(report)
    outcomes = [(r["port"], r["outcome"], r["exit_code"]) for r in records]
    check(outcomes == [(str(s.folder / "none"), "port-error", 1), (str(held.link), "port-error", 1),
                       (str(held.link), "differs", 3), (str(wrong.link), "verification-failed", 3),
                       (str(silent.link), "no-answer", 4),
                       (str(t.link), "interrupted", 5)], f"report: {outcomes}")
    mismatch = r"The device's CRC 0x[0-9a-f]{4} differs from the image's " + f"0x{cli.crc16(arg.image):04x}"
    causes = [r"No such file or directory",
              rf"Device or resource busy: held by python3[.\d]* \(pid {os.getpid()}\)",
              mismatch, mismatch, r"No good reply from the device for [2-9]\.\d s \(\d+ requests sent again\)",
              r'Interrupted \(Ctrl-C, SIGTERM or the console closed\) at "programming 0x[0-9a-f]+"']
    for record, cause in zip(records, causes):
        check(re.fullmatch(cause, record["cause"] or ""), f"the cause in {record}")
    check([r["unit"] for r in records] == [None, "SN-held"] + [None] * 4, "units")
    target.stop(wrong)
    matches(records[3], wrong, "verification-failed", 3)


def fsync_first(s, *options):
    # The command under strace: in the port's process the report line is written, then made
    # durable, and only then comes the summary line. Its exit code.
    if not shutil.which("strace"):
        print("SKIP: fsync before the summary: no strace")
        return command(s, *options).returncode
    trace = s.folder / "strace.txt"
    done = command(s, *options, under=["strace", "-f", "-qq", "-e", "trace=write,fsync,close",
                                       "-s", "12", "-o", trace])
    # "PID write(FD, "DATA"..., N) = N", "PID fsync(FD) = 0", strings as C escapes them.
    calls = re.findall(r'^(\d+) +(write|fsync|close)\((\d+)(?:, "((?:[^"\\]|\\.)*)")?',
                       read_text(trace), re.M)
    line = [i for i, (_, call, _, data) in enumerate(calls) if data.startswith('{\\"schema')]
    check(len(line) == 1, f"the record's write: {line} in {trace}")
    pid, _, fd, _ = calls[line[0]]
    after = [(call, f, data) for p, call, f, data in calls[line[0]:] if p == pid]
    closed = after.index(("close", fd, ""))
    summary = next(i for i, (call, _, data) in enumerate(after) if data.startswith("\\36S"))
    check(("fsync", fd, "") in after[:closed] and closed < summary,
          f"no fsync of the report before the summary: {after[:summary + 1]}")
    return done.returncode


def unsafe(s, t):
    # A report in a folder that does not exist, and on a file system that is full: the device
    # verifies, but its record is not safe; exit code 6 and the system's cause.
    places = [s.folder / "missing/units.jsonl"]
    full = s.folder / "full"
    full.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8k", "tmpfs", full],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        print(f"SKIP: a report on a full file system: {mounted.stderr.strip()}")
    else:
        s.cleanups.append(lambda: subprocess.run(["umount", full], check=True))
        try:
            with open(full / "filler", "wb") as filler:
                while True:
                    filler.write(b"\0" * 1024)
                    filler.flush()
        except OSError:
            pass
        places.append(full / "units.jsonl")
    for place, why in zip(places, ["No such file or directory", "No space left on device"]):
        done = command(s, "--verify-only", "--port", t.link, "--report", place)
        check(done.returncode == cli.CODES["REPORT"] and
              f"cannot append to the report {place}: {why}; the record of {t.link} is not safe"
              in done.stderr, f"a report that cannot be written: {done.returncode} {done.stderr}")


def case_fixture(s):
    # Three ports at once, each with its unit, --quiet: the second fails verification and the
    # third's process is killed mid-run. The first completes with the image. Standard output
    # holds only the summaries, the killed port's line and the tally, naming the units; the
    # settings lines are on standard error and the log has every line, each with its port. The
    # report holds one line a unit, the killed port's written by the command with its progress.
    targets = [sim(s, "a"), sim(s, "b", "--wrong-crc", "1"), sim(s, "c")]
    ports, units = [str(t.link) for t in targets], ["SN-0001", "SN-0002", "SN 3/c"]
    report = s.folder / "report.jsonl"
    proc = spawn(s, [arg.tool, "--fast", "--quiet", "--report", report,
                     *[x for port, unit in zip(ports, units) for x in ("--port", port, "--unit", unit)]],
                 out=s.folder / "fixture.out", err=s.folder / "fixture.err")
    wait_for("a few of c's blocks", lambda: len(target.requests(targets[2])) > 3)
    children = [int(pid) for f in Path(f"/proc/{proc.pid}/task").glob("*/children")
                for pid in f.read_text().split()]
    [c] = [pid for pid in children if ports[2] in read_text(f"/proc/{pid}/cmdline").split("\0")]
    os.kill(c, signal.SIGKILL)
    check(proc.wait(RUN_WAIT) == cli.CODES["VERIFY_FAILED"], f"exit code {proc.returncode}")
    out, err = read_text(s.folder / "fixture.out"), read_text(s.folder / "fixture.err")
    cli.plain(out)
    check(cli.summary(out, ports[0], units[0])["outcome"] == "programmed" and
          cli.summary(out, ports[1], units[1])["outcome"] == "verification failed", "summaries")
    lines = out.splitlines()
    check(len(lines) == 4 and f"{ports[2]} [{units[2]}]: ended without a summary (killed by SIGKILL)"
          in lines and lines[-1] == f"Tally: 1 programmed, 2 failed: {ports[1]} [{units[1]}] "
          f"verification failed; {ports[2]} [{units[2]}] ended without a summary", f"output: {lines}")
    check(sorted(err.splitlines()) == [f"{p}: Port {p}: even parity not set, the line runs 8N1"
                                       for p in ports], f"standard error: {err}")
    stray = [x for x in cli.log_lines(s.folder / "state")[1:-1] if x.split(":")[0].split(" [")[0]
             not in ports]
    check(not stray, f"lines without their port: {stray[:3]}")
    records = {r["port"]: r for r in cli.records(report)}
    check(sorted(records) == sorted(ports) and [records[p]["unit"] for p in ports] == units,
          f"report of {sorted(records)}")
    for t, outcome, code in zip(targets, ("programmed", "verification-failed"), (0, 3)):
        matches(records[str(t.link)], t, outcome, code)
    killed = records[ports[2]]
    check(killed["outcome"] == "process-ended" and killed["exit_code"] == 1 and
          killed["requests"] is None and re.fullmatch(
              r"The port's process ended before its run did \(killed by SIGKILL\); its last progress: "
              r'\d+ % acknowledged, 0 resends, status "programming 0x[0-9a-f]+"', killed["cause"]),
          f"the killed port's record: {killed}")
    target.stop(targets[0])
    check(target.memory(targets[0]) == arg.image, "memory differs")


def case_fast(s):
    # --fast on a line that echoes and on a lossy one, at once: both complete with the image.
    # Then the README's scan loop, as written but for its port, a scanner's lines piped in: the
    # unit scanned is programmed on the echoing line and recorded under its id; an empty scan
    # fails as a usage error. Last, --verify-only finds the image on both lines without writing.
    echo = sim(s, "echo", "--echo")
    lossy = sim(s, "lossy", "--drop", "3,20", "--corrupt", "10", "--split", "15", "--noise", "25")
    done = command(s, "--fast", "--port", echo.link, "--port", lossy.link)
    check(done.returncode == 0, f"exit code {done.returncode}")

    readme = read_text(facts.ROOT / "README.md")
    loop = re.search(r"```sh\n(while read -r -p .*?\ndone\n)```", readme, re.S).group(1)
    check("/dev/ttyUSB0" in loop, f"the scan loop names no port to replace: {loop}")
    tools = s.folder / "bin"
    tools.mkdir()
    (tools / "vek-update").symlink_to(Path(arg.tool).resolve())
    done = subprocess.run(["bash", "-c", loop.replace("/dev/ttyUSB0", str(echo.link))],
                          input="SN-0001\n\n", cwd=s.folder, capture_output=True, text=True,
                          env=dict(s.env, PATH=f"{tools}:{s.env['PATH']}"), timeout=RUN_WAIT)
    (s.folder / "scan.txt").write_text(done.stdout + done.stderr)
    check(done.stdout.splitlines() == ["PASS SN-0001", "FAIL  (exit code 2): set it aside"],
          f"the scan loop: {done.stdout} {done.stderr}")
    [record] = cli.records(s.folder / "units.jsonl")
    check(record["unit"] == "SN-0001" and record["outcome"] == "programmed" and
          cli.summary(read_text(s.folder / "units.log"), str(echo.link), "SN-0001")["outcome"] ==
          "programmed", f"the scanned unit's record: {record}")

    heard = {t.name: len(target.requests(t)) for t in (echo, lossy)}
    done = command(s, "--verify-only", "--port", echo.link, "--port", lossy.link)
    check(done.returncode == 0 and done.stdout.splitlines()[-1] == "Tally: 2 verified, 0 failed",
          f"--verify-only: exit code {done.returncode}, {done.stdout[-200:]}")
    for t in (echo, lossy):
        kinds = {f.kind for f in target.requests(t)[heard[t.name]:]}
        check(kinds == {"range-crc"}, f"{t.name}: --verify-only sent {kinds}")
        target.stop(t)
        check(target.memory(t) == arg.image, f"{t.name}: the memory differs from the image")


def main():
    name, opts = sys.argv[1], dict(zip(sys.argv[2::2], sys.argv[3::2]))
    arg.tool, arg.sim = opts["--tool"], opts["--sim"]
    arg.image_path = Path(opts["--image"])
    arg.image = arg.image_path.read_bytes()
    s = run.scratch(Path(opts["--out"]) / name)
    (s.folder / "run").mkdir(mode=0o700)
    s.env.update(XDG_RUNTIME_DIR=str(s.folder / "run"), XDG_STATE_HOME=str(s.folder / "state"))
    return run.run_case(s, name, globals()["case_" + name],
                        lambda s, failure: print(f"{failure}\nlogs in {s.folder}"))


if __name__ == "__main__":
    run.help_if_asked(__file__)
    sys.exit(main())

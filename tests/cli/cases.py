#!/usr/bin/env python3
# The Linux program run from the command line as production scripts run it, against simulated
# targets on pseudo-terminals (tests/harness). One CTest test per case:
#
#   PYTHONPATH=tests cases.py CASE --tool vek-update --sim vek-target-sim --image IMAGE --out DIR
#
# Each case keeps its output, reports, logs and the targets' logs in DIR/CASE.
import fcntl
import os
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


def command(s, *options, timeout=RUN_WAIT):
    # The tool with options, its output through a pipe, as a script runs it; its log in the
    # case's state folder.
    done = subprocess.run([arg.tool, *map(str, options)], env=s.env, capture_output=True,
                          text=True, errors="replace", timeout=timeout)
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
    # summary line; plain lines in a pipe; the report line; the console log in the state
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
    check(lines[:-1] == cli.console(t.link, arg.image), "the console differs from the window's")
    got = cli.summary(done.stdout, str(t.link))
    crc = f"0x{cli.crc16(arg.image):04x}"
    check(got["outcome"] == "programmed" and got["bytes"] == len(arg.image) and
          got["resends"] == 0 and got["crc"] == crc, f"summary {got}")
    target.stop(t)
    check(target.memory(t) == arg.image, "the target's memory differs from the image")
    [record] = cli.records(s.folder / "report.jsonl")
    matches(record, t, "programmed", 0)
    check(record["port"] == str(t.link) and record["device_crc16"] == crc and
          record["adapter"] == {"pseudo_terminal": pty}, f"record {record}")
    log = cli.log_lines(s.folder / "state")
    check(log[0].startswith("== vek-update ") and log[0].endswith(f"image CRC-16 {crc}") and
          log[1:] == lines, f"the log: {log[:3]} ... {log[-2:]}")
    check(read_text(str(old) + ".1") == "an earlier day\n" * 80000, "the older log was not kept")


def case_codes(s):
    # Each exit code from its real cause, each run's report line saying the same: a usage
    # error; no such port; a port another program holds; a wrong CRC; a silent device given up;
    # Ctrl-C mid-run, after which the port is free.
    report = s.folder / "report.jsonl"
    for options in (["--bogus"], ["--port"], ["--port", "a", "--port", "a"], ["--give-up", "x"]):
        check(command(s, *options).returncode == cli.CODES["USAGE"], f"usage: {options}")
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
    check(done.returncode == cli.CODES["PORT"] and
          "Unable to open serial port" in done.stdout, f"no port: {done.returncode}")
    notes = s.folder / "notes.txt"  # a file named by mistake takes no frames
    notes.write_text("the batch's notes\n")
    check(command(s, "--port", notes).returncode == cli.CODES["PORT"] and
          notes.read_text() == "the batch's notes\n", "a file taken for a port")
    held = sim(s, "held")
    holder = os.open(held.link, os.O_RDWR | os.O_NOCTTY)
    fcntl.flock(holder, fcntl.LOCK_EX)
    check(command(s, "--port", held.link, "--report", report).returncode == cli.CODES["PORT"],
          "a port another program holds")
    os.close(holder)

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

    outcomes = [(r["port"], r["outcome"], r["exit_code"]) for r in cli.records(report)]
    check(outcomes == [(str(s.folder / "none"), "port-error", 1), (str(held.link), "port-error", 1),
                       (str(wrong.link), "verification-failed", 3),
                       (str(silent.link), "no-answer", 4), (str(t.link), "interrupted", 5)],
          f"report: {outcomes}")
    target.stop(wrong)
    matches(cli.records(report)[2], wrong, "verification-failed", 3)


def case_fixture(s):
    # Three ports at once, the second failing: the others complete with the image, every line
    # carries its port, the exit code is the failing one's, and the report holds one line a port
    # that matches what its target heard.
    targets = [sim(s, "a"), sim(s, "b", "--wrong-crc", "1"), sim(s, "c")]
    report = s.folder / "report.jsonl"
    done = command(s, "--fast", "--report", report, *[x for t in targets for x in ("--port", t.link)])
    check(done.returncode == cli.CODES["VERIFY_FAILED"], f"exit code {done.returncode}")
    cli.plain(done.stdout)
    ports = [str(t.link) for t in targets]
    stray = [line for line in done.stdout.splitlines() if line.split(":")[0] not in ports]
    check(not stray, f"lines without their port: {stray[:3]}")
    for t, outcome in zip(targets, ("programmed", "verification failed", "programmed")):
        check(cli.summary(done.stdout, str(t.link))["outcome"] == outcome, f"{t.name}: not {outcome}")
        target.stop(t)
    check(target.memory(targets[0]) == arg.image == target.memory(targets[2]), "memory differs")
    records = {r["port"]: r for r in cli.records(report)}
    check(sorted(records) == sorted(ports), f"report of {sorted(records)}")
    for t, outcome, code in zip(targets, ("programmed", "verification-failed", "programmed"), (0, 3, 0)):
        matches(records[str(t.link)], t, outcome, code)


def case_fast(s):
    # --fast on a line that echoes and on a lossy one, at once: both complete with the image.
    echo = sim(s, "echo", "--echo")
    lossy = sim(s, "lossy", "--drop", "3,20", "--corrupt", "10", "--split", "15", "--noise", "25")
    done = command(s, "--fast", "--port", echo.link, "--port", lossy.link)
    check(done.returncode == 0, f"exit code {done.returncode}")
    for t in (echo, lossy):
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

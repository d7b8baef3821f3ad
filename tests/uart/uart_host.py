#!/usr/bin/env python3
# The serial backend and the engine on the kernel's 8250 and ftdi_sio drivers, without hardware.
#
#   uart_host.py --guest GUEST --sim SIM --image IMAGE --out DIR
#
# One boot of the emulated machine (tests/harness/guest.py) with GUEST, the static test program
# (guest.cpp), and six ports, each on a simulator of its own: three 16550As (ttyS1-3) and three
# FTDI adapters. On each driver:
#   checks:  the settings and modem lines read back, the exclusive open, the read timing (silence,
#            a reply split by 50 ms, max_len), the purge after a send, serWrite's time, a run;
#   faulted: a run with lost and corrupted replies;
#   echo:    a run on a line that echoes every frame.
# Then each simulator's memory must equal IMAGE and its request log hold the image's write blocks
# in order, the range-CRC request and the reset. Exit 0 when all holds, 1 on any mismatch or error
# (with the guest's console), 77 when this machine cannot run the emulated one.
import argparse
import sys
import traceback
from pathlib import Path
from types import SimpleNamespace

from harness import facts, guest, run, target

Skip, Failed = guest.Skip, run.Failed

# Paced as a 115200-baud line; 20 ms of silence ends a request (a frame from an emulated UART may
# arrive in bursts; 20 ms leaves the exchange far inside the 100 ms tick).
LINE = [*target.PACE, "--gap-ms", "20"]
# The replies to the first three probes of the checks come in two pieces 50 ms apart.
SIM_CHECKS = ["--split", "1-3", "--split-gap", "50"]
PROBES = 6  # range-CRC requests the checks send before their run
# Lost write replies, corrupted ones, the range-CRC reply corrupted and the reset's reply lost
# (request numbers count resends: each fault adds one).
SIM_FAULTED = ["--drop", "4,19,42,65", "--corrupt", "9,30,63"]
DROPPED, CORRUPTED = 4, 3
CHECKS = ["open", "settings", "modem-lines", "second-open", "silence", "split", "max-len",
          "purge-after-send", "write"]
# (name, simulator options, the guest's job): ttySN is a 16550A, any other name an FTDI adapter.
PORTS = [("ttyS1", SIM_CHECKS, "checks"), ("ttyS2", SIM_FAULTED, "faulted"),
         ("ttyS3", ["--echo"], "echo"), ("usb-checks", SIM_CHECKS, "checks"),
         ("usb-faulted", SIM_FAULTED, "faulted"), ("usb-echo", ["--echo"], "echo")]


def prepare(args):
    # What every boot shares; args as the command line's.
    cfg = SimpleNamespace(out=Path(args.out).resolve(), sim=Path(args.sim),
                          image=Path(args.image).read_bytes())
    cfg.machine = guest.machine(cfg.out, Path(args.guest))
    return cfg


def boot(cfg, name, ports, timeout):
    # One boot with ports (name, simulator options, job), its files in OUT/NAME/PORT/.
    try:
        return guest.findings(cfg.out / name, cfg.machine, cfg.sim,
                              [(p, LINE + o, job) for p, o, job in ports], timeout)
    except Exception:
        console(cfg.out / name)
        raise


def judge(result, image):
    # Everything that must hold for one boot: the problems found.
    problems = [] if result["end"] == "0" else [f"the guest's exit code: {result['end']}, not 0"]
    for name, p in result["ports"].items():
        kind, _, count = p["job"].partition(":")
        runs = int(count or 1)
        want = ([("write", *b) for b in facts.blocks(len(image))]
                + [("range-crc", facts.BASE, len(image)), ("reset", 0, 0)]) * runs
        heard = [(f.kind, f.address, f.length) for f in p["requests"]][PROBES * (kind == "checks"):]
        got = [r for i, r in enumerate(heard) if not i or r != heard[i - 1]]  # resends folded in
        p["resends"], p["memory_equal"] = len(heard) - len(got), p["memory"] == image
        at = next((i for i, (g, w) in enumerate(zip(got, want)) if g != w),
                  min(len(got), len(want)))  # the first request that differs
        c = p["counts"]
        driver = "uart:16550A" if name.startswith("ttyS") else "module:ftdi_sio"
        holds = [
            (driver in p["driver"], f"not a {driver} port: {p['driver']!r}"),
            (len(p["runs"]) == runs, f"{len(p['runs'])} runs reported, {runs} expected"),
            (got == want, f"request log: {len(got)} distinct requests, {len(want)} expected; "
             f"from #{at}: {got[at:at + 2]} where {want[at:at + 2]} belong"),
            (p["memory_equal"], f"the target's memory ({len(p['memory'])} bytes) is not the image"),
            (kind != "faulted" or (c["dropped"], c["corrupted"]) == (DROPPED, CORRUPTED),
             f"{c['dropped']} replies dropped and {c['corrupted']} corrupted"),
            (kind != "faulted" or p["resends"] >= DROPPED + CORRUPTED,
             f"{p['resends']} resends for {DROPPED + CORRUPTED} faults"),
            (kind != "echo" or c["echoes"] == c["frames"],
             f"{c['echoes']} of {c['frames']} frames echoed"),
            *((x in [n for n, _, _ in p["checks"]], f"check {x} not reported")
              for x in {"checks": CHECKS, "bench": ["open", "write"]}.get(kind, [])),
            *((good, f"check {x} failed: {detail}") for x, good, detail in p["checks"]),
            *((r["state"] == 6 and r["status"] == "Programming Completed",
               f"run {r['kind']} ended in state {r['state']}: {r['status']!r}") for r in p["runs"])]
        problems += [f"{name}: {text}" for good, text in holds if not good]
    return problems


def report(name, result, problems):
    print(f"== boot {name}: {result['seconds']:.1f} s, {len(result['console'])} console lines")
    for port, p in result["ports"].items():
        print(f"-- {port} ({p['job']}): {p.get('path')} {p['driver']}",
              f"simulator: {p['counts']}",
              f"{len(p['requests'])} requests, {p.get('resends')} resends; the target's memory "
              f"{'equals' if p.get('memory_equal') else 'DIFFERS from'} the image",
              *(f"run {r['kind']}: {r['ms']:.1f} ms, {r['ticks']} ticks, {r['status']!r}"
                for r in p["runs"]),
              *(f"{c} {'ok' if good else 'FAIL'}: {detail}" for c, good, detail in p["checks"]),
              ", ".join(f"{k} {v:g}" for k, v in sorted(p["figures"].items())), sep="\n   ")
    for x in problems:
        print(f"   PROBLEM: {x}")
    if problems:
        console(result["folder"])


def console(folder):
    for line in run.read_text(folder / "console.log").splitlines():
        print("   | " + line)


def main():
    parser = argparse.ArgumentParser(description="The serial backend on a kernel UART in qemu")
    for option in ("--guest", "--sim", "--image", "--out"):
        parser.add_argument(option, required=True)
    parser.add_argument("--timeout", type=int, default=400, help="seconds for the boot")
    args = parser.parse_args()
    try:
        cfg = prepare(args)
        result = boot(cfg, "all", PORTS, args.timeout)
        problems = judge(result, cfg.image)
        report("all", result, problems)
    except Skip as e:
        print(f"SKIP: {e}")
        return guest.SKIP
    except Exception as e:  # noqa: BLE001 (any error fails the test, and says why)
        print(f"FAILED: {e}" if isinstance(e, Failed) else traceback.format_exc() + "FAILED")
        return 1
    print("FAILED" if problems else "passed")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

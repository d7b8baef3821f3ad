#!/usr/bin/env python3
# The serial backend and the engine on the kernel's 8250 and ftdi_sio drivers, without hardware.
#
#   uart_host.py GUEST SIM IMAGE OUT
#
# One boot of the emulated machine (tests/harness/guest.py) with GUEST, the static test program
# (guest.cpp), and six ports, each on a simulator of its own: three 16550As (ttyS1-3) and three
# FTDI adapters. On each driver:
#   checks:    the settings and modem lines read back, the exclusive open, a reply split by 100 ms,
#              the purge after a send, serWrite, a run;
#   faulted:   a run with lost and corrupted replies;
#   late+fast: on a line that echoes every frame, a device silent for its first 3 s: a run as
#              the window makes it; then one as --fast makes it (steps back to back, serFast's
#              reads and low latency), the line judged afresh with the reply right behind the
#              echo, and the driver's flags checked under serFast and after the close.
# The guest judges what it sees and exits with the number of its checks that failed; here each
# simulator's memory must equal IMAGE and its request log hold, for each run, the image's write
# blocks in order, the range-CRC request and the reset, with resends for the faults and none in
# the fast run. Exit 0 when all holds, 1 on any mismatch or error (with the guest's console), 77
# when this machine cannot run the emulated one.
import sys
import traceback
from itertools import groupby
from pathlib import Path

from harness import facts, guest, run, target

# Paced as a 115200-baud line; 20 ms of silence ends a request (a frame from an emulated UART may
# arrive in bursts; 20 ms leaves the exchange far inside the 100 ms tick).
LINE = [*target.PACE, "--gap-ms", "20"]
# The replies to the first three probes of the checks come in two pieces 100 ms apart, longer
# than any USB adapter's hole a read waits over.
CHECKS = [*LINE, "--split", "1-3", "--split-gap", "100"]
PROBES = 5  # range-CRC requests the checks send before their run
# Lost write replies, corrupted ones, the range-CRC reply corrupted and the reset's reply lost
# (request numbers count resends: each fault adds one): 4 lost and 3 corrupted, each resent.
FAULTED = [*LINE, "--drop", "4,19,42,65", "--corrupt", "9,30,63"]
FAULTS = 7
# A device on an echoing line that stays silent, storing nothing, for 3 s after the first
# request: its echo alone comes back until then.
LATE = [*LINE, "--echo", "--late", "3"]
# (name, simulator options, the guest's job: steps joined by "+", each with one run): ttySN is a
# 16550A, any other name an FTDI adapter.
PORTS = [("ttyS1", CHECKS, "checks"), ("ttyS2", FAULTED, "faulted"), ("ttyS3", LATE, "late+fast"),
         ("usb-checks", CHECKS, "checks"), ("usb-faulted", FAULTED, "faulted"),
         ("usb-echo", LATE, "late+fast")]


def problems(result, image):
    found = [] if result["end"] == "0" else [f"the guest's exit code: {result['end']}, not 0"]
    want = ([("write", *b) for b in facts.blocks(len(image))]
            + [("range-crc", facts.BASE, len(image)), ("reset", 0, 0)])
    for name, options, job in PORTS:
        p, runs = result["ports"][name], job.split("+")
        heard = [(f.kind, f.address, f.length) for f in p["requests"]]
        # Each request and the times it was heard in a row: resends folded in.
        got = [(r, len(list(g))) for r, g in groupby(heard[PROBES if runs[0] == "checks" else 0:])]
        distinct, all_runs = [r for r, _ in got], want * len(runs)
        at = next((i for i, (g, w) in enumerate(zip(distinct, all_runs)) if g != w),
                  min(len(distinct), len(all_runs)))  # the first request that differs
        c = p["counts"]
        holds = [
            (distinct == all_runs, f"request log: {len(distinct)} distinct requests, "
             f"{len(all_runs)} expected; from #{at}: {distinct[at:at + 2]} where "
             f"{all_runs[at:at + 2]} belong"),
            (p["memory"] == image, "the target's memory is not the image"),
            ("--echo" not in options or c["echoes"] == c["frames"], f"not every frame echoed: {c}"),
            ("--late" not in options or c["asleep"] > 0, f"the device was never asleep: {c}")]
        for k, kind in enumerate(runs):
            resends = sum(n - 1 for _, n in got[k * len(want):(k + 1) * len(want)])
            holds += [
                (kind != "faulted" or resends >= FAULTS, f"{resends} resends for {FAULTS} faults"),
                (kind != "fast" or resends == 0, f"{resends} resends in the fast run")]
        found += [f"{name}: {text}" for good, text in holds if not good]
    return found


def main(program, sim, image, out):
    out = Path(out).resolve()
    try:
        machine = guest.machine(out, Path(program))
        result = guest.findings(out / "all", machine, Path(sim), PORTS, timeout=400)
        found = problems(result, Path(image).read_bytes())
    except guest.Skip as e:
        print(f"SKIP: {e}")
        return guest.SKIP
    except Exception:  # noqa: BLE001 (any error fails the test, and says why)
        found = [traceback.format_exc()]
    print(run.read_text(out / "all/console.log"))
    for x in found:
        print(f"PROBLEM: {x}")
    print("FAILED" if found else "passed")
    return 1 if found else 0


if __name__ == "__main__":
    run.help_if_asked(__file__)
    sys.exit(main(*sys.argv[1:]))

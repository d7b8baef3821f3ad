#!/usr/bin/env python3
"""The serial backend and the engine on a real kernel UART, with no hardware.

    uart_host.py --guest GUEST --sim SIM --image IMAGE --out DIR

Boots Debian's own kernel in qemu-system-x86_64 with an initramfs put together here (static
busybox and GUEST, the static test program), twice. The guest's /dev/ttyS1 is a 16550A run by
the kernel's 8250 driver; its far end is a pseudo-terminal of vek-target-sim on this host, so
the target sits outside the guest as a device on a cable does. The guest's console goes to
OUT/BOOT/console.log and, through a pipe, to this script, which reads the guest's findings as
they come ("@vek ..." lines, see guest.cpp).

  boot "checks": line settings and modem lines read back from the driver, exclusive open,
                 read timing (silence, a reply split by 50 ms, max_len), the time serWrite
                 takes for a 523-byte frame, then a clean programming run;
  boot "faulted": a run with lost and corrupted replies.

After each boot the simulator's memory must equal IMAGE and its request log must hold the
image's write blocks in order, then the range-CRC request, then the reset. Exit 0 when
everything holds, 1 on any mismatch or error (with the guest's console), 77 when qemu, the
kernel, busybox or cpio is missing or qemu ends with an error without printing a word.
"""
import argparse
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import time
import traceback
from pathlib import Path

SKIP = 77
BASE = 0x81000
BLOCK = 512
# The simulator: paced as a 115200-baud line, 20 ms of silence ends a request (a frame from
# an emulated UART may arrive in bursts; 20 ms leaves the exchange far inside the 100 ms tick).
SIM_LINE = ["--pace", "--gap-ms", "20", "--quiet"]
# Replies to the three split probes of the checks boot come in two pieces 50 ms apart.
SIM_CHECKS = ["--split", "1-3", "--split-gap", "50"]
PROBES = 6  # range-CRC requests the checks boot sends before its run
# Lost write replies, corrupted ones, the range-CRC reply corrupted and the reset's reply lost
# (request numbers count resends: each fault adds one).
SIM_FAULTED = ["--drop", "4,19,42,65", "--corrupt", "9,30,63"]
FAULTED_DROPPED, FAULTED_CORRUPTED = 4, 3
CHECKS = ["open", "settings", "modem-lines", "second-open", "silence", "split", "max-len",
          "purge-after-send", "write"]


class Skip(Exception):
    pass


class Failed(Exception):
    pass


def is_static(path):
    """True for an ELF executable without a program interpreter."""
    data = Path(path).read_bytes()
    if data[:5] != b"\x7fELF\x02":
        return False
    phoff, = struct.unpack_from("<Q", data, 0x20)
    size, count = struct.unpack_from("<HH", data, 0x36)
    return all(struct.unpack_from("<I", data, phoff + i * size)[0] != 3 for i in range(count))


def find_kernel():
    kernels = sorted(Path("/boot").glob("vmlinuz-*"),
                     key=lambda p: [int(x) if x.isdigit() else x
                                    for x in re.split(r"(\d+)", p.name)])
    for k in reversed(kernels):
        if os.access(k, os.R_OK):
            return k
    raise Skip("no readable /boot/vmlinuz-* (package linux-image-amd64)")


def make_initramfs(out, guest):
    busybox = Path("/bin/busybox")
    if not busybox.exists() or not is_static(busybox):
        raise Skip("no static /bin/busybox (package busybox-static)")
    if not shutil.which("cpio"):
        raise Skip("no cpio")
    root = out / "initramfs"
    shutil.rmtree(root, ignore_errors=True)
    for d in ("bin", "dev", "proc", "sys", "tmp"):
        (root / d).mkdir(parents=True)
    shutil.copy(busybox, root / "bin/busybox")
    shutil.copy(guest, root / "vek-uart-guest")
    # The kernel hands init what follows "--" on its command line: the guest's arguments.
    (root / "init").write_text(
        "#!/bin/busybox sh\n"
        "/bin/busybox mount -t proc proc /proc\n"
        "/bin/busybox mount -t sysfs sys /sys\n"
        "/bin/busybox mount -t devtmpfs dev /dev\n"
        'echo "@vek uart $(/bin/busybox cat /proc/tty/driver/serial | /bin/busybox grep \'^1:\')"\n'
        '/vek-uart-guest "$@"\n'
        'echo "@vek exit $?"\n'
        "/bin/busybox poweroff -f\n")
    (root / "init").chmod(0o755)
    names = sorted(str(p.relative_to(root)) for p in root.rglob("*"))
    image = out / "initramfs.cpio"
    with open(image, "wb") as sink:
        subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=root,
                       input=("\n".join(names) + "\n").encode(), stdout=sink, check=True)
    return image


def read_line(fd, buf, deadline):
    """The next line from fd, or None at its end; Failed once the deadline is reached."""
    while b"\n" not in buf[0]:
        left = deadline - time.monotonic()
        if left <= 0:
            raise Failed("timed out")
        ready, _, _ = select.select([fd], [], [], left)
        if not ready:
            continue
        chunk = os.read(fd, 65536)
        if not chunk:
            if buf[0]:
                line, buf[0] = buf[0], b""
                return line.decode(errors="replace")
            return None
        buf[0] += chunk
    line, buf[0] = buf[0].split(b"\n", 1)
    return line.decode(errors="replace").rstrip("\r")


def end(proc):
    """Kills proc unless it has exited, and waits for it."""
    if proc.poll() is None:
        proc.kill()
    proc.wait()


def start_sim(sim, workdir, extra):
    with open(workdir / "sim.err", "w") as err:
        proc = subprocess.Popen(
            [str(sim), *SIM_LINE, *extra, "--log", str(workdir / "sim.log"),
             "--memory-out", str(workdir / "memory.bin")],
            stdout=subprocess.PIPE, stderr=err, start_new_session=True)
    try:
        buf = [b""]
        line = read_line(proc.stdout.fileno(), buf, time.monotonic() + 30)
        if not line or not line.startswith("port: "):
            raise Failed(f"the simulator did not start: {line!r}")
    except BaseException:
        end(proc)
        raise
    return proc, line[len("port: "):], buf


def stop_sim(proc, buf):
    """The counts of the simulator's summary; the simulator has ended whatever happens."""
    lines = []
    try:
        proc.send_signal(signal.SIGTERM)
        deadline = time.monotonic() + 30
        while (line := read_line(proc.stdout.fileno(), buf, deadline)) is not None:
            lines.append(line)
        proc.wait(timeout=30)
    except (Failed, subprocess.TimeoutExpired):
        raise Failed("the simulator did not stop within 30 s of SIGTERM") from None
    finally:
        end(proc)
    summary = [s for s in lines if s.startswith("summary: ")]
    if not summary:
        raise Failed("the simulator wrote no summary")
    words = summary[-1].split()[1:]
    return {k: int(v, 0) for k, v in zip(words[0::2], words[1::2])}


def parse_sim_log(path):
    """Frames as (number, kind, address, length, action, bytes); number 0 for ignored ones."""
    frames = []
    for line in path.read_text().splitlines():
        # "12.345 ms #3 write 0x081200 512 answered bytes=523"
        f = line.split()
        frames.append((int(f[2][1:]), f[3], int(f[4], 16), int(f[5]), f[6],
                       int(f[7].split("=")[1])))
    return frames


def boot(cfg, name, guest_args, sim_extra, timeout):
    """One boot of the guest against a fresh simulator: what the guest said, the simulator's
    counts, log and memory, and the console."""
    workdir = cfg.out / name
    shutil.rmtree(workdir, ignore_errors=True)
    workdir.mkdir(parents=True)
    sim, port, sim_buf = start_sim(cfg.sim, workdir, sim_extra)
    console_path = workdir / "console.log"
    # TCG, not KVM: a guest under nested KVM hung at boot on the machines this runs on, and an
    # emulated CPU boots this small system in seconds anyway.
    command = [
        cfg.qemu, "-accel", "tcg", "-machine", "pc", "-m", "256", "-smp", "1", "-nodefaults",
        "-display", "none", "-no-reboot", "-kernel", str(cfg.kernel), "-initrd",
        str(cfg.initramfs), "-append",
        "console=ttyS0 quiet panic=-1 -- /dev/ttyS1 " + " ".join(guest_args),
        "-chardev", f"stdio,id=console,signal=off,logfile={console_path}",
        "-device", "isa-serial,chardev=console,index=0",
        # The simulator's own pseudo-terminal, opened by qemu as a host tty: the guest's
        # second port and nothing else of this machine's serial devices.
        "-chardev", f"serial,id=line,path={port}",
        "-device", "isa-serial,chardev=line,index=1"]
    console, buf = [], [b""]
    result = {"console": console, "workdir": workdir, "checks": {}, "figures": {}, "runs": [],
              "end": None, "problems": []}
    (workdir / "qemu.cmd").write_text(" ".join(command) + "\n")
    qemu, timed_out = None, False

    def stop():
        try:
            if qemu is not None:
                end(qemu)
        finally:
            counts = stop_sim(sim, sim_buf)
        return counts

    started = time.monotonic()
    deadline = started + timeout
    try:
        with open(workdir / "qemu.err", "w") as err:
            qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=err, start_new_session=True)
        while (line := read_line(qemu.stdout.fileno(), buf, deadline)) is not None:
            console.append(line)
            m = re.search(r"@vek (.*)", line)
            if not m:
                continue
            w = m.group(1).split() + [""]
            try:
                if w[0] == "check":
                    result["checks"].setdefault(w[1], []).append((w[2] == "ok",
                                                                  " ".join(w[3:]).strip()))
                elif w[0] == "figure":
                    result["figures"][w[1]] = float(w[2])
                elif w[0] == "run":
                    result["runs"].append({"kind": w[1], "state": int(w[2]), "ms": float(w[3]),
                                           "ticks": int(w[4]), "status": " ".join(w[5:]).strip()})
                elif w[0] == "uart":
                    result["uart"] = " ".join(w[1:])
                elif w[0] == "end":
                    result["end"] = w[1:]
            except (IndexError, ValueError):
                result["problems"].append(f"unreadable line from the guest: {line!r}")
        qemu.wait(timeout=max(1, deadline - time.monotonic()))
    except (Failed, subprocess.TimeoutExpired):
        timed_out = True
    except BaseException:
        try:
            stop()
        except Exception as e:  # the error that brought us here is the one to report
            print(f"(while cleaning up: {e})")
        raise
    result["sim_counts"] = stop()
    result["seconds"] = time.monotonic() - started
    errors = (workdir / "qemu.err").read_text().strip()
    if timed_out:
        result["problems"].append(f"the guest did not finish within {timeout} s")
    elif qemu.returncode != 0:
        # Ended by itself before its time with an error and without a word on either output:
        # this machine cannot run qemu. An error it names (a serial device it could not open,
        # say) is a failure, as is a hang.
        if not console and not errors:
            raise Skip(f"qemu could not start (exit code {qemu.returncode}, no output)")
        result["problems"].append(f"qemu exited with code {qemu.returncode}: {errors}")
    result["sim_log"] = parse_sim_log(workdir / "sim.log")
    mem = workdir / "memory.bin"
    result["memory"] = mem.read_bytes() if mem.exists() else b""
    return result


def expected_requests(length):
    blocks = [("write", BASE + off, min(BLOCK, length - off)) for off in range(0, length, BLOCK)]
    return blocks + [("range-crc", BASE, length), ("reset", 0, 0)]


def collapse(requests):
    """Requests with each resend (the same request again at once) folded into the first."""
    out = []
    for r in requests:
        if not out or out[-1] != r:
            out.append(r)
    return out


def judge(result, image, want_checks, runs, requests_from=0):
    """Everything that must hold for one boot; the problems found."""
    problems = list(result["problems"])
    if result["end"] is None:
        problems.append("the guest did not report its end")
    if "uart:16550A" not in result.get("uart", ""):
        problems.append(f"the guest's ttyS1 is not a 16550A: {result.get('uart')!r}")
    for name in want_checks:
        if name not in result["checks"]:
            problems.append(f"check {name}: not reported")
    for name, outcomes in result["checks"].items():
        for good, detail in outcomes:
            if not good:
                problems.append(f"check {name} failed: {detail}")
    if len(result["runs"]) != runs:
        problems.append(f"{len(result['runs'])} runs reported, {runs} expected")
    for r in result["runs"]:
        if r["state"] != 6 or r["status"] != "Programming Completed":
            problems.append(f"run {r['kind']} ended in state {r['state']} "
                            f"with status {r['status']!r}")
    requests = [(k, a, n) for num, k, a, n, _, _ in result["sim_log"] if num > 0]
    run_requests = collapse(requests[requests_from:])
    if run_requests != expected_requests(len(image)) * runs:
        problems.append(f"request log: {len(run_requests)} distinct requests, expected "
                        f"{runs} x {len(expected_requests(len(image)))} in order "
                        f"(first differences: {diff(run_requests, expected_requests(len(image)) * runs)})")
    result["resends"] = len(requests) - requests_from - len(run_requests)
    writes = [n for k, _, n in run_requests if k == "write"]
    result["sequence"] = (f"{len(writes)} write requests (the last of {writes[-1] if writes else 0}"
                          f" bytes), {sum(k == 'range-crc' for k, _, _ in run_requests)} range-CRC,"
                          f" {sum(k == 'reset' for k, _, _ in run_requests)} reset; "
                          f"{result['resends']} resends")
    result["memory_equal"] = result["memory"] == image
    if not result["memory_equal"]:
        problems.append(f"the target's memory ({len(result['memory'])} bytes written) differs "
                        f"from the image ({len(image)} bytes)")
    return problems


def diff(got, want):
    return [(i, g, w) for i, (g, w) in enumerate(zip(got + [None] * len(want), want + [None] *
                                                     len(got))) if g != w][:3]


def prepare(args):
    cfg = argparse.Namespace()
    cfg.out = Path(args.out).resolve()
    cfg.out.mkdir(parents=True, exist_ok=True)
    # So that every console found after a failure is this run's.
    for old in cfg.out.glob("*/console.log"):
        shutil.rmtree(old.parent)
    cfg.sim, cfg.guest = Path(args.sim), Path(args.guest)
    cfg.image = Path(args.image).read_bytes()
    cfg.qemu = shutil.which("qemu-system-x86_64")
    if not cfg.qemu:
        raise Skip("no qemu-system-x86_64 (package qemu-system-x86)")
    if not is_static(cfg.guest):
        raise Failed(f"{cfg.guest} is not a static executable")
    cfg.kernel = find_kernel()
    cfg.initramfs = make_initramfs(cfg.out, cfg.guest)
    return cfg


def report(name, result, problems):
    f = result["figures"]
    print(f"== boot {name}: {result['seconds']:.1f} s, {len(result['console'])} console lines, "
          f"simulator: {result['sim_counts']}")
    for r in result["runs"]:
        print(f"   run {r['kind']}: {r['ms']:.1f} ms, {r['ticks']} ticks, {r['status']!r}")
    print(f"   request log: {result.get('sequence')}; target memory "
          + ("equals the image" if result["memory_equal"] else "DIFFERS from the image"))
    for key in sorted(f):
        print(f"   {key} = {f[key]:g}")
    for p in problems:
        print(f"   PROBLEM: {p}")
    if problems:
        print(f"-- guest console ({result['workdir'] / 'console.log'}):")
        for line in result["console"]:
            print("   | " + line)


def consoles(out):
    """Every guest console of this run, for a failure that came before the boots' reports."""
    for path in sorted(out.glob("*/console.log")):
        print(f"-- guest console ({path}):")
        for line in path.read_text(errors="replace").splitlines():
            print("   | " + line)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--guest", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--timeout", type=int, default=400, help="seconds for one boot")
    args = parser.parse_args()
    try:
        cfg = prepare(args)
        print(f"kernel {cfg.kernel}, {cfg.qemu}, image {len(cfg.image)} bytes")
        failed = False
        checks = boot(cfg, "checks", ["checks"], SIM_CHECKS, args.timeout)
        problems = judge(checks, cfg.image, CHECKS, 1, requests_from=PROBES)
        probes = [a for n, _, _, _, a, _ in checks["sim_log"] if n > 0][:PROBES]
        if probes != ["split"] * 3 + ["answered"] * 3:
            problems.append(f"the probe replies were {probes}")
        report("checks", checks, problems)
        failed |= bool(problems)

        faulted = boot(cfg, "faulted", ["run", "faulted"], SIM_FAULTED, args.timeout)
        problems = judge(faulted, cfg.image, [], 1)
        c = faulted["sim_counts"]
        if (c["dropped"], c["corrupted"]) != (FAULTED_DROPPED, FAULTED_CORRUPTED):
            problems.append(f"faults injected: {c['dropped']} dropped, {c['corrupted']} "
                            f"corrupted; expected {FAULTED_DROPPED} and {FAULTED_CORRUPTED}")
        if faulted.get("resends", 0) < FAULTED_DROPPED + FAULTED_CORRUPTED:
            problems.append(f"only {faulted.get('resends')} resends for "
                            f"{FAULTED_DROPPED + FAULTED_CORRUPTED} faults")
        report("faulted", faulted, problems)
        failed |= bool(problems)
    except Skip as e:
        print(f"SKIP: {e}")
        return SKIP
    except Failed as e:
        print(f"FAILED: {e}")
        consoles(Path(args.out))
        return 1
    except Exception:
        traceback.print_exc(file=sys.stdout)
        print("FAILED")
        consoles(Path(args.out))
        return 1
    print("FAILED" if failed else "passed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

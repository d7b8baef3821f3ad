#!/usr/bin/env python3
"""The serial backend and the engine on the kernel's 8250 and ftdi_sio drivers, without hardware.

    uart_host.py --guest GUEST --sim SIM --image IMAGE --out DIR

Boots Debian's own kernel in qemu-system-x86_64 once, with an initramfs put together here
(static busybox, the kernel's USB serial modules and GUEST, the static test program). Three
16550As (ttyS1-3, the 8250 driver) and three emulated FTDI adapters (ftdi_sio) each have a
vek-target-sim of their own on the far end, a pseudo-terminal on this host, as a device on a
cable. The guest's console goes to OUT/BOOT/console.log and, through a pipe, to this script,
which reads the guest's findings as they come ("@vek ..." lines, see guest.cpp). On each driver:

  checks:  settings and modem lines read back, exclusive open, read timing (silence, a reply
           split by 50 ms, max_len), the purge after a send, serWrite's time, a clean run;
  faulted: a run with lost and corrupted replies;
  echo:    how the echo of a 523-byte frame comes in, then a run on a line that echoes.

Then each simulator's memory must equal IMAGE and its request log must hold the image's write
blocks in order, then the range-CRC request, then the reset. Exit 0 when everything holds, 1
on any mismatch or error (with the guest's console), 77 when qemu, the kernel, its modules,
busybox or cpio is missing or qemu ends with an error without printing a word.
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
# Replies to the three split probes of the checks come in two pieces 50 ms apart.
SIM_CHECKS = ["--split", "1-3", "--split-gap", "50"]
PROBES = 6  # range-CRC requests the checks send before their run
# Lost write replies, corrupted ones, the range-CRC reply corrupted and the reset's reply lost
# (request numbers count resends: each fault adds one).
SIM_FAULTED = ["--drop", "4,19,42,65", "--corrupt", "9,30,63"]
FAULTED_DROPPED, FAULTED_CORRUPTED = 4, 3
CHECKS = ["open", "settings", "modem-lines", "second-open", "silence", "split", "max-len",
          "purge-after-send", "write"]
# Each port with its own simulator: (name, simulator options, the guest's job). ttySN is the
# 16550A isa-serial index N; any other name is an FTDI adapter with that USB serial number.
PORTS = [("ttyS1", SIM_CHECKS, "checks"), ("ttyS2", SIM_FAULTED, "faulted"),
         ("ttyS3", ["--echo"], "echo"), ("usb-checks", SIM_CHECKS, "checks"),
         ("usb-faulted", SIM_FAULTED, "faulted"), ("usb-echo", ["--echo"], "echo")]
MODULES = ["common/usb-common", "core/usbcore", "host/xhci-hcd", "host/xhci-pci",
           "serial/usbserial", "serial/ftdi_sio"]


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


def make_initramfs(out, guest, kernel):
    busybox = Path("/bin/busybox")
    if not busybox.exists() or not is_static(busybox):
        raise Skip("no static /bin/busybox (package busybox-static)")
    if not shutil.which("cpio"):
        raise Skip("no cpio")
    root = out / "initramfs"
    shutil.rmtree(root, ignore_errors=True)
    for d in ("bin", "dev", "proc", "sys", "tmp", "modules"):
        (root / d).mkdir(parents=True)
    shutil.copy(busybox, root / "bin/busybox")
    shutil.copy(guest, root / "vek-uart-guest")
    drivers = Path("/lib/modules") / kernel.name.removeprefix("vmlinuz-") / "kernel/drivers/usb"
    for m in MODULES:
        if not (drivers / f"{m}.ko").exists():
            raise Skip(f"no {drivers / m}.ko (package linux-image-amd64)")
        shutil.copy(drivers / f"{m}.ko", root / "modules")
    # The kernel hands init what follows "--" on its command line: the guest's arguments.
    (root / "init").write_text(
        "#!/bin/busybox sh\n"
        "/bin/busybox mount -t proc proc /proc\n"
        "/bin/busybox mount -t sysfs sys /sys\n"
        "/bin/busybox mount -t devtmpfs dev /dev\n"
        f"for m in {' '.join(Path(m).name for m in MODULES)}; do\n"
        "    /bin/busybox insmod /modules/$m.ko\n"
        "done\n"
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
    return proc, buf, line[len("port: "):]


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


def boot(cfg, name, ports, timeout):
    """One boot of the guest with ports (name, simulator options, job), each on a fresh
    simulator: what the guest said of each, each simulator's counts, log and memory, and the
    console."""
    workdir = cfg.out / name
    shutil.rmtree(workdir, ignore_errors=True)
    workdir.mkdir(parents=True)
    console_path = workdir / "console.log"
    guest = [f"{'/dev/' if p.startswith('ttyS') else 'usb:'}{p} {job}" for p, _, job in ports]
    # TCG, not KVM: a guest under nested KVM hung at boot on the machines this runs on, and an
    # emulated CPU boots this small system in seconds anyway.
    command = [
        cfg.qemu, "-accel", "tcg", "-machine", "pc", "-m", "256", "-smp", "1", "-nodefaults",
        "-display", "none", "-no-reboot", "-kernel", str(cfg.kernel), "-initrd",
        str(cfg.initramfs), "-append", "console=ttyS0 quiet panic=-1 -- " + " ".join(guest),
        "-chardev", f"stdio,id=console,signal=off,logfile={console_path}",
        "-device", "isa-serial,chardev=console,index=0", "-device", "qemu-xhci"]
    console, buf = [], [b""]
    result = {"console": console, "workdir": workdir, "figures": {}, "end": None,
              "problems": [], "ports": {}}
    sims, qemu, timed_out = {}, None, False

    def stop():
        try:
            if qemu is not None:
                end(qemu)
        finally:
            for port, (proc, sim_buf, _) in sims.items():
                try:
                    result["ports"][port]["sim_counts"] = stop_sim(proc, sim_buf)
                except Failed as e:
                    result["problems"].append(f"{port}: {e}")

    started = time.monotonic()
    deadline = started + timeout
    try:
        for i, (port, sim_extra, job) in enumerate(ports):
            (workdir / port).mkdir()
            result["ports"][port] = {"job": job, "workdir": workdir / port, "checks": {},
                                     "figures": {}, "runs": [], "path": "", "driver": ""}
            sims[port] = start_sim(cfg.sim, workdir / port, sim_extra)
            # The simulator's own pseudo-terminal, opened by qemu as a host tty: the far end of
            # this port and nothing else of this machine's serial devices.
            device = (f"isa-serial,index={port[4:]}" if port.startswith("ttyS")
                      else f"usb-serial,serial={port}")
            command += ["-chardev", f"serial,id=line{i},path={sims[port][2]}",
                        "-device", f"{device},chardev=line{i}"]
        (workdir / "qemu.cmd").write_text(" ".join(command) + "\n")
        target = result
        try:
            with open(workdir / "qemu.err", "w") as err:
                qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=err,
                                        start_new_session=True)
            while (line := read_line(qemu.stdout.fileno(), buf, deadline)) is not None:
                console.append(line)
                m = re.search(r"@vek (.*)", line)
                if not m:
                    continue
                w = m.group(1).split() + [""]
                try:
                    if w[0] == "port":
                        target = result["ports"][re.sub(r"^(/dev/|usb:)", "", w[1])]
                        target["path"], target["driver"] = w[2], " ".join(w[3:]).strip()
                    elif w[0] == "check":
                        target["checks"].setdefault(w[1], []).append(
                            (w[2] == "ok", " ".join(w[3:]).strip()))
                    elif w[0] == "figure":
                        target["figures"][w[1]] = float(w[2])
                    elif w[0] == "run":
                        target["runs"].append({"kind": w[1], "state": int(w[2]),
                                               "ms": float(w[3]), "ticks": int(w[4]),
                                               "status": " ".join(w[5:]).strip()})
                    elif w[0] == "end":
                        result["end"] = w[1:]
                except (IndexError, ValueError, KeyError):
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
    stop()
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
    for port, p in result["ports"].items():
        p["sim_log"] = parse_sim_log(workdir / port / "sim.log")
        mem = workdir / port / "memory.bin"
        p["memory"] = mem.read_bytes() if mem.exists() else b""
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


def judge(result, image):
    """Everything that must hold for one boot; the problems found."""
    problems = list(result["problems"])
    if result["end"] is None:
        problems.append("the guest did not report its end")
    for name, p in result["ports"].items():
        problems += [f"{name}: {x}" for x in judge_port(name, p, image)]
    return problems


def judge_port(name, p, image):
    kind, _, count = p["job"].partition(":")
    want, runs, requests_from = {
        "checks": (CHECKS, 1, PROBES), "echo": (["open", "arrival"], 1, 0),
        "bench": (["open", "write"], int(count or 1), 0)}.get(kind, ([], 1, 0))
    driver = "uart:16550A" if name.startswith("ttyS") else "module:ftdi_sio"
    problems = [] if driver in p["driver"] else [f"not a {driver} port: {p['driver']!r}"]
    problems += [f"check {c}: not reported" for c in want if c not in p["checks"]]
    problems += [f"check {c} failed: {detail}" for c, outcomes in p["checks"].items()
                 for good, detail in outcomes if not good]
    if len(p["runs"]) != runs:
        problems.append(f"{len(p['runs'])} runs reported, {runs} expected")
    for r in p["runs"]:
        if r["state"] != 6 or r["status"] != "Programming Completed":
            problems.append(f"run {r['kind']} ended in state {r['state']} "
                            f"with status {r['status']!r}")
    requests = [(k, a, n) for num, k, a, n, _, _ in p["sim_log"] if num > 0]
    run_requests = collapse(requests[requests_from:])
    if run_requests != expected_requests(len(image)) * runs:
        problems.append(f"request log: {len(run_requests)} distinct requests, expected "
                        f"{runs} x {len(expected_requests(len(image)))} in order "
                        f"(first differences: {diff(run_requests, expected_requests(len(image)) * runs)})")
    p["resends"] = len(requests) - requests_from - len(run_requests)
    writes = [n for k, _, n in run_requests if k == "write"]
    p["sequence"] = (f"{len(writes)} write requests (the last of {writes[-1] if writes else 0}"
                     f" bytes), {sum(k == 'range-crc' for k, _, _ in run_requests)} range-CRC,"
                     f" {sum(k == 'reset' for k, _, _ in run_requests)} reset; "
                     f"{p['resends']} resends")
    p["memory_equal"] = p["memory"] == image
    if not p["memory_equal"]:
        problems.append(f"the target's memory ({len(p['memory'])} bytes written) differs "
                        f"from the image ({len(image)} bytes)")
    c = p.get("sim_counts", {})
    probes = [a for n, _, _, _, a, _ in p["sim_log"] if n > 0][:PROBES]
    if kind == "checks" and probes != ["split"] * 3 + ["answered"] * (PROBES - 3):
        problems.append(f"the probe replies were {probes}")
    if kind == "faulted" and (c.get("dropped"), c.get("corrupted")) != (FAULTED_DROPPED,
                                                                       FAULTED_CORRUPTED):
        problems.append(f"faults injected: {c.get('dropped')} dropped, {c.get('corrupted')} "
                        f"corrupted; expected {FAULTED_DROPPED} and {FAULTED_CORRUPTED}")
    if kind == "faulted" and p["resends"] < FAULTED_DROPPED + FAULTED_CORRUPTED:
        problems.append(f"only {p['resends']} resends for "
                        f"{FAULTED_DROPPED + FAULTED_CORRUPTED} faults")
    if kind == "echo" and c.get("echoes") != c.get("frames"):
        problems.append(f"{c.get('echoes')} of {c.get('frames')} frames echoed")
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
    cfg.initramfs = make_initramfs(cfg.out, cfg.guest, cfg.kernel)
    return cfg


def report(name, result, problems):
    print(f"== boot {name}: {result['seconds']:.1f} s, {len(result['console'])} console lines")
    for key, value in sorted(result["figures"].items()):
        print(f"   {key} = {value:g}")
    for port, p in result["ports"].items():
        print(f"-- {port} ({p['job']}): {p['path']} {p['driver']}\n"
              f"   simulator: {p.get('sim_counts')}")
        for r in p["runs"]:
            print(f"   run {r['kind']}: {r['ms']:.1f} ms, {r['ticks']} ticks, {r['status']!r}")
        print(f"   request log: {p.get('sequence')}; target memory "
              + ("equals the image" if p.get("memory_equal") else "DIFFERS from the image"))
        for check, outcomes in p["checks"].items():
            for good, detail in outcomes:
                print(f"   {check} {'ok' if good else 'FAIL'}: {detail}")
        for key, value in sorted(p["figures"].items()):
            print(f"   {key} = {value:g}")
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
        result = boot(cfg, "all", PORTS, args.timeout)
        problems = judge(result, cfg.image)
        report("all", result, problems)
        failed = bool(problems)
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

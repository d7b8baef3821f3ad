# The emulated machine: Debian's own kernel in qemu-system-x86_64 (TCG), booted from an
# initramfs of static busybox, the kernel's USB serial modules and one static test program.
# Each serial port of the machine has a simulated target of its own on a host pseudo-terminal
# at its far end, as a device on a cable. The program tells the host what it finds in console
# lines starting "@vek".
import os
import re
import shutil
import struct
import subprocess
import time
from pathlib import Path
from types import SimpleNamespace

from . import target
from .run import check, end, finish, read_text, scratch, spawn

SKIP = 77  # CTest's SKIP_RETURN_CODE: this machine cannot run the emulated one
MODULES = ["common/usb-common", "core/usbcore", "host/xhci-hcd", "host/xhci-pci",
           "serial/usbserial", "serial/ftdi_sio"]


class Skip(Exception):
    pass


def need(found, what):
    if not found:
        raise Skip(what)
    return found


def is_static(path):
    # An ELF executable without a program interpreter.
    data = Path(path).read_bytes() if Path(path).exists() else b""
    if data[:5] != b"\x7fELF\x02":
        return False
    phoff, = struct.unpack_from("<Q", data, 0x20)
    size, count = struct.unpack_from("<HH", data, 0x36)
    return all(struct.unpack_from("<I", data, phoff + i * size)[0] != 3 for i in range(count))


def machine(folder, program):
    # qemu, the newest readable kernel, and folder/initramfs.cpio, whose init loads the
    # modules and starts program with what follows "--" on the kernel's command line.
    qemu = need(shutil.which("qemu-system-x86_64"), "no qemu-system-x86_64 (qemu-system-x86)")
    kernel = need(sorted((k for k in Path("/boot").glob("vmlinuz-*") if os.access(k, os.R_OK)),
                         key=lambda k: [int(x) if x.isdigit() else x
                                        for x in re.split(r"(\d+)", k.name)]),
                  "no readable /boot/vmlinuz-* (package linux-image-amd64)")[-1]
    drivers = Path("/lib/modules") / kernel.name.removeprefix("vmlinuz-") / "kernel/drivers/usb"
    modules = [drivers / f"{m}.ko" for m in MODULES]
    need(all(map(Path.exists, modules)), f"not all of {MODULES} in {drivers} (linux-image-amd64)")
    need(is_static("/bin/busybox"), "no static /bin/busybox (package busybox-static)")
    need(shutil.which("cpio"), "no cpio")
    root = Path(folder) / "initramfs"
    shutil.rmtree(root, ignore_errors=True)
    for d in ("bin", "dev", "proc", "sys", "modules"):
        (root / d).mkdir(parents=True)
    shutil.copy("/bin/busybox", root / "bin")
    shutil.copy(program, root / "guest")
    for m in modules:
        shutil.copy(m, root / "modules")
    (root / "init").write_text(
        "#!/bin/busybox sh\n/bin/busybox mount -t proc proc /proc\n"
        "/bin/busybox mount -t sysfs sys /sys\n/bin/busybox mount -t devtmpfs dev /dev\n"
        + "".join(f"/bin/busybox insmod /modules/{m.name}\n" for m in modules)
        + '/guest "$@"\necho "@vek exit $?"\n/bin/busybox poweroff -f\n')
    (root / "init").chmod(0o755)
    image = Path(folder) / "initramfs.cpio"
    names = "".join(f"{p.relative_to(root)}\n" for p in sorted(root.rglob("*")))
    with open(image, "wb") as sink:
        subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=root, input=names.encode(),
                       stdout=sink, check=True)
    return SimpleNamespace(qemu=qemu, kernel=kernel, initramfs=image)


def boot(s, m, sim, ports, arguments):
    # qemu started on machine m, the program given arguments. Each of ports (name, simulator
    # options) is wired to a simulator of its own, its files in s.folder/NAME/: ttySN is the
    # 16550A at isa-serial index N, any other name an FTDI adapter with that USB serial number.
    b = SimpleNamespace(console=s.folder / "console.log", errors=s.folder / "qemu.err", lines=[],
                        targets={})
    # TCG, not KVM: a guest under nested KVM hung at boot on the machines this runs on, and an
    # emulated CPU boots this small system in seconds anyway.
    command = [m.qemu, "-accel", "tcg", "-machine", "pc", "-m", "256", "-smp", "1", "-nodefaults",
               "-display", "none", "-no-reboot", "-kernel", m.kernel, "-initrd", m.initramfs,
               "-append", "console=ttyS0 quiet panic=-1 -- " + " ".join(arguments),
               "-chardev", f"file,id=console,path={b.console}",
               "-device", "isa-serial,chardev=console,index=0"]
    if any(not name.startswith("ttyS") for name, _ in ports):
        command += ["-device", "qemu-xhci"]
    for i, (name, options) in enumerate(ports):
        (s.folder / name).mkdir()
        t = b.targets[name] = target.start(s, sim, f"{name}/sim", *options,
                                           link=s.folder / name / "tty")
        device = (f"isa-serial,index={name[4:]}" if name.startswith("ttyS")
                  else f"usb-serial,serial={name}")
        command += ["-chardev", f"serial,id=line{i},path={t.link}",
                    "-device", f"{device},chardev=line{i}"]
    (s.folder / "qemu.cmd").write_text(" ".join(map(str, command)) + "\n")
    b.console.touch()
    b.qemu = spawn(s, command, err=b.errors, stdin=subprocess.DEVNULL)
    return b


def said(b, timeout):
    # What follows "@vek" on each console line, as the guest prints it, until qemu ends; every
    # line in b.lines. Skip when qemu ends with an error without a word, on the console or its
    # standard error; failed when it names one or is still running at the deadline.
    deadline, rest = time.monotonic() + timeout, b""
    with open(b.console, "rb") as console:
        while True:
            ended = b.qemu.poll() is not None
            *lines, rest = (rest + console.read()).split(b"\n")
            for line in lines + ([rest] if ended and rest else []):
                b.lines.append(line.decode(errors="replace").rstrip("\r"))
                if "@vek " in b.lines[-1]:
                    yield b.lines[-1].split("@vek ", 1)[1]
            if ended:
                break
            check(time.monotonic() < deadline, f"the guest did not finish within {timeout} s")
            time.sleep(0.05)
    errors = read_text(b.errors).strip()
    if b.qemu.returncode and not b.lines and not errors:
        raise Skip(f"qemu could not start (exit code {b.qemu.returncode}, no output)")
    check(b.qemu.returncode == 0, f"qemu exited with code {b.qemu.returncode}: {errors}")


def stop(b):
    # qemu ended, then each simulator, which writes its memory and counts on the way out.
    end(b.qemu)
    return {name: target.stop(t) for name, t in b.targets.items()}


def findings(folder, m, sim, ports, timeout):
    # One boot of machine m with ports (name, simulator options, the program's job for it),
    # its files in folder/: what the program said of each port ("port" lines say which port
    # the lines after them are of), and what each simulator heard and holds.
    s = scratch(folder)
    result = {"folder": s.folder, "console": [], "end": None,
              "ports": {p: {"job": job, "checks": [], "figures": {}, "runs": [], "driver": ""}
                        for p, _, job in ports}}
    started, at = time.monotonic(), None
    try:
        b = boot(s, m, sim, [(p, o) for p, o, _ in ports], [w for p, _, j in ports for w in (p, j)])
        result["console"] = b.lines
        for text in said(b, timeout):
            w = text.split(maxsplit=5) + [""] * 5
            if w[0] == "port":
                at = result["ports"][w[1]]
                at.update(path=w[2], driver=" ".join(w[3:]).strip())
            elif w[0] == "check":
                at["checks"].append((w[1], w[2] == "ok", " ".join(w[3:]).strip()))
            elif w[0] == "figure":
                at["figures"][w[1]] = float(w[2])
            elif w[0] == "run":
                at["runs"].append({"kind": w[1], "state": int(w[2]), "ms": float(w[3]),
                                   "ticks": int(w[4]), "status": w[5]})
            elif w[0] == "exit":
                result["end"] = w[1]
        result["seconds"] = time.monotonic() - started
        for p, counts in stop(b).items():
            result["ports"][p].update(counts=counts, requests=target.requests(b.targets[p]),
                                      memory=target.memory(b.targets[p]))
    finally:
        finish(s)
    return result

# The emulated machine: Debian's own kernel in qemu-system-x86_64 (TCG), booted from an
# initramfs of static busybox, the kernel's USB serial modules and one static test program.
# Each serial port of the machine has a simulated target of its own on a host pseudo-terminal
# at its far end, as a device on a cable. The program tells the host what it finds in console
# lines starting "@vek".
import os
import shutil
import subprocess
import time
from pathlib import Path
from types import SimpleNamespace

from . import target
from .run import check, finish, read_text, scratch, spawn, wait_for

SKIP = 77  # CTest's SKIP_RETURN_CODE: this machine cannot run the emulated one
MODULES = ["common/usb-common", "core/usbcore", "host/xhci-hcd", "host/xhci-pci",
           "serial/usbserial", "serial/ftdi_sio"]


class Skip(Exception):
    pass


def need(found, what):
    if not found:
        raise Skip(what)
    return found


def machine(folder, program):
    # qemu, a readable kernel (the last by name), and folder/initramfs.cpio, whose init loads
    # the modules and starts program with what follows "--" on the kernel's command line.
    qemu = need(shutil.which("qemu-system-x86_64"), "no qemu-system-x86_64 (qemu-system-x86)")
    kernel = need(sorted(k for k in Path("/boot").glob("vmlinuz-*") if os.access(k, os.R_OK)),
                  "no readable /boot/vmlinuz-* (package linux-image-amd64)")[-1]
    drivers = Path("/lib/modules") / kernel.name.removeprefix("vmlinuz-") / "kernel/drivers/usb"
    modules = [drivers / f"{m}.ko" for m in MODULES]
    need(all(map(Path.exists, modules)), f"not all of {MODULES} in {drivers} (linux-image-amd64)")
    # ldd fails on an executable without a program interpreter: one the initramfs can run.
    need(Path("/bin/busybox").exists()
         and subprocess.run(["ldd", "/bin/busybox"], capture_output=True).returncode,
         "no static /bin/busybox (package busybox-static)")
    root = Path(folder) / "initramfs"
    shutil.rmtree(root, ignore_errors=True)
    root.mkdir(parents=True)
    for f in ("/bin/busybox", program, *modules):
        shutil.copy(f, root)
    (root / "init").write_text(
        "#!/busybox sh\n/busybox mkdir -p /proc /sys /dev\n/busybox mount -t proc proc /proc\n"
        "/busybox mount -t sysfs sys /sys\n/busybox mount -t devtmpfs dev /dev\n"
        + "".join(f"/busybox insmod /{m.name}\n" for m in modules)
        + f'/{Path(program).name} "$@"\necho "@vek exit $?"\n/busybox poweroff -f\n')
    (root / "init").chmod(0o755)
    image = Path(folder) / "initramfs.cpio"
    image.write_bytes(subprocess.run("find . | cpio -o -H newc --quiet", shell=True, cwd=root,
                                     capture_output=True, check=True).stdout)
    return SimpleNamespace(qemu=qemu, kernel=kernel, initramfs=image)


def findings(folder, m, sim, ports, timeout):
    # One boot of machine m with ports (name, simulator options, the program's job for it),
    # its files in folder/: the console, the guest's exit code, the figures and runs it
    # reported of each port ("port" lines say which port the lines after them are of), and what
    # each simulator heard and holds. Skip when qemu ends with an error without a word, on the
    # console or its standard error; failed when it names one or is still running at the end.
    # Each port's simulator has its files in folder/NAME/: ttySN is the 16550A at isa-serial
    # index N, any other name an FTDI adapter with that USB serial number.
    # TCG, not KVM: a guest under nested KVM hung at boot on the machines this runs on, and an
    # emulated CPU boots this small system in seconds anyway.
    s = scratch(folder)
    command = [m.qemu, "-accel", "tcg", "-machine", "pc", "-m", "256", "-smp", "1", "-nodefaults",
               "-display", "none", "-no-reboot", "-kernel", m.kernel, "-initrd", m.initramfs,
               "-append", "console=ttyS0 quiet panic=-1 -- "
               + " ".join(f"{name} {job}" for name, _, job in ports),
               "-chardev", f"file,id=console,path={s.folder / 'console.log'}",
               "-device", "isa-serial,chardev=console,index=0"]
    if any(not name.startswith("ttyS") for name, _, _ in ports):
        command += ["-device", "qemu-xhci"]
    result = {"end": None, "ports": {p: {"job": j, "figures": {}, "runs": []} for p, _, j in ports}}
    started, targets, at = time.monotonic(), {}, None
    try:
        for i, (name, options, _) in enumerate(ports):
            (s.folder / name).mkdir()
            t = targets[name] = target.start(s, sim, f"{name}/sim", *options,
                                             link=s.folder / name / "tty")
            device = (f"isa-serial,index={name[4:]}" if name.startswith("ttyS")
                      else f"usb-serial,serial={name}")
            command += ["-chardev", f"serial,id=line{i},path={t.link}",
                        "-device", f"{device},chardev=line{i}"]
        qemu = spawn(s, command, err=s.folder / "qemu.err", stdin=subprocess.DEVNULL)
        wait_for("the guest to finish", lambda: qemu.poll() is not None, timeout)
        result["seconds"] = time.monotonic() - started
        result["console"] = read_text(s.folder / "console.log").splitlines()
        errors = read_text(s.folder / "qemu.err").strip()
        if qemu.returncode and not result["console"] and not errors:
            raise Skip(f"qemu could not start (exit code {qemu.returncode}, no output)")
        check(qemu.returncode == 0, f"qemu exited with code {qemu.returncode}: {errors}")
        for line in result["console"]:
            w = line.partition("@vek ")[2].split(maxsplit=5) + [""] * 5
            if w[0] == "port":
                at = result["ports"][w[1]]
            elif w[0] == "figure":
                at["figures"][w[1]] = float(w[2])
            elif w[0] == "run":
                at["runs"].append({"kind": w[1], "state": int(w[2]), "ms": float(w[3]),
                                   "ticks": int(w[4]), "status": w[5]})
            elif w[0] == "exit":
                result["end"] = w[1]
        # Each simulator writes its memory and counts on the way out.
        for p, t in targets.items():
            result["ports"][p].update(counts=target.stop(t), requests=target.requests(t),
                                      memory=target.memory(t))
    finally:
        finish(s)
    return result

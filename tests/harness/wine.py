# Windows programs under Wine (Debian's wine64): prefixes with exactly a test's COM ports, a
# program started in one, and what vek-update.exe's dialog shows, read from its real controls
# by readstatus.exe, which also tells where to click.
import os
import re
import shutil
import subprocess
import tempfile
from pathlib import Path
from types import SimpleNamespace

from . import facts, x11
from .run import WAIT, check, spawn, wait_for

WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
MARLETT = Path("/usr/share/wine/fonts/marlett.ttf")
# Where serial drivers name their ports, by NT device; Wine's own takes those below WINE_PORTS.
SERIAL_COMM = r"HKLM\HARDWARE\DEVICEMAP\SERIALCOMM"
WINE_PORTS = 256


def environment(env, prefix):
    # No Mono or Gecko installer prompts with nobody to answer them; no debug chatter.
    env.update(WINEPREFIX=str(prefix), WINEDLLOVERRIDES="mscoree,mshtml=",
               WINEDEBUG=env.get("WINEDEBUG", "-all"))
    return env


def wine(env, *argv, timeout=WAIT):
    # The output through a file: the Wine services that a prefix's first process starts would
    # hold a pipe open.
    with tempfile.TemporaryFile("w+") as out:
        done = subprocess.run([WINE64, *map(str, argv)], env=env, stdout=out,
                              stderr=subprocess.STDOUT, timeout=timeout)
        out.seek(0)
        done.stdout = out.read()
    return done


def boot(prefix, tries=2):
    # A new prefix, its server stopped again. Without a window manager Wine draws the caption
    # itself, with Marlett, which Debian's build does not find on its own. wineboot may return
    # while the prefix's own services still set it up: the server is waited for after each
    # step, and a boot that fails anyway (seen once in a test run: a program could not be
    # started in the new prefix) is made again from nothing.
    prefix = Path(prefix)
    env = environment({k: v for k, v in os.environ.items() if k != "DISPLAY"}, prefix)
    for attempt in range(tries):
        subprocess.run([WINESERVER, "-k"], env=env, capture_output=True)
        shutil.rmtree(prefix, ignore_errors=True)
        prefix.parent.mkdir(parents=True, exist_ok=True)
        for argv in (["wineboot", "-i"], ["reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v",
                                          "Decorated", "/d", "N"]):
            done = wine(env, *argv, timeout=300)
            subprocess.run([WINESERVER, "-w"], env=env, timeout=300)
            if done.returncode != 0:
                break
        if done.returncode == 0:
            break
        check(attempt + 1 < tries, f"wine64 {argv[0]}: {done.stdout}")
    if MARLETT.exists():
        shutil.copy(MARLETT, prefix / "drive_c/windows/Fonts")


def prefix(s, ports=()):
    # A prefix in s.folder whose COM ports are exactly ports ({"COM3": path}), named as Windows
    # names them, its server running in s.env until finish(s). A copy of the freshly booted
    # VEK_WINE_TEMPLATE when there is one, in well under a second: the DLLs of system32, which
    # Wine only reads, are hard links; every other file, the registry among them, which Wine
    # rewrites, is copied.
    where, template = s.folder / "prefix", os.environ.get("VEK_WINE_TEMPLATE", "")
    if Path(template, "system.reg").exists():
        dlls = str(Path(template, "drive_c/windows/system32")) + os.sep
        shutil.copytree(template, where, symlinks=True, copy_function=lambda a, b: (
            os.link(a, b) if a.startswith(dlls) else shutil.copy2(a, b)))
    else:
        boot(where)
    environment(s.env, where)
    # When the prefix's first process starts, Wine's port driver takes COM1 to COM255 from
    # HKLM\Software\Wine\Ports, written here into the registry file, and names each as
    # Windows' serial driver does: NT device \Device\Serial(N-1), DOS device COMN, a value in
    # SERIALCOMM; it links dosdevices/comN to the path (relative to dosdevices, so ASCII
    # even in a checkout that is not). It then gives the machine's /dev/ttyS*, ttyUSB* and ttyACM*
    # the numbers left up to COM256, skipping one whose dosdevices entry it cannot replace: a
    # folder. The folders also stop ntdll opening COMN as /dev/ttyS(N-1) where no link is.
    devices, ports = where / "dosdevices", {int(k[3:]): Path(v) for k, v in dict(ports).items()}
    named = {n: os.path.relpath(path, devices) for n, path in ports.items() if n < WINE_PORTS}
    check(all(v.isascii() for v in named.values()), f"paths Wine's registry cannot take: {named}")
    with open(where / "system.reg", "a") as registry:
        registry.write("\n[Software\\\\Wine\\\\Ports]\n" + "".join(
            '"COM{}"="{}"\n'.format(n, v.replace("\\", "\\\\").replace('"', '\\"'))
            for n, v in named.items()))
    for link in devices.glob("com*"):
        link.unlink()
    for n in range(1, WINE_PORTS + 1):
        if n not in ports:
            (devices / f"com{n}").mkdir()
    subprocess.run([WINESERVER, "-p"], env=s.env, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    s.cleanups.append(lambda: (subprocess.run([WINESERVER, "-k"], env=s.env, timeout=WAIT),
                               shutil.rmtree(where, ignore_errors=True)))
    want = {rf"\Device\Serial{n - 1}": f"COM{n}" for n in named}
    [got] = wait_for("Wine's port driver", lambda: [
        c for c in [serial_comm(s.env)] if c.items() >= want.items()])
    check(got == want, f"SERIALCOMM names {got}, not only the test's ports")
    # Ports above those Wine takes get no DOS device; they are linked here and named in
    # SERIALCOMM as a driver that names its own ports would.
    for n in ports.keys() - named.keys():
        (devices / f"com{n}").symlink_to(ports[n])
        done = wine(s.env, "reg", "add", SERIAL_COMM, "/v", rf"\Device\Serial{n - 1}",
                    "/d", f"COM{n}")
        check(done.returncode == 0, f"COM{n} not named: {done.stdout}")


def serial_comm(env):
    # The ports named in SERIAL_COMM, NT device to COM name, read through its parent key, which
    # is there even when no port is.
    done = wine(env, "reg", "query", r"HKLM\HARDWARE\DEVICEMAP", "/s")
    check(done.returncode == 0, f"no prefix: {done.stdout}")
    return dict(re.findall(r"^ +(\S+) +REG_SZ +(COM\d+)$", done.stdout.replace("\r", ""), re.M))


def start(s, exe, readstatus):
    # The program, its console in s.folder/console.txt, once it shows " - Idle - ".
    w = SimpleNamespace(env=s.env, readstatus=readstatus, console=s.folder / "console.txt")
    w.proc = spawn(s, [WINE64, exe], out=w.console, err=s.folder / "stderr.txt")
    wait_status(w, " - Idle - ")
    return w


def ask(w, *argv):
    # What readstatus prints, line by line; None when the window asked for is not there.
    done = wine(w.env, w.readstatus, *argv)
    return done.stdout.replace("\r", "").splitlines() if done.returncode == 0 else None


def wait_status(w, text, timeout=WAIT):
    done = wine(w.env, w.readstatus, "wait", text, timeout, timeout=timeout + WAIT)
    check(done.returncode == 0, f'the status reads "{done.stdout.strip()}", not "{text}"')


def ports(w):
    # The selected entry ("" for none) and the entries of the port list.
    selected, *listed = ask(w, "ports")
    return selected, listed


def click(w, *what):
    # A click where readstatus points, if it does; what it said.
    at = ask(w, *what)
    if at:
        x11.xdo(w.env, "mousemove", *at[0].split(), "click", 1)
    return at


def press_program(w):
    click(w, "point", facts.ID_PROGRAM)


def close_box(w):
    click(w, "close-box")


def choose_port(w, name):
    # Drops the list down and clicks the entry.
    listed = ports(w)[1]
    check(name in listed, f"{name} is not in the list {listed}")
    click(w, "arrow")
    wait_for("the list to drop down", lambda: click(w, "entry", listed.index(name)))
    wait_for(f"{name} to be selected", lambda: ports(w)[0] == name)


def wait_exit(w, code):
    got = w.proc.wait(timeout=WAIT)
    check(got == code, f"the program ended with exit code {got}, expected {code}")


def sent(console):
    # The size of each request the program logged as sent.
    return [int(n) for n in re.findall(r"^frame length +(\d+) bytes sent$", console, re.M)]


def local_data(s):
    # The user's local application data in the prefix (%LOCALAPPDATA%).
    return next((s.folder / "prefix/drive_c/users").glob("*/AppData/Local"), None)

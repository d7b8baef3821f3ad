#!/usr/bin/env python3
# scripts/release.sh as a maker runs it, and what it makes. Run with PYTHONPATH=tests.
#   release_test.py build DIR                   releases of two 1000-byte images into DIR,
#                                               compared; the bad-image refusals
#   release_test.py wine DIR READSTATUS.exe SIM the .exe of DIR/r1 programs the simulator
#   release_test.py deb DIR SIM                 the .deb of DIR/r1, unpacked and run
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
from pathlib import Path
from types import SimpleNamespace

from harness import facts, gtk, run, target, wine, x11
from harness.run import check, read_text

SRC = facts.ROOT
VERSION = "1.2.3"
EXE, DEB = f"vek-update-{VERSION}.exe", f"vek-update_{VERSION}_amd64.deb"


def crc16(data):
    # The CRC-16 the target reports, computed here apart from the tool's code.
    c = 0xFFFF
    for byte in data:
        c ^= byte
        for _ in range(8):
            c = (c >> 1) ^ 0xA001 if c & 1 else c >> 1
    return f"0x{c:04x}"


def sh(*argv, text=True, **options):
    return subprocess.run([str(a) for a in argv], capture_output=True, text=text, **options)


def release(out, image, script=SRC / "scripts/release.sh", env=None, prefix=()):
    return sh(*prefix, script, image, "--version", VERSION, "--out", out, env=env)


def released(out, image, **options):
    done = release(out, image, **options)
    check(done.returncode == 0, f"release of {image} failed: {done.stderr[-2000:]}")
    return done.stdout


def refused(d, what, image, expected, **options):
    # One line on standard error, nothing printed, and the output folder as it was: missing,
    # or still holding the copy of r1 it held.
    out = d / f"bad-{what}"
    kept = out.exists()
    done = release(out, image, **options)
    check(done.returncode != 0, f"{what}: exit code 0")
    check(re.fullmatch(f"release: {expected}[^\n]*\n", done.stderr),
          f'{what}: "{done.stderr}", expected "{expected}"')
    check(done.stdout == "", f"{what}: printed {done.stdout}")
    check(sh("diff", "-r", d / "r1", out).returncode == 0 if kept else not out.exists(),
          f"{what}: the output folder changed")


def build(d):
    shutil.rmtree(d, ignore_errors=True)
    images = [d / "a/fw.bin", d / "b/fw.bin"]
    for n, path in enumerate(images):
        path.parent.mkdir(parents=True)
        path.write_bytes(random.Random(n).randbytes(1000))
    a = images[0].read_bytes()
    # The second release of image a from a copy of the source tree elsewhere, building in
    # other folders, with spaces: neither folder may show in what it makes. The third, of
    # image b, replaces an earlier release of another version.
    copy, tmp = d / "copy of src", d / "tmp dir"
    shutil.copytree(SRC, copy, symlinks=True, ignore=lambda at, names: [
        n for n in names if Path(at) == SRC and n in ("build", "dist")])
    tmp.mkdir()
    stdout = released(d / "r1", images[0])
    released(d / "r2", images[0], script=copy / "scripts/release.sh",
             env=dict(os.environ, TMPDIR=str(tmp)))
    shutil.copytree(d / "r1", d / "rb")
    (d / "rb" / EXE).rename(d / "rb/vek-update-1.0.0.exe")
    released(d / "rb", images[1])
    print(stdout, end="")

    files = ["RELEASE.txt", "SHA256SUMS", EXE, DEB]
    for r in ("r1", "rb"):
        check(sorted(os.listdir(d / r)) == sorted(files), f"{r} holds {os.listdir(d / r)}")
    check([line.split()[0] for line in stdout.splitlines()] ==
          [f"{d}/r1/{f}" for f in (EXE, DEB, "SHA256SUMS", "RELEASE.txt")], f"terminal: {stdout}")
    check(sh("sha256sum", "--quiet", "-c", "SHA256SUMS", cwd=d / "r1").returncode == 0,
          "SHA256SUMS does not check")
    notes, sums = read_text(d / "r1/RELEASE.txt"), read_text(d / "r1/SHA256SUMS")
    commit = sh("git", "-C", SRC, "rev-parse", "HEAD").stdout.strip()
    sha = sh("sha256sum", images[0]).stdout.split()[0]
    for line in (f"vek-update {VERSION}", "Firmware image: fw.bin", "Image size: 1000 bytes",
                 f"Image CRC-16: {crc16(a)} ", f"Image SHA-256: {sha}", f"Source commit: {commit}",
                 next(s for s in sums.splitlines() if DEB in s)):
        check(line in notes, f'RELEASE.txt lacks "{line}"')
    for f in files:  # the same commit and image: the same bytes
        check((d / "r1" / f).read_bytes() == (d / "r2" / f).read_bytes(), f"{f} differs")

    # Refused before anything is built, nothing written.
    refused(d, "missing", d / "none.bin", "firmware image not found")
    (d / "empty.bin").write_bytes(b"")
    refused(d, "empty", d / "empty.bin", "firmware image is empty")
    with open(d / "large.bin", "wb") as f:
        f.truncate(16 * 1024 * 1024 + 1)
    refused(d, "too-large", d / "large.bin", "firmware image is 16777217 bytes, more than")
    shutil.copy(images[0], d / "a;b.bin")
    refused(d, "semicolon", d / "a;b.bin", "firmware image name has quotes, backslashes")
    # A copy of the scripts outside a checkout; the last check before the build, so an
    # earlier release in the output folder stays as it was.
    for part in ("scripts", "cmake"):
        shutil.copytree(SRC / part, d / "loose" / part)
    shutil.copytree(d / "r1", d / "bad-not-checkout")
    refused(d, "not-checkout", images[0], "not a git checkout",
            script=d / "loose/scripts/release.sh")
    # Root reads any file: as root, the part of the script that checks the image runs as
    # nobody, from a folder nobody may enter, on a file nobody may read.
    tmp = Path(tempfile.mkdtemp())
    tmp.chmod(0o755)
    for part in ("scripts/release.sh", "cmake/embed_image.cmake"):
        (tmp / part).parent.mkdir(exist_ok=True)
        shutil.copy(SRC / part, tmp / part)
    shutil.copy(images[0], tmp / "locked.bin")
    (tmp / "locked.bin").chmod(0)
    as_nobody = ("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups")
    refused(d, "unreadable", tmp / "locked.bin", "firmware image cannot be read",
            script=tmp / "scripts/release.sh", prefix=as_nobody if os.geteuid() == 0 else ())
    shutil.rmtree(tmp)


def version_resource(d):
    # The version resource as Windows shows it under Properties > Details.
    listed = sh("wrestool", "-l", d / "r1" / EXE).stdout
    check("--type=16 --name=1 --language=1033 " in listed, f"no version resource: {listed}")
    data = sh("wrestool", "-x", "--raw", "-t", "16", d / "r1" / EXE, text=False).stdout

    def text(key):  # a key, a NUL and padding to 4 bytes, then the value up to a NUL
        k = data.find((key + "\0").encode("utf-16-le"))
        v = (k + 2 * len(key) + 5) & ~3
        return data[v:].decode("utf-16-le", "replace").split("\0")[0] if k > 0 else None

    crc = crc16((d / "a/fw.bin").read_bytes())
    i = data.find(struct.pack("<I", 0xFEEF04BD))
    major, minor, patch = (int(n) for n in VERSION.split("."))
    check(struct.unpack_from("<4I", data, i + 8) == (major << 16 | minor, patch << 16) * 2,
          "file and product versions")
    for key, value in (("FileVersion", VERSION), ("ProductVersion", VERSION),
                       ("ProductName", facts.TITLE),
                       ("Comments", f"Firmware image fw.bin, 1000 bytes, CRC-16 {crc}")):
        check(text(key) == value, f"{key}: {text(key)!r}")
    check(text("040904B0") is not None, "no string table in language 1033")
    return crc


def on_wine(d, readstatus, simulator):
    crc = version_resource(d)
    s = run.scratch(d / "wine")
    x11.xvfb(s)
    import cases  # the Wine cases, from tests/wine
    try:
        cases.full(s, SimpleNamespace(exe=d / "r1" / EXE, readstatus=readstatus, sim=simulator,
                                      image=(d / "a/fw.bin").read_bytes()))
    finally:
        run.finish(s)
    log = read_text(s.folder / "console.txt").replace("\r", "")
    check(sorted(set(re.findall(r"^programming address .*$", log, re.M))) ==
          ["programming address 0x81000, block size 0x200, from image offset 0",
           "programming address 0x81200, block size 0x1e8, from image offset 0x200"],
          "blocks written")
    # The CRC of the resource is the one the target reported and the tool computed.
    for who in ("Remote", "Local "):
        got = re.findall(f"^{who} CRC (0x[0-9a-f]+)$", log, re.M)
        check(got and int(got[0], 16) == int(crc, 16), f"{who} CRC {got}, resource says {crc}")


def packaged(d, simulator):
    deb = d / "r1" / DEB
    info, contents = sh("dpkg-deb", "--info", deb).stdout, sh("dpkg-deb", "--contents", deb).stdout
    for field in ("Package: vek-update", f"Version: {VERSION}", "Architecture: amd64",
                  r"Depends: .*libc6 \(>= [0-9.]+\)", r"Depends: .*libgtk-4-1 \(>= [0-9.]+\)"):
        check(re.search(f"^ {field}", info, re.M), f'control lacks "{field}": {info}')
    for f in ("usr/bin/vek-update", "usr/libexec/vek-update/vek-update-logged",
              "usr/share/applications/vek-update.desktop", "usr/share/doc/vek-update/README",
              "usr/share/doc/vek-update/copyright"):
        check(f" ./{f}\n" in contents, f"{f} not in the package")
    check(all(" root/root " in line for line in contents.splitlines()), "files not owned by root")
    root = d / "root"
    shutil.rmtree(root, ignore_errors=True)
    sh("dpkg-deb", "-x", deb, root)
    check('adduser "$USER" dialout' in read_text(root / "usr/share/doc/vek-update/README"),
          "README lacks the dialout note")
    desktop = root / "usr/share/applications/vek-update.desktop"
    check(sh("desktop-file-validate", desktop).returncode == 0, "the desktop entry is not valid")
    launcher = re.search(r"^Exec=(.*)$", read_text(desktop), re.M).group(1)
    check(os.access(f"{root}{launcher}", os.X_OK), f"the package lacks {launcher}")

    # The packaged program programs a target in its window.
    s = gtk.session(d / "gtk")
    try:
        t = target.start(s, simulator, "target", *target.PACE)
        w = gtk.program(s, root / "usr/bin/vek-update", t)
        check(gtk.wait_end(w) == "Programming Completed", "the packaged program did not program")
        target.stop(t)
        check(target.memory(t) == (d / "a/fw.bin").read_bytes(), "memory differs from the image")
    finally:
        run.finish(s)

    # Started from the menu, the console log lands in the user's state folder: here without a
    # display, whose fatal report must land there too. Without a folder for the log (a
    # relative XDG_STATE_HOME does not count), the report is on the launcher's own output.
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    done = sh(f"{root}{launcher}", env=dict(env, GDK_BACKEND="x11", XDG_STATE_HOME=d / "state"))
    log = read_text(d / "state/vek-update/console.log")
    check(done.returncode == 1 and "== vek-update started " in log and
          "Could not create dialog" in log, f"launcher: exit code {done.returncode}, log {log}")
    (d / "home-file").write_text("")
    done = sh(f"{root}{launcher}", cwd=d, env=dict(env, GDK_BACKEND="x11",
                                                  HOME=d / "home-file", XDG_STATE_HOME="state"))
    check(done.returncode == 1 and "Could not create dialog" in done.stdout + done.stderr,
          f"launcher without a log folder: exit code {done.returncode}")


if __name__ == "__main__":
    case, d = sys.argv[1], Path(sys.argv[2]).resolve()
    sys.path.insert(0, str(SRC / "tests/wine"))
    try:
        {"build": build, "wine": on_wine, "deb": packaged}[case](d, *sys.argv[3:])
    except run.Failed as e:
        sys.exit(f"FAIL: {e}")
    print(f"{case}: passed")

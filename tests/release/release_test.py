#!/usr/bin/env python3
# scripts/release.sh as a maker runs it, and what it makes. Run with
# PYTHONPATH=tests:tests/wine.
#   release_test.py build DIR                   releases of two 1000-byte images into DIR,
#                                               compared; the bad-image refusals
#   release_test.py wine DIR READSTATUS.exe SIM the .exe of DIR/r1 programs the simulator
#   release_test.py deb DIR SIM                 the .deb of DIR/r1, unpacked and run
import gzip
import os
import re
import shutil
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import cases  # the Wine cases, from tests/wine
from harness import facts, gtk, run, target
from harness.run import check, read_text

SRC = facts.ROOT
VERSION = "1.2.3"
EXE, DEB = f"vek-update-{VERSION}.exe", f"vek-update_{VERSION}_amd64.deb"
FILES = [EXE, DEB, "SHA256SUMS", "RELEASE.txt"]  # in the order the script lists them
# The sizes of the icon, as scripts/icon.sh made its bitmaps (vek-SIZE.png).
ICON_SIZES = sorted(int(p.stem[4:]) for p in (SRC / "resources/icon").glob("vek-*.png"))


def sh(*argv, text=True, **options):
    return subprocess.run([str(a) for a in argv], capture_output=True, text=text, **options)


def released(out, image, script=SRC / "scripts/release.sh", **options):
    done = sh(script, image, "--version", VERSION, "--out", out, **options)
    check(done.returncode == 0, f"release of {image} failed: {done.stderr[-2000:]}")
    return done.stdout


def refused(d, what, image, expected, script=SRC / "scripts/release.sh"):
    # Checked before the version: none given. One line on standard error, nothing printed,
    # and the output folder as it was: missing, or holding what it held, as ls lists it down
    # to the nanosecond of each file's change.
    out = d / f"bad-{what}"
    listing = sh("ls", "-lR", "--full-time", out).stdout
    done = sh(script, image, "--out", out)
    kept = sh("ls", "-lR", "--full-time", out).stdout == listing
    check(done.returncode != 0 and done.stdout == "" and kept and
          re.fullmatch(f"release: {expected}[^\n]*\n", done.stderr),
          f"{what}: exit {done.returncode}, out {done.stdout!r}, err {done.stderr!r}, kept {kept}")


def build(d):
    shutil.rmtree(d, ignore_errors=True)
    a, b = d / "a/fw.bin", d / "b/fw.bin"
    for path in (a, b):
        path.parent.mkdir(parents=True)
        path.write_bytes(os.urandom(1000))
    # The second release of image a from a copy of the source tree elsewhere, building in
    # other folders, with spaces: neither folder may show in what it makes. The third, of
    # image b, replaces an earlier release of another version.
    shutil.copytree(SRC, d / "copy of src", symlinks=True,
                    ignore=shutil.ignore_patterns("build", "dist"))
    (d / "tmp dir").mkdir()
    stdout = released(d / "r1", a)
    released(d / "r2", a, script=d / "copy of src/scripts/release.sh",
             env=dict(os.environ, TMPDIR=str(d / "tmp dir")))
    shutil.copytree(d / "r1", d / "rb")
    (d / "rb" / EXE).rename(d / "rb/vek-update-1.0.0.exe")
    released(d / "rb", b)

    check(sorted(os.listdir(d / "rb")) == sorted(FILES), f"rb holds {os.listdir(d / 'rb')}")
    check([line.split()[0] for line in stdout.splitlines()] == [f"{d}/r1/{f}" for f in FILES],
          f"terminal: {stdout}")
    check(sh("sha256sum", "-c", "SHA256SUMS", cwd=d / "r1").returncode == 0, "SHA256SUMS fails")
    notes, sums = read_text(d / "r1/RELEASE.txt"), read_text(d / "r1/SHA256SUMS")
    for line in (f"vek-update {VERSION}", "Firmware image: fw.bin", "Image size: 1000 bytes",
                 f"Image SHA-256: {sh('sha256sum', a).stdout.split()[0]}",
                 f"Source commit: {sh('git', '-C', SRC, 'rev-parse', 'HEAD').stdout.strip()}",
                 next(s for s in sums.splitlines() if DEB in s)):
        check(line in notes, f'RELEASE.txt lacks "{line}"')
    for f in FILES:  # the same commit and image: the same bytes
        check((d / "r1" / f).read_bytes() == (d / "r2" / f).read_bytes(), f"{f} differs")

    # Refused before anything is built, nothing written. Not a checkout: the copy without its
    # repository, whose check is the last before the build, so an earlier release in its
    # output folder stays as it was. Even root cannot read a process's memory at address 0.
    (d / "empty.bin").write_bytes(b"")
    (d / "large.bin").write_bytes(bytes(16 * 1024 * 1024 + 1))
    (d / "a;b.bin").write_bytes(b"\1")
    git = d / "copy of src/.git"  # a file in a git worktree
    shutil.rmtree(git) if git.is_dir() else git.unlink()
    shutil.copytree(d / "r1", d / "bad-not-checkout")
    refused(d, "missing", d / "none.bin", "firmware image not found")
    refused(d, "empty", d / "empty.bin", "firmware image is empty")
    refused(d, "too-large", d / "large.bin", "firmware image is 16777217 bytes, more than")
    refused(d, "semicolon", d / "a;b.bin", "firmware image name has quotes, backslashes")
    refused(d, "unreadable", f"/proc/{os.getpid()}/mem", "firmware image cannot be read")
    refused(d, "not-checkout", a, "not a git checkout", script=d / "copy of src/scripts/release.sh")


def on_wine(d, readstatus, simulator):
    exe = d / "r1" / EXE
    cases.main("full", exe, readstatus, simulator, d / "a/fw.bin", d / "wine")
    # The release names the CRC the simulated target computed of what it was sent.
    remote = re.search(r"^Remote CRC 0x([0-9a-f]+)", read_text(d / "wine/full/console.txt"), re.M)
    crc = f"0x{int(remote[1], 16):04x}" if remote else "no Remote CRC line"
    check(f"Image CRC-16: {crc} " in read_text(d / "r1/RELEASE.txt"), f"RELEASE.txt lacks {crc}")
    # The version resource as Windows shows it under Properties > Details, in US English, and
    # its table of US English strings: WORD-aligned, each key followed by NULs up to a DWORD,
    # then the value.
    data = sh("wrestool", "-x", "--raw", "-t16", "-L1033", exe, text=False).stdout
    major, minor, patch = (int(n) for n in VERSION.split("."))
    check(struct.pack("<4H", minor, major, 0, patch) * 2 in data, "file and product versions")
    strings = data.decode("utf-16-le", "replace").partition("040904B0\0")[2]
    for key, value in (("FileVersion", VERSION), ("ProductVersion", VERSION),
                       ("ProductName", facts.TITLE),
                       ("Comments", f"Firmware image fw.bin, 1000 bytes, CRC-16 {crc}")):
        found = re.search(f"{key}\0+([^\0]*)", strings)
        check(found and found[1] == value, f"{key}: {found and found[1]!r}, expected {value!r}")

    # The manifest the loader reads at start-up (resource 1 of type 24): the common controls of
    # version 6, per-monitor DPI awareness, no elevation; each in the namespace Windows looks
    # in, or it is ignored without a word.
    try:
        manifest = ET.fromstring(sh("wrestool", "-x", "--raw", "-t24", "-n1", exe,
                                    text=False).stdout)
    except ET.ParseError as e:
        raise run.Failed(f"the manifest is not well-formed: {e}") from e
    ns = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3",
          "w05": "http://schemas.microsoft.com/SMI/2005/WindowsSettings",
          "w16": "http://schemas.microsoft.com/SMI/2016/WindowsSettings"}
    found = ([{k: e.get(k) for k in ("name", "version", "publicKeyToken")} for e in
              manifest.iterfind("v1:dependency/v1:dependentAssembly/v1:assemblyIdentity", ns)],
             [manifest.findtext(f"v3:application/v3:windowsSettings/{s}", None, ns)
              for s in ("w16:dpiAwareness", "w05:dpiAware")],
             [e.get("level") for e in manifest.iterfind(
                 "v3:trustInfo/v3:security/v3:requestedPrivileges/v3:requestedExecutionLevel", ns)])
    check(found == ([{"name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
                      "publicKeyToken": "6595b64144ccf1df"}], cases.DPI, ["asInvoker"]),
          f"the manifest says {found}")
    # Its only icon group, the one Explorer shows: a 32-bit icon of each size, each whole
    # (icotool decodes them).
    check(sh("wrestool", "-l", "-t14", exe).stdout.count("\n") == 1, "not one icon group")
    ico, icons = d / "wine/icon.ico", d / "wine/icon"
    ico.write_bytes(sh("wrestool", "-x", "-t14", exe, text=False).stdout)
    shutil.rmtree(icons, ignore_errors=True)
    icons.mkdir()
    done = sh("icotool", "-x", "-o", icons, ico)
    sizes = re.findall(r"_(\d+)x\1x32\.png$", "\n".join(os.listdir(icons)), re.M)
    check(done.returncode == 0 and sorted(map(int, sizes)) == ICON_SIZES,
          f"the icons: {done.stderr} {os.listdir(icons)}")


def packaged(d, simulator):
    deb, root = d / "r1" / DEB, d / "root"
    info, contents = sh("dpkg-deb", "--info", deb).stdout, sh("dpkg-deb", "--contents", deb).stdout
    for field in ("Package: vek-update", f"Version: {VERSION}", "Architecture: amd64",
                  f"Description: {re.escape(facts.TITLE)}$",
                  r"Depends: .*libc6 \(>= [0-9.]+\)", r"Depends: .*libgtk-4-1 \(>= [0-9.]+\)"):
        check(re.search(f"^ {field}", info, re.M), f'control lacks "{field}": {info}')
    check(" ./usr/share/doc/vek-update/copyright\n" in contents, "no copyright in the package")
    check(all(" root/root " in line for line in contents.splitlines()), "files not owned by root")
    sh("dpkg-deb", "-x", deb, root)
    check('adduser "$USER" dialout' in read_text(root / "usr/share/doc/vek-update/README"),
          "README lacks the dialout note")
    desktop = root / "usr/share/applications/vek-update.desktop"
    check(sh("desktop-file-validate", desktop).returncode == 0, "the desktop entry is not valid")
    # The icon it names, in the theme every desktop falls back to: the drawing, and a bitmap of
    # each size, as large as its folder says (the width and height of its PNG header).
    icon = re.search(r"^Icon=(.+)$", read_text(desktop), re.M)
    theme = root / "usr/share/icons/hicolor"
    check(icon and (theme / f"scalable/apps/{icon[1]}.svg").is_file(), "no icon as the entry names")
    for size in ICON_SIZES:
        png = (theme / f"{size}x{size}/apps/{icon[1]}.png").read_bytes()
        check(struct.unpack_from(">2I", png, 16) == (size, size), f"the {size} px icon's size")
    # The menu starts the program itself, which keeps its own log; its manual page is its
    # --help, exit codes included; and lintian finds nothing to warn of.
    check(re.search(r"^Exec=vek-update$", read_text(desktop), re.M), "the entry starts another")
    page = gzip.decompress((root / "usr/share/man/man1/vek-update.1.gz").read_bytes()).decode()
    page = re.sub(r"\\f[BIRP]", "", page).replace("\\-", "-")
    for said in ("--port PORT", "--fast", "--give-up SECONDS", "--report FILE", "--list",
                 "--version", "Exit status:", f"vek-update {VERSION}"):
        check(said in page, f'the manual page lacks "{said}"')
    lint = sh("lintian", "--no-tag-display-limit", deb).stdout
    check(not re.search(r"^[EW]: ", lint, re.M), f"lintian: {lint}")

    # The packaged program programs a target in its window.
    s = gtk.session(d / "gtk")
    try:
        t = target.start(s, simulator, "target", *target.PACE)
        check(gtk.wait_end(gtk.program(s, root / "usr/bin/vek-update", t)) ==
              "Programming Completed", "the packaged program did not program")
        target.stop(t)
        check(target.memory(t) == (d / "a/fw.bin").read_bytes(), "memory differs from the image")
    finally:
        run.finish(s)


if __name__ == "__main__":
    run.help_if_asked(__file__)
    case, d = sys.argv[1], Path(sys.argv[2]).resolve()
    try:
        {"build": build, "wine": on_wine, "deb": packaged}[case](d, *sys.argv[3:])
    except (run.Failed, OSError) as e:  # OSError: a program the release should hold is missing
        sys.exit(f"FAIL: {e}")
    print(f"{case}: passed")

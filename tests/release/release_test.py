#!/usr/bin/env python3
# scripts/release.sh as a maker runs it, and what it makes. Run with
# PYTHONPATH=tests:tests/wine.
#   release_test.py build DIR                   releases of two 1000-byte images into DIR,
#                                               signed with throw-away keys and not, compared;
#                                               the refusals of bad images and keys
#   release_test.py wine DIR READSTATUS.exe SIM the signed .exe of DIR/r1 programs the simulator
#   release_test.py deb DIR SIM                 the .deb of DIR/r1, unpacked and run
import gzip
import hashlib
import os
import re
import shutil
import ssl
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
from pathlib import Path

import cases  # the Wine cases, from tests/wine
from harness import facts, gtk, run, target
from harness.run import check, read_text

SRC = facts.ROOT
VERSION = "1.2.3"
EXE, DEB = f"vek-update-{VERSION}.exe", f"vek-update_{VERSION}_amd64.deb"
FILES = [EXE, DEB, "SHA256SUMS", "RELEASE.txt"]  # in the order the script lists them
SIGNED = [EXE, DEB, "SHA256SUMS", "SHA256SUMS.asc", "RELEASE.txt"]
# The sizes of the icon, as scripts/icon.sh made its bitmaps (vek-SIZE.png).
ICON_SIZES = sorted(int(p.stem[4:]) for p in (SRC / "resources/icon").glob("vek-*.png"))


def sh(*argv, text=True, **options):
    return subprocess.run([str(a) for a in argv], capture_output=True, text=text, **options)


def released(out, image, *args, version=VERSION, script=SRC / "scripts/release.sh", **options):
    return made(script, image, "--version", version, "--out", out, *args, **options)


def refused(d, what, image, expected, *args, script=SRC / "scripts/release.sh", kept_too=(),
            **options):
    # Checked before the version unless args give one. One line on standard error, nothing
    # printed, and the output folder (and kept_too) as it was: missing, or holding what it held,
    # as ls lists it down to the nanosecond of each file's change.
    out = d / f"bad-{what}"
    listing = sh("ls", "-lR", "--full-time", out, *kept_too).stdout
    done = sh(script, image, "--out", out, *args, **options)
    kept = sh("ls", "-lR", "--full-time", out, *kept_too).stdout == listing
    check(done.returncode != 0 and done.stdout == "" and kept and
          re.fullmatch(f"release: {expected}[^\n]*\n", done.stderr),
          f"{what}: exit {done.returncode}, out {done.stdout!r}, err {done.stderr!r}, kept {kept}")


def made(*argv, **options):
    done = sh(*argv, **options)
    check(done.returncode == 0, f"{argv[:2]}: {done.stderr[-1000:]}")
    return done.stdout


def throwaway_keys(k):
    # Keys of this run only: a CA and, issued by it for one key with a passphrase, a
    # code-signing certificate, an expired one and one for servers only; a GnuPG home with a
    # key that signs and one that only certifies. Their fingerprints, and gpg's environment.
    env = dict(os.environ, GNUPGHOME=str(k / "gnupg"))
    (k / "gnupg").mkdir(mode=0o700)
    for name in ("passphrase", "wrong"):
        (k / name).write_text(os.urandom(16).hex() + "\n")
    made("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key",
         "-out", "ca.pem", "-days", "2", "-subj", "/CN=Throw-away CA", cwd=k)
    made("openssl", "genpkey", "-algorithm", "RSA", "-aes256", "-pass", "file:passphrase",
         "-out", "signer.key", cwd=k)
    made("openssl", "req", "-new", "-key", "signer.key", "-passin", "file:passphrase",
         "-subj", "/O=Test Maker/CN=Test Maker Code Signing", "-out", "signer.csr", cwd=k)
    for name, days, usage in (("signer", 2, "codeSigning"), ("expired", -1, "codeSigning"),
                              ("server", 2, "serverAuth")):
        (k / f"{name}.ext").write_text(f"extendedKeyUsage={usage}\n")
        made("openssl", "x509", "-req", "-in", "signer.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
             "-CAcreateserial", "-days", days, "-extfile", f"{name}.ext", "-out", f"{name}.pem",
             cwd=k)
    # openssl reads a second line of a file given for both passphrases.
    made("openssl", "pkcs12", "-export", "-inkey", "signer.key", "-passin", "file:passphrase",
         "-in", "signer.pem", "-passout", "stdin", "-out", "signer.p12", cwd=k,
         input=read_text(k / "passphrase"))
    shutil.copy(k / "signer.key", k / "open.key")
    for f, mode in (("passphrase", 0o600), ("wrong", 0o600), ("ca.key", 0o600),
                    ("signer.key", 0o600), ("signer.p12", 0o600), ("open.key", 0o644)):
        os.chmod(k / f, mode)
    for usage in ("sign", "cert"):
        made("gpg", "--batch", "--pinentry-mode", "loopback", "--passphrase-fd", "0",
             "--quick-gen-key", f"Test Maker {usage} <{usage}@maker.invalid>", "rsa2048", usage,
             "1d", env=env, input="")
    listed = made("gpg", "--with-colons", "--list-secret-keys", env=env)
    return re.findall(r"^fpr:+([0-9A-F]{40}):", listed, re.M), env


def altered(path, at, copy):
    # A copy of the file, one bit of the byte at `at` changed.
    data = bytearray(path.read_bytes())
    data[at] ^= 1
    copy.write_bytes(data)
    return copy


def apt_update(d, name, source):
    # apt in a throw-away root whose only source is `source`, trusted through signed-by its key
    # alone: the policy of vek-update once it takes the source, else None.
    root = d / name
    shutil.rmtree(root, ignore_errors=True)
    (root / "var/lib/apt/lists/partial").mkdir(parents=True)
    (root / "etc/apt").mkdir(parents=True)
    (root / "etc/apt/sources.list").write_text(
        f"deb [signed-by={source}/vek-update-archive-keyring.gpg] file://{source} ./\n")
    options = ["-o", f"Dir={root}", "-o", "Dir::State::status=/dev/null",
               "-o", "Debug::NoLocking=1", "-o", "APT::Sandbox::User=root"]
    if sh("apt-get", *options, "update").returncode != 0:
        return None
    return sh("apt-cache", *options, "policy", "vek-update").stdout


def build(d):
    shutil.rmtree(d, ignore_errors=True)
    keys = Path(tempfile.mkdtemp(prefix="vek-keys."))
    try:
        releases(d, keys)
    finally:
        sh("gpgconf", "--kill", "all", env=dict(os.environ, GNUPGHOME=str(keys / "gnupg")))
        shutil.rmtree(keys, ignore_errors=True)


def releases(d, k):
    a, b = d / "a/fw.bin", d / "b/fw.bin"
    for path in (a, b):
        path.parent.mkdir(parents=True)
        path.write_bytes(os.urandom(1000))
    (fpr, certify_only), env = throwaway_keys(k)
    # The first release signed: the program with the PKCS#12 file, the checksums and the
    # package source with the GnuPG key. The second, of image a, unsigned, from a copy of the
    # source tree elsewhere, building in other folders, with spaces: neither folder may show in
    # what it makes; it replaces the first's files. The third, of image b and a later version,
    # signed with the PEM files and the passphrase from the environment, adds to the package
    # source and replaces an earlier release of another version.
    name, url = "VEK test release", "https://maker.invalid/vek-update"
    source = ("--gpg-key", fpr, "--apt", d / "apt")
    stdout = released(d / "r1", a, "--sign-p12", k / "signer.p12", "--sign-pass-file",
                      k / "passphrase", "--sign-name", name, "--sign-url", url, *source, env=env)
    shutil.copytree(SRC, d / "copy of src", symlinks=True,
                    ignore=shutil.ignore_patterns("build", "dist"))
    (d / "tmp dir").mkdir()
    shutil.copytree(d / "r1", d / "r2")
    released(d / "r2", a, script=d / "copy of src/scripts/release.sh",
             env=dict(os.environ, TMPDIR=str(d / "tmp dir")))
    shutil.copytree(d / "r1", d / "rb")
    (d / "rb" / EXE).rename(d / "rb/vek-update-1.0.0.exe")
    released(d / "rb", b, "--sign-cert", k / "signer.pem", "--sign-key", k / "signer.key",
             "--sign-pass-env", "VEK_TEST_PASS", *source, version="1.3.0",
             env=dict(env, VEK_TEST_PASS=read_text(k / "passphrase").strip()))

    check(sorted(os.listdir(d / "r2")) == sorted(FILES), f"r2 holds {os.listdir(d / 'r2')}")
    check(sorted(os.listdir(d / "rb")) == sorted(f.replace(VERSION, "1.3.0") for f in SIGNED),
          f"rb holds {os.listdir(d / 'rb')}")
    check([line.split()[0] for line in stdout.splitlines()] ==
          [f"{d}/r1/{f}" for f in SIGNED] + [f"{d}/apt/"], f"terminal: {stdout}")
    check(sh("sha256sum", "-c", "SHA256SUMS", cwd=d / "r1").returncode == 0, "SHA256SUMS fails")
    notes, sums = read_text(d / "r1/RELEASE.txt"), read_text(d / "r1/SHA256SUMS")
    der = ssl.PEM_cert_to_DER_cert(read_text(k / "signer.pem"))
    for line in (f"vek-update {VERSION}", "Firmware image: fw.bin", "Image size: 1000 bytes",
                 f"Image SHA-256: {sh('sha256sum', a).stdout.split()[0]}",
                 f"Source commit: {sh('git', '-C', SRC, 'rev-parse', 'HEAD').stdout.strip()}",
                 next(s for s in sums.splitlines() if DEB in s),
                 "Windows program signed by: CN=Test Maker Code Signing, O=Test Maker",
                 f"Certificate SHA-256 fingerprint: {hashlib.sha256(der).hexdigest().upper()}",
                 f"SHA256SUMS.asc made with the GnuPG key {fpr}"):
        check(line in notes, f'RELEASE.txt lacks "{line}"')
    # The same commit and image: the same bytes, but for the signature. What the signed release
    # says beyond the unsigned one is of its program and its signers only.
    check((d / "r1" / DEB).read_bytes() == (d / "r2" / DEB).read_bytes(), f"{DEB} differs")
    unsigned_notes = read_text(d / "r2/RELEASE.txt").splitlines()
    check(all(line in notes.splitlines() for line in unsigned_notes if EXE not in line),
          f"RELEASE.txt: {notes} against {unsigned_notes}")
    # Stripped of its signature, the program is the unsigned one, byte for byte. Signing pads
    # the file with zeros to a multiple of 8 bytes and sets the PE checksum, which covers the
    # length; but the release's program, without symbols, ends on its PE file alignment (512
    # bytes) and carries its checksum already.
    exe = d / "r1" / EXE
    made("osslsigncode", "remove-signature", "-in", exe, "-out", d / "stripped.exe")
    stripped, unsigned = (d / "stripped.exe").read_bytes(), (d / "r2" / EXE).read_bytes()
    differ = [i for i, (x, y) in enumerate(zip(stripped, unsigned)) if x != y]
    check(stripped == unsigned, f"stripped: {len(stripped)} bytes against {len(unsigned)}, "
          f"differing at {differ[:10]} (the PE checksum is at e_lfanew + 88)")

    # The signatures hold, against the throw-away CA and key, and a changed byte breaks them.
    def authenticode(path):
        done = sh("osslsigncode", "verify", "-CAfile", k / "ca.pem", "-in", path)
        return done.returncode == 0 and done.stdout

    said = authenticode(exe)
    check(said and authenticode(d / "rb/vek-update-1.3.0.exe"), f"not verified: {said}")
    check(re.search(r"^Message digest algorithm *: SHA256$", said, re.M) and
          f"Text description: {name}\n" in said and f"URL description: {url}\n" in said,
          f"signed otherwise: {said}")
    check(not authenticode(altered(exe, len(unsigned) // 2, d / "altered.exe")),
          "verified with a byte changed")
    for sums in (d / "r1/SHA256SUMS", altered(d / "r1/SHA256SUMS", 0, d / "SHA256SUMS")):
        done = sh("gpg", "--verify", d / "r1/SHA256SUMS.asc", sums, env=env)
        check((done.returncode == 0) == (sums.parent.name == "r1"), f"gpg: {done.stderr}")
    # apt takes the package source, with both versions, and refuses it once InRelease changed.
    policy = apt_update(d, "apt-root", d / "apt")
    check(policy and "Candidate: 1.3.0\n" in policy and f" {VERSION} 500\n" in policy,
          f"apt: {policy}")
    shutil.copytree(d / "apt", d / "apt-altered")
    inrelease = d / "apt/InRelease"
    altered(inrelease, inrelease.read_bytes().index(b"\nDate: ") + 7, d / "apt-altered/InRelease")
    check(apt_update(d, "apt-root-altered", d / "apt-altered") is None, "apt took a changed one")

    # The keys checked before any build: each mistake refused in its line, nothing written.
    def cert(name, key="signer.key"):
        return "--sign-cert", k / name, "--sign-key", k / key, "--sign-pass-file", k / "passphrase"

    for what, expected, *options in (
            ("no-cert", "cannot read the certificate", *cert("none.pem")),
            ("passphrase", "wrong passphrase for the PKCS#12 file", "--sign-p12",
             k / "signer.p12", "--sign-pass-file", k / "wrong"),
            ("pem-passphrase", "wrong passphrase for the private key", "--sign-cert",
             k / "signer.pem", "--sign-key", k / "signer.key", "--sign-pass-file", k / "wrong"),
            ("expired", "the certificate expired on", *cert("expired.pem")),
            ("not-code-signing", "the certificate is not for code signing", *cert("server.pem")),
            ("open-key", "the private key can be read by others", *cert("signer.pem", "open.key")),
            ("other-key", "the private key is not the certificate's",
             *cert("signer.pem", "ca.key")),
            ("gpg-missing", "no secret GnuPG key", "--gpg-key", "0" * 40),
            ("gpg-certify-only", f"GnuPG key {certify_only} cannot sign",
             "--gpg-key", certify_only)):
        refused(d, what, a, expected, "--version", VERSION, *options, env=env)
    refused(d, "lower-version", a, f"version {VERSION} is lower than 1.3.0", "--version", VERSION,
            *source, kept_too=[d / "apt"], env=env)

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

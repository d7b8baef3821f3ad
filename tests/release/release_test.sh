#!/usr/bin/env bash
# scripts/release.sh as a maker runs it, and what it makes.
#   release_test.sh build DIR                      releases of two 1000-byte images into DIR,
#                                                  compared; the bad-image refusals
#   release_test.sh wine DIR READSTATUS.exe SIM    the .exe of DIR/r1 programs the simulator
#   release_test.sh deb DIR SIM                    the .deb of DIR/r1, unpacked and run
set -euo pipefail
case_name=$1
dir=$2
src=$(cd "$(dirname "$0")/../.." && pwd)
VERSION=1.2.3
EXE=vek-update-$VERSION.exe
DEB=vek-update_${VERSION}_amd64.deb

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The CRC-16 the target reports, computed here independently of the tool's code.
crc_of() {
    python3 - "$1" <<'EOF'
import sys
c = 0xFFFF
for byte in open(sys.argv[1], "rb").read():
    c ^= byte
    for _ in range(8):
        c = (c >> 1) ^ 0xA001 if c & 1 else c >> 1
print(f"0x{c:04x}")
EOF
}

release() { # OUT IMAGE [SCRIPT]: a release that must succeed; its terminal output in OUT.stdout
    "${3:-$src/scripts/release.sh}" "$2" --version $VERSION --out "$1" >"$1.stdout" 2>"$1.stderr" ||
        fail "release of $2 failed: $(tail -n 20 "$1.stderr")"
}

refused() { # WHAT IMAGE EXPECTED [RUNNER...]: a release that must fail with one line, no output,
    # and leave its output folder as it was: missing, or holding a copy of release r1
    local what=$1 out=$dir/bad-$1 image=$2 expected=$3 rc=0 kept=""
    shift 3
    [ ! -d "$out" ] || kept=1
    "$@" "${script:-$src/scripts/release.sh}" "$image" --out "$out" >"$out.stdout" 2>"$out.stderr" ||
        rc=$?
    [ $rc != 0 ] || fail "$what: exit code 0"
    [ "$(wc -l <"$out.stderr")" = 1 ] || fail "$what: not one line: $(cat "$out.stderr")"
    grep -q "^release: $expected" "$out.stderr" ||
        fail "$what: \"$(cat "$out.stderr")\", expected \"$expected\""
    [ ! -s "$out.stdout" ] || fail "$what: printed $(cat "$out.stdout")"
    if [ -n "$kept" ]; then
        diff -r "$dir/r1" "$out" >&2 || fail "$what: changed the earlier release in $out"
    else
        [ ! -e "$out" ] || fail "$what: left $out"
    fi
    echo "$what refused: $(cat "$out.stderr")"
}

case $case_name in
build)
    rm -rf "$dir"
    mkdir -p "$dir/a" "$dir/b"
    cd "$dir"
    python3 -c '
import random, sys
for n, path in enumerate(sys.argv[1:]):
    r = random.Random(n)
    open(path, "wb").write(bytes(r.getrandbits(8) for _ in range(1000)))
' "$dir/a/fw.bin" "$dir/b/fw.bin"
    crc_a=$(crc_of "$dir/a/fw.bin")
    crc_b=$(crc_of "$dir/b/fw.bin")
    [ "$crc_a" != "$crc_b" ] || fail "the two test images share a CRC"

    # The second release of image a from a copy of the source tree elsewhere, building in
    # other folders, with spaces: neither the source's nor the build's folder may show in what
    # it makes.
    mkdir "copy of src" "tmp dir"
    tar -C "$src" --exclude=./build --exclude=./dist -cf - . | tar -C "copy of src" -xf -
    release r1 a/fw.bin
    TMPDIR="$dir/tmp dir" release r2 a/fw.bin "copy of src/scripts/release.sh"
    # The third replaces an earlier release of another version.
    cp -r r1 rb
    mv "rb/$EXE" rb/vek-update-1.0.0.exe
    release rb b/fw.bin
    cat "$dir/r1.stdout"

    # One line per artifact, and exactly these four in the folder.
    for r in r1 rb; do
        [ "$(LC_ALL=C ls -A "$dir/$r" | tr '\n' ' ')" = "RELEASE.txt SHA256SUMS $EXE $DEB " ] ||
            fail "release folder holds: $(ls -A "$dir/$r")"
    done
    [ "$(cut -d' ' -f1 "$dir/r1.stdout" | tr '\n' ' ')" = \
        "r1/$EXE r1/$DEB r1/SHA256SUMS r1/RELEASE.txt " ] || fail "terminal: $(cat "$dir/r1.stdout")"
    (cd "$dir/r1" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not check"
    commit=$(git -C "$src" rev-parse HEAD)
    for line in "vek-update $VERSION" "Firmware image: fw.bin" "Image size: 1000 bytes" \
        "Image CRC-16: $crc_a " "Image SHA-256: $(sha256sum <a/fw.bin | cut -d' ' -f1)" \
        "Source commit: $commit" "$(grep $DEB "$dir/r1/SHA256SUMS")"; do
        grep -qF "$line" "$dir/r1/RELEASE.txt" || fail "RELEASE.txt lacks \"$line\""
    done

    # Same commit and image: the same bytes.
    for f in $EXE $DEB SHA256SUMS RELEASE.txt; do
        cmp "$dir/r1/$f" "$dir/r2/$f" || fail "$f differs between two releases of one image"
    done

    # Another image of the same size: only the image and its figures may differ.
    for r in r1 rb; do
        dpkg-deb -R "$dir/$r/$DEB" "$dir/$r.tree"
    done
    python3 - "$dir" "$crc_a" "$crc_b" "$EXE" <<'EOF' || fail "releases of two images differ elsewhere"
import os, struct, sys
d, crc_a, crc_b, exe = sys.argv[1:]
a, b = (open(f"{d}/{x}/fw.bin", "rb").read() for x in "ab")
bad = []

def spans_differ(name, x, y, spans):
    """Every differing byte of x and y lies in one of the spans of x."""
    if len(x) != len(y):
        bad.append(f"{name}: {len(x)} and {len(y)} bytes")
        return
    outside = [i for i in range(len(x)) if x[i] != y[i] and not any(s <= i < e for s, e in spans)]
    if outside:
        bad.append(f"{name}: {len(outside)} bytes differ outside the image, first at {outside[0]:#x}")

def at(data, what, name):
    i = data.find(what)
    if i < 0:
        bad.append(f"{name}: {what[:20]!r} not found")
    return (i, i + len(what))

x, y = (open(f"{d}/{r}/{exe}", "rb").read() for r in ("r1", "rb"))
pe = struct.unpack_from("<I", x, 0x3C)[0]
spans_differ(exe, x, y, [at(x, a, exe), at(x, f"CRC-16 {crc_a}".encode("utf-16-le"), exe),
                         (pe + 88, pe + 92)])  # the PE checksum covers the whole file

# The package: the program (image array and build ID), and the texts that name the CRC.
build_id = b"\x04\x00\x00\x00\x14\x00\x00\x00\x03\x00\x00\x00GNU\x00"
allowed = {"usr/share/doc/vek-update/README", "usr/share/applications/vek-update.desktop",
           "DEBIAN/control", "DEBIAN/md5sums", "usr/bin/vek-update"}
changed = set()
for root, dirs, files in os.walk(f"{d}/r1.tree"):
    for f in files:
        p = os.path.join(root, f)
        rel = os.path.relpath(p, f"{d}/r1.tree")
        x, y = open(p, "rb").read(), open(f"{d}/rb.tree/{rel}", "rb").read()
        if x == y:
            continue
        changed.add(rel)
        if rel == "usr/bin/vek-update":
            i = at(x, build_id, rel)[1]
            spans_differ(rel, x, y, [at(x, a, rel), (i, i + 20)])
        else:
            for line in set(y.decode().splitlines()) - set(x.decode().splitlines()):
                if crc_b not in line and line.split()[-1] not in allowed:
                    bad.append(f"{rel}: line {line!r}")
if changed != allowed:
    bad.append(f"changed: {sorted(changed)}, expected: {sorted(allowed)}")
if sorted(os.listdir(f"{d}/r1.tree")) != sorted(os.listdir(f"{d}/rb.tree")):
    bad.append("the packages hold different files")
print(*bad, sep="\n")
sys.exit(1 if bad else 0)
EOF

    # Refused before anything is built, nothing written.
    refused missing "$dir/none.bin" "firmware image not found"
    : >"$dir/empty.bin"
    refused empty "$dir/empty.bin" "firmware image is empty"
    truncate -s $((16 * 1024 * 1024 + 1)) "$dir/large.bin"
    refused too-large "$dir/large.bin" "firmware image is 16777217 bytes, more than the 16777216"
    cp a/fw.bin "a;b.bin"
    refused semicolon "$dir/a;b.bin" "firmware image name has quotes, backslashes, semicolons"
    # A copy of the scripts inside this repository's build folder is not the checkout; the last
    # check before the build, so an earlier release in the output folder stays as it was.
    mkdir loose
    cp -r "$src/scripts" "$src/cmake" loose/
    cp -r r1 bad-not-checkout
    script=$dir/loose/scripts/release.sh refused not-checkout a/fw.bin "not a git checkout"
    # Root reads any file: as root, the script runs as nobody on a copy of the part that
    # checks the image, in a folder nobody may enter.
    tmp=$(mktemp -d)
    trap 'rm -rf "$tmp"' EXIT
    chmod 755 "$tmp"
    mkdir "$tmp/scripts" "$tmp/cmake"
    cp "$src/scripts/release.sh" "$tmp/scripts/"
    cp "$src/cmake/embed_image.cmake" "$tmp/cmake/"
    cp "$dir/a/fw.bin" "$tmp/locked.bin"
    chmod 000 "$tmp/locked.bin"
    if [ "$(id -u)" = 0 ]; then
        script=$tmp/scripts/release.sh refused unreadable "$tmp/locked.bin" \
            "firmware image cannot be read" setpriv --reuid=65534 --regid=65534 --clear-groups
    else
        refused unreadable "$tmp/locked.bin" "firmware image cannot be read"
    fi
    ;;

wine)
    readstatus=$3
    sim=$4
    crc=$(grep -o 'CRC-16: 0x[0-9a-f]*' "$dir/r1/RELEASE.txt" | cut -d' ' -f2)
    # The version resource as Windows shows it under Properties > Details.
    wrestool -l "$dir/r1/$EXE" | grep -q -- "--type=16 --name=1 --language=1033 " ||
        fail "no version resource in language 1033: $(wrestool -l "$dir/r1/$EXE")"
    wrestool -x --raw -t 16 "$dir/r1/$EXE" >"$dir/version.res" || fail "no version resource"
    python3 - "$dir/version.res" "$VERSION" "$crc" <<'EOF' || fail "version resource"
import struct, sys
res, version, crc = sys.argv[1:]
data = open(res, "rb").read()

def text(key):
    """A string's value: its key, a NUL and padding to 4 bytes, then text up to a NUL."""
    k = data.find((key + "\0").encode("utf-16-le"))
    v = (k + 2 * len(key) + 5) & ~3
    return data[v:].decode("utf-16-le", "replace").split("\0")[0] if k > 0 else None

value = {k: text(k) for k in ("FileVersion", "ProductVersion", "ProductName", "Comments")}
i = data.find(struct.pack("<I", 0xFEEF04BD))
file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<4I", data, i + 8)
numbers = [int(n) for n in version.split(".")] + [0]
expected = (numbers[0] << 16 | numbers[1], numbers[2] << 16 | numbers[3])
problems = [p for p, bad in [
    ("file version", (file_ms, file_ls) != expected),
    ("product version", (product_ms, product_ls) != expected),
    ("FileVersion", value["FileVersion"] != version),
    ("ProductVersion", value["ProductVersion"] != version),
    ("ProductName", value["ProductName"] != "Korlund / Dravel Software Update Tool"),
    ("Comments", value["Comments"] != f"Firmware image fw.bin, 1000 bytes, CRC-16 {crc}"),
    ("language", text("040904B0") is None)] if bad]
print("version resource:", value, problems)
sys.exit(1 if problems else 0)
EOF
    bash "$src/tests/wine/e2e.sh" full "$dir/r1/$EXE" "$readstatus" "$sim" "$dir/a/fw.bin" \
        "$dir/wine" || fail "the release's .exe did not program the target"
    log=$dir/wine/full.log
    blocks=$(grep '^programming address' "$log" | tr -d '\r' | sort -u)
    [ "$blocks" = "programming address 0x81000, block size 0x200, from image offset 0
programming address 0x81200, block size 0x1e8, from image offset 0x200" ] ||
        fail "blocks written: $blocks"
    # The CRC of the resource is the one the target reported and the tool computed.
    for who in Remote Local; do
        got=$(grep -a "^$who *CRC 0x" "$log" | tr -d '\r' | awk '{ print $NF }')
        [ -n "$got" ] && [ $((got)) = $((crc)) ] || fail "$who CRC $got, resource says $crc"
    done
    ;;

deb)
    sim=$3
    deb=$dir/r1/$DEB
    info=$(dpkg-deb --info "$deb")
    for field in "Package: vek-update" "Version: $VERSION" "Architecture: amd64" \
        "Depends: .*libc6 (>= [0-9.]*)" "Depends: .*libgtk-4-1 (>= [0-9.]*)"; do
        grep -q "^ $field" <<<"$info" || fail "control lacks \"$field\": $info"
    done
    contents=$(dpkg-deb --contents "$deb")
    for f in usr/bin/vek-update usr/libexec/vek-update/vek-update-logged \
        usr/share/applications/vek-update.desktop usr/share/doc/vek-update/README \
        usr/share/doc/vek-update/copyright; do
        grep -q " \./$f\$" <<<"$contents" || fail "$f not in the package: $contents"
    done
    ! grep -v ' root/root ' <<<"$contents" || fail "files not owned by root"

    root=$dir/root
    rm -rf "$root" "$dir/state"
    dpkg-deb -x "$deb" "$root"
    grep -q "adduser \"\$USER\" dialout" "$root/usr/share/doc/vek-update/README" ||
        fail "README lacks the dialout note"
    desktop=$root/usr/share/applications/vek-update.desktop
    desktop-file-validate "$desktop" || fail "the desktop entry is not valid"
    launcher=$(sed -n 's/^Exec=//p' "$desktop")
    [ -x "$root$launcher" ] || fail "desktop entry starts $launcher, which the package lacks"

    # The packaged program runs a whole programming run in its window under Xvfb.
    python3 "$src/tests/e2e_gtk/e2e.py" full --tool "$root/usr/bin/vek-update" --sim "$sim" \
        --image "$dir/a/fw.bin" --out "$dir/gtk" || fail "the packaged program did not program"
    grep -qx " - Idle - " "$dir/gtk/full/status.txt" || fail "no \" - Idle - \""

    # Started from the menu, the console log lands in the user's state folder: here without
    # a display, whose fatal report must land there too.
    rc=0
    env -u DISPLAY -u WAYLAND_DISPLAY GDK_BACKEND=x11 XDG_STATE_HOME="$dir/state" \
        "$root$launcher" || rc=$?
    [ $rc = 1 ] || fail "launcher: exit code $rc"
    log=$dir/state/vek-update/console.log
    grep -q "^== vek-update started " "$log" && grep -q "Could not create dialog" "$log" ||
        fail "launcher log: $(cat "$log")"
    # Without a folder for the log (a relative XDG_STATE_HOME does not count), the program
    # still runs, its report on the launcher's own output.
    : >"$dir/home-file"
    rc=0
    out=$(cd "$dir" && env -u DISPLAY -u WAYLAND_DISPLAY GDK_BACKEND=x11 HOME="$dir/home-file" \
        XDG_STATE_HOME=state "$root$launcher" 2>&1) || rc=$?
    [ $rc = 1 ] && grep -q "Could not create dialog" <<<"$out" ||
        fail "launcher without a log folder: exit code $rc, $out"
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
echo "$case_name: passed"

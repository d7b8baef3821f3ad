#!/usr/bin/env bash
# Turns a firmware image into a release of the tool that carries it:
#   scripts/release.sh IMAGE [--version X.Y.Z] [--out DIR]
# writes to DIR (default: the source tree's dist/):
#   vek-update-X.Y.Z.exe          the Windows program, with the version and the image's figures
#                                 in its version resource
#   vek-update_X.Y.Z_amd64.deb    the Linux program as a Debian package
#   SHA256SUMS, RELEASE.txt       checksums; version, image, its CRC-16 and SHA-256, source commit
# Without --version: X.Y.Z of a tag vX.Y.Z on the checked-out commit, else 0.0.N, N the number
# of commits up to it.
# Builds in fresh folders of its own, which it removes again. The outputs depend only on the
# commit, the image and the installed packages: two runs give the same bytes.
set -euo pipefail

fail() {
    echo "release: $*" >&2
    exit 1
}

usage="usage: scripts/release.sh IMAGE [--version X.Y.Z] [--out DIR]"
image="" version="" out=""
while [ $# -gt 0 ]; do
    case $1 in
    --version)
        [ $# -ge 2 ] || fail "$usage"
        version=$2
        shift 2
        ;;
    --out)
        [ $# -ge 2 ] || fail "$usage"
        out=$2
        shift 2
        ;;
    -h | --help)
        echo "$usage"
        exit 0
        ;;
    -*) fail "unknown option $1; $usage" ;;
    *)
        [ -z "$image" ] || fail "$usage"
        image=$1
        shift
        ;;
    esac
done
[ -n "$image" ] || fail "$usage"
caller=$PWD
image=$(realpath -m -- "$image")
[ -z "$out" ] || out=$(realpath -m -- "$out")
src=$(realpath "$(dirname "$0")/..")
out=${out:-$src/dist}
cd "$src"
# The compiler flags name the source and build folders in single quotes (see build below).
tmp=${TMPDIR:-/tmp}
[[ "$src$tmp" != *\'* ]] || fail "a path with a quote (') cannot be built in: $src, $tmp"
export LC_ALL=C TZ=UTC

# The image, checked before anything is installed or built.
size_max=$(sed -n 's/^set(VEK_IMAGE_SIZE_MAX \([0-9]*\))$/\1/p' cmake/embed_image.cmake)
[ -n "$size_max" ] || fail "no VEK_IMAGE_SIZE_MAX in cmake/embed_image.cmake"
[ -e "$image" ] || fail "firmware image not found: $image"
[ -f "$image" ] || fail "firmware image is not a file: $image"
head -c 1 -- "$image" >/dev/null 2>&1 || fail "firmware image cannot be read: $image"
size=$(stat -c %s -- "$image")
[ "$size" -gt 0 ] || fail "firmware image is empty: $image"
[ "$size" -le "$size_max" ] ||
    fail "firmware image is $size bytes, more than the $size_max the tool accepts: $image"
name=$(basename -- "$image")
# The name goes into the resource script, the package's texts and RELEASE.txt as it stands,
# and into a CMake variable, where a semicolon would split it.
[[ "$name" =~ ^[[:print:]]+$ && "$name" != *[\"\\\;]* ]] ||
    fail "firmware image name has quotes, backslashes, semicolons or non-printable" \
        "characters: $name"

. scripts/deps.sh
need_packages "${RELEASE_PACKAGES[@]}" >&2

# A copy of the tree inside another repository must not record that repository's commit.
top=$(git rev-parse --show-toplevel 2>/dev/null) && [ "$(realpath -- "$top")" = "$src" ] ||
    fail "not a git checkout: $src"
commit=$(git rev-parse HEAD)
# Uncommitted changes to tracked files are built too: RELEASE.txt says so.
commit_note=""
git diff --quiet HEAD -- || commit_note=" (with uncommitted changes)"
if [ -z "$version" ]; then
    tag=$(git describe --tags --exact-match --match 'v[0-9]*.[0-9]*.[0-9]*' 2>/dev/null || true)
    if [ -n "$tag" ]; then
        version=${tag#v}
    else
        version=0.0.$(git rev-list --count HEAD)
        echo "release: no vX.Y.Z tag on this commit, so version $version (--version names one)" >&2
    fi
fi
[[ "$version" =~ ^(0|[1-9][0-9]{0,4})\.(0|[1-9][0-9]{0,4})\.(0|[1-9][0-9]{0,4})$ ]] &&
    [ "${BASH_REMATCH[1]}" -le 65535 ] && [ "${BASH_REMATCH[2]}" -le 65535 ] &&
    [ "${BASH_REMATCH[3]}" -le 65535 ] ||
    fail "version must be X.Y.Z, numbers up to 65535 (the Windows version resource): $version"

# The output folder holds one release: a previous one is replaced, anything else is left be.
if [ -e "$out" ]; then
    [ -d "$out" ] || fail "output folder is not a folder: $out"
    for f in "$out"/* "$out"/.[!.]*; do
        [ -e "$f" ] || continue
        case $(basename -- "$f") in
        vek-update-*.exe | vek-update_*_amd64.deb | SHA256SUMS | RELEASE.txt) ;;
        *) fail "output folder holds other files than a release: $out" ;;
        esac
    done
fi

export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct HEAD)

work=$(mktemp -d "$tmp/vek-release.XXXXXX")
stage="" made_out=""
# On any exit: the build folders go, and so do the staging folder in the output folder and,
# on a failure, the output folder itself if this run made it.
cleanup() {
    local rc=$?
    rm -rf "$work" "$stage"
    [ $rc = 0 ] || [ -z "$made_out" ] || rm -rf "$made_out"
}
trap cleanup EXIT
umask 022

# A private copy: the build, the figures and the checksums all see the same bytes.
mkdir "$work/image" "$work/out"
cp -- "$image" "$work/image/$name" 2>/dev/null || fail "firmware image cannot be read: $image"
[ "$(stat -c %s "$work/image/$name")" = "$size" ] || fail "firmware image changed while read: $image"
image=$work/image/$name

# build WHAT CMAKE-ARGS...: configures and builds in $work/WHAT; shows the log's end on failure.
log=$work/build.log
build() {
    local dir=$work/$1
    shift
    # Neither the source nor the build folder may reach the binaries (__FILE__ in assertions).
    # The folders quoted, so that one with a space stays one argument on the compiler's command
    # line; only the folders: CMake's compiler checks for Windows drop quotes around the flags.
    local maps="-ffile-prefix-map='$src/'= -ffile-prefix-map='$work/'="
    if ! { cmake -S "$src" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DVEK_IMAGE="$image" -DCMAKE_CXX_FLAGS="$maps $cxxflags" "$@" &&
        cmake --build "$dir" --parallel "$(nproc)" --target "${targets[@]}"; } >>"$log" 2>&1; then
        tail -n 30 "$log" >&2
        fail "the $(basename "$dir") build failed (its log is above)"
    fi
}

targets=(vek-update vek-image-crc)
cxxflags="-fstack-protector-strong -D_FORTIFY_SOURCE=2"
build linux -DCMAKE_EXE_LINKER_FLAGS="-s -Wl,-z,relro,-z,now" -DVEK_VERSION="$version"
read -r crc_size crc < <("$work/linux/tools/vek-image-crc" "$image") || fail "no CRC of the image"
[ "$crc_size" = "$size" ] || fail "the image read back as $crc_size bytes, not $size"

# Static as every Windows build, without the link time in the PE header.
targets=(vek-update)
cxxflags=""
build mingw -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64.cmake" \
    -DCMAKE_EXE_LINKER_FLAGS="-static -s -Wl,--no-insert-timestamp" \
    -DVEK_VERSION="$version" -DVEK_IMAGE_CRC="$crc"

exe=vek-update-$version.exe
deb=vek-update_${version}_amd64.deb
cp "$work/mingw/shell/vek-update.exe" "$work/out/$exe"

# The package's tree.
sed_name=$(printf '%s' "$name" | sed 's/[&|]/\\&/g')
title=$(sed -n 's/^#define VEK_TITLE "\(.*\)"$/\1/p' shell/dialog.h)
[ -n "$title" ] || fail "no VEK_TITLE in shell/dialog.h"
icon=$(sed -n 's/^Icon=//p' packaging/vek-update.desktop.in)
[ -n "$icon" ] || fail "no Icon in packaging/vek-update.desktop.in"
fill() {
    sed -e "s|@VERSION@|$version|g" -e "s|@IMAGE_NAME@|$sed_name|g" -e "s|@IMAGE_SIZE@|$size|g" \
        -e "s|@IMAGE_CRC@|$crc|g" -e "s|@COMMIT@|$commit$commit_note|g" -e "s|@TITLE@|$title|g" "$1"
}
root=$work/deb
doc=$root/usr/share/doc/vek-update
install -D -m 755 "$work/linux/shell/vek-update" "$root/usr/bin/vek-update"
mkdir -p "$root/usr/share/applications" "$doc" "$root/usr/share/man/man1" "$root/DEBIAN"
fill packaging/vek-update.desktop.in >"$root/usr/share/applications/vek-update.desktop"
fill packaging/README.in >"$doc/README"
install -m 644 packaging/copyright "$doc/copyright"
# The manual page is the program's own --help, so that each option is described once; its
# date is the commit's (SOURCE_DATE_EPOCH), and gzip keeps no name or time.
# help2man runs the program through a shell: from its own folder, a space in the path is no
# matter.
(cd "$root/usr/bin" && help2man --no-info --section 1 \
    --name "write the firmware image it carries into a device" \
    --output "$work/vek-update.1" ./vek-update) >>"$log" 2>&1 ||
    fail "help2man failed: $(tail -n 3 "$log")"
gzip -9n <"$work/vek-update.1" >"$root/usr/share/man/man1/vek-update.1.gz"
{
    echo "vek-update ($version) unstable; urgency=medium"
    echo
    echo "  * Release $version of commit $commit,"
    [ -z "$commit_note" ] || echo "    with uncommitted changes,"
    echo "    firmware image $name, $size bytes, CRC-16 $crc."
    echo
    echo " -- Korlund / Dravel <software@korlund-dravel.invalid>  $(date -u -R -d "@$SOURCE_DATE_EPOCH")"
} | gzip -9n >"$doc/changelog.gz"
# The icon the menu entry names, in the theme every desktop falls back to: the drawing, and the
# bitmaps scripts/icon.sh made of it (vek-SIZE.png) for desktops that want one of a size.
icons=$root/usr/share/icons/hicolor
install -D -m 644 resources/icon/vek.svg "$icons/scalable/apps/$icon.svg"
for png in resources/icon/vek-*.png; do
    px=${png%.png}
    px=${px##*-}
    install -D -m 644 "$png" "$icons/${px}x$px/apps/$icon.png"
done

# dpkg-shlibdeps reads the package names from a source tree's debian/control.
mkdir -p "$work/shlibdeps/debian"
printf 'Source: vek-update\n\nPackage: vek-update\nArchitecture: amd64\n' \
    >"$work/shlibdeps/debian/control"
depends=$(cd "$work/shlibdeps" && dpkg-shlibdeps -O "$root/usr/bin/vek-update" 2>>"$log") ||
    fail "dpkg-shlibdeps failed: $(tail -n 3 "$log")"
depends=${depends#shlibs:Depends=}
installed_kib=$(find "$root" -path "$root/DEBIAN" -prune -o -type f -printf '%s\n' |
    awk '{ kib += int(($1 + 1023) / 1024) } END { print kib }')
cat >"$root/DEBIAN/control" <<EOF
Package: vek-update
Version: $version
Architecture: amd64
Maintainer: Korlund / Dravel <software@korlund-dravel.invalid>
Installed-Size: $installed_kib
Depends: $depends
Section: electronics
Priority: optional
Description: $title
 Writes the firmware image it carries into the target device over a serial
 line (Modbus RTU, slave 4, 115200 baud 8E1), then checks the target's CRC.
 .
 Firmware image: $name, $size bytes, CRC-16 $crc.
EOF
(cd "$root" && find usr -type f | sort | xargs md5sum) >"$root/DEBIAN/md5sums"
find "$root" -type d -exec chmod 755 {} +
# dpkg-deb sorts the entries and clamps their times to SOURCE_DATE_EPOCH; owners are root.
dpkg-deb --root-owner-group -Zxz --build "$root" "$work/out/$deb" >>"$log" 2>&1 ||
    fail "dpkg-deb failed: $(tail -n 3 "$log")"

(cd "$work/out" && sha256sum "$exe" "$deb") >"$work/out/SHA256SUMS"
{
    echo "vek-update $version"
    echo "Firmware image: $name"
    echo "Image size: $size bytes"
    echo "Image CRC-16: $crc (as the target reports it after programming)"
    echo "Image SHA-256: $(sha256sum <"$image" | cut -d' ' -f1)"
    echo "Source commit: $commit$commit_note"
    echo "Source date: $(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S UTC')"
    echo
    echo "SHA-256:"
    cat "$work/out/SHA256SUMS"
} >"$work/out/RELEASE.txt"

# Only now the output folder: a failure above leaves it as it was. The files are copied next
# to their places first and then renamed there, each replacing its predecessor at once.
if [ ! -e "$out" ]; then
    made=$out
    while [ ! -e "$(dirname -- "$made")" ]; do made=$(dirname -- "$made"); done
    mkdir -p -- "$out" 2>/dev/null || fail "cannot write to $out"
    made_out=$made
fi
stage=$(mktemp -d "$out/.vek-release.XXXXXX" 2>/dev/null) || fail "cannot write to $out"
cp -- "$work/out"/* "$stage/" 2>/dev/null || fail "cannot write to $out"
for f in "$exe" "$deb" SHA256SUMS RELEASE.txt; do
    mv -fT -- "$stage/$f" "$out/$f" || fail "cannot write to $out"
done
# A previous release of another version.
for f in "$out"/vek-update-*.exe "$out"/vek-update_*_amd64.deb; do
    [ "$f" = "$out/$exe" ] || [ "$f" = "$out/$deb" ] || rm -f -- "$f"
done
rel=$(realpath --relative-to="$caller" -- "$out")
[ "${rel#../}" = "$rel" ] || rel=$out
printf '%-40s %s\n' "$rel/$exe" "Windows program, $(stat -c %s "$out/$exe") bytes" \
    "$rel/$deb" "Debian package, $(stat -c %s "$out/$deb") bytes" \
    "$rel/SHA256SUMS" "checks: sha256sum -c SHA256SUMS" \
    "$rel/RELEASE.txt" "$version: $name, $size bytes, CRC-16 $crc, commit ${commit:0:12}$commit_note"

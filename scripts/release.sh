#!/usr/bin/env bash
# Turns a firmware image into a release of the tool that carries it:
#   scripts/release.sh IMAGE [--version X.Y.Z] [--out DIR] [SIGNING OPTIONS]
# writes to DIR (default: the source tree's dist/):
#   vek-update-X.Y.Z.exe          the Windows program, with the version and the image's figures
#                                 in its version resource
#   vek-update_X.Y.Z_amd64.deb    the Linux program as a Debian package
#   SHA256SUMS, RELEASE.txt       checksums; version, image, its CRC-16 and SHA-256, source commit
#   SHA256SUMS.asc                with --gpg-key: the checksums signed
# Without --version: X.Y.Z of a tag vX.Y.Z on the checked-out commit, else 0.0.N, N the number
# of commits up to it.
# Builds in fresh folders of its own, which it removes again. The outputs depend only on the
# commit, the image and the installed packages: two unsigned runs give the same bytes, and a
# signed program with its signature removed is the unsigned one.
#
# Signing, only with keys given (RELEASE.txt then names them). A file that holds a private key
# or a passphrase must be readable by its owner only; a passphrase is never an argument.
#   --sign-p12 FILE               sign the Windows program (Authenticode, SHA-256) with the key
#                                 and certificate of a PKCS#12 file, or
#   --sign-cert FILE --sign-key FILE
#                                 with a PEM certificate (its chain may follow it) and its key
#   --sign-pass-file FILE         the key's passphrase: the file holds it alone, on one line, or
#   --sign-pass-env NAME          the environment variable NAME holds it (neither: a key without)
#   --sign-name TEXT              the program's name in the signature (default: the window title)
#   --sign-url URL                a web page about the program, in the signature
#   --timestamp-url URL           an RFC 3161 time-stamp server, so that the signature stays good
#                                 after the certificate expires
#   --gpg-key KEY                 sign SHA256SUMS with this secret key (a fingerprint, or a name
#                                 that fits one key) of the GnuPG keyring (GNUPGHOME, ~/.gnupg)
#   --apt DIR                     with --gpg-key: add the package to the flat apt repository in
#                                 DIR: Packages, Release, InRelease signed with the key, and the
#                                 key as vek-update-archive-keyring.gpg for apt's signed-by. Its
#                                 earlier packages stay; a release of a lower version is refused.
set -euo pipefail

fail() {
    echo "release: $*" >&2
    exit 1
}

. "$(dirname "$0")/deps.sh"
usage="usage: scripts/release.sh IMAGE [--version X.Y.Z] [--out DIR] [SIGNING OPTIONS (--help)]"
image="" version="" out="" sign_p12="" sign_cert="" sign_key="" sign_pass_file="" sign_pass_env=""
sign_name="" sign_url="" timestamp_url="" gpg_key="" apt=""
while [ $# -gt 0 ]; do
    case $1 in
    --version | --out | --sign-p12 | --sign-cert | --sign-key | --sign-pass-file | \
        --sign-pass-env | --sign-name | --sign-url | --timestamp-url | --gpg-key | --apt)
        [ $# -ge 2 ] || fail "$usage"
        option=${1#--}
        printf -v "${option//-/_}" '%s' "$2"
        shift 2
        ;;
    -h | --help) help_if_asked --help ;;
    -*) fail "unknown option $1; $usage" ;;
    *)
        [ -z "$image" ] || fail "$usage"
        image=$1
        shift
        ;;
    esac
done
[ -n "$image" ] || fail "$usage"
authenticode=$sign_p12$sign_cert$sign_key
if [ -n "$sign_p12" ]; then
    [ -z "$sign_cert$sign_key" ] || fail "either --sign-p12, or --sign-cert with --sign-key"
elif [ -n "$authenticode" ]; then
    [ -n "$sign_cert" ] && [ -n "$sign_key" ] || fail "--sign-cert and --sign-key go together"
else
    [ -z "$sign_pass_file$sign_pass_env$sign_name$sign_url$timestamp_url" ] ||
        fail "the other --sign-... options and --timestamp-url need --sign-p12 or --sign-cert"
fi
[ -z "$sign_pass_file" ] || [ -z "$sign_pass_env" ] ||
    fail "either --sign-pass-file or --sign-pass-env"
[ -z "$sign_pass_env" ] || [[ "$sign_pass_env" =~ ^[A-Za-z_][A-Za-z0-9_]*$ ]] ||
    fail "--sign-pass-env takes the name of an environment variable: $sign_pass_env"
[ -z "$apt" ] || [ -n "$gpg_key" ] || fail "--apt needs --gpg-key, which signs the package source"
caller=$PWD
image=$(realpath -m -- "$image")
for v in out sign_p12 sign_cert sign_key sign_pass_file apt; do
    [ -z "${!v}" ] || printf -v "$v" '%s' "$(realpath -m -- "${!v}")"
done
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

packages=("${RELEASE_PACKAGES[@]}")
[ -z "$authenticode$gpg_key" ] || packages+=("${RELEASE_SIGN_PACKAGES[@]}")
need_packages "${packages[@]}" >&2

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

# only_holds DIR WHAT KIND NAME...: refuses DIR, a WHAT, when it is there and is no folder or
# holds anything but KIND: files whose names fit the patterns NAME.
only_holds() {
    local dir=$1 what=$2 kind=$3 f name
    shift 3
    [ -e "$dir" ] || return 0
    [ -d "$dir" ] || fail "$what is not a folder: $dir"
    for f in "$dir"/* "$dir"/.[!.]*; do
        [ -e "$f" ] || continue
        for name in "$@"; do
            # shellcheck disable=SC2053 # a pattern, matched as such
            [[ $(basename -- "$f") != $name ]] || continue 2
        done
        fail "$what holds other files than $kind: $dir"
    done
}
# The output folder holds one release: a previous one is replaced, anything else is left be.
only_holds "$out" "output folder" "a release" \
    'vek-update-*.exe' 'vek-update_*_amd64.deb' SHA256SUMS SHA256SUMS.asc RELEASE.txt
# The package source keeps every release's package; apt offers a station the highest version,
# so one lower than a package there would never reach a station.
keyring=vek-update-archive-keyring.gpg
if [ -n "$apt" ]; then
    [ "$apt" != "$out" ] || fail "the package source cannot be the output folder: $apt"
    only_holds "$apt" "package source folder" "a package source" \
        'vek-update_*_amd64.deb' Packages Release InRelease "$keyring"
    for f in "$apt"/vek-update_*_amd64.deb; do
        [ -e "$f" ] || continue
        v=$(dpkg-deb --field "$f" Version 2>/dev/null) || fail "cannot read the package $f"
        if dpkg --compare-versions "$version" lt "$v"; then
            fail "version $version is lower than $v, which the package source holds: $apt"
        fi
    done
fi

export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct HEAD)

work=$(mktemp -d "$tmp/vek-release.XXXXXX")
stages=() made=()
# On any exit: the build folders go, and so do the staging folders in the output folder and
# the package source and, on a failure, those folders themselves where this run made them.
cleanup() {
    local rc=$?
    rm -rf "$work" "${stages[@]}"
    [ $rc = 0 ] || rm -rf "${made[@]}"
}
trap cleanup EXIT
umask 022

# The keys, checked before the build: a mistake costs seconds, not a build, and a release is
# either signed as asked or not made.
# readable WHAT FILE, secret WHAT FILE: refuse a file that cannot be read; and one holding a
# key or a passphrase that others than its owner can read.
readable() {
    head -c 1 -- "$2" >/dev/null 2>&1 || fail "cannot read the $1: $2"
}
secret() {
    readable "$1" "$2"
    local mode
    mode=$(stat -L -c %a -- "$2")
    [ $((8#$mode & 8#044)) = 0 ] ||
        fail "the $1 can be read by others than its owner (mode $mode, chmod 600 it): $2"
}
if [ -n "$authenticode" ]; then
    # $work is its owner's only (mktemp -d): the passphrase from the environment is written
    # there for osslsigncode, which reads a passphrase from a file but not from a variable.
    keys=$work/keys
    mkdir -m 700 "$keys"
    if [ -n "$sign_pass_file" ]; then
        secret "passphrase file" "$sign_pass_file"
        # openssl reads the first line, osslsigncode the whole file.
        [ "$(wc -l <"$sign_pass_file")" -le 1 ] ||
            fail "the passphrase file holds more than one line: $sign_pass_file"
        pass=$sign_pass_file
    else
        [ -z "$sign_pass_env" ] || [ -n "${!sign_pass_env+set}" ] ||
            fail "the environment variable $sign_pass_env (--sign-pass-env) is not set"
        # An empty one for a key without a passphrase, so that no tool asks at the terminal.
        pass=$keys/passphrase
        (umask 077 && printf '%s\n' "${sign_pass_env:+${!sign_pass_env}}" >"$pass")
        # Not handed on to the builds and tools started from here on.
        [ -z "$sign_pass_env" ] || unset "$sign_pass_env"
    fi
    # key_refused WHAT FILE: a key that does not open; openssl tells a wrong passphrase.
    key_refused() {
        # PKCS#12 says "password"; an encrypted PEM key that the passphrase does not open, "bad
        # decrypt".
        grep -qiE 'password|bad decrypt' "$keys/err" || fail "cannot read the $1: $2"
        [ -n "$sign_pass_file$sign_pass_env" ] ||
            fail "the $1 needs its passphrase (--sign-pass-file or --sign-pass-env): $2"
        fail "wrong passphrase for the $1: $2"
    }
    if [ -n "$sign_p12" ]; then
        secret "PKCS#12 file" "$sign_p12"
        openssl pkcs12 -in "$sign_p12" -passin "file:$pass" -nokeys -clcerts \
            -out "$keys/cert.pem" 2>"$keys/err" || key_refused "PKCS#12 file" "$sign_p12"
        cert_file=$sign_p12
    else
        secret "private key" "$sign_key"
        openssl x509 -in "$sign_cert" -out "$keys/cert.pem" 2>/dev/null ||
            fail "cannot read the certificate (PEM): $sign_cert"
        openssl pkey -in "$sign_key" -passin "file:$pass" -pubout -out "$keys/key.pub" \
            2>"$keys/err" || key_refused "private key" "$sign_key"
        openssl x509 -in "$keys/cert.pem" -noout -pubkey | cmp -s - "$keys/key.pub" ||
            fail "the private key is not the certificate's: $sign_key"
        cert_file=$sign_cert
    fi
    cert() { openssl x509 -in "$keys/cert.pem" -noout "$@"; }
    cert_end=$(cert -enddate)
    cert_end=${cert_end#*=}
    cert -checkend 0 >/dev/null || fail "the certificate expired on $cert_end: $cert_file"
    # Windows accepts an Authenticode signature only from a certificate issued for code signing.
    usages=$(cert -ext extendedKeyUsage 2>&1 || true)
    [[ "$usages" == *"Code Signing"* ]] || fail "the certificate is not for code signing" \
        "(no codeSigning extended key usage): $cert_file"
    # As Windows shows them: the subject's most specific name first, the fingerprints in hex.
    cert_subject=$(cert -subject -nameopt RFC2253,sep_comma_plus_space,-esc_msb)
    cert_sha256=$(cert -fingerprint -sha256)
    cert_sha1=$(cert -fingerprint -sha1)
fi
if [ -n "$gpg_key" ]; then
    # One key, by its fingerprint, makes every signature of the release.
    gpg_fpr=$(gpg --batch --with-colons --list-secret-keys -- "$gpg_key" 2>/dev/null |
        awk -F: '$1 == "sec" { sec = 1 } $1 == "fpr" && sec { print $10; sec = 0 }') || true
    [ -n "$gpg_fpr" ] || fail "no secret GnuPG key $gpg_key in the keyring (${GNUPGHOME:-~/.gnupg})"
    [ "$(wc -l <<<"$gpg_fpr")" = 1 ] ||
        fail "more than one GnuPG key fits $gpg_key: give a fingerprint"
    # A signature made now stops an expired, revoked or certify-only key, or a passphrase not
    # at hand, before the build; the agent keeps the passphrase asked here for the rest.
    echo "vek-update release" | gpg --batch --local-user "$gpg_fpr" --detach-sign \
        >/dev/null 2>"$work/gpg.err" ||
        fail "GnuPG key $gpg_fpr cannot sign: $(sed -n '$s/^gpg: //p' "$work/gpg.err")"
fi

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
title=$(sed -n 's/^#define VEK_TITLE "\(.*\)"$/\1/p' shell/dialog.h)
[ -n "$title" ] || fail "no VEK_TITLE in shell/dialog.h"
if [ -n "$authenticode" ]; then
    if [ -n "$sign_p12" ]; then
        with=(-pkcs12 "$sign_p12")
    else
        with=(-certs "$sign_cert" -key "$sign_key")
    fi
    with+=(-readpass "$pass" -h sha256 -n "${sign_name:-$title}")
    [ -z "$sign_url" ] || with+=(-i "$sign_url")
    [ -z "$timestamp_url" ] || with+=(-ts "$timestamp_url")
    osslsigncode sign "${with[@]}" -in "$work/mingw/shell/vek-update.exe" -out "$work/out/$exe" \
        >>"$log" 2>&1 || fail "osslsigncode could not sign: $(tail -n 3 "$log")"
    rm -f -- "$keys/passphrase"
else
    cp "$work/mingw/shell/vek-update.exe" "$work/out/$exe"
fi

# The package's tree.
sed_name=$(printf '%s' "$name" | sed 's/[&|]/\\&/g')
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
if [ -n "$gpg_key" ]; then
    gpg --batch --local-user "$gpg_fpr" --armor --detach-sign --output "$work/out/SHA256SUMS.asc" \
        "$work/out/SHA256SUMS" 2>>"$log" || fail "gpg could not sign: $(tail -n 3 "$log")"
fi
{
    echo "vek-update $version"
    echo "Firmware image: $name"
    echo "Image size: $size bytes"
    echo "Image CRC-16: $crc (as the target reports it after programming)"
    echo "Image SHA-256: $(sha256sum <"$image" | cut -d' ' -f1)"
    echo "Source commit: $commit$commit_note"
    echo "Source date: $(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S UTC')"
    if [ -n "$authenticode" ]; then
        echo "Windows program signed by: ${cert_subject#subject=}"
        echo "Certificate SHA-256 fingerprint: $(tr -d : <<<"${cert_sha256#*=}")"
        echo "Certificate thumbprint (SHA-1, as Windows shows it): $(tr -d : <<<"${cert_sha1#*=}")"
        echo "Signature time stamp: ${timestamp_url:-none: the signature is good until $cert_end}"
    fi
    [ -z "$gpg_key" ] || echo "SHA256SUMS.asc made with the GnuPG key $gpg_fpr"
    echo
    echo "SHA-256:"
    cat "$work/out/SHA256SUMS"
} >"$work/out/RELEASE.txt"

# The package source: the packages it holds and this one, its indices made anew and signed.
if [ -n "$apt" ]; then
    mkdir "$work/apt"
    for f in "$apt"/vek-update_*_amd64.deb; do
        [ -e "$f" ] || continue
        cp -- "$f" "$work/apt/" || fail "cannot read the package $f"
    done
    # A station that has a version never fetches other bytes of it.
    [ ! -e "$work/apt/$deb" ] || cmp -s "$work/out/$deb" "$work/apt/$deb" ||
        fail "version $version is in the package source already, with other contents: $apt"
    cp "$work/out/$deb" "$work/apt/"
    (cd "$work/apt" && apt-ftparchive packages . >"$work/Packages" && mv "$work/Packages" . &&
        apt-ftparchive release . >"$work/Release" && mv "$work/Release" .) 2>>"$log" ||
        fail "apt-ftparchive failed: $(tail -n 3 "$log")"
    gpg --batch --local-user "$gpg_fpr" --clearsign --output "$work/apt/InRelease" \
        "$work/apt/Release" 2>>"$log" || fail "gpg could not sign: $(tail -n 3 "$log")"
    gpg --batch --export "$gpg_fpr" >"$work/apt/$keyring"
fi

# Only now the output folder and the package source: a failure above leaves them as they were.
# The files are copied next to their places first and then renamed there, each replacing its
# predecessor at once.
# stage DIR FILE...: copies the files into a new staging folder in DIR (made if missing), and
# $staged names it.
stage() {
    local dir=$1 top=$1
    shift
    if [ ! -e "$dir" ]; then
        while [ ! -e "$(dirname -- "$top")" ]; do top=$(dirname -- "$top"); done
        mkdir -p -- "$dir" 2>/dev/null || fail "cannot write to $dir"
        made+=("$top")
    fi
    staged=$(mktemp -d "$dir/.vek-release.XXXXXX" 2>/dev/null) || fail "cannot write to $dir"
    stages+=("$staged")
    cp -- "$@" "$staged/" 2>/dev/null || fail "cannot write to $dir"
}
stage "$out" "$work/out"/*
out_stage=$staged
apt_files=("$deb" "$keyring" Packages Release InRelease)
if [ -n "$apt" ]; then
    stage "$apt" "${apt_files[@]/#/$work/apt/}"
fi
# An unsigned release takes away the signature of the checksums it replaces first.
[ -n "$gpg_key" ] || rm -f -- "$out/SHA256SUMS.asc"
for f in "$exe" "$deb" SHA256SUMS SHA256SUMS.asc RELEASE.txt; do
    [ ! -e "$out_stage/$f" ] || mv -fT -- "$out_stage/$f" "$out/$f" || fail "cannot write to $out"
done
# A previous release of another version.
for f in "$out"/vek-update-*.exe "$out"/vek-update_*_amd64.deb; do
    [ "$f" = "$out/$exe" ] || [ "$f" = "$out/$deb" ] || rm -f -- "$f"
done
# The package and the key before the indices, InRelease last.
if [ -n "$apt" ]; then
    for f in "${apt_files[@]}"; do
        mv -fT -- "$staged/$f" "$apt/$f" || fail "cannot write to $apt"
    done
fi
# shown DIR: DIR as the caller sees it, relative to where it was called unless outside that.
shown() {
    local rel
    rel=$(realpath --relative-to="$caller" -- "$1")
    [ "${rel#../}" = "$rel" ] && echo "$rel" || echo "$1"
}
rel=$(shown "$out")
signed=""
[ -z "$authenticode" ] || signed=", signed by ${cert_subject#subject=}"
printf '%-40s %s\n' "$rel/$exe" "Windows program, $(stat -c %s "$out/$exe") bytes$signed" \
    "$rel/$deb" "Debian package, $(stat -c %s "$out/$deb") bytes" \
    "$rel/SHA256SUMS" "checks: sha256sum -c SHA256SUMS"
[ -z "$gpg_key" ] || printf '%-40s %s\n' "$rel/SHA256SUMS.asc" "gpg --verify SHA256SUMS.asc"
printf '%-40s %s\n' \
    "$rel/RELEASE.txt" "$version: $name, $size bytes, CRC-16 $crc, commit ${commit:0:12}$commit_note"
if [ -n "$apt" ]; then
    printf '%-40s %s\n' "$(shown "$apt")/" "package source: $deb added, InRelease signed"
fi
[ -z "$authenticode" ] || [ -n "$timestamp_url" ] ||
    echo "release: no --timestamp-url: Windows takes the signature as good until $cert_end only" >&2

#!/usr/bin/env bash
# Sourced by the other scripts: installs the Debian packages the build and tests need, once,
# and answers their --help.
# Usage: . scripts/deps.sh; help_if_asked "$@"; need_packages pkg...

# With -h or --help as the first argument: prints the calling script's opening comment, its
# usage among it, and ends the script.
help_if_asked() {
    case ${1:-} in
    -h | --help)
        sed -n '2,/^[^#]/{/^#/{s/^# \{0,1\}//;p}}' "$0"
        exit 0
        ;;
    esac
}

# Run rather than sourced, it says what it is for.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    help_if_asked --help
fi

need_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

BUILD_PACKAGES=(cmake ninja-build g++ libgtest-dev libgmock-dev pkg-config nlohmann-json3-dev)
# The GTK 4 window, and what its demo and end-to-end tests drive it with.
GTK_PACKAGES=(libgtk-4-dev xvfb xauth xdotool imagemagick python3)
# The Windows program: cross compiler, GoogleTest's sources for it, Wine to run it headless,
# with the X libraries and fonts its window needs under Xvfb.
WINE_PACKAGES=(g++-mingw-w64-x86-64-posix googletest wine64 fonts-wine libxrender1 libxrandr2
    libxi6 libxcursor1 libxfixes3 libxinerama1 libxcomposite1 xvfb xauth xdotool imagemagick)
# The hardening checks: clang with its sanitizer and libFuzzer runtimes, valgrind, and the
# two static analyzers; strace, with which a command-line test sees a report line reach the disk
# before its summary.
CHECK_PACKAGES=(clang libclang-rt-14-dev valgrind clang-tidy cppcheck strace)
# The fuzz target's coverage (scripts/fuzz.sh --coverage): llvm-profdata and llvm-cov.
COVERAGE_PACKAGES=(llvm)
# A release (scripts/release.sh): both programs built, and the Debian package made.
RELEASE_PACKAGES=(cmake ninja-build g++ pkg-config libgtk-4-dev nlohmann-json3-dev g++-mingw-w64-x86-64-posix
    dpkg-dev git help2man)
# A signed release, installed only when keys are given: the Windows program signed with
# osslsigncode, its certificate and key checked with openssl, the checksums and the package
# source signed with gpg, the source's indices made with apt-ftparchive (apt-utils).
RELEASE_SIGN_PACKAGES=(osslsigncode openssl gnupg apt-utils)
# The release tests read the Windows program's resources with wrestool, decode its icons with
# icotool and check the package's desktop entry with desktop-file-validate; they sign with
# throw-away keys, and check what was signed with the same tools.
RELEASE_TEST_PACKAGES=(icoutils desktop-file-utils lintian "${RELEASE_SIGN_PACKAGES[@]}")
# The tool's icon made from its drawing (scripts/icon.sh), once after each change to it.
ICON_PACKAGES=(librsvg2-bin icoutils)
# The serial backend on a real kernel UART: an emulated PC booting Debian's own kernel with an
# initramfs of static busybox and the test program, put together with cpio at test time.
UART_PACKAGES=(qemu-system-x86 linux-image-amd64 busybox-static cpio)

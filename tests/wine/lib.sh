# Sourced by the Wine test scripts: Wine prefixes with only the test's COM ports, simulated
# targets on pseudo-terminals, an X server of their own, and waiting with upper bounds.
# Everything started here is stopped by wine_test_cleanup (the scripts trap EXIT with it).

WINE64=${VEK_WINE64:-/usr/lib/wine/wine64}
WINESERVER=${VEK_WINESERVER:-/usr/lib/wine/wineserver}
[ -x "$WINE64" ] || WINE64=$(command -v wine64)
[ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver)
# No Mono or Gecko installer prompts with nobody to answer them; no debug chatter.
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=${WINEDEBUG:--all}

WINE_TEST_DIR=""  # scratch folder of this test: prefix, simulator files, X server
WINE_TEST_PIDS=() # background processes to end at cleanup
XVFB_PID=""

log() { echo "[$(date +%T.%3N)] $*" >&2; }
fail() {
    log "FAIL: $*"
    exit 1
}

# wait_for SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds; 1 on timeout.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

# A scratch folder under TMPDIR; removed at cleanup.
wine_test_dir() {
    WINE_TEST_DIR=$(mktemp -d "${TMPDIR:-/tmp}/vek-wine.XXXXXX")
}

# wine_boot DIR: a new prefix at DIR, initialised and with its server stopped again.
wine_boot() {
    rm -rf "$1"
    mkdir -p "$(dirname "$1")"
    WINEPREFIX="$1" "$WINE64" wineboot -i >"$1.boot.log" 2>&1 || fail "wineboot: $(cat "$1.boot.log")"
    WINEPREFIX="$1" "$WINESERVER" -w
    [ -f "$1/system.reg" ] || fail "wineboot did not create the prefix $1"
    # Wine draws the caption buttons with Marlett, which Debian's build does not find on its own.
    local marlett=/usr/share/wine/fonts/marlett.ttf
    if [ -f "$marlett" ]; then
        cp "$marlett" "$1/drive_c/windows/Fonts/"
    fi
}

# wine_prefix: a fresh prefix for this test in WINE_TEST_DIR. With VEK_WINE_TEMPLATE naming a
# freshly booted prefix (the test run's set-up boots one), it is a copy of that, in well under
# a second instead of several: the DLLs of system32, which Wine only reads, are hard links;
# every other file, the registry among them, which Wine rewrites in place, is copied.
wine_prefix() {
    export WINEPREFIX="$WINE_TEST_DIR/prefix"
    if [ -n "${VEK_WINE_TEMPLATE:-}" ] && [ -f "$VEK_WINE_TEMPLATE/system.reg" ]; then
        cp -al "$VEK_WINE_TEMPLATE" "$WINEPREFIX"
        find "$WINEPREFIX" -type f -not -path "$WINEPREFIX/drive_c/windows/system32/*" -print0 |
            while IFS= read -r -d '' f; do
                cp -p "$f" "$f.copy" && mv -f "$f.copy" "$f"
            done
    else
        wine_boot "$WINEPREFIX"
    fi
}

# wine_start [COMn=PATH]...: starts the prefix with exactly these COM ports (names in capitals). Wine creates a
# dosdevices/comN link for each mapping when the prefix starts, and gives the remaining
# numbers to the machine's /dev/ttyS*, ttyUSB* and ttyACM*; those links are removed, and the
# server is kept running so that no later start brings them back. Where no link exists Wine
# still opens COMn as /dev/ttyS(n-1): those numbers get a link to a folder, which stops
# that fallback and cannot be opened as a file.
wine_start() {
    local m n
    for m in "$@"; do
        "$WINE64" reg add 'HKLM\Software\Wine\Ports' /v "${m%%=*}" /d "${m#*=}" /f >/dev/null 2>&1 ||
            fail "reg add ${m%%=*}"
    done
    # Wine draws the caption itself, as there is no window manager to do it.
    "$WINE64" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1 ||
        fail "reg add Decorated"
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -w
    "$WINESERVER" -p >/dev/null 2>&1
    "$WINE64" reg query 'HKLM\Software\Wine\Ports' >/dev/null 2>&1 || fail "prefix does not start"
    local link name keep
    for link in "$WINEPREFIX"/dosdevices/com*; do
        [ -L "$link" ] || continue
        name=$(basename "$link")
        keep=0
        for m in "$@"; do
            [ "${m%%=*}" = "${name^^}" ] && keep=1
        done
        if [ $keep = 0 ]; then
            rm -f "$link"
        fi
    done
    mkdir -p "$WINE_TEST_DIR/no-port"
    for n in $(seq 1 256); do
        link="$WINEPREFIX/dosdevices/com$n"
        if [ -e "/dev/ttyS$((n - 1))" ] && [ ! -L "$link" ]; then
            ln -s "$WINE_TEST_DIR/no-port" "$link"
        fi
    done
    # Wine maps COM1 to COM256 only; it opens a higher number all the same through a link.
    for m in "$@"; do
        n=${m%%=*}
        n=${n#COM}
        link="$WINEPREFIX/dosdevices/com$n"
        if [ ! -L "$link" ] && [ "$n" -gt 256 ]; then
            ln -s "${m#*=}" "$link"
        fi
        [ "$(readlink "$link")" = "${m#*=}" ] || fail "Wine did not map ${m%%=*}: $(ls -l "$link" 2>&1)"
    done
    log "prefix $WINEPREFIX, ports: $*"
}

# sim_start NAME ARGS...: a simulated target on a new pseudo-terminal, linked at
# WINE_TEST_DIR/NAME.pty; it writes NAME.mem (memory, at exit), NAME.log (frames) and NAME.out.
sim_start() {
    local name=$1
    shift
    local d=$WINE_TEST_DIR
    "$VEK_SIM" --link "$d/$name.pty" --memory-out "$d/$name.mem" --log "$d/$name.log" --quiet \
        "$@" >"$d/$name.out" 2>"$d/$name.err" &
    WINE_TEST_PIDS+=($!)
    eval "SIM_PID_$name=$!"
    wait_for 30 grep -q '^port: ' "$d/$name.out" || fail "simulator $name did not start: $(cat "$d/$name.err")"
    [ -L "$d/$name.pty" ] || fail "simulator $name made no link"
}

# sim_stop NAME: ends the simulator and waits until it has written its memory.
sim_stop() {
    local pid
    eval "pid=\${SIM_PID_$1:-}"
    [ -n "$pid" ] || return 0
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    eval "SIM_PID_$1="
}

# sim_frames NAME: how many frames the simulator has heard so far.
sim_frames() { wc -l 2>/dev/null <"$WINE_TEST_DIR/$1.log" || echo 0; }

# xvfb_start: an X server on a free display number, exported as DISPLAY.
xvfb_start() {
    local number=$WINE_TEST_DIR/xvfb.display
    # -displayfd: the server picks a free display and writes its number once it is ready.
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$number" 2>"$WINE_TEST_DIR/xvfb.err" &
    XVFB_PID=$!
    wait_for 60 grep -q '[0-9]' "$number" || fail "Xvfb did not start: $(cat "$WINE_TEST_DIR/xvfb.err")"
    export DISPLAY=":$(head -n1 "$number")"
    log "Xvfb on $DISPLAY"
}

screenshot() {
    mkdir -p "$(dirname "$1")"
    import -display "$DISPLAY" -window root "$1" && log "screenshot $1"
}

wine_test_cleanup() {
    local pid
    # Only a prefix of this test's own: never the caller's.
    if [ -n "$WINE_TEST_DIR" ] && [ "${WINEPREFIX:-}" = "$WINE_TEST_DIR/prefix" ]; then
        "$WINESERVER" -k 2>/dev/null || true
        "$WINESERVER" -w 2>/dev/null || true
    fi
    for pid in "${WINE_TEST_PIDS[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${WINE_TEST_PIDS[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    if [ -n "$XVFB_PID" ]; then
        kill -TERM "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
    fi
    if [ -n "$WINE_TEST_DIR" ] && [ -z "${VEK_KEEP_TEST_DIR:-}" ]; then
        rm -rf "$WINE_TEST_DIR"
    fi
}

# Wine harness: a private, headless prefix inside the build tree and one warm
# wineserver for it. Sourced by wine-run.sh and build.sh; needs WINEPREFIX.
#   wine_env_ensure  make the prefix if it is new, start the server if it is down
#   wine_env_stop    stop the prefix's server (and every Wine process in it)

export WINEDEBUG=${WINEDEBUG:--all}
export WINEARCH=win64
# No Mono/Gecko installer prompts and no desktop menu entries in a test prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
WINE64=/usr/lib/wine/wine64
WINESERVER64=/usr/lib/wine/wineserver64

# Whether this prefix's server runs. The server works in its own directory,
# server-<dev>-<inode> of the prefix, under /tmp/.wine-<uid> or under the
# directory named in the prefix's "wineserver" file; its socket file outlives
# it, so the running process is looked for instead.
wine_server_running() {
    local id dir pid
    id=$(stat -c '%d %i' "$WINEPREFIX" 2>/dev/null) || return 1
    set -- $id
    dir=$(printf 'server-%x-%x' "$1" "$2")
    for pid in $(pgrep -x wineserver64 2>/dev/null; pgrep -x wineserver 2>/dev/null); do
        case "$(readlink "/proc/$pid/cwd" 2>/dev/null)" in
        */"$dir") return 0 ;;
        esac
    done
    return 1
}

wine_env_start_server() {
    # -p keeps the server (and keys made under HKEY_USERS) alive between
    # programs. Wine's own background processes inherit the standard handles
    # of the first program of a server, so that one runs with all output
    # sent to /dev/null; otherwise a piped test would hang on them.
    "$WINESERVER64" -p </dev/null >/dev/null 2>&1 9>&-
    "$WINE64" cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 9>&-
}

# Everything here runs under the harness lock (fd 9); what it starts must not
# inherit that descriptor, or the warm server would hold the lock for good.
wine_env_init_prefix() {
    mkdir -p "$WINEPREFIX"
    "$WINE64" wineboot -i </dev/null >/dev/null 2>&1 9>&-
    "$WINESERVER64" -w
    wine_env_start_server
    # Null display driver: windows can be created without a display.
    "$WINE64" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f </dev/null >/dev/null 2>&1 9>&-
    # A crash must end the program, not open a dialog and stall the run.
    "$WINE64" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1 9>&-
    # The display driver is read at process start: restart the server cold.
    "$WINESERVER64" -k >/dev/null 2>&1; "$WINESERVER64" -w
    touch "$WINEPREFIX/.harness-ready"
}

wine_env_ensure() {
    [ -n "$WINEPREFIX" ] || { echo "wine-env: WINEPREFIX is not set" >&2; return 1; }
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        if [ ! -f "$WINEPREFIX/.harness-ready" ]; then
            echo "wine-env: making the Wine prefix $WINEPREFIX (once, about 20 s)" >&2
            rm -rf "$WINEPREFIX"
            wine_env_init_prefix
        fi
        wine_server_running || wine_env_start_server
    ) 9>"$WINEPREFIX.lock"
}

wine_env_stop() {
    [ -d "$WINEPREFIX" ] || return 0
    # (Either fails when no server runs: nothing to stop then.)
    "$WINESERVER64" -k >/dev/null 2>&1 || true
    "$WINESERVER64" -w >/dev/null 2>&1 || true
}

#!/bin/bash
# The whole scenario under Wine, shown as it happens: the trace viewer runs in
# the background and prints every trace line of the guard (TAVRIKEN) and the
# co-installer (HELDRAVO) live, between the steps printed here. Every step is
# checked against the trace or the registry; the first one that does not
# happen ends the demo with a message and exit code 1.
#   run_demo.sh <build dir>      (./build.sh demo sets up the Wine prefix)
set -uo pipefail
BUILD=${1:?usage: run_demo.sh <build dir>}
BUILD=$(cd "$BUILD" && pwd)
: "${WINEPREFIX:?WINEPREFIX must be set (run it through ./build.sh demo)}"
WINE=/usr/lib/wine/wine64
TOOLS=$BUILD/tools
DIST=$BUILD/dist
WORK=$(mktemp -d)
TRACE=$WORK/trace.log
GUARD=TAVRIKEN
COINSTALLER=HELDRAVO
PRINTER="Demo Office Printer"
MODEL="Demo Model 5000"
PORT=USB001
USERS=(S-1-5-21-1000-2000-3000-1001 S-1-5-21-1000-2000-3000-1002)
VIEWER_PID="" GUARD_PID="" HOLD_PID="" PROBE_PID=""
checked=0   # trace lines already matched: later checks look only past them

for f in "$TOOLS/trace_viewer.exe" "$TOOLS/port_client.exe" "$TOOLS/device_installer.exe" \
         "$TOOLS/demo_driver.exe" "$DIST/$GUARD.exe" "$DIST/$COINSTALLER.dll"; do
    [ -f "$f" ] || { echo "DEMO FAILED: $f is missing; build first" >&2; exit 1; }
done

run() { "$WINE" "$@" </dev/null; }
winpath() { echo "Z:${1//\//\\}"; }

stop_pid() {   # a process this script started, if it still runs
    [ -n "$1" ] && kill -0 "$1" 2>/dev/null && kill "$1" 2>/dev/null
    [ -n "$1" ] && wait "$1" 2>/dev/null
}

cleanup() {
    stop_pid "$HOLD_PID"; stop_pid "$PROBE_PID"; stop_pid "$GUARD_PID"; stop_pid "$VIEWER_PID"
    run "$TOOLS/demo_driver.exe" remove-printer "$PRINTER" "$MODEL" >/dev/null 2>&1
    for sid in "${USERS[@]}"; do run "$TOOLS/demo_driver.exe" remove-user "$sid" >/dev/null 2>&1; done
    rm -rf "$WORK"
}
trap cleanup EXIT
trap "exit 1" INT TERM HUP PIPE

fail() {
    echo >&2
    echo "DEMO FAILED: $*" >&2
    exit 1
}

step() { echo; echo "=== $*"; run "$TOOLS/demo_driver.exe" trace "DEMO : $*"; }

# Waits (at most $2 seconds, default 10) for a trace line containing the text,
# after the lines matched so far; fails the demo when it does not come.
expect() {
    local text=$1 limit=${2:-10} n tries=0
    while :; do
        n=$(tail -n +$((checked + 1)) "$TRACE" 2>/dev/null | grep -n -F -m1 -- "$text" | cut -d: -f1)
        if [ -n "$n" ]; then checked=$((checked + n)); return 0; fi
        tries=$((tries + 1))
        [ $tries -gt $((limit * 10)) ] && fail "the trace line \"$text\" did not appear within ${limit} s"
        sleep 0.1
    done
}

# The same line $2 times in a row of matches.
expect_times() { local i; for ((i = 0; i < $2; i++)); do expect "$1"; done; }

echo "Printer driver companions: demo under Wine (prefix $WINEPREFIX)"
echo "Trace lines (time, channel: S this session or G session 0, process id, text) come from the trace viewer running in the background."

# The viewer first, so nothing of the guard is missed; it stops at the demo's last marker.
run "$TOOLS/trace_viewer.exe" --tag "$GUARD" --tag "$COINSTALLER" --tag DEMO \
    --until "DEMO : end" --duration 300000 --flush --log "$(winpath "$TRACE")" &
VIEWER_PID=$!
for _ in $(seq 100); do [ -s "$TRACE" ] || [ -f "$TRACE" ] && break; sleep 0.1; done
[ -f "$TRACE" ] || fail "the trace viewer did not start"
kill -0 "$VIEWER_PID" 2>/dev/null || fail "the trace viewer ended at once (is another viewer running?)"

# ---- the power guard ----
step "1. The power guard $GUARD starts"
"$WINE" "$DIST/$GUARD.exe" </dev/null >/dev/null 2>&1 &
GUARD_PID=$!
run "$TOOLS/demo_driver.exe" wait-window "$GUARD" 10000 || fail "the guard's window did not appear"
expect "${GUARD}WinMain() : CreateEvent(Global\\${GUARD}.OnlyOneInstance) SUCCESS"

step "2. The port client registers ports 1, 2 and 3"
run "$TOOLS/port_client.exe" --tag "$GUARD" register 1 2 3 || fail "the port client could not register"
expect "${GUARD}OnPowRegister() : Dump() : 3 Item(s)"

step "3. Port 2 is busy: the port client holds its mutex for 6 s"
run "$TOOLS/port_client.exe" --tag "$GUARD" hold 2 6000 > "$WORK/hold.out" 2>&1 &
HOLD_PID=$!
for _ in $(seq 100); do grep -q "held 2" "$WORK/hold.out" && break; sleep 0.1; done
grep -q "held 2" "$WORK/hold.out" || fail "the port client did not take port 2"
echo "port client: $(cat "$WORK/hold.out")"

step "4. A suspend is announced (PBT_APMSUSPEND): the guard waits for port 2, 1.9 s at most"
run "$TOOLS/demo_driver.exe" broadcast "$GUARD" PBT_APMSUSPEND || fail "the suspend was not answered"
expect "${GUARD}OnPowerBroadcast(PBT_APMSUSPEND)"
expect "${GUARD}OnPowerBroadcast() : WaitForMultipleObjects() returns WAIT_TIMEOUT"
echo "(the time-out: the machine suspends without the guard holding the ports)"

step "5. The resume (PBT_APMRESUMEAUTOMATIC): the guard lets go; it held nothing, so each release fails with 288, harmlessly"
run "$TOOLS/demo_driver.exe" broadcast "$GUARD" PBT_APMRESUMEAUTOMATIC || fail "the resume was not answered"
expect "${GUARD}OnPowerBroadcast(PBT_APMRESUMEAUTOMATIC)"
expect_times "${GUARD}OnPowerBroadcast() : Release Mutex failed. GetLastError() = 288" 3

step "6. The port client is done with port 2; a second suspend finds every port idle and takes them all"
for _ in $(seq 100); do kill -0 "$HOLD_PID" 2>/dev/null || break; sleep 0.1; done
wait "$HOLD_PID"; rc=$?; HOLD_PID=""
[ $rc -eq 0 ] && grep -q "released 2" "$WORK/hold.out" || fail "the port client did not release port 2 (exit $rc)"
echo "port client: $(tr '\n' ' ' < "$WORK/hold.out")"
run "$TOOLS/demo_driver.exe" broadcast "$GUARD" PBT_APMSUSPEND || fail "the suspend was not answered"
expect "${GUARD}OnPowerBroadcast(PBT_APMSUSPEND)"
expect "${GUARD}OnPowerBroadcast() : All Mutex ${GUARD}.HardwareAccess acquired"
echo "(while the machine sleeps, the port client waits for a port:)"
"$WINE" "$TOOLS/port_client.exe" --tag "$GUARD" --wait-ms 20000 try 1 </dev/null > "$WORK/probe.out" 2>&1 &
PROBE_PID=$!
sleep 1
grep -q "held 1" "$WORK/probe.out" && fail "the port client got port 1 while the guard holds it"
echo "port client: still waiting for port 1"

step "7. The resume releases every port, and the waiting port client goes on"
run "$TOOLS/demo_driver.exe" broadcast "$GUARD" PBT_APMRESUMEAUTOMATIC || fail "the resume was not answered"
expect "${GUARD}OnPowerBroadcast(PBT_APMRESUMEAUTOMATIC)"
expect_times "${GUARD}OnPowerBroadcast() : Release Mutex SUCCEEDED" 3
for _ in $(seq 100); do kill -0 "$PROBE_PID" 2>/dev/null || break; sleep 0.1; done
wait "$PROBE_PID"; rc=$?; PROBE_PID=""
[ $rc -eq 0 ] && grep -q "held 1" "$WORK/probe.out" || fail "the port client did not get port 1 after the resume (exit $rc)"
echo "port client: $(tr '\n' ' ' < "$WORK/probe.out")"

step "8. The guard closes (WM_CLOSE) and exits with 0"
run "$TOOLS/demo_driver.exe" close "$GUARD" || fail "the guard did not take WM_CLOSE"
for _ in $(seq 100); do kill -0 "$GUARD_PID" 2>/dev/null || break; sleep 0.1; done
kill -0 "$GUARD_PID" 2>/dev/null && fail "the guard did not end after WM_CLOSE"
wait "$GUARD_PID"; rc=$?; GUARD_PID=""
[ $rc -eq 0 ] || fail "the guard ended with exit code $rc"
echo "guard exit code: $rc"

# ---- the co-installer ----
step "9. A print queue for the model, and two users whose hives know it"
run "$TOOLS/demo_driver.exe" add-printer "$PRINTER" "$MODEL" "$PORT" || fail "the print queue could not be added"
for sid in "${USERS[@]}"; do
    run "$TOOLS/demo_driver.exe" add-user "$sid" "$PRINTER" "winspool,$PORT" || fail "user $sid could not be made"
done

step "10. The device installer installs the printer device; the co-installer $COINSTALLER runs after it"
run "$TOOLS/device_installer.exe" --coinstaller "$(winpath "$DIST/$COINSTALLER.dll")" --model "$MODEL" \
    --port "$PORT" --post-processing || fail "the device installer failed"
expect "${COINSTALLER} : DIF_INSTALLDEVICE"
expect "${COINSTALLER} : DIF_INSTALLDEVICE PostProcessing"
expect "${COINSTALLER} : GetPrinterModelName() : Model Name = \"$MODEL\""
expect "${COINSTALLER} : PortName = $PORT"
expect "${COINSTALLER} : FOUND : Printer Name = \"$PRINTER\" Model Name = \"$MODEL\" Port Name = \"$PORT\""
for sid in "${USERS[@]}"; do
    expect "${COINSTALLER} : $sid\\n==========================================="
    expect "${COINSTALLER} : $PRINTER,winspool,$PORT"
done
expect "GetLastError() = 259"

step "11. The default printer of each user, as the registry holds it now"
for sid in "${USERS[@]}"; do
    run "$TOOLS/demo_driver.exe" show-default "$sid" "$PRINTER,winspool,$PORT" \
        || fail "user $sid does not have \"$PRINTER\" as default printer"
done

run "$TOOLS/demo_driver.exe" trace "DEMO : end"
for _ in $(seq 100); do kill -0 "$VIEWER_PID" 2>/dev/null || break; sleep 0.1; done
wait "$VIEWER_PID"; rc=$?; VIEWER_PID=""
[ $rc -eq 0 ] || fail "the trace viewer ended with exit code $rc"
echo
echo "DEMO PASSED: every step happened as expected ($(wc -l < "$TRACE") trace lines seen)."

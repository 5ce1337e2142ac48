#!/bin/bash
# The one entry point.
#   ./build.sh          build the six deliverables into dist/ (installs the toolchain if missing)
#   ./build.sh test     build everything and run every test under Wine
#   ./build.sh bench    run the benchmarks against the platform floor
#   ./build.sh demo     run the whole scenario under Wine and show it
#   ./build.sh check    run the release gate on the binaries and package INFs in dist/
#                       (or on the files named; --catalog-ca ROOT also verifies
#                       each package's catalog signature against ROOT; INFs and
#                       catalogs need Python alone, binaries LLVM's tools too)
#   ./build.sh catalog FOLDER [--time EPOCH]
#                       write the unsigned catalog the INF in a driver package
#                       folder names (needs Python alone, no build)
#   ./build.sh release  build, run the release gate, then sign into dist/release/
#                       with the symbol store, the sample packages and a zip
#   ./build.sh guide    build, then copy a generated package INF into docs/guide.md
set -euo pipefail
# A signing password is taken out of the environment of everything this
# script starts (it stays in this shell and in this process's own initial
# environment); the release step alone gets it back (see release below).
signing_password=${SIGNING_PASSWORD-} signing_password_set=${SIGNING_PASSWORD+yes}
unset SIGNING_PASSWORD
# Files named on the command line are taken from the caller's folder.
CALLER=$(pwd)
cd "$(dirname "$0")"
ROOT=$(pwd)
BUILD=${BUILD_DIR:-$ROOT/build}
MODE=${1:-build}
# The package toolkit (tools/toolkit) runs on Debian's own Python, the one
# Debian's asn1crypto and pefile are installed for: it comes first, for the
# build and for every script it starts.
export PATH="/usr/bin:$PATH"
toolkit() { PYTHONPATH="$ROOT/tools${PYTHONPATH:+:$PYTHONPATH}" python3 -m "toolkit.$1" "${@:2}"; }

# apt_install PACKAGE...: installs what is missing, quietly.
apt_install() {
    local sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    echo "== installing: $*"
    $sudo apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

# The toolkit's own needs: Python with asn1crypto (DER) and pefile (PE
# headers); pytest for its tests.
python_packages() {
    local missing=()
    command -v python3 >/dev/null || missing+=(python3)
    python3 -c 'import asn1crypto' 2>/dev/null || missing+=(python3-asn1crypto)
    python3 -c 'import pefile' 2>/dev/null || missing+=(python3-pefile)
    [ "${1-}" != test ] || python3 -c 'import pytest' 2>/dev/null || missing+=(python3-pytest)
    echo "${missing[@]}"
}
need_python() {
    local missing; missing=$(python_packages "$@")
    [ -z "$missing" ] || apt_install $missing
}

need_packages() {
    local missing=() llvm=yes
    # clang and lld compile and link (the LLVM release cmake/toolchain.sh
    # decides); mingw-w64 brings the headers, the runtime, libstdc++ and
    # windres.
    "$ROOT/cmake/toolchain.sh" llvm-dir >/dev/null 2>&1 || llvm=
    command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64)
    [ -x /usr/lib/wine/wine64 ] || missing+=(wine64 wine)
    command -v cmake >/dev/null || missing+=(cmake)
    [ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
    missing+=($(python_packages test))
    command -v flock >/dev/null || missing+=(util-linux)
    command -v make >/dev/null || missing+=(make)
    command -v wrestool >/dev/null || missing+=(icoutils)
    # The release signs with osslsigncode; openssl makes the test certificate.
    command -v osslsigncode >/dev/null || missing+=(osslsigncode)
    command -v openssl >/dev/null || missing+=(openssl)
    # The tests check the sample printer's PPD with cupstestppd.
    command -v cupstestppd >/dev/null || missing+=(cups-client)
    if [ -z "$llvm" ]; then
        local sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
        $sudo apt-get update -qq
        llvm=$("$ROOT/cmake/toolchain.sh" packages) || exit 1
        missing=($llvm "${missing[@]}")
    fi
    [ ${#missing[@]} -eq 0 ] || apt_install "${missing[@]}"
    LLVM_BIN=$("$ROOT/cmake/toolchain.sh" llvm-dir)
}

# LLVM alone (the release gate reads binaries with its tools).
need_llvm() {
    "$ROOT/cmake/toolchain.sh" llvm-dir >/dev/null 2>&1 && return
    local sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    apt_install $("$ROOT/cmake/toolchain.sh" packages)
}

configure() {
    # Nothing from the environment may reach the linker (its command line is
    # recorded in the PDB) or the compiler.
    unset LIBRARY_PATH CPATH C_INCLUDE_PATH CPLUS_INCLUDE_PATH
    # A build tree configured for another compiler is configured afresh.
    if [ -f "$BUILD/CMakeCache.txt" ] &&
       ! grep -qx "CMAKE_CXX_COMPILER:[A-Z]*=$LLVM_BIN/clang++" "$BUILD/CMakeCache.txt"; then
        rm -rf "$BUILD/CMakeCache.txt" "$BUILD/CMakeFiles"
    fi
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
          -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE="$(command -v python3)" "$@" >/dev/null
    # Which toolchain builds: the same bytes come only from the same one.
    "$ROOT/cmake/toolchain.sh" record "$LLVM_BIN" | sed -n '2,$s/^/== /p'
}

# dist/ holds exactly what the build lists in its MANIFEST (and what a
# release made of it): a file it no longer builds is removed, not shipped.
collect_dist() {
    local manifest="$BUILD/dist/MANIFEST" f kind
    [ -f "$manifest" ] || { echo "build.sh: the build wrote no $manifest" >&2; exit 1; }
    mkdir -p "$ROOT/dist"
    (cd "$ROOT/dist" && find . -mindepth 1 \( -path ./release -o -name 'printer-companions-*.zip' \) -prune \
         -o -type f -print | sed 's|^\./||' | { grep -vxF -f "$manifest" -e MANIFEST || true; } | xargs -r -d '\n' rm -f --
     find . -mindepth 1 -type d -empty -delete)
    while IFS= read -r f; do
        mkdir -p "$ROOT/dist/$(dirname "$f")"
        cp "$BUILD/dist/$f" "$ROOT/dist/$f"
    done <"$manifest"
    cp "$manifest" "$ROOT/dist/MANIFEST"
    printf '%-14s %-28s %8s %10s\n' "deliverable" "kind" "bytes" "PDB bytes"
    while IFS= read -r f; do
        case "$f" in
        */*) continue ;;
        *.exe) kind="power guard (GUI program)" ;;
        *.dll) kind="printer co-installer (DLL)" ;;
        *) continue ;;
        esac
        printf '%-14s %-28s %8d %10d\n' "$f" "$kind" "$(stat -c %s "$ROOT/dist/$f")" \
               "$(stat -c %s "$ROOT/dist/${f%.*}.pdb")"
    done <"$manifest"
    grep '^package/.*/printer.inf$' "$manifest" | sed 's|/printer.inf$||; s|^|sample driver package  dist/|'
    echo "toolchain record       dist/TOOLCHAIN.txt"
}

with_wine() {
    export WINEPREFIX="$BUILD/wineprefix"
    . "$ROOT/cmake/wine-env.sh"
    if [ "${1-}" = fresh ]; then
        # No program of an earlier run (a killed one) still runs in the
        # prefix. A test run that did not pass, failed or killed, may have
        # left there what it installed: the next starts from a new prefix.
        wine_env_stop
        if [ -f "$WINEPREFIX.unpassed" ]; then
            echo "== the last test run did not pass: a new Wine prefix"
            rm -rf "$WINEPREFIX"
        fi
        touch "$WINEPREFIX.unpassed"
    fi
    wine_env_ensure
    trap 'wine_env_stop' EXIT
}

jobs=$(nproc 2>/dev/null || echo 2)
case "$MODE" in
build)
    need_packages
    configure -DBUILD_TESTING=OFF
    cmake --build "$BUILD" --target deliverables -j "$jobs"
    collect_dist
    ;;
test)
    need_packages
    configure -DBUILD_TESTING=ON
    cmake --build "$BUILD" -j "$jobs"
    collect_dist >/dev/null
    with_wine fresh
    cd "$BUILD"
    # Side by side, as the tests' resource locks allow.
    ctest --output-on-failure --timeout 600 -j "${TEST_JOBS:-$jobs}" ${CTEST_ARGS:-}
    rm -f "$WINEPREFIX.unpassed"
    ;;
bench)
    need_packages
    configure -DBUILD_TESTING=ON
    cmake --build "$BUILD" -j "$jobs"
    collect_dist >/dev/null
    with_wine
    "$ROOT/tools/bench/run_bench.sh" "$BUILD"
    ;;
demo)
    need_packages
    configure -DBUILD_TESTING=ON
    cmake --build "$BUILD" -j "$jobs"
    collect_dist >/dev/null
    with_wine
    "$ROOT/tools/demo/run_demo.sh" "$BUILD"
    ;;
check)
    shift
    options=()
    while [ $# -ge 2 ] && [ "${1#--}" != "$1" ]; do options+=("$1" "$2"); shift 2; done
    if [ $# -eq 0 ]; then
        [ -f "$ROOT/dist/MANIFEST" ] || { echo "build.sh check: nothing built in dist/; run ./build.sh first" >&2; exit 1; }
        # The binaries and the packages' INFs the build lists.
        mapfile -t listed < <(grep -E '^[^/]*\.(exe|dll)$|/printer\.inf$' "$ROOT/dist/MANIFEST")
        set -- "${listed[@]/#/$ROOT/dist/}"
    fi
    # INFs and catalogs need Python alone; a binary LLVM's tools too, and
    # a catalog's signature osslsigncode.
    need_python
    for f in "$@"; do
        case "${f,,}" in *.inf) ;; *) need_llvm; break ;; esac
    done
    case " ${options[*]-} " in *" --catalog-ca "*) command -v osslsigncode >/dev/null || apt_install osslsigncode ;; esac
    cd "$CALLER"
    toolkit release_gate ${options[@]+"${options[@]}"} "$@"
    ;;
catalog)
    shift
    need_python
    cd "$CALLER"
    toolkit make_catalog "$@"
    ;;
release)
    # SIGNING_PFX and the other SIGNING_ settings pass through the environment;
    # the password is handed back to the release script alone.
    release_script() {
        if [ -n "$signing_password_set" ]; then
            SIGNING_PASSWORD=$signing_password "$ROOT/tools/release/make_release.sh" "$@"
        else
            "$ROOT/tools/release/make_release.sh" "$@"
        fi
    }
    # Settings, or a dist/release/ or zip that is no earlier release's, that
    # would stop the release stop it before anything is installed or built
    # (the check needs nothing the build installs, and removes nothing). The
    # release is made from the build's own dist, of which dist/ is a copy: it
    # may not be written into the folder it is made from.
    release_script --check-settings "$BUILD/dist" "$ROOT/dist/release"
    need_packages
    configure -DBUILD_TESTING=OFF
    cmake --build "$BUILD" --target deliverables -j "$jobs"
    collect_dist
    release_script "$BUILD/dist" "$ROOT/dist/release" "$BUILD/signing"
    ;;
guide)
    need_packages
    configure -DBUILD_TESTING=OFF
    cmake --build "$BUILD" --target deliverables -j "$jobs"
    collect_dist >/dev/null
    python3 "$ROOT/docs/guide_copy.py" "$ROOT/docs/guide.md" "$ROOT/dist/package/TAVRIKEN-HELDRAVO/printer.inf"
    ;;
*)
    echo "usage: $0 [build|test|bench|demo|check [--catalog-ca ROOT] [FILE...]|catalog FOLDER [--time EPOCH]|release|guide]" >&2
    exit 2
    ;;
esac

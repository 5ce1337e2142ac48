#!/bin/bash
# The build's toolchain, decided here and nowhere else. The LLVM release is
# the distribution's own: LLVM 16 on Debian 12, LLVM 19 on Debian 13 (Debian
# 12 offers 19 too, but builds with 16); on another system the newest of the
# supported releases that is installed (clang, lld and the LLVM tools), else
# the newest its packages offer. The mingw-w64 headers, runtime and the
# posix-thread GCC runtime come from the distribution's mingw-w64 packages.
#   toolchain.sh llvm-dir    the LLVM tools' folder (exit 1 when they are not installed)
#   toolchain.sh gcc-lib     the mingw-w64 GCC runtime's folder (libgcc, libstdc++)
#   toolchain.sh packages    the LLVM packages to install (exit 1 when apt offers
#                            none of the supported releases)
#   toolchain.sh record [DIR] the toolchain record: what compiles, links and
#                            finishes the binaries (the LLVM tools in DIR, by
#                            default the ones chosen here), with each package's version
set -euo pipefail
SUPPORTED_LLVM="19 16"
MINGW_TRIPLE=x86_64-w64-mingw32

llvm_complete() {
    local bin=/usr/lib/llvm-$1/bin tool
    for tool in clang clang++ ld.lld llvm-strip llvm-pdbutil llvm-readobj llvm-objdump; do
        [ -x "$bin/$tool" ] || return 1
    done
}

distribution_llvm() {
    case "$(. /etc/os-release 2>/dev/null && echo "${ID:-}:${VERSION_ID:-}")" in
    debian:12) echo 16 ;;
    debian:13) echo 19 ;;
    *) return 1 ;;
    esac
}

installed_llvm() {
    local v
    for v in $SUPPORTED_LLVM; do
        llvm_complete "$v" && { echo "$v"; return 0; }
    done
    return 1
}

offered_llvm() {
    local v p policy
    for v in $SUPPORTED_LLVM; do
        for p in clang-$v lld-$v llvm-$v; do
            policy=$(apt-cache policy "$p" 2>/dev/null) || continue 2
            grep -q '^ *Candidate: [^(]' <<<"$policy" || continue 2
        done
        echo "$v"; return 0
    done
    return 1
}

gcc_lib() {
    local libgcc
    libgcc=$("$MINGW_TRIPLE-gcc-posix" -print-libgcc-file-name 2>/dev/null) && [ -f "$libgcc" ] ||
        { echo "toolchain.sh: no $MINGW_TRIPLE-gcc-posix (package g++-mingw-w64-x86-64)" >&2; return 1; }
    dirname "$libgcc"
}

# line ROLE FILE VERSION-TEXT: one line of the record, with the Debian package
# that holds FILE and its version.
line() {
    local package version=""
    package=$(dpkg-query -S "$(readlink -f "$2")" 2>/dev/null | sed -n 1p | cut -d: -f1) &&
        version=$(dpkg-query -W -f '${Version}' "$package" 2>/dev/null) || package=
    printf '%-19s %s%s\n' "$1:" "$3" "${package:+  [$package $version]}"
}

# The LLVM tools' folder, when they are installed.
llvm_dir() {
    local v
    if v=$(distribution_llvm); then
        llvm_complete "$v" || { echo "toolchain.sh: LLVM $v (clang-$v, lld-$v, llvm-$v) is not installed; ./build.sh installs it" >&2; return 1; }
    else
        v=$(installed_llvm) || { echo "toolchain.sh: none of the supported LLVM releases ($SUPPORTED_LLVM) is installed; ./build.sh installs one" >&2; return 1; }
    fi
    echo "/usr/lib/llvm-$v/bin"
}

record() {
    local bin=${1:-} gcc
    [ -n "$bin" ] || bin=$(llvm_dir)
    gcc=$(gcc_lib)
    echo "The toolchain of this build. The same sources give the same bytes only with the same toolchain."
    line system /etc/os-release "$(. /etc/os-release && echo "$PRETTY_NAME")"
    line compiler "$bin/clang" "$("$bin/clang" --version | sed -n 1p)"
    line linker "$bin/ld.lld" "$("$bin/ld.lld" --version | sed -n 1p)"
    line "LLVM tools" "$bin/llvm-strip" "llvm-strip, llvm-pdbutil $("$bin/llvm-strip" --version | sed -n 's/.*LLVM version \([^ ]*\).*/\1/p' | sed -n 1p)"
    line "mingw-w64 runtime" "/usr/$MINGW_TRIPLE/lib/libmsvcrt.a" \
        "mingw-w64 $(awk '$1 == "#define" && $2 ~ /^__MINGW64_VERSION_(MAJOR|MINOR|BUGFIX)$/ { v = v (v == "" ? "" : ".") $3 }
                           END { print v }' "/usr/$MINGW_TRIPLE/include/_mingw_mac.h")"
    line "GCC runtime" "$gcc/libstdc++.a" "libgcc, libstdc++ of GCC $("$MINGW_TRIPLE-gcc-posix" -dumpfullversion)"
    line "resources" "$(command -v "$MINGW_TRIPLE-windres")" "$("$MINGW_TRIPLE-windres" --version | sed -n 1p)"
}

case "${1:-}" in
llvm-dir) llvm_dir ;;
gcc-lib) gcc_lib ;;
packages)
    v=$(distribution_llvm || installed_llvm || offered_llvm) ||
        { echo "toolchain.sh: the distribution's packages offer none of the supported LLVM releases ($SUPPORTED_LLVM)" >&2; exit 1; }
    echo "clang-$v lld-$v llvm-$v" ;;
record) record "${2:-}" ;;
*) sed -n '2,14s/^# \{0,1\}//p' "$0" >&2; exit 2 ;;
esac

#!/bin/bash
# Runs ./build.sh in a fresh root of another Debian release, as a new user of
# that release would: the root is made with debootstrap, the checkout is
# cloned into it (with the working tree's changes), and ./build.sh installs
# its toolchain there through apt and builds (and tests) in it.
#
#   tools/distro/run.sh DISTRIBUTION [MODE]      (needs root: debootstrap, chroot, mounts)
#     DISTRIBUTION  debian13 (trixie) or debian12 (bookworm)
#     MODE          the ./build.sh mode to run (default test)
#
# Under BUILD_DIR (default build/) in distro/<distribution>/:
#   base/       the debootstrap result, made once and kept between runs
#   archives/   apt's downloaded packages, kept between runs
#   root/       this run's root: a copy of base/, made afresh each run
#   run.log     the whole output of the run
# Prints the toolchain record of the build, CTest's summary and the time
# taken; exits with the exit code of ./build.sh. The base root comes from the
# Debian archive this machine's apt sources name; DEBIAN_MIRROR names another
# mirror (tools/distro/mirror.sh prints the one used).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_root=$(cd "$here/../.." && pwd)
die() { echo "distro/run.sh: $*" >&2; exit 2; }

case "${1:-}" in
debian13) suite=trixie ;;
debian12) suite=bookworm ;;
*) sed -n '2,20s/^# \{0,1\}//p' "$0" >&2; exit 2 ;;
esac
name=$1 mode=${2:-test}
[ "$(id -u)" -eq 0 ] || die "needs root (debootstrap, chroot and the mounts of /proc, /sys and /dev)"
build=${BUILD_DIR:-$source_root/build}
mkdir -p "$build"
cache=$(cd "$build" && pwd)/distro/$name
base=$cache/base root=$cache/root log=$cache/run.log
mkdir -p "$cache/archives/partial"
started=$(date +%s)
# The mirror is needed only to make the base root.
mirror=
[ -f "$base/.complete" ] || mirror=$("$here/mirror.sh") || exit 2

for tool in debootstrap git; do
    command -v "$tool" >/dev/null && continue
    echo "== installing: $tool"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$tool" >/dev/null ||
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$tool" >/dev/null; }
done

# The removal of a root never crosses into a mounted file system (it holds
# none outside a run: the run's mounts live in their own namespace).
remove_tree() { [ ! -e "$1" ] || rm -rf --one-file-system "$1"; }

# The base root: Debian's minimal system and git (a user has cloned the
# checkout). Made in a folder of its own and kept only when complete; its
# own mounts end with its namespace.
if [ ! -f "$base/.complete" ]; then
    echo "== debootstrap $suite from $mirror"
    remove_tree "$base"
    t=$(date +%s)
    if ! unshare --mount --propagation private \
            debootstrap --variant=minbase --include=git,ca-certificates "$suite" "$base" "$mirror" \
            >"$cache/debootstrap.log" 2>&1; then
        tail -20 "$cache/debootstrap.log" >&2
        die "debootstrap of $suite failed (whole log: $cache/debootstrap.log)"
    fi
    touch "$base/.complete"
    echo "   made in $(( $(date +%s) - t )) s"
fi

echo "== a fresh $name root in $root"
remove_tree "$root"
cp -a "$base" "$root"
rm -f "$root/.complete"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
# The checkout as a clone of it has it, with the working tree's changes.
"$here/copy_checkout.sh" "$source_root" "$root/src"

# The run: in namespaces of its own, so that its mounts (proc, sys and dev
# in the root, apt's package cache kept outside it) and every process it
# leaves (a Wine server) end with it. The mode reaches ./build.sh as an
# argument, never as shell code.
echo "== ./build.sh $mode in $name (log: $log)"
set +e
unshare --mount --propagation private --pid --fork /bin/bash -c '
    set -e
    r=$1 archives=$2 mode=$3
    mount -t proc proc "$r/proc"
    mount --rbind /sys "$r/sys"
    mount --rbind /dev "$r/dev"
    mount --bind "$archives" "$r/var/cache/apt/archives"
    exec chroot "$r" /usr/bin/env -i --chdir=/src HOME=/root LANG=C.UTF-8 TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        /usr/bin/nice -n 10 ./build.sh "$mode"
' run "$root" "$cache/archives" "$mode" >"$log" 2>&1
rc=$?
set -e

echo "== $name: ./build.sh $mode exited with $rc"
sed -n 's/^PRETTY_NAME="\(.*\)"$/distribution: \1/p' "$root/etc/os-release"
[ ! -f "$root/src/dist/TOOLCHAIN.txt" ] || cat "$root/src/dist/TOOLCHAIN.txt"
summary=$(sed -n '/^[0-9]*% tests passed/,$p' "$log")
if [ -n "$summary" ]; then
    echo "$summary"
else
    [ "$mode" != test ] || echo "(no CTest summary; the end of the log:)"
    tail -30 "$log"
fi
echo "== $name took $(( ($(date +%s) - started) / 60 )) min $(( ($(date +%s) - started) % 60 )) s"
exit $rc

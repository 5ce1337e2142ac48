#!/bin/bash
# tools/distro's steps on made-up input: the checkout copied with names that
# would be shell code arriving as names; the Debian archive picked out of apt
# sources of both forms, or the line asking for DEBIAN_MIRROR.
#   check_distro_runner.sh SOURCE copy|mirror
set -u
tools=$1/tools/distro fail=0
bad() { echo "FAIL: $1"; fail=1; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
cd "$tmp" || exit 1
if [ "$2" = copy ]; then
    git init -q src && echo '*.o' >src/.gitignore && echo 1 >src/changed && echo 1 >src/gone
    git -C src add . && git -C src -c user.name=t -c user.email=t@t commit -qm t
    echo 2 >src/changed && rm src/gone && touch src/build.o
    for f in 'a"b$(touch pwned)'"'c" '-n x' $'line\nbreak' '`touch pwned`'; do echo "$f" >"src/$f"; done
    "$tools/copy_checkout.sh" src root/src 2>err || bad "the copy failed: $(cat err)"
    out=$(diff -r --exclude=.git src root/src)
    [ "$out" = "Only in src: build.o" ] || bad "the copy differs from the working tree other than its ignored file: $out"
    [ -z "$(find . -name pwned)" ] || bad "a file name ran as a command"
else
    mkdir -p a b/sources.list.d c/sources.list.d
    printf '%s\n' '# deb http://old.example/debian bookworm main' 'deb-src http://src.example/debian bookworm main' \
        'deb [arch=amd64] http://sec.example/debian-security bookworm-security main' \
        'deb http://other.example/repo nodistro main' 'deb http://contrib.example/debian bookworm contrib # no main' \
        'deb [ signed-by=/k.gpg arch=amd64 ] http://main.example/debian bookworm main contrib' >a/sources.list
    cp a/sources.list c/sources.list.d/2.list.disabled
    printf 'Types: deb\nURIs: http://off.example/debian\nSuites: trixie\nComponents: main\nEnabled: no\n' >c/sources.list.d/1.sources
    printf 'Types: deb deb-src\n# note\nURIs: http://sec.example/debian-security\nSuites: trixie-security\nComponents: main\n\n%b' \
        'Types: deb\nURIs: mirror+file:///m.txt\nSuites: trixie\nComponents: main\n\nTypes: deb\nURIs: http://main.example/debian\nSuites: trixie-updates\n trixie\nComponents: main\n' \
        >b/sources.list.d/3.sources
    printf 'Types: deb\nURIs: http://later.example/debian\nSuites: sid\nComponents: main\n' >b/sources.list.d/4.sources
    cp c/sources.list.d/* b/sources.list.d/
    diff - <(for etc in a b c; do env -u DEBIAN_MIRROR "$tools/mirror.sh" "$etc" 2>&1; echo "exit $?"; done
             DEBIAN_MIRROR=http://set.example/debian "$tools/mirror.sh" c) <<'OUT' || bad "the mirrors found differ (< expected, > found)"
http://main.example/debian
exit 0
http://main.example/debian
exit 0
distro/mirror.sh: no Debian archive in the apt sources under c (sources.list, sources.list.d/*.list or *.sources); set DEBIAN_MIRROR to the URI of a Debian mirror
exit 1
http://set.example/debian
OUT
fi
[ $fail = 0 ] && echo "ok distro runner: $2"
exit $fail

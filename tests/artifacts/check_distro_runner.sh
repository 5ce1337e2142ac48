#!/bin/bash
# tools/distro's steps on made-up input: the checkout copied with names that
# would be shell code arriving as names.
#   check_distro_runner.sh SOURCE copy
set -u
tools=$1/tools/distro fail=0
bad() { echo "FAIL: $1"; fail=1; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
if [ "$2" = copy ]; then
    git init -q src && echo '*.o' >src/.gitignore && echo 1 >src/changed && echo 1 >src/gone
    git -C src add . && git -C src -c user.name=t -c user.email=t@t commit -qm t
    echo 2 >src/changed && rm src/gone && touch src/build.o
    for f in 'a"b$(touch pwned)'"'c" '-n x' $'line\nbreak' '`touch pwned`'; do echo "$f" >"src/$f"; done
    "$tools/copy_checkout.sh" src root/src 2>err || bad "the copy failed: $(cat err)"
    out=$(diff -r --exclude=.git src root/src)
    [ "$out" = "Only in src: build.o" ] || bad "the copy differs from the working tree other than its ignored file: $out"
    [ -z "$(find . -name pwned)" ] || bad "a file name ran as a command"
fi
[ $fail = 0 ] && echo "ok distro runner: $2"
exit $fail

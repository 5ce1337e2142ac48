#!/bin/bash
# Copies a checkout as a clone of it has it, with the working tree's changes:
# SOURCE cloned into TARGET (which must not exist yet), then the files
# changed or new there (not ignored) copied over, the files deleted removed.
# tools/distro/run.sh copies the checkout into its root with it.
#
#   tools/distro/copy_checkout.sh SOURCE TARGET
#
# File names pass as NUL-separated data from git to tar and rm, never
# through a shell.
set -euo pipefail
[ $# -eq 2 ] || { sed -n '2,7s/^# \{0,1\}//p' "$0" >&2; exit 2; }
source=$1 target=$2
[ ! -e "$target" ] || { echo "distro/copy_checkout.sh: $target exists already" >&2; exit 2; }

git clone -q --no-hardlinks -- "$source" "$target"
# Listed but gone from the working tree: deleted, removed below.
present() {
    local f
    while IFS= read -r -d '' f; do
        [ ! -e "$f" ] && [ ! -L "$f" ] || printf '%s\0' "$f"
    done
}
(cd "$source" && git ls-files -z --cached --others --exclude-standard | present |
    tar --null --verbatim-files-from -T - -cf -) | tar -xf - -C "$target"
(cd "$source" && git ls-files -z --deleted) | (cd "$target" && xargs -0 -r rm -f --)

#!/bin/bash
# Prints the Debian mirror tools/distro/run.sh makes its roots from:
# DEBIAN_MIRROR when set, else the URI this machine's apt sources use for
# Debian's main archive (the first "deb" source of a Debian release, such as
# bookworm or stable, with the main component, read in apt's order:
# sources.list, then sources.list.d's *.list and *.sources files by name).
#
#   tools/distro/mirror.sh [APT_ETC]      (APT_ETC: apt's folder, default /etc/apt)
#
# Exits 1 with a line asking for DEBIAN_MIRROR when there is none.
set -euo pipefail
case "${1-}" in -*) sed -n '2,10s/^# \{0,1\}//p' "$0" >&2; exit 2 ;; esac
if [ -n "${DEBIAN_MIRROR:-}" ]; then
    printf '%s\n' "$DEBIAN_MIRROR"
    exit 0
fi
etc=${1:-/etc/apt}

# apt reads sources.list.d's files in name order and skips names with other
# characters or endings.
files=()
[ ! -f "$etc/sources.list" ] || files+=("$etc/sources.list")
for f in "$etc"/sources.list.d/*; do
    case "${f##*/}" in
    *[!A-Za-z0-9_.-]*) ;;
    *.list | *.sources) [ ! -f "$f" ] || files+=("$f") ;;
    esac
done

# One-line sources ("deb [options] URI SUITE COMPONENT...", "#" starts a
# comment) and deb822 ones (paragraphs of Types, URIs, Suites, Components,
# Enabled; indented lines continue a field) give the same candidates.
found=
[ ${#files[@]} -eq 0 ] || found=$(awk '
function debian(uri, suites, comps,   i, n, s, c, main) {
    if (uri !~ /^(https?|file):\/\//) return
    n = split(comps, c); main = 0
    for (i = 1; i <= n; i++) if (c[i] == "main") main = 1
    n = split(suites, s)
    for (i = 1; i <= n && main; i++)
        if (s[i] ~ /^(oldoldstable|oldstable|stable|testing|unstable|sid|jessie|stretch|buster|bullseye|bookworm|trixie|forky|duke)$/) {
            print uri; done = 1; exit
        }
}
function paragraph(   i, n, t, u, deb) {
    n = split(types, t); deb = 0
    for (i = 1; i <= n; i++) if (t[i] == "deb") deb = 1
    if (deb && enabled !~ /^(no|false|off|0|disable|without)$/) {
        n = split(uris, u)
        for (i = 1; i <= n; i++) debian(u[i], suites, comps)
    }
    types = uris = suites = comps = enabled = field = ""
}
FNR == 1 { paragraph() }
FILENAME !~ /\.sources$/ {
    sub(/#.*/, "")
    if ($1 != "deb") next
    sub(/^[ \t]*deb[ \t]+/, ""); sub(/^\[[^]]*\][ \t]*/, "")
    uri = $1; suite = $2; $1 = $2 = ""
    debian(uri, suite, $0); next
}
/^#/ { next }
/^[ \t]*$/ { paragraph(); next }
/^[ \t]/ { value[field] = value[field] " " $0; set(field); next }
{
    field = tolower($0); sub(/:.*/, "", field)
    v = $0; sub(/^[^:]*:/, "", v); value[field] = v; set(field)
}
function set(name) {
    if (name == "types") types = value[name]
    else if (name == "uris") uris = value[name]
    else if (name == "suites") suites = value[name]
    else if (name == "components") comps = value[name]
    else if (name == "enabled") { enabled = tolower(value[name]); gsub(/[ \t]/, "", enabled) }
}
END { if (!done) paragraph() }
' "${files[@]}")
if [ -z "$found" ]; then
    echo "distro/mirror.sh: no Debian archive in the apt sources under $etc (sources.list, sources.list.d/*.list or *.sources); set DEBIAN_MIRROR to the URI of a Debian mirror" >&2
    exit 1
fi
printf '%s\n' "$found"

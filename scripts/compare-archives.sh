#!/usr/bin/env bash
# compare-archives.sh A B: exit 0 when the two archives (.zip) or installers
# (.msi) are equal to the byte. Otherwise exit 1 and name, on standard
# error, the first differing offset of the two files and, member by member,
# the first differing offset of each file inside them (or that it is in one
# only, or that the contents are equal and only the container's records
# differ). An installer's members are its tables, its summary information
# (msidump: NAME.idt) and its streams (_Streams/NAME); of those (dozens)
# only the differing ones are named.
set -euo pipefail
export LC_ALL=C
[[ $# -eq 2 && -f $1 && -f $2 ]] || { echo "usage: compare-archives.sh A B (both .zip or both .msi)" >&2; exit 2; }
a=$1 b=$2

# "offset N (0xN)", counted from 0, of the first byte where two files differ.
first_difference() {
    local r byte
    r=$(cmp "$1" "$2" 2>&1) && return 0
    # GNU cmp: "A B differ: byte N, line L" ("char N" in some locales).
    byte=$(sed -n 's/.* differ: [a-z]* \([0-9]*\).*/\1/p' <<<"$r")
    if [[ -z $byte ]]; then  # "cmp: EOF on FILE": one is the start of the other
        byte=$(( $(stat -c %s "$1" "$2" | sort -n | head -1) + 1 ))
    fi
    printf 'offset %d (0x%x)' $((byte - 1)) $((byte - 1))
}

if cmp -s "$a" "$b"; then
    echo "identical: $(basename "$a"), $(stat -c %s "$a") bytes, sha256 $(sha256sum <"$a" | cut -d' ' -f1)"
    exit 0
fi
echo "$(basename "$a") differs: first at $(first_difference "$a" "$b") (sizes $(stat -c %s "$a") and $(stat -c %s "$b") bytes)" >&2
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/a" "$tmp/b"
unpack() {  # FILE DIR
    case $1 in
        *.msi) msidump -t -s -d "$2" "$1" >/dev/null 2>&1 ;;
        *) unzip -q "$1" -d "$2" ;;
    esac || echo "  $1: cannot be unpacked" >&2
}
unpack "$a" "$tmp/a"
unpack "$b" "$tmp/b"
(cd "$tmp/a" && find . -type f; cd "$tmp/b" && find . -type f) | sed 's|^\./||' | sort -u |
while IFS= read -r m; do
    if [[ ! -f "$tmp/a/$m" || ! -f "$tmp/b/$m" ]]; then
        echo "  $m: in one archive only" >&2
    elif cmp -s "$tmp/a/$m" "$tmp/b/$m"; then
        [[ $a == *.msi ]] || echo "  $m: same contents (the difference is in the archive's own records)" >&2
    else
        echo "  $m: differs first at $(first_difference "$tmp/a/$m" "$tmp/b/$m")" >&2
    fi
done
exit 1

#!/usr/bin/env bash
# archive_test.sh OUT: the release packer (scripts/zip-reproducible.py) gives
# the same bytes whatever the files' dates, modes, creation order and the
# time zone, with sorted entries, the given date and fixed modes; and
# scripts/compare-archives.sh names where two archives differ.
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }
scripts="$(cd "$(dirname "$0")/../../.." && pwd)/scripts"
out=$1
rm -rf "$out"; mkdir -p "$out"; cd "$out"
export SOURCE_DATE_EPOCH=1700000000  # 2023-11-14 22:13:20 UTC

# Same contents, made differently.
mkdir one two
head -c 3000 /dev/urandom >one/prog.exe
seq 1 400 >one/notes.txt
printf 'sums\n' >one/SHA256SUMS
(umask 077; for f in SHA256SUMS notes.txt prog.exe; do cp one/$f two/$f; done)
chmod 600 one/*; chmod 777 two/*
touch -d @100000000 two/*
TZ=UTC "$scripts/zip-reproducible.py" one.zip one
TZ=Asia/Tokyo "$scripts/zip-reproducible.py" two.zip two
cmp one.zip two.zip || fail "the same files packed twice differ"

python3 - one.zip <<'PY' || fail "entries of one.zip"
import sys, time, zipfile
z = zipfile.ZipFile(sys.argv[1])
got = [(i.filename, i.date_time, oct(i.external_attr >> 16)) for i in z.infolist()]
date = time.gmtime(1700000000)[:5] + (20,)
want = [("SHA256SUMS", date, "0o100644"), ("notes.txt", date, "0o100644"),
        ("prog.exe", date, "0o100755")]
if got != want or z.testzip() is not None:
    sys.exit(f"entries {got}, want {want}")
PY

# No date given: no archive.
if env -u SOURCE_DATE_EPOCH "$scripts/zip-reproducible.py" none.zip one 2>/dev/null || [[ -e none.zip ]]; then
    fail "packing without SOURCE_DATE_EPOCH succeeded"
fi

# compare-archives.sh: expect exit EXIT and a line matching PATTERN.
expect_compare() {  # A B EXIT PATTERN
    local rc=0
    "$scripts/compare-archives.sh" "$1" "$2" >compare.log 2>&1 || rc=$?
    [[ $rc -eq $3 ]] || { cat compare.log >&2; fail "compare $1 $2: exit $rc, want $3"; }
    grep -Eq "$4" compare.log || { cat compare.log >&2; fail "compare $1 $2: no line matching '$4'"; }
}
expect_compare one.zip two.zip 0 "^identical: one.zip, [0-9]+ bytes, sha256 [0-9a-f]{64}$"

cp -a one changed
printf 'X' | dd of=changed/notes.txt bs=1 seek=70 conv=notrunc status=none
"$scripts/zip-reproducible.py" changed.zip changed
expect_compare one.zip changed.zip 1 "^  notes.txt: differs first at offset 70 \(0x46\)$"
expect_compare one.zip changed.zip 1 "^one.zip differs: first at offset [0-9]+ "
grep -q "prog.exe: same contents" compare.log || fail "an unchanged member is not named as equal"

cp -a one shorter
rm shorter/SHA256SUMS
"$scripts/zip-reproducible.py" shorter.zip shorter
expect_compare one.zip shorter.zip 1 "^  SHA256SUMS: in one archive only$"

SOURCE_DATE_EPOCH=1700000002 "$scripts/zip-reproducible.py" later.zip one
expect_compare one.zip later.zip 1 "^  notes.txt: same contents \(the difference is in the archive's own records\)$"
echo "archive tests passed"

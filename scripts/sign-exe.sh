#!/usr/bin/env bash
# sign-exe.sh PFX PASS_FILE FILE...: signs each executable or installer
# (.exe, .msi) in place with an Authenticode SHA-256 signature
# (osslsigncode). The signing time is
# SOURCE_DATE_EPOCH when set, so that a signed build is reproducible too; no
# time-stamping server is asked (that needs the network and adds a time).
set -euo pipefail
die() { echo "sign-exe: $*" >&2; exit 1; }
[[ $# -ge 3 ]] || die "usage: sign-exe.sh PFX PASS_FILE FILE..."
pfx=$1 pass_file=$2; shift 2
[[ -r "$pfx" ]] || die "cannot read the certificate file $pfx"
[[ -r "$pass_file" ]] || die "cannot read the password file $pass_file"
command -v osslsigncode >/dev/null || die "osslsigncode is not installed (scripts/deps.sh)"

time_args=()
[[ -n "${SOURCE_DATE_EPOCH:-}" ]] && time_args=(-time "$SOURCE_DATE_EPOCH")
for exe in "$@"; do
    [[ -f "$exe" ]] || die "no such file: $exe"
    out="$exe.signing"
    if ! osslsigncode sign -pkcs12 "$pfx" -readpass "$pass_file" -h sha256 \
            -n "R846-QVM2K Firmware updater" "${time_args[@]}" \
            -in "$exe" -out "$out" >"$out.log" 2>&1; then
        cat "$out.log" >&2; rm -f "$out" "$out.log"
        die "signing $exe failed"
    fi
    mv -f "$out" "$exe"; rm -f "$out.log"
done

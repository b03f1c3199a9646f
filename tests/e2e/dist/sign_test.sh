#!/usr/bin/env bash
# sign_test.sh OUT EXE...: signs a copy of each executable in OUT with a
# throwaway self-signed certificate through scripts/sign-exe.sh (as
# `make dist SIGN_PFX=... SIGN_PASS_FILE=...` does) and checks each signature
# with `osslsigncode verify`, trusting only that certificate: valid,
# SHA-256, and the same bytes when signed again (fixed signing time).
# The signed copies stay in OUT for the start test under Wine.
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }
out=$1; shift
exes=(); for exe in "$@"; do exes+=("$(realpath "$exe")"); done
sign="$(cd "$(dirname "$0")/../../.." && pwd)/scripts/sign-exe.sh"
rm -rf "$out"; mkdir -p "$out"; cd "$out"

openssl req -x509 -newkey rsa:2048 -sha256 -days 2 -nodes -subj "/CN=QVM throwaway test signer" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
    -keyout key.pem -out cert.pem 2>openssl.log || { cat openssl.log >&2; fail "no certificate"; }
printf '%s\n' "throwaway pass" >pass.txt
openssl pkcs12 -export -inkey key.pem -in cert.pem -passout file:pass.txt -out signer.pfx

export SOURCE_DATE_EPOCH=1700000000
for exe in "${exes[@]}"; do
    name=$(basename "$exe")
    cp "$exe" "$name"
    # A file with no signature must not pass: the check below can fail.
    ! osslsigncode verify -CAfile cert.pem -in "$name" >/dev/null 2>&1 ||
        fail "$name verifies before it is signed"
    "$sign" signer.pfx pass.txt "$name"
    osslsigncode verify -CAfile cert.pem -in "$name" >"$name.verify" 2>&1 ||
        { cat "$name.verify" >&2; fail "$name: the signature does not verify"; }
    echo "== osslsigncode verify $name"
    grep -E "digest algorithm|Signer's certificate|Subject:|Signature verification|Succeeded|Failed" "$name.verify" || true
    grep -q "Signature verification: ok" "$name.verify" || fail "$name: no 'Signature verification: ok'"
    grep -Eq "Message digest algorithm *: SHA256" "$name.verify" || fail "$name: digest is not SHA-256"

    cp "$exe" "again-$name"
    "$sign" signer.pfx pass.txt "again-$name"
    cmp "$name" "again-$name" || fail "$name: signing the same file twice gives different bytes"
    rm "again-$name"
done

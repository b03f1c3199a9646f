#!/usr/bin/env bash
# with_mes_standin.sh COMMAND...: runs COMMAND with two MES stand-ins
# (mes_standin.py) on the loopback address, stopped again when it ends:
#   QVM_MES_DIR      the plain HTTP one's folder (standin.json, script.json,
#                    requests.jsonl)
#   QVM_MES_TLS_DIR  an HTTPS one's folder, serving mes.crt (a certificate
#                    for 127.0.0.1 made here, signed by ca.crt, also made
#                    here: a test that wants it trusted adds ca.crt to its
#                    own Wine prefix's store)
#   QVM_MES_SELF_DIR another HTTPS one, whose certificate for 127.0.0.1
#                    signs itself (trusted by nobody)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
dir="$(mktemp -d /tmp/qvm-mes.XXXXXX)"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    rm -rf "$dir"
}
trap cleanup EXIT
mkdir -p "$dir/http" "$dir/https" "$dir/self"
python3 "$here/mes_standin.py" "$dir/http" & pids+=($!)

tls="$dir/https"
if openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=QVM test CA" \
        -keyout "$tls/ca.key" -out "$tls/ca.crt" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
        >/dev/null 2>&1 &&
   openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" -keyout "$tls/mes.key" \
        -out "$tls/mes.csr" >/dev/null 2>&1 &&
   printf 'subjectAltName=DNS:127.0.0.1,IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n' >"$tls/ext" &&
   openssl x509 -req -in "$tls/mes.csr" -CA "$tls/ca.crt" -CAkey "$tls/ca.key" -CAcreateserial \
        -days 2 -extfile "$tls/ext" -out "$tls/mes.crt" >/dev/null 2>&1; then
    python3 "$here/mes_standin.py" "$tls" --tls "$tls/mes.crt" "$tls/mes.key" & pids+=($!)
    if openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=127.0.0.1" \
            -addext subjectAltName=DNS:127.0.0.1,IP:127.0.0.1 -keyout "$dir/self/self.key" \
            -out "$dir/self/self.crt" >/dev/null 2>&1; then
        python3 "$here/mes_standin.py" "$dir/self" --tls "$dir/self/self.crt" "$dir/self/self.key" &
        pids+=($!)
    fi
else
    echo "with_mes_standin: openssl cannot make the test certificates; no HTTPS stand-in" >&2
fi

for f in "$dir/http/standin.json" "$tls/standin.json" "$dir/self/standin.json"; do
    for _ in $(seq 100); do [[ -f "$f" ]] && break; sleep 0.1; done
done
[[ -f "$dir/http/standin.json" ]] || { echo "with_mes_standin: the stand-in did not start" >&2; exit 1; }
export QVM_MES_DIR="$dir/http" QVM_MES_TLS_DIR="$tls" QVM_MES_SELF_DIR="$dir/self"
# WinHTTP's default proxy would take these from the environment under Wine.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
"$@"

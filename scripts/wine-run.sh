#!/usr/bin/env bash
# CMAKE_CROSSCOMPILING_EMULATOR: runs one Windows executable under Wine in
# the project's prefix. GUI tests need $DISPLAY (see test-session.sh).
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
[[ -f "$WINEPREFIX/.qvm-template" ]] || "$(dirname "$0")/wine-prefix.sh"
exec wine "$@"

#!/usr/bin/env bash
# Makes sure a prepared Wine prefix exists at $WINEPREFIX.
# The slow part (wineboot, about 15 s) is done once into a template under
# build/wine/template and kept; a prefix is then a 2 s copy of it.
#   wine-prefix.sh          create the prefix if missing
#   wine-prefix.sh --fresh  replace the prefix with a fresh copy
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"

template="$QVM_WINE_ROOT/template"
stamp="$template/.qvm-template"
# The stamp names the Wine version and this script's template layout: a
# change of either makes the template again.
want="$(wine --version 2>/dev/null) fonts-1"
# Wine's own fonts (package fonts-wine).
wine_fonts=/usr/share/wine/fonts

make_template() {
    rm -rf "$template"
    mkdir -p "$QVM_WINE_ROOT"
    WINEPREFIX="$template" wineboot -i >/dev/null 2>&1
    WINEPREFIX="$template" wineserver -w
    # Without a window manager, unmanaged windows close at once; managed
    # ones cost about 2 s per dialog.
    WINEPREFIX="$template" wine reg add 'HKCU\Software\Wine\X11 Driver' \
        /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    WINEPREFIX="$template" wineserver -w
    # Debian's Wine 8 does not load the fonts of its own data folder, so the
    # caption buttons show their glyphs' letters ("0 1 r") instead of
    # Marlett's symbols. Fonts in the prefix's Fonts folder are loaded.
    if [[ -f "$wine_fonts/marlett.ttf" ]]; then
        cp "$wine_fonts/marlett.ttf" "$template/drive_c/windows/Fonts/"
    fi
    echo "$want" >"$stamp"
}

exec 9>"$QVM_WINE_ROOT.lock" 2>/dev/null || { mkdir -p "$(dirname "$QVM_WINE_ROOT")"; exec 9>"$QVM_WINE_ROOT.lock"; }
flock 9
if [[ ! -f "$stamp" || "$(cat "$stamp")" != "$want" ]]; then
    echo "wine-prefix: preparing the Wine prefix template (once)" >&2
    make_template
fi
if [[ "${1:-}" == "--fresh" || ! -f "$WINEPREFIX/.qvm-template" ]]; then
    WINEPREFIX="$WINEPREFIX" wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
    cp -a "$template" "$WINEPREFIX"
fi

# Sourced by the Wine scripts: one place for the environment every Wine call
# gets. QVM_BUILD_ROOT defaults to <source>/build.
QVM_SOURCE_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QVM_BUILD_ROOT="${QVM_BUILD_ROOT:-$QVM_SOURCE_ROOT/build}"
QVM_WINE_ROOT="$QVM_BUILD_ROOT/wine"
export WINEPREFIX="${QVM_WINEPREFIX:-$QVM_WINE_ROOT/prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

#!/usr/bin/env bash
# Runs a command with a fresh wine prefix in a temporary directory and one
# wine server kept up for all the wine runs it makes, then removes both.
#
# Wine runs without address randomization (setarch -R, inherited by every
# process the command starts). Debian's wine64 has no preloader to keep
# free the low addresses Windows code needs: its heap (132 KiB at start)
# begins anywhere in the gigabyte above the loader at 0x7d000000, and in
# about one start of five thousand it covered 0x7ffe0000, where wine maps
# the shared user data; wine then ended with status 1 before the program
# ran ("failed to map the shared user data", which WINEDEBUG=-all hides).
# Without randomization the heap begins just above the loader.
set -euo pipefail
WINEPREFIX=$(mktemp -d)
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
wineserver -p
setarch "$(uname -m)" -R wineboot -i >/dev/null 2>&1
setarch "$(uname -m)" -R "$@"

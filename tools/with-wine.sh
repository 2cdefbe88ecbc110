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
# Without randomization the heap begins just above the loader. Where the
# system refuses (a container's default seccomp profile does), wine runs
# as it is, and this says so.
set -euo pipefail
WINEPREFIX=$(mktemp -d)
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
fixed_addresses=(setarch "$(uname -m)" -R)
if ! "${fixed_addresses[@]}" true 2>/dev/null; then
  echo "with-wine.sh: setarch -R is refused here; wine may now and then fail to start" >&2
  fixed_addresses=()
fi
wineserver -p
"${fixed_addresses[@]}" wineboot -i >/dev/null 2>&1
"${fixed_addresses[@]}" "$@"

#!/usr/bin/env bash
# Runs a command with a fresh wine prefix in a temporary directory and one
# wine server kept up for all the wine runs it makes, then removes both.
set -euo pipefail
WINEPREFIX=$(mktemp -d)
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
wineserver -p
wineboot -i >/dev/null 2>&1
"$@"

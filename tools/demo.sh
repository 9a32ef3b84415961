#!/usr/bin/env bash
# The demonstration run by "./kx run": the console modes of the service
# executable inside the build folder's Wine prefix (set up by ./kx).
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
exe="$top/build/kxclient_service.exe"

step() { printf '\n== %s\n' "$*"; }

step "kxclient_service.exe -v (console diagnosis: no output, exit 0)"
wine "$exe" -v </dev/null
echo "exit code $?"

step "kxclient_service.exe -autoupdate -v (stand-alone update worker, no instructions queued)"
wine "$exe" -autoupdate -v </dev/null
echo "exit code $?"

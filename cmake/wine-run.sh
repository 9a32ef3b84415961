#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's own prefix.
#
# Every program run this way prints something (a test runner always does).
# Very rarely Wine's loader gives up on a new process before it runs a single
# instruction of it, and says nothing while WINEDEBUG=-all; a process that
# ends with an error and no output at all is therefore started once more, and
# the retry is reported, so such a start never passes for a test failure.
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX="${WINEPREFIX:-$(cd "$here/.." && pwd)/build/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

out=$(mktemp)
pid=
trap 'rm -f "$out"' EXIT
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; exit 143' TERM INT

for attempt in 1 2; do
  wine "$@" >"$out" 2>&1 &
  pid=$!
  wait "$pid"
  rc=$?
  pid=
  if [ "$rc" -eq 0 ] || [ -s "$out" ]; then
    break
  fi
  echo "wine-run: $(basename "$1") ended with $rc before printing anything (attempt $attempt)" >&2
done
cat "$out"
exit "$rc"

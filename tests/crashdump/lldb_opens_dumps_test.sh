#!/usr/bin/env bash
# An independent reader of the crash report: a child process dies of an access
# violation and of abort() with the crash report enabled, kxcrashdump turns the
# events it printed into .dmp files, and the host's lldb must list the crashing
# program and at least one thread of each.
#   lldb_opens_dumps_test.sh BUILD_FOLDER WINE_RUN_SCRIPT
set -u
build=$1
wine_run=$2

if ! command -v lldb >/dev/null 2>&1; then
  echo "SKIPPED: lldb is not installed (tools/setup/install-deps.sh installs it)"
  exit 77
fi

work=$(mktemp -d "$build/tests/crash-lldb.XXXXXX")
trap 'rm -rf "$work"' EXIT
windows_work="Z:${work//\//\\}"
failed=0
for mode in access-violation abort; do
  "$wine_run" "$build/tests/crash_child.exe" "$mode" "$windows_work" >"$work/$mode.txt" 2>&1
  if ! "$wine_run" "$build/kxcrashdump.exe" "$windows_work\\$mode.txt" "$windows_work\\$mode.dmp"; then
    echo "FAILED: kxcrashdump found no whole dump in the $mode child's events"
    failed=1
    continue
  fi
  listing=$(lldb --batch -c "$work/$mode.dmp" -o "image list" -o "thread list" 2>/dev/null)
  if ! grep -q 'crash_child\.exe' <<<"$listing" || ! grep -q 'thread #1' <<<"$listing"; then
    echo "FAILED: lldb does not list crash_child.exe and its threads in the $mode dump:"
    echo "$listing"
    failed=1
  fi
  if compgen -G "$work/dmp*" >/dev/null; then
    echo "FAILED: the $mode child left a dump file behind"
    failed=1
  fi
done
exit $failed

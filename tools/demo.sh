#!/usr/bin/env bash
# The demonstration run by "./kx run", inside the build folder's Wine prefix
# (created and served by ./kx): the console modes, then the service installed
# in the Wine Service Control Manager, started, queried and stopped.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
exe="$top/build/kxclient_service.exe"
winexe=$(winepath -w "$exe" 2>/dev/null)
name=KxClientService

step() { printf '\n== %s\n' "$*"; }
sc() { wine sc "$@" </dev/null 2>/dev/null | tr -d '\r'; }
state() { sc query "$name" | sed -n 's/^ *STATE *: *//p'; }

remove_service() {
  if sc query "$name" | grep -q STATE; then
    sc stop "$name" >/dev/null
    for _ in $(seq 50); do state | grep -q STOPPED && break; sleep 0.2; done
    sc delete "$name" >/dev/null
  fi
}
trap 'echo; step "interrupted: stopping the service"; remove_service; exit 130' INT TERM

step "kxclient_service.exe -v (console diagnosis: no output, exit 0)"
wine "$exe" -v </dev/null
echo "exit code $?"

step "kxclient_service.exe -autoupdate -v (stand-alone update worker, nothing to do)"
KX_WORKER_POLL_MS=1000 wine "$exe" -autoupdate -v </dev/null
echo "exit code $?"

step "installing the service: sc create $name binPath= \"$winexe -service\""
remove_service
sc create "$name" binPath= "\"$winexe\" -service"
step "starting it"
sc start "$name" >/dev/null
for _ in $(seq 50); do state | grep -q RUNNING && break; sleep 0.2; done
echo "state: $(state)"

kxupdate="$top/build/kxupdate.exe"
# The service reports running before its RPC server listens.
for _ in $(seq 50); do wine "$kxupdate" query </dev/null >/dev/null 2>&1 && break; sleep 0.2; done
step "kxupdate query (nothing begun yet: no reply)"
wine "$kxupdate" query </dev/null
step "kxupdate begin --url http://127.0.0.1:9/kxclient.msi --args /quiet"
wine "$kxupdate" begin --url http://127.0.0.1:9/kxclient.msi --args /quiet </dev/null
step "kxupdate watch (this build has no download step: the update ends failed)"
wine "$kxupdate" watch </dev/null
step "kxupdate send '{\"id\":\"queryAutoUpdateProgress\"}'"
wine "$kxupdate" send '{"id":"queryAutoUpdateProgress"}' </dev/null

step "stopping it"
sc stop "$name" >/dev/null
for _ in $(seq 50); do state | grep -q STOPPED && break; sleep 0.2; done
echo "state: $(state)"
sc delete "$name" >/dev/null && echo "service removed"

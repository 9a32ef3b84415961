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
trap 'echo; step "interrupted: stopping the service"; remove_service; "$fixtures" remove; exit 130' INT TERM

step "kxclient_service.exe -v (console diagnosis: no output, exit 0)"
wine "$exe" -v </dev/null
echo "exit code $?"

step "kxclient_service.exe -autoupdate -v (stand-alone update worker, nothing to do)"
KX_WORKER_POLL_MS=1000 wine "$exe" -autoupdate -v </dev/null
echo "exit code $?"

fixtures="$top/tools/fixtures/install-fixtures.sh"
channel='HKLM\SOFTWARE\Citrix\ICA Client\Engine\Configuration\Advanced\Modules\Veltrastone'
citrix_copy="$WINEPREFIX/drive_c/kxfixtures/Citrix/ICA Client/kxclient.dll"
show_registration() {
  if wine reg query "$channel" /reg:32 </dev/null 2>/dev/null | tr -d '\r' | grep -E 'REG_' ; then :; else
    echo "(channel key missing)"; fi
  [ -f "$citrix_copy" ] && echo "module copy present: C:\kxfixtures\Citrix\ICA Client\kxclient.dll" \
    || echo "(module copy missing)"
}
step "simulated Citrix and WorkSpaces clients and a registered kxclient.dll (C:\\kxfixtures)"
"$fixtures" install

step "installing the service: sc create $name binPath= \"$winexe -service\""
remove_service
sc create "$name" binPath= "\"$winexe\" -service"
step "starting it"
sc start "$name" >/dev/null
for _ in $(seq 50); do state | grep -q RUNNING && break; sleep 0.2; done
echo "state: $(state)"

sleep 2
step "the service registered kxclient.dll with the Citrix client"
show_registration
step "deleting the channel key and the module copy; the service repairs them after a 5 s settling pause"
"$fixtures" break
show_registration
sleep 7
echo "-- 7 s later:"
show_registration

kxupdate="$top/build/kxupdate.exe"
# The service reports running before its RPC server listens.
for _ in $(seq 50); do wine "$kxupdate" query </dev/null >/dev/null 2>&1 && break; sleep 0.2; done
step "kxupdate query (nothing begun yet: no reply)"
wine "$kxupdate" query </dev/null
step "kxupdate begin --url http://127.0.0.1:9/kxclient.msi --args /quiet"
wine "$kxupdate" begin --url http://127.0.0.1:9/kxclient.msi --args /quiet </dev/null
step "kxupdate watch (nothing listens on port 9: the download fails and the update ends failed)"
wine "$kxupdate" watch </dev/null
step "kxupdate send '{\"id\":\"queryAutoUpdateProgress\"}'"
wine "$kxupdate" send '{"id":"queryAutoUpdateProgress"}' </dev/null

step "stopping it"
sc stop "$name" >/dev/null
for _ in $(seq 50); do state | grep -q STOPPED && break; sleep 0.2; done
echo "state: $(state)"
sc delete "$name" >/dev/null && echo "service removed"

# Wine never sends a service the shutdown or session-change controls:
# kxcontrol delivers a logoff to the service's own control handler instead.
cache='HKLM\Software\Veltrastone\Cache\SecurityProducts'
verify() { wine "$top/build/kxupdate.exe" verify-cache </dev/null; echo "exit code $?"; }
step "a user logs off: the service saves the stand-in Security Center's products (kxcontrol logoff)"
KX_WSC_PRODUCTS='C:\kxfixtures\SecurityCenter\products.txt' wine "$top/build/fixtures/kxcontrol.exe" logoff </dev/null
wine reg query "$cache\\AntiVirus\\0" </dev/null 2>/dev/null | tr -d '\r' | grep REG_
step "kxupdate verify-cache: every \"Verify\" recomputed from the stored values and the key's path"
verify
step "editing a product's \"Status\" in the registry; the reader notices"
wine reg add "$cache\\AntiVirus\\0" /v Status /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1
verify
"$fixtures" remove

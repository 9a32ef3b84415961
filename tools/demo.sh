#!/usr/bin/env bash
# The demonstration run by "./kx run", inside the build folder's Wine prefix
# (created and served by ./kx): the console modes, then the service installed
# in the Wine Service Control Manager: it repairs a registration and carries a
# real update through its worker (nginx over HTTPS, a signed test installer),
# then stops; last, the security products cache.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
exe="$top/build/kxclient_service.exe"
# The signed copy, so that its worker checks the installer's signature too.
service_exe="$top/build/fixtures/installers/kxclient_service_signed.exe"
winexe=$(winepath -w "$service_exe" 2>/dev/null)
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
kxupdate="$top/build/kxupdate.exe"
kxtrustca="$top/build/fixtures/kxtrustca.exe"
installers="$top/build/fixtures/installers"
demo="$top/build/demo-update"
worker_copy="$WINEPREFIX/drive_c/ProgramData/Veltrastone/Client/AutoUpdate/kxclient_service_worker.exe"
session_manager='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager'

# This prefix's worker processes as the host sees them: "pid command line".
worker_processes() {
  local pid
  for pid in $(pgrep -f 'kxclient_service_worker\.exe' || true); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
      ps -o pid=,args= -p "$pid"
  done
}

# One line per status that kxupdate watch shows (it rewrites its line with \r).
status_changes() {
  local chunk last=""
  while IFS= read -r -d $'\r' chunk || [ -n "$chunk" ]; do
    chunk=${chunk//$'\n'/}
    chunk=${chunk%"${chunk##*[! ]}"}
    [ -n "$chunk" ] && [ "${chunk#*] }" != "$last" ] && { echo "$chunk"; last=${chunk#*] }; }
  done
  return 0
}

start_update_server() {
  rm -rf "$demo" && mkdir -p "$demo/www" "$demo/temp"
  (cd "$demo" &&
    openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3 \
      -subj "/CN=kx demo authority $$" -addext basicConstraints=critical,CA:TRUE \
      -addext keyUsage=critical,keyCertSign,cRLSign &&
    openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj /CN=localhost &&
    printf 'subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n' >server.ext &&
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
      -extfile server.ext -out server.pem) >/dev/null 2>&1 || { echo "openssl failed"; return 1; }
  cp "$installers/test_installer_company.exe" "$demo/www/kxclient-setup.exe"
  # A port can be taken between choosing and binding it: choose again.
  for _ in 1 2 3 4 5; do
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    cat >"$demo/nginx.conf" <<CONF
pid $demo/nginx.pid;
error_log $demo/error.log;
worker_processes 1;
events { worker_connections 16; }
http {
  client_body_temp_path $demo/temp; proxy_temp_path $demo/temp; fastcgi_temp_path $demo/temp;
  uwsgi_temp_path $demo/temp; scgi_temp_path $demo/temp;
  access_log $demo/access.log;
  default_type application/octet-stream;
  # Slow enough that the download can be watched.
  server { listen 127.0.0.1:$port ssl; root $demo/www; limit_rate 64k;
    ssl_certificate $demo/server.pem; ssl_certificate_key $demo/server.key; }
}
CONF
    /usr/sbin/nginx -c "$demo/nginx.conf" -p "$demo" 2>/dev/null && return 0
  done
  echo "nginx did not start"; return 1
}

remove_update_fixtures() {
  if [ -f "$demo/nginx.pid" ]; then
    kill "$(cat "$demo/nginx.pid")" 2>/dev/null
    for _ in $(seq 50); do [ -f "$demo/nginx.pid" ] || break; sleep 0.1; done
  fi
  worker_processes | while read -r pid _; do kill "$pid"; done
  for certificate in "$demo/ca.pem" "$installers/certs/company.pem"; do
    [ -f "$certificate" ] && wine "$kxtrustca" remove "$(winepath -w "$certificate")" </dev/null >/dev/null 2>&1
  done
  rm -rf "$demo" "$worker_copy"
  # The worker copy was marked for deletion at restart; drop the mark when it is the only one.
  local pending
  pending=$(wine reg query "$session_manager" /v PendingFileRenameOperations </dev/null 2>/dev/null | tr -d '\r' |
    sed -n 's/.*REG_MULTI_SZ *//p')
  if [ -n "$pending" ] && ! printf '%s' "$pending" | sed 's/\\0/\n/g' | grep -v '^$' | grep -qvi kxclient_service_worker; then
    wine reg delete "$session_manager" /v PendingFileRenameOperations /f </dev/null >/dev/null 2>&1
  fi
  return 0
}

trap 'echo; step "interrupted: stopping the service"; remove_service; remove_update_fixtures; "$fixtures" remove; exit 130' INT TERM

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

step "an update over HTTPS: nginx on 127.0.0.1 with a certificate for localhost from a test authority"
start_update_server || { remove_update_fixtures; exit 1; }
url="https://localhost:$port/kxclient-setup.exe"
hash=$(sha256sum "$demo/www/kxclient-setup.exe" | cut -d' ' -f1 | tr a-f A-F)
echo "nginx pid $(cat "$demo/nginx.pid") serves $url"
echo "  the signed test installer, SHA-256 $hash"
echo "kxtrustca add: the authority and the installer's signer become roots of the prefix"
wine "$kxtrustca" add "$(winepath -w "$demo/ca.pem")" </dev/null
wine "$kxtrustca" add "$(winepath -w "$installers/certs/company.pem")" </dev/null

step "kxupdate launch: the service starts its worker copy from the download cache"
echo "kxupdate launch: $(wine "$kxupdate" launch </dev/null) (a launch has none)"
for _ in $(seq 100); do wine "$kxupdate" query --endpoint worker </dev/null >/dev/null 2>&1 && break; sleep 0.2; done
worker_processes
echo "kxupdate query --endpoint worker: $(wine "$kxupdate" query --endpoint worker </dev/null)"

record="$demo/installer-record.txt"
args="--sleep-ms=3000 --record=$(winepath -w "$record")"
step "kxupdate begin --endpoint worker --url $url --hash ${hash:0:12}... --args \"$args\""
wine "$kxupdate" begin --endpoint worker --url "$url" --hash "$hash" --args "$args" </dev/null
step "kxupdate watch --endpoint worker (download, hash and signature check, silent install, cache cleaned)"
KX_KXUPDATE_WATCH_MS=250 wine "$kxupdate" watch --endpoint worker </dev/null | status_changes
completed=$(date +%s)
step "the test installer's record of how it was started"
IFS=$'\t' read -r pid folder command_line <"$record"
printf '  pid %s, working folder %s\n  command line: %s\n' "$pid" "$folder" "$command_line"
echo "executables in the download cache: $(cd "$(dirname "$worker_copy")" && ls -- *.exe 2>/dev/null | tr '\n' ' ')"

step "the worker ends on its own at its first 30 s poll after the task's 5 s pause"
for _ in $(seq 60); do
  [ -z "$(worker_processes)" ] && break
  sleep 1
done
if [ -z "$(worker_processes)" ]; then
  echo "the worker has ended by itself, $(( $(date +%s) - completed )) s after Completed"
else
  echo "the worker still runs after 60 s"
fi
wine "$kxupdate" query --endpoint worker </dev/null
remove_update_fixtures
echo "nginx stopped, roots removed, worker copy deleted"

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

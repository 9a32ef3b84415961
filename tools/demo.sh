#!/usr/bin/env bash
# The demonstration run by "./kx run", inside the build folder's Wine prefix
# (created and served by ./kx): the console modes, then the product installed
# by its signed setup program (version 1.1.0): the service repairs a
# registration and updates itself to 1.2.0 through its worker (nginx over
# HTTPS, the signed setup program of 1.2.0), then the product is removed;
# last, the security products cache.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
exe="$top/build/kxclient_service.exe"
name=KxClientService
packages="$top/build/fixtures/installers/packages"
installed="$WINEPREFIX/drive_c/Program Files/Veltrastone/Client/kxclient_service.exe"
uninstall_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'

step() { printf '\n== %s\n' "$*"; }
sc() { wine sc "$@" </dev/null 2>/dev/null | tr -d '\r'; }
state() { sc query "$name" | sed -n 's/^ *STATE *: *//p'; }

# This prefix's processes of an image, as the host sees them: "pid command line".
prefix_processes() {
  local pid
  for pid in $(pgrep -f "$1" || true); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
      ps -o pid=,args= -p "$pid"
  done
}
worker_processes() { prefix_processes 'kxclient_service_worker\.exe'; }

# The installed service: its state, its process, its file's version resource
# (UTF-16 strings) and SHA-256, and the installed programs' entries.
show_installed() {
  local current; current=$(state)
  echo "service $name: ${current:-not installed}"
  prefix_processes 'Veltrastone.Client.kxclient_service\.exe' | sed 's/^/  process /'
  [ -f "$installed" ] && echo "  C:\Program Files\Veltrastone\Client\kxclient_service.exe: version" \
    "$(x86_64-w64-mingw32-strings -el "$installed" | grep -A1 -x FileVersion | tail -1)," \
    "SHA-256 $(sha256sum "$installed" | cut -c1-16)..."
  local key values found=""
  for key in $(wine reg query "$uninstall_key" </dev/null 2>/dev/null | tr -d '\r' | grep '^HKEY' | tr ' ' '?'); do
    values=$(wine reg query "${key//\?/ }" </dev/null 2>/dev/null | tr -d '\r')
    grep -q 'DisplayName.*Veltrastone' <<<"$values" || continue
    found=1
    echo "  installed programs entry ${key##*\\}:"
    grep -E '^ *(DisplayName|DisplayVersion|BundleUpgradeCode|UninstallString|SystemComponent) ' <<<"$values" |
      sed 's/^ */    /'
  done
  [ -n "$found" ] || echo "  (no Veltrastone entries among the installed programs)"
}

# As Programs and Features would: the setup program's entry's uninstall command.
remove_product() {
  local command version
  command=$(wine reg query "$uninstall_key\\VeltrastoneClientSetup" /v UninstallString </dev/null 2>/dev/null |
    tr -d '\r' | sed -n 's/.*REG_SZ *//p')
  [ -n "$command" ] && eval "wine $command /quiet /norestart" </dev/null
  echo "uninstall command exit code $?"
  # What an interrupted run left: msiexec removes a package's product by the package.
  for version in 1.1.0 1.2.0; do
    wine msiexec /x "$(winepath -w "$packages/kxclient-x64-$version.msi")" /qn </dev/null >/dev/null 2>&1
  done
  rm -rf "$WINEPREFIX/drive_c/Program Files/Veltrastone"
}
kxupdate="$top/build/kxupdate.exe"
kxtrustca="$top/build/fixtures/kxtrustca.exe"
installers="$top/build/fixtures/installers"
demo="$top/build/demo-update"
worker_copy="$WINEPREFIX/drive_c/ProgramData/Veltrastone/Client/AutoUpdate/kxclient_service_worker.exe"
session_manager='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager'

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
  cp "$packages/kxclient-setup-1.2.0.exe" "$demo/www/"
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
  server { listen 127.0.0.1:$port ssl; root $demo/www; limit_rate 512k;
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
  # The worker copy, and the setup program that removed itself, were marked for
  # deletion at restart; drop the marks when they are the only ones.
  local pending
  pending=$(wine reg query "$session_manager" /v PendingFileRenameOperations </dev/null 2>/dev/null | tr -d '\r' |
    sed -n 's/.*REG_MULTI_SZ *//p')
  if [ -n "$pending" ] && ! printf '%s' "$pending" | sed 's/\\0/\n/g' | grep -v '^$' | grep -qvi Veltrastone; then
    wine reg delete "$session_manager" /v PendingFileRenameOperations /f </dev/null >/dev/null 2>&1
  fi
  return 0
}

trap 'echo; step "interrupted: removing the product"; remove_product; remove_update_fixtures; "$fixtures" remove; exit 130' INT TERM

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

step "installing version 1.1.0 as an administrator would: kxclient-setup-1.1.0.exe /quiet /norestart"
remove_product >/dev/null
wine "$(winepath -w "$packages/kxclient-setup-1.1.0.exe")" /quiet /norestart </dev/null
echo "setup exit code $? (msiexec's); the package installed and started the service:"
for _ in $(seq 50); do state | grep -q RUNNING && break; sleep 0.2; done
show_installed

sleep 2
step "the service registered kxclient.dll with the Citrix client"
show_registration
step "deleting the channel key and the module copy; the service repairs them after a 5 s settling pause"
"$fixtures" break
show_registration
sleep 7
echo "-- 7 s later:"
show_registration

step "the update to 1.2.0 over HTTPS: nginx on 127.0.0.1 with a certificate for localhost from a test authority"
start_update_server || { remove_update_fixtures; remove_product; exit 1; }
url="https://localhost:$port/kxclient-setup-1.2.0.exe"
hash=$(sha256sum "$demo/www/kxclient-setup-1.2.0.exe" | cut -d' ' -f1 | tr a-f A-F)
echo "nginx pid $(cat "$demo/nginx.pid") serves $url"
echo "  the signed setup program of 1.2.0, SHA-256 $hash"
echo "kxtrustca add: the authority and the setup program's signer become roots of the prefix"
wine "$kxtrustca" add "$(winepath -w "$demo/ca.pem")" </dev/null
wine "$kxtrustca" add "$(winepath -w "$installers/certs/company.pem")" </dev/null

step "kxupdate launch: the service starts its worker copy from the download cache"
echo "kxupdate launch: $(wine "$kxupdate" launch </dev/null) (a launch has none)"
for _ in $(seq 100); do wine "$kxupdate" query --endpoint worker </dev/null >/dev/null 2>&1 && break; sleep 0.2; done
worker_processes
echo "kxupdate query --endpoint worker: $(wine "$kxupdate" query --endpoint worker </dev/null)"

step "kxupdate begin --endpoint worker --url $url --hash ${hash:0:12}..."
wine "$kxupdate" begin --endpoint worker --url "$url" --hash "$hash" </dev/null
step "kxupdate watch --endpoint worker (download, hash and signature check, setup: msiexec replaces the service)"
KX_KXUPDATE_WATCH_MS=250 wine "$kxupdate" watch --endpoint worker </dev/null | status_changes
completed=$(date +%s)
step "after the update: the service runs again, as 1.2.0 (new process, new file), and answers"
for _ in $(seq 50); do wine "$kxupdate" query </dev/null >/dev/null 2>&1 && break; sleep 0.2; done
show_installed
echo "  the build's 1.2.0 (build/fixtures/installers/packages/1.2.0/kxclient_service.exe):" \
  "SHA-256 $(sha256sum "$packages/1.2.0/kxclient_service.exe" | cut -c1-16)..."
wine "$kxupdate" query </dev/null >/dev/null 2>&1
echo "kxupdate query (the service's own endpoint): exit code $?"
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

step "removing the product as Programs and Features would: the entry's UninstallString /quiet /norestart"
remove_product
show_installed
remove_update_fixtures
echo "nginx stopped, roots removed, worker copy deleted"

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

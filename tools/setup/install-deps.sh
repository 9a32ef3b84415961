#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine.
# Safe to run again: each step is skipped when its result is already there.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
deps="$top/build/deps"
mkdir -p "$deps"

packages=(
  cmake make gcc libc6-dev python3 tmux
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools
  wine wine64 winbind
  rapidjson-dev googletest
  osslsigncode msitools wixl
  nginx-light tinyproxy openssl curl lldb
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # Tests start nginx and tinyproxy themselves on loopback ports; keep the
  # packages' own daemons from starting on the machine's default ports.
  policy=/usr/sbin/policy-rc.d
  own_policy=
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' > "$policy" && chmod +x "$policy" && own_policy=1
  fi
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  if [ -n "$own_policy" ]; then rm -f "$policy"; fi
fi

# RapidJSON must be reachable without putting /usr/include on the cross include path.
mkdir -p "$deps/rapidjson-include"
ln -sfn /usr/include/rapidjson "$deps/rapidjson-include/rapidjson"

# Makes Debian's source packages reachable for apt-get source.
ensure_deb_src() {
  if ! apt-get source --download-only --print-uris "$1" >/dev/null 2>&1; then
    # Derive a deb-src entry from the machine's own deb entry (same URIs, suites, keys).
    base=$(ls /etc/apt/sources.list.d/*.sources 2>/dev/null | grep -v kx-deb-src | head -n 1 || true)
    if [ -n "$base" ]; then
      awk 'BEGIN{RS="";ORS="\n\n"} /Types:[^\n]*deb/ {sub(/Types:[^\n]*/, "Types: deb-src"); print}' "$base" \
        > /etc/apt/sources.list.d/kx-deb-src.sources
    else
      grep -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' > /etc/apt/sources.list.d/kx-deb-src.list
    fi
    apt-get update -qq
  fi
}

# Crypto++ has no mingw package: build the subset we use from Debian's source package.
cryptopp="$deps/cryptopp"
if [ ! -f "$cryptopp/libcryptopp.a" ]; then
  echo "== building Crypto++ for mingw"
  ensure_deb_src libcrypto++
  work="$deps/cryptopp-src"
  rm -rf "$work" && mkdir -p "$work"
  (cd "$work" && apt-get source --download-only libcrypto++ >/dev/null 2>&1)
  tarball=$(ls "$work"/*.orig.tar.* | head -n 1)
  mkdir -p "$work/src" && tar -xf "$tarball" -C "$work/src" --strip-components=1 2>/dev/null || tar -xf "$tarball" -C "$work/src"
  srcdir="$work/src"
  [ -f "$srcdir/cryptlib.cpp" ] || srcdir=$(dirname "$(find "$work/src" -name cryptlib.cpp | head -n 1)")
  mkdir -p "$cryptopp/include/cryptopp" "$cryptopp/obj"
  cxx=x86_64-w64-mingw32-g++-posix
  flags="-DNDEBUG -O2 -D_WIN32_WINNT=0x0601 -DCRYPTOPP_MANUALLY_INSTANTIATE_TEMPLATES -std=c++17"
  units="cryptlib cpu integer sse_simd misc allocate algparam fips140 filters queue mqueue files basecode hex base64 iterhash sha sha_simd hmac asn nbtheory osrng rng pubkey rijndael rijndael_simd rdtables randpool modes hrtimer"
  pids=()
  for u in $units; do
    extra=""
    [ "$u" = sha_simd ] && extra="-msse4.2 -msha"
    [ "$u" = rijndael_simd ] && extra="-msse4.1 -maes"
    $cxx $flags $extra -c "$srcdir/$u.cpp" -o "$cryptopp/obj/$u.o" &
    pids+=($!)
    if [ ${#pids[@]} -ge 4 ]; then wait "${pids[0]}"; pids=("${pids[@]:1}"); fi
  done
  for p in "${pids[@]}"; do wait "$p"; done
  x86_64-w64-mingw32-ar rcs "$cryptopp/libcryptopp.a" "$cryptopp"/obj/*.o
  cp "$srcdir"/*.h "$cryptopp/include/cryptopp/"
  rm -rf "$work" "$cryptopp/obj"
fi

# The independent reader of the trace resources in kxclient_service.exe: a
# host checker built against the libyal format libraries (libexe, libwrc,
# libfwevt and what they need) bundled in Debian's libevtx source package.
# Only those libraries are built; their verbose prints are how the bundled
# libfwevt shows the fields its API does not.
libyal="$deps/libevtx"
libyal_libs="libcerror libcdata libclocale libcnotify libcsplit libuna libcfile libcpath libbfio
  libfcache libfdata libfdatetime libfguid libfvalue libfwnt libfwevt libexe libwrc"
if [ ! -f "$libyal/built" ]; then
  echo "== building the libyal format libraries"
  ensure_deb_src libevtx
  rm -rf "$libyal" && mkdir -p "$libyal"
  (cd "$libyal" && apt-get source --download-only libevtx >/dev/null 2>&1)
  tar -xf "$(ls "$libyal"/libevtx_*.orig.tar.* | head -n 1)" -C "$libyal" --strip-components=1
  log="$libyal/build.log"
  (cd "$libyal" && ./configure --disable-shared --disable-nls --disable-dependency-tracking \
     --disable-multi-threading-support --enable-verbose-output --enable-debug-output) >"$log" 2>&1 ||
    { tail -n 20 "$log"; exit 1; }
  for lib in $libyal_libs; do
    make -s -C "$libyal/$lib" -j "$(nproc)" >>"$log" 2>&1 || { tail -n 20 "$log"; exit 1; }
  done
  touch "$libyal/built"
fi
checker="$deps/kxtracecheck"
checker_source="$top/tools/tracemc/trace_check.c"
if [ ! -x "$checker" ] || [ "$checker_source" -nt "$checker" ] || [ "$libyal/built" -nt "$checker" ]; then
  echo "== building kxtracecheck"
  flags=(-O1 -DHAVE_CONFIG_H -I"$libyal/common" -I"$libyal/include")
  archives=()
  for lib in $libyal_libs; do flags+=(-I"$libyal/$lib"); archives+=("$libyal/$lib/.libs/$lib.a"); done
  cc "${flags[@]}" "$checker_source" -Wl,--start-group "${archives[@]}" -Wl,--end-group -o "$checker"
fi
echo "== dependencies ready"

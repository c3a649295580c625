#!/usr/bin/env bash
# The Windows check, run on Debian/Ubuntu with MinGW-w64 and Wine:
#   1. compiles every unit of the library (all of src/ except the Python
#      binding layer) and the development server for 64-bit Windows;
#   2. links the test program tests/windows/ from the Windows units and runs it
#      under Wine: processes, Unicode paths, file times, socket probes, the
#      detached start and update.bat on staged installations.
# Installs the cross compiler and Wine with apt when they are missing.
#   bash scripts/windows-check.sh [OUT_DIR]      (default _build/windows)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${1:-_build/windows}
mkdir -p "$out"
out=$(cd "$out" && pwd)
jobs=${WINDOWS_CHECK_JOBS:-2}

# --- tools ------------------------------------------------------------------
# The cross compiler, Wine, and the (Linux) headers of the dependencies.
pkgs=(g++-mingw-w64-x86-64-posix wine wine64 nlohmann-json3-dev libtomlplusplus-dev libcpp-httplib-dev
      libcurl4-openssl-dev libssl-dev)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "[windows] installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 \
    install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  echo "[windows] installed in ${SECONDS}s"
fi
cxx=x86_64-w64-mingw32-g++-posix
launcher=()
command -v ccache >/dev/null && launcher=(ccache)

# --- headers of the dependencies ---------------------------------------------
# Debian has no MinGW builds of libcurl, OpenSSL or cpp-httplib's compiled
# part. nlohmann-json and toml++ are header-only and used as they are; the
# declarations of curl, OpenSSL (configured for Linux) and cpp-httplib are
# enough to check the units that use them, which are compiled with
# -fsyntax-only and not linked. Only these folders are put on the include path,
# never /usr/include itself (its C library headers are Linux's).
inc=$out/include
rm -rf "$inc" && mkdir -p "$inc/openssl"
ln -s /usr/include/nlohmann "$inc/nlohmann"
ln -s /usr/include/toml++ "$inc/toml++"
ln -s /usr/include/httplib.h "$inc/httplib.h"
curl_dir=$(dirname "$(find /usr/include -path '*/curl/curl.h' -print -quit)")
ln -s "$curl_dir" "$inc/curl"
for f in /usr/include/openssl/* /usr/include/*-linux-gnu/openssl/*; do
  ln -sf "$f" "$inc/openssl/"
done

flags=(-std=c++20 -O1 -Wall -Isrc -I"$inc")

# --- compile ----------------------------------------------------------------
# Units that use curl or OpenSSL, and the development server (cpp-httplib),
# are checked but not linked.
mapfile -t units < <(find src devkit/update_server -name '*.cpp' -not -path 'src/python/*' | sort)
link_units=() check_units=()
for u in "${units[@]}"; do
  if [[ $u == devkit/* ]] || grep -Eq '#include *<(curl|openssl)/' "$u"; then
    check_units+=("$u")
  else
    link_units+=("$u")
  fi
done
echo "[windows] compiling ${#units[@]} units for Windows:" \
     "${#link_units[@]} to objects, ${#check_units[@]} syntax only (${check_units[*]})"
rm -rf "$out/obj" && mkdir -p "$out/obj"
compile() {  # unit, "link" or "check"
  local u=$1 base
  base=$out/obj/$(echo "${u%.cpp}" | tr / _)
  if [ "$2" = link ]; then
    "${launcher[@]}" "$cxx" "${flags[@]}" -c "$u" -o "$base.o" >"$base.log" 2>&1
  else
    "$cxx" "${flags[@]}" -fsyntax-only "$u" >"$base.log" 2>&1
  fi || echo "$u" >> "$out/obj/FAILED"
}
running=0
for u in "${link_units[@]}" "${check_units[@]}"; do
  mode=link
  [[ " ${check_units[*]} " == *" $u "* ]] && mode=check
  compile "$u" "$mode" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then wait -n; running=$((running - 1)); fi
done
wait
cat "$out"/obj/*.log > "$out/compile.log"
warnings=$(grep -c 'warning:' "$out/compile.log" || true)
if [ -s "$out/obj/FAILED" ]; then
  cat "$out/compile.log"
  echo "[windows] FAILED to compile for Windows: $(tr '\n' ' ' < "$out/obj/FAILED")"
  exit 1
fi
if [ "$warnings" -gt 0 ]; then
  grep -A3 'warning:' "$out/compile.log" || true
fi
echo "[windows] every unit compiles for Windows ($warnings warnings; ${SECONDS}s so far)"

# --- the test program under Wine ---------------------------------------------
ar=x86_64-w64-mingw32-ar
lib=$out/libtarvik_windows.a
rm -f "$lib"
"$ar" rcs "$lib" "$out"/obj/*.o
mapfile -t test_units < <(find tests/windows -name '*.cpp' -not -name helper.cpp | sort)
echo "[windows] linking the test program (tests/windows) from the Windows units"
"${launcher[@]}" "$cxx" "${flags[@]}" -municode -static -Itests/windows -o "$out/windows_check.exe" \
  "${test_units[@]}" "$lib" -lws2_32
"${launcher[@]}" "$cxx" -std=c++20 -O1 -Wall -municode -static -o "$out/helper.exe" tests/windows/helper.cpp -lws2_32

export WINEPREFIX=$out/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
wineserver=$(command -v wineserver || ls /usr/lib/wine/wineserver64 2>/dev/null || echo /usr/lib/wine/wineserver)
stop_wine() { "$wineserver" -k 2>/dev/null || true; }
trap stop_wine EXIT
if [ ! -d "$WINEPREFIX/drive_c" ]; then
  echo "[windows] creating the Wine prefix"
  timeout 300 wine wineboot --init >/dev/null 2>&1 || true
fi
echo "[windows] ready to run after ${SECONDS}s"
echo "[windows] running the test program under $(wine --version 2>/dev/null)"
set +e
timeout 600 wine "$out/windows_check.exe" 2>&1 | tr -d '\r'
status=${PIPESTATUS[0]}
set -e
echo "[windows] done in ${SECONDS}s"
exit "$status"

#!/usr/bin/env bash
# Installs everything the library needs on Debian/Ubuntu (system packages where
# missing), creates .venv with the build and test tools, and builds and installs
# the library into it.
set -euo pipefail
cd "$(dirname "$0")/.."

pkgs=(g++ make pkg-config git curl openssl python3-venv python3-dev
      libcurl4-openssl-dev libssl-dev nlohmann-json3-dev libtomlplusplus-dev
      libcpp-httplib-dev)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "[setup] installing system packages: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# nginx, for the tests that run an update through an ordinary web server (they
# start their own on free ports). Optional: without it those tests are skipped.
if ! command -v nginx >/dev/null && [ ! -x /usr/sbin/nginx ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  for p in nginx-light nginx; do
    apt-cache show "$p" >/dev/null 2>&1 || continue
    echo "[setup] installing $p for the tests"
    if DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "$p" >/dev/null; then
      # no system service on port 80 for it
      if command -v systemctl >/dev/null && [ -d /run/systemd/system ]; then
        "${sudo_cmd[@]}" systemctl disable --now nginx >/dev/null 2>&1 || true
      fi
    else
      echo "[setup] could not install $p: the nginx tests will be skipped"
    fi
    break
  done
fi

python=${PYTHON:-python3}
[ -x .venv/bin/python ] || "$python" -m venv .venv
.venv/bin/python -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" "nanobind~=2.9" cmake ninja pytest "django>=4.2,<6"

# The compiler stand-in must be importable by "python -m nuitka" even when a
# build replaces PYTHONPATH, so it is made visible to the venv's interpreter.
site=$(.venv/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
echo "$(pwd)/devkit/compiler" > "$site/tarvik_devkit_compiler.pth"

echo "[setup] building and installing tarvik_cmd"
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation .

# The development update server is a developer tool, not part of the library:
# its own small CMake project, installed beside the venv's interpreter where
# the demo and the tests look for it.
echo "[setup] building tarvik-devserver"
.venv/bin/cmake -S devkit/update_server -B _build/devserver -G Ninja \
  -DCMAKE_MAKE_PROGRAM="$(pwd)/.venv/bin/ninja" -DCMAKE_BUILD_TYPE=Release >/dev/null
.venv/bin/cmake --build _build/devserver -j 2 >/dev/null
.venv/bin/cmake --install _build/devserver --prefix .venv >/dev/null

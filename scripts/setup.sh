#!/usr/bin/env bash
# Installs, idempotently, every Debian package VelWeb needs to build, test and run.
# Safe to run again: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential g++ clang clang-format libclang-rt-dev cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  xvfb xauth x11-utils imagemagick
  curl procps psmisc iproute2 util-linux python3
  dpkg-dev file man-db lintian
  chromium chromium-driver nodejs
  nginx-light openssl libcrypt-dev
  prometheus
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

# npm comes with Debian's nodejs on some machines and as its own package on others.
command -v npm >/dev/null 2>&1 || missing+=(npm)

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Browser driver and accessibility audit for the end-to-end test (npm registry only, no
# browser download).
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if [ -f "$here/tests/e2e/package.json" ]; then
  for module in playwright-core axe-core; do
    if [ ! -d "$here/tests/e2e/node_modules/$module" ]; then
      (cd "$here/tests/e2e" && npm install --no-audit --no-fund --silent)
      break
    fi
  done
fi

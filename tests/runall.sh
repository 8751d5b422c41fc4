#!/usr/bin/env bash
# Builds everything and runs the whole test suite.
# Installs the Debian packages the tests need when they are missing (as root).
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
while read -r p; do
  case "$p" in ''|'#'*) continue ;; esac
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done < tests/packages.txt
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root, or install them)" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

build=${QUILLOG_BUILD_DIR:-build}
cmake -S . -B "$build" -DQUILLOG_WERROR=ON
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"

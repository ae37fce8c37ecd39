#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, only when missing.
set -euo pipefail
need=(g++ cmake make pkg-config libgtest-dev libzip-dev libexpat1-dev zip unzip
      clang-14 libclang-rt-14-dev libomp-14-dev llvm-14)
missing=()
for pkg in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

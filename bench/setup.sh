#!/usr/bin/env bash
# Installs the peers and tools that bench/compare.py measures with, and
# builds slowfs, the delaying file system of its slow-destination runs.
set -euo pipefail
missing=()
for package in rsync time e2fsprogs python3 strace fuse3 libfuse3-dev pkg-config make gcc; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi
make -C "$(dirname "$0")" slowfs

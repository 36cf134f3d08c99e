#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if any is missing.
set -euo pipefail
pkgs=(cmake ninja-build g++ make binutils libgtest-dev libgmock-dev libbenchmark-dev
      e2fsprogs libext2fs-dev comerr-dev pkg-config
      libcli11-dev nlohmann-json3-dev libxxhash-dev libedit-dev universal-ctags
      groff-base mandoc nbdkit nbdkit-plugin-dev libnbd-dev libnbd-bin fio qemu-utils qemu-system-common)
# make fuzz: clang and its libFuzzer / sanitizer runtimes.
if [ "${1:-}" = fuzz ]; then
  pkgs+=(clang libclang-rt-14-dev)
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

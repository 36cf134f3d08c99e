#!/usr/bin/env bash
# Runs the module symbol check on a module that must be refused and passes
# only when the check fails and names every symbol given after the kernel
# source directory and sanitizer arguments.
#   expect-rejected.sh CHECK MODULE KSRC SANITIZE SYMBOL...
set -uo pipefail
check=$1 ko=$2 ksrc=$3 sanitize=$4
shift 4
if [ ! -f "$ko" ]; then
  echo "FAIL: $ko was not built" >&2
  exit 1
fi
out=$("$check" "$ko" "$ksrc" "$sanitize" 2>&1)
rc=$?
echo "$out"
if [ "$rc" -eq 0 ]; then
  echo "FAIL: the check accepted $ko" >&2
  exit 1
fi
for sym in "$@"; do
  if ! grep -qE "^[[:space:]]+$sym\$" <<<"$out"; then
    echo "FAIL: the check did not name $sym" >&2
    exit 1
  fi
done
echo "the check refused $ko and named: $*"

#!/usr/bin/env bash
# Runs the module symbol check on a module that must be refused and passes
# only when the check fails and names every symbol given after the kernel
# line, interface-list directory and sanitizer arguments.
#   expect-rejected.sh CHECK MODULE LINE LISTS SANITIZE SYMBOL...
set -uo pipefail
check=$1 ko=$2 line=$3 lists=$4 sanitize=$5
shift 5
if [ ! -f "$ko" ]; then
  echo "FAIL: $ko was not built" >&2
  exit 1
fi
out=$("$check" "$ko" "$line" "$lists" "$sanitize" 2>&1)
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

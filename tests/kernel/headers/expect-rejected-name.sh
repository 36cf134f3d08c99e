#!/usr/bin/env bash
# Runs the header check on a copy of the stand-in's headers to which a name
# that no Linux 2.6 header offers was added; passes only when the check
# fails and names it.
#   expect-rejected-name.sh CHECK LINE LISTS LINE_INCLUDE KERNEL_INCLUDE
set -uo pipefail
check=$1 line=$2 lists=$3 lineinc=$4 kinc=$5
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kheaders-bad.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
cp -r "$kinc"/. "$tmp"/
printf '%s\n' '#define cg_not_in_linux(x) (x)' >> "$tmp/linux/kernel.h"
out=$("$check" "$line" "$lists" "$lineinc" "$tmp" 2>&1)
rc=$?
echo "$out"
if [ "$rc" -eq 0 ]; then
  echo "FAIL: the check accepted a header with cg_not_in_linux" >&2
  exit 1
fi
grep -qE '^[[:space:]]+cg_not_in_linux$' <<<"$out" || { echo "FAIL: not named" >&2; exit 1; }
echo "the check refused the added name"

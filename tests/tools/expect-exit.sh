#!/usr/bin/env bash
# Runs a command and checks its exit code and, optionally, that its output
# (stdout and stderr together) matches an extended regular expression.
#   expect-exit.sh CODE REGEX -- COMMAND [ARG...]      (REGEX may be "")
set -u
want=$1
regex=$2
shift 2
[ "${1:-}" = "--" ] && shift
out=$("$@" 2>&1)
got=$?
printf '%s\n' "$out"
if [ "$got" -ne "$want" ]; then
  echo "expect-exit: exit code $got, wanted $want: $*" >&2
  exit 1
fi
if [ -n "$regex" ] && ! printf '%s\n' "$out" | grep -Eq -- "$regex"; then
  echo "expect-exit: output does not match /$regex/: $*" >&2
  exit 1
fi
exit 0

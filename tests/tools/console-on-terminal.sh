#!/usr/bin/env bash
# Runs `COWGUARD console` on a terminal (a pseudo-terminal made by script(1))
# and types into it as a person would: the prompt must be there before
# anything is typed, a line typed runs, and `quit` ends the console with
# exit code 0.  (Editing keys are tested in process, where the test can wait
# until the line editor reads key by key.)
#   console-on-terminal.sh COWGUARD
set -u
exe=$1
coproc TERM_END { script -qfec "$exe console" /dev/null 2>&1; }
out=${TERM_END[0]}
in=${TERM_END[1]}
fail() {
  echo "console-on-terminal: $*" >&2
  kill "$TERM_END_PID" 2>/dev/null
  exit 1
}
# Reads what the terminal shows up to the next prompt ("cowguard>"), or
# fails after 20 seconds.
shown=
next_prompt() {
  shown=
  local chunk
  while IFS= read -r -t 20 -d '>' chunk <&"$out"; do
    shown+=$chunk
    [[ $shown == *cowguard ]] && return 0
    shown+='>'
  done
  return 1
}
next_prompt || fail "no prompt before the first line (shown: '$shown')"
printf 'echo one\r' >&"$in"
next_prompt || fail "no prompt after 'echo one' (shown: '$shown')"
[[ $shown == *$'\n'one$'\r'* ]] || fail "'echo one' did not print one (shown: '$shown')"
printf 'quit\r' >&"$in"
wait "$TERM_END_PID"
rc=$?
[ "$rc" -eq 0 ] || fail "exit code $rc after quit"
echo "console-on-terminal: ok"

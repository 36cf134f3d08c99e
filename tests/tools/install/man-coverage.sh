#!/usr/bin/env bash
# The manual pages cover the command as it is: every subcommand the command's
# --help lists (and every alias) has its page, every option of a subcommand
# is in that subcommand's page, and every global option is in cowguard.1.
#   man-coverage.sh EXE MANDIR
set -u
exe=$1 mandir=$2
. "$(dirname "$0")/cli-help.sh"
failures=0
miss() { echo "man-coverage: $*" >&2; failures=$((failures + 1)); }
# How an option is written in roff: every hyphen escaped.
roff() { printf '%s' "$1" | sed 's/-/\\-/g'; }

globals=$(help_options "$exe") || { echo "man-coverage: $exe --help failed" >&2; exit 1; }
for o in $globals; do
  grep -qF -- "$(roff "$o")" "$mandir/cowguard.1" || miss "cowguard.1 does not describe $o"
done

subs=$(help_subcommands "$exe")
[ -n "$subs" ] || { echo "man-coverage: $exe --help lists no subcommand" >&2; exit 1; }
while read -r sub aliases; do
  before=$failures
  page=$mandir/cowguard-$sub.1
  for name in $sub $aliases; do
    [ -f "$mandir/cowguard-$name.1" ] || miss "no page cowguard-$name.1 for \`cowguard $name\`"
    # The tag of an entry (the line after .TP), not a "see cowguard-NAME(1)".
    sed -n '/^\.SH SUBCOMMANDS/,/^\.SH [^S]/p' "$mandir/cowguard.1" | sed -n '/^\.TP/{n;p;}' |
      grep -E '^\.BR? ' | grep -qwF -- "$(roff "$name")" ||
      miss "cowguard.1 does not list $name among the subcommands"
  done
  [ -f "$page" ] || continue
  for o in $(help_options "$exe" "$sub"); do
    printf '%s\n' $globals | grep -qxF -- "$o" && continue
    grep -qF -- "$(roff "$o")" "$page" || miss "cowguard-$sub.1 does not describe $o"
  done
  [ $failures -eq "$before" ] && echo "cowguard $sub${aliases:+ ($aliases)}: page and options covered"
done <<< "$subs"
[ $failures -eq 0 ] || exit 1

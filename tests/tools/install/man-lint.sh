#!/usr/bin/env bash
# A manual page renders without a warning from groff (-ww) and from mandoc's
# lint, and its title is the file's name.  A page that only includes another
# (".so man1/PAGE") must name an existing page.
#   man-lint.sh PAGE
set -u
page=$1
fail() { echo "man-lint: $page: $*" >&2; exit 1; }
[ -f "$page" ] || fail "no such file"
name=$(basename "$page" .1)

first=$(head -n 1 "$page")
if [[ $first == .so\ * ]]; then
  [ "$(wc -l < "$page")" -eq 1 ] || fail "a .so page holds only its .so line"
  target=${first#.so }
  [[ $target == man1/*.1 ]] || fail ".so names $target, not man1/PAGE.1"
  [ -f "$(dirname "$page")/${target#man1/}" ] || fail ".so names $target, which is not a page here"
  echo "$name: includes $target"
  exit 0
fi

command -v groff > /dev/null || fail "groff is not installed (tools/install-deps.sh installs groff-base)"
command -v mandoc > /dev/null || fail "mandoc is not installed (tools/install-deps.sh installs it)"

title=$(grep -m 1 '^\.TH ' "$page" | awk '{print $2}' | sed 's/\\-/-/g')
want=$(printf '%s' "$name" | tr '[:lower:]' '[:upper:]')
[ "$title" = "$want" ] || fail ".TH names $title, not $want"
sed -n '/^\.SH NAME/{n;p;}' "$page" | grep -q "^$(printf '%s' "$name" | sed 's/-/\\\\-/g')[ ,]" ||
  fail "the NAME section does not start with $name"

warnings=$(groff -t -man -Tutf8 -ww -z "$page" 2>&1)
[ -z "$warnings" ] || { printf '%s\n' "$warnings"; fail "groff warns"; }
lint=$(mandoc -T lint -W warning "$page" 2>&1)
rc=$?
[ $rc -eq 0 ] && [ -z "$lint" ] || { printf '%s\n' "$lint"; fail "mandoc -T lint: exit $rc"; }
echo "$name: renders clean"

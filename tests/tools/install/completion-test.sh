#!/usr/bin/env bash
# The bash completion of cowguard, driven as bash drives it: COMP_WORDS and
# COMP_CWORD set, the completion function called, COMPREPLY read.
#   completion-test.sh SCRIPT               the script parses; subcommands,
#                                           options, values and paths
#   completion-test.sh SCRIPT --against EXE it offers every subcommand, alias
#                                           and option that EXE's --help lists
set -u
script=$1
fail() { echo "completion-test: $*" >&2; exit 1; }
bash -n "$script" || fail "$script does not parse"
# shellcheck source=/dev/null
. "$script" || fail "cannot source $script"
complete -p cowguard > /dev/null 2>&1 || fail "$script registers no completion for cowguard"

# Completes the last word of a command line given as its words.
complete_words() {  # WORD... (the last one is being completed; may be "")
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMP_LINE="$*"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _cowguard cowguard "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]:-}"
  printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort
}

failures=0
# The offers must be exactly these words.
check() {  # "WANTED WORDS" WORD...
  local want got
  want=$(printf '%s\n' $1 | sed '/^$/d' | sort)
  shift
  got=$(complete_words "$@")
  if [ "$got" != "$want" ]; then
    echo "completing [$*]: offered [$(echo $got)], wanted [$(echo $want)]" >&2
    failures=$((failures + 1))
  fi
}
# The offers must include this word.
offers() {  # WORD LINE-WORD...
  local want=$1
  shift
  complete_words "$@" | grep -qxF -- "$want" || {
    echo "completing [$*]: $want is not offered" >&2
    failures=$((failures + 1))
  }
}

if [ "${2:-}" = --against ]; then
  exe=$3
  . "$(dirname "$0")/cli-help.sh"
  subs=$(help_subcommands "$exe")
  [ -n "$subs" ] || fail "$exe --help lists no subcommand"
  for o in $(help_options "$exe"); do
    offers "$o" cowguard "${o:0:1}"
  done
  while read -r sub aliases; do
    for name in $sub $aliases; do
      offers "$name" cowguard ""
      offers "$name" cowguard "${name:0:2}"
      for o in $(help_options "$exe" "$sub"); do
        offers "$o" cowguard "$name" "${o:0:2}"
      done
    done
  done <<< "$subs"
  [ $failures -eq 0 ] || exit 1
  echo "completion offers every subcommand and option of $exe"
  exit 0
fi

tmp=$(mktemp -d) || fail "mktemp"
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/backups" "$tmp/bsub"
touch "$tmp/bfile" "$tmp/m.ko" "$tmp/script.cg" "$tmp/disk.img" "$tmp/keys.psk"

# Subcommands, the alias, global options.
check "restore" cowguard re
check "info" cowguard i
check "check console" cowguard c
check "demo restore verify list info check console serve backup status stop make-image" cowguard ""
check "serve status stop" cowguard s
check "make-image" cowguard m
check "--module --version --help -h" cowguard -
check "verify" cowguard --module "$tmp/m.ko" ve
check "verify" cowguard --module = "$tmp/m.ko" ve

# Options of each subcommand, and the option values.
check "--block-size" cowguard demo --block
check "1024 2048 4096" cowguard demo --block-size ""
check "2048" cowguard demo --block-size 2
check "1024 2048 4096" cowguard demo --block-size =
check "4096" cowguard demo --block-size = 4
check "--keep" cowguard demo --rounds 2 --k
check "" cowguard demo --seed ""
check "--point" cowguard restore --po
check "--output" cowguard restore "$tmp/backups" --o
check "--json" cowguard restore "$tmp/backups" --point 3 --j
check "--quick" cowguard verify --q
check "--json --module --help" cowguard list --
check "--json --module --help" cowguard info --
check "--repair" cowguard check --r
check "--script" cowguard console --s
check "--script --quiet -q --module --help -h" cowguard console -
check "--socket --export --tls-psk --tls-certificates --foreground --module --help -h" cowguard serve -
check "--all-blocks" cowguard backup --al
check "--new-chain --no-progress" cowguard backup sda1 "$tmp/backups" --n
check "--socket" cowguard status --so
check "--socket --module --help -h" cowguard stop -
check "--size" cowguard make-image --si
check "1024 2048 4096" cowguard make-image --block-size ""
check "" cowguard backup --cache ""
check "unix: tcp:127.0.0.1: tcp:localhost:" cowguard serve --export ""
check "tcp:127.0.0.1: tcp:localhost:" cowguard serve --export t

# Paths: directories where a backup directory or workdir goes, files where
# a file goes, modules and directories after --module.
check "$tmp/backups $tmp/bsub" cowguard restore "$tmp/b"
check "$tmp/backups $tmp/bsub" cowguard verify "$tmp/b"
check "$tmp/backups $tmp/bsub" cowguard info "$tmp/b"
check "$tmp/backups $tmp/bsub" cowguard check --repair "$tmp/b"
check "$tmp/backups $tmp/bsub" cowguard demo --workdir "$tmp/b"
check "$tmp/backups $tmp/bfile $tmp/bsub" cowguard restore "$tmp/backups" -o "$tmp/b"
check "$tmp/backups $tmp/bfile $tmp/bsub" cowguard restore "$tmp/backups" --output = "$tmp/b"
check "$tmp/script.cg" cowguard console --script "$tmp/s"
check "$tmp/backups $tmp/bsub $tmp/m.ko" cowguard --module "$tmp/"
check "$tmp/backups $tmp/bsub $tmp/m.ko" cowguard demo --module "$tmp/"
# Images to serve (any number of them), the new image, the backup
# directory after the device (the device itself is the daemon's: nothing
# offered), the sockets and key files, the TLS certificate directory.
check "$tmp/disk.img" cowguard serve "$tmp/d"
check "$tmp/disk.img" cowguard serve "$tmp/disk.img" "$tmp/d"
check "$tmp/disk.img" cowguard serve --socket "$tmp/backups/c.sock" "$tmp/d"
check "$tmp/disk.img" cowguard make-image --size 64M "$tmp/d"
check "" cowguard make-image "$tmp/disk.img" "$tmp/d"
check "" cowguard backup "$tmp/b"
check "$tmp/backups $tmp/bsub" cowguard backup sda1 "$tmp/b"
check "$tmp/backups $tmp/bsub" cowguard backup --all-blocks --cache 64 sda1 "$tmp/b"
check "" cowguard backup sda1 "$tmp/backups" "$tmp/b"
check "$tmp/backups $tmp/bfile $tmp/bsub" cowguard status --socket "$tmp/b"
check "$tmp/backups $tmp/bfile $tmp/bsub" cowguard backup --socket = "$tmp/b"
check "$tmp/keys.psk" cowguard serve --tls-psk "$tmp/k"
check "$tmp/backups $tmp/bsub" cowguard serve --tls-certificates "$tmp/b"
check "unix:$tmp/disk.img" cowguard serve --export "unix:$tmp/d"
check "$tmp/disk.img" cowguard serve --export unix : "$tmp/d"
check "$tmp/disk.img" cowguard serve --export unix : "$tmp/disk.img" "$tmp/d"
# One backup directory only: after it, no more paths.
check "" cowguard verify "$tmp/backups" "$tmp/b"

[ $failures -eq 0 ] || exit 1
echo "completion: every case offered what it should"

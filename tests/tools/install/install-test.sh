#!/usr/bin/env bash
# Installs the build into a temporary prefix, moves the installed tree to
# another folder (nothing inside may depend on where it was installed), then
# runs the installed command of one kernel line: --help, and a console script
# that loads the module by default and opens its device.  The run must load
# the module and the stand-in kernel library of the installed tree, never
# those of the build tree.
#   install-test.sh CMAKE BUILD_DIR LINE DEFAULT(yes|no) BINDIR EXECDIR LIBDIR MANDIR DATADIR SCRIPT
# (the folders relative to the prefix, as the build configured them)
set -u
cmake=$1 build=$2 line=$3 default=$4 bindir=$5 execdir=$6 libdir=$7 mandir=$8 datadir=$9
script=${10}

fail() { echo "install-test: $*" >&2; exit 1; }
tmp=$(mktemp -d) || fail "mktemp"
trap 'rm -rf "$tmp"' EXIT
unset LD_LIBRARY_PATH LD_PRELOAD

"$cmake" --install "$build" --prefix "$tmp/stage" > "$tmp/install.log" 2>&1 ||
  { cat "$tmp/install.log"; fail "cmake --install $build failed"; }
mv "$tmp/stage" "$tmp/moved" || fail "cannot move the installed tree"
prefix=$(realpath "$tmp/moved")

for f in "$execdir/$line/cowguard" "$libdir/$line/cowguard.ko" \
         "$libdir/$line/libcgkernel-$line.so" "$mandir/man1/cowguard.1" \
         "$datadir/bash-completion/completions/cowguard"; do
  [ -f "$prefix/$f" ] || fail "not installed: $f"
done
for page in demo restore verify list info check console serve backup status stop make-image; do
  [ -f "$prefix/$mandir/man1/cowguard-$page.1" ] || fail "no manual page cowguard-$page.1"
done

# The object the dynamic loader ran the initialisation of, by file name.
loaded() {  # LD_DEBUG_OUTPUT NAME
  local p
  p=$(grep -o "calling init: .*/$2\$" "$1" | head -n 1)
  [ -n "$p" ] || return 1
  realpath "${p#calling init: }"
}

# Runs one installed executable and checks what it loaded.
check_command() {  # PATH
  local exe=$1 out err
  out=$("$exe" --help 2>&1) || { printf '%s\n' "$out"; fail "$exe --help failed"; }
  printf '%s\n' "$out" | grep -q "Subcommands:" || { printf '%s\n' "$out"; fail "$exe --help lists no subcommands"; }

  LD_DEBUG=libs LD_DEBUG_OUTPUT="$tmp/ld" "$exe" console --script "$script" > "$tmp/out" 2>&1
  local rc=$?
  cat "$tmp/out"
  [ $rc -eq 0 ] || fail "$exe console --script $script: exit code $rc"
  local trace
  trace=$(ls "$tmp"/ld.* 2>/dev/null | head -n 1)
  [ -n "$trace" ] || fail "no loader trace of $exe"
  local lib ko
  lib=$(loaded "$trace" "libcgkernel-$line.so") || fail "$exe: the loader ran no libcgkernel-$line.so"
  ko=$(loaded "$trace" cowguard.ko) || fail "$exe: no cowguard.ko was loaded"
  rm -f "$tmp"/ld.*
  [ "$lib" = "$prefix/$libdir/$line/libcgkernel-$line.so" ] ||
    fail "$exe runs against $lib, not the installed $prefix/$libdir/$line/libcgkernel-$line.so"
  [ "$ko" = "$prefix/$libdir/$line/cowguard.ko" ] ||
    fail "$exe loaded the module $ko, not the installed $prefix/$libdir/$line/cowguard.ko"
  echo "$exe: runs against $lib and loads $ko"
}

check_command "$prefix/$execdir/$line/cowguard"
if [ "$default" = yes ]; then
  [ -e "$prefix/$bindir/cowguard" ] || fail "no $bindir/cowguard"
  [ "$(realpath "$prefix/$bindir/cowguard")" = "$prefix/$execdir/$line/cowguard" ] ||
    fail "$bindir/cowguard is not the command of $line"
  check_command "$prefix/$bindir/cowguard"
fi
echo "install-test: $line installed and runs from $prefix"

#!/usr/bin/env bash
# check-module-symbols.sh KO LINE LISTS [SANITIZE]
#
# Fails unless every undefined symbol of a built module is one that the real
# kernel of its line offers a module: a symbol the kernel exports
# (LISTS/exports-LINE.tsv: every EXPORT_SYMBOL and EXPORT_SYMBOL_GPL of the
# core and of arch/x86_64), or a name its headers provide as a static inline
# function or function-like macro (LISTS/header-names-LINE.tsv), which a real
# build compiles into the module.  The stand-in implements some of those
# out of line; the module calling them by the same name is what a real build
# does inline.
#
# A helper of the stand-in's headers that stands for a real name under
# another name must be listed in STANDS_FOR below, with the real name: the
# stand-in implements out of line what the real headers do in inline
# assembly.  Every other helper of the stand-in's headers is an inline or
# calls a real exported name.
#
# Also refuses C++ runtime dependencies, unique symbols (which would keep the
# module mapped after an unload) and global constructors.
set -euo pipefail
ko=$1 line=$2 lists=$3 sanitize=${4:-}

# helper-name:real-name, one pair per word.  Reviewed by hand; keep it short.
STANDS_FOR="__standin_local_irq_save:local_irq_save
__standin_local_irq_restore:local_irq_restore
__standin_local_irq_disable:local_irq_disable
__standin_local_irq_enable:local_irq_enable
__standin_irqs_disabled:irqs_disabled"

exports=$lists/exports-$line.tsv
inlines=$lists/header-names-$line.tsv
for f in "$exports" "$inlines"; do
  [ -r "$f" ] || { echo "error: no interface list $f" >&2; exit 1; }
done

real=$( (grep -v '^#' "$exports" | cut -f1; grep -v '^#' "$inlines" | cut -f1) | sort -u)
undef=$(nm -D --undefined-only "$ko" | awk '{print $NF}' | sed 's/@.*//' | sort -u)

bad=()
for s in $undef; do
  case "$s" in
    __gmon_start__|_ITM_*|__cxa_finalize) continue ;;  # weak loader hooks
  esac
  if [ -n "$sanitize" ]; then
    case "$s" in __asan_*|__ubsan_*|__tsan_*|__sanitizer_*|__lsan_*) continue ;; esac
  fi
  grep -qxF "$s" <<<"$real" && continue
  stands=""
  for pair in $STANDS_FOR; do
    [ "${pair%%:*}" = "$s" ] && stands=${pair#*:}
  done
  [ -n "$stands" ] && continue
  bad+=("$s")
done

status=0
if [ ${#bad[@]} -gt 0 ]; then
  echo "error: $ko uses symbols that Linux $line neither exports nor provides in its headers:" >&2
  printf '  %s\n' "${bad[@]}" >&2
  status=1
fi
if readelf -dW "$ko" | grep -q 'NEEDED'; then
  echo "error: $ko depends on shared libraries:" >&2
  readelf -dW "$ko" | grep NEEDED >&2
  status=1
fi
if readelf -sW "$ko" | grep -q ' UNIQUE '; then
  echo "error: $ko has unique symbols (it could not be unloaded):" >&2
  readelf -sW "$ko" | grep ' UNIQUE ' >&2
  status=1
fi
# Sections present with a non-zero size (the linker may leave empty ones).
sections=$(readelf -SW "$ko" | sed -nE 's/^ *\[ *[0-9]+\] +//p' |
  awk '$5 ~ /^[0-9a-f]+$/ && $5 !~ /^0+$/ {print $1}')
has_section() { grep -qxE "$1" <<<"$sections"; }
if [ -z "$sanitize" ] && has_section '\.(init_array|ctors)'; then
  echo "error: $ko has global constructors" >&2
  status=1
fi
if has_section '\.(eh_frame|gcc_except_table)'; then
  if [ -z "$sanitize" ]; then
    echo "error: $ko carries exception or unwind tables" >&2
    status=1
  fi
fi
exit $status

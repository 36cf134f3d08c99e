#!/usr/bin/env bash
# Fails unless every undefined symbol of a built module is exported by the
# stand-in kernel (EXPORT_SYMBOL in its sources) or is one of the string and
# formatting functions a kernel has of its own.  Also refuses C++ runtime
# dependencies, unique symbols (which would keep the module mapped after an
# unload) and global constructors.
set -euo pipefail
ko=$1 ksrc=$2 sanitize=${3:-}

allowed_libc="memcpy memmove memset memcmp strlen strnlen strcmp strncmp strcpy strncpy sprintf snprintf vsnprintf"
exported=$( (grep -rhoE 'EXPORT_SYMBOL(_GPL)?\([A-Za-z_][A-Za-z0-9_]*\)' "$ksrc" || true) |
  sed -E 's/.*\(([^)]*)\)/\1/' | sort -u)
undef=$(nm -D --undefined-only "$ko" | awk '{print $NF}' | sed 's/@.*//' | sort -u)

bad=()
for s in $undef; do
  case "$s" in
    __gmon_start__|_ITM_*|__cxa_finalize) continue ;;  # weak loader hooks
  esac
  if [ -n "$sanitize" ]; then
    case "$s" in __asan_*|__ubsan_*|__tsan_*|__sanitizer_*|__lsan_*) continue ;; esac
  fi
  if grep -qxF "$s" <<<"$exported"; then continue; fi
  if grep -qxF "$s" <<<"$(tr ' ' '\n' <<<"$allowed_libc")"; then continue; fi
  bad+=("$s")
done

status=0
if [ ${#bad[@]} -gt 0 ]; then
  echo "error: $ko uses symbols the kernel does not export:" >&2
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

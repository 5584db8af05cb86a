#!/usr/bin/env bash
# Keeps the folders in their one-way layers: a folder may include its own headers and those
# of the folders below it, never those above it or beside it.
#
#   util -> journal -> plant -> devices | persistence -> acquisition -> monitor -> app
#   -> app/window
#
# devices and persistence stand side by side and include neither each other. Test support
# (testing/) and the simulated plant (tools/plantsim/) serve tests, benchmarks and tools:
# only test sources (*_test.cpp) of a layer may include them.
#
#   scripts/check-layers.sh [ROOT]     check the tree (default: this repository)
#   scripts/check-layers.sh --self-test
#                                      show that an include running upward is caught
# Exits 1 and names every offending line when the layers are broken.
set -uo pipefail

rank_of() {
  case "$1" in
    util) echo 0 ;;
    journal) echo 1 ;;
    plant) echo 2 ;;
    devices | persistence) echo 3 ;;
    acquisition) echo 4 ;;
    monitor) echo 5 ;;
    app) echo 6 ;;
    app/window) echo 7 ;;
    *) echo "" ;;
  esac
}

# The layer folder a path (relative to the root) belongs to, or nothing.
folder_of() {
  case "$1" in
    app/window/*) echo app/window ;;
    util/* | journal/* | plant/* | devices/* | persistence/* | acquisition/* | monitor/* | app/*)
      echo "${1%%/*}" ;;
    *) echo "" ;;
  esac
}

check_tree() {
  local root="$1" failures=0 file own own_rank line target target_folder target_rank
  cd "$root" || return 2
  while IFS= read -r file; do
    own="$(folder_of "$file")"
    [ -n "$own" ] || continue
    own_rank="$(rank_of "$own")"
    while IFS= read -r line; do
      target="$(sed -E 's/^[0-9]+:[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/' <<<"$line")"
      case "$target" in
        testing/* | tools/plantsim/*)
          case "$file" in
            *_test.cpp) continue ;;
          esac
          echo "$file:${line%%:*}: includes test support $target outside a test" >&2
          failures=$((failures + 1))
          continue
          ;;
      esac
      target_folder="$(folder_of "$target")"
      [ -n "$target_folder" ] || continue
      [ "$target_folder" = "$own" ] && continue
      target_rank="$(rank_of "$target_folder")"
      if [ "$target_rank" -ge "$own_rank" ]; then
        echo "$file:${line%%:*}: $own includes $target, which is not below it" >&2
        failures=$((failures + 1))
      fi
    done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file")
  done < <(find util journal plant devices persistence acquisition monitor app \
             -type f \( -name '*.h' -o -name '*.cpp' \) 2>/dev/null | sort)
  if [ "$failures" -gt 0 ]; then
    echo "check-layers: $failures include(s) break the layers" >&2
    return 1
  fi
  echo "check-layers: every include runs downward"
  return 0
}

self_test() {
  local tmp
  tmp="$(mktemp -d)" || return 2
  trap 'rm -rf "$tmp"' RETURN
  mkdir -p "$tmp/util" "$tmp/plant" "$tmp/devices" "$tmp/persistence" "$tmp/app/window"
  printf '#include "util/a.h"\n' >"$tmp/plant/b.h"
  printf '#include "plant/b.h"\n#include "util/a.h"\n' >"$tmp/devices/c.cpp"
  printf '#include "app/d.h"\n#include "testing/t.h"\n' >"$tmp/app/window/w_test.cpp"
  : >"$tmp/util/a.h"
  if ! check_tree "$tmp" >/dev/null 2>&1; then
    echo "check-layers self-test: a tree with downward includes only was refused" >&2
    return 1
  fi
  local planted
  for planted in 'util/a.h:#include "plant/b.h"' \
                 'devices/c.cpp:#include "persistence/e.h"' \
                 'plant/b.h:#include "app/window/w.h"' \
                 'app/f.cpp:#include "app/window/w.h"' \
                 'monitor/m.cpp:#include "app/d.h"' \
                 'devices/g.cpp:#include "testing/t.h"'; do
    local file="${planted%%:*}" text="${planted#*:}"
    cp -r "$tmp" "$tmp.case"
    mkdir -p "$(dirname "$tmp.case/$file")"
    printf '%s\n' "$text" >>"$tmp.case/$file"
    if check_tree "$tmp.case" >/dev/null 2>&1; then
      echo "check-layers self-test: '$text' in $file was not caught" >&2
      rm -rf "$tmp.case"
      return 1
    fi
    rm -rf "$tmp.case"
  done
  echo "check-layers self-test: every planted upward include was caught"
  return 0
}

if [ "${1:-}" = "--self-test" ]; then
  self_test
  exit $?
fi
check_tree "${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"

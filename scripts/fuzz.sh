#!/usr/bin/env bash
# Builds every fuzz target under fuzz/ with clang and libFuzzer (plus AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/, and runs each for a fixed time.
#
#   scripts/fuzz.sh                    every target, 60 s each
#   KALVIX_FUZZ_SECONDS=600 scripts/fuzz.sh modbus_receive
#
# Exits non-zero when a target crashes; the input is kept in build-fuzz/crashes/<name>/.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
SECONDS_EACH="${KALVIX_FUZZ_SECONDS:-60}"
BUILD="$ROOT/build-fuzz"

# clang and its libFuzzer runtime; the rest of the toolchain comes from install-deps.sh.
need=()
command -v clang++ >/dev/null || need+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
  need+=(libclang-rt-dev)
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${need[@]}"
fi

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DKALVIX_FUZZ=ON \
  -DKALVIX_SANITIZE=address -DKALVIX_BUILD_TESTS=OFF >"$BUILD.configure.log" 2>&1 ||
  { cat "$BUILD.configure.log"; exit 1; }
cmake --build "$BUILD" --target fuzz_all

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for dir in fuzz/*/; do
    name="$(basename "$dir")"
    [ -f "$dir/fuzz_$name.cpp" ] && targets+=("$name")
  done
fi

failed=0
for name in "${targets[@]}"; do
  corpus="$BUILD/corpus/$name"
  crashes="$BUILD/crashes/$name"
  mkdir -p "$corpus" "$crashes"
  echo "=== fuzz_$name for ${SECONDS_EACH} s ==="
  # New inputs go to the scratch corpus; the seeds under fuzz/ are only read.
  if ! UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
    "$BUILD/bin/fuzz_$name" -max_total_time="$SECONDS_EACH" -print_final_stats=1 \
      -artifact_prefix="$crashes/" "$corpus" "fuzz/$name/corpus"; then
    echo "fuzz_$name: FAILED, see $crashes"
    failed=1
  fi
done
exit $failed

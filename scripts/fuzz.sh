#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) in
# build/fuzz and runs each for a fixed time, starting from its seed corpus in tests/fuzz/corpus.
# Exits non-zero when a target crashes, hangs, leaks or trips a sanitizer; the input that did it
# is kept in build/fuzz/artifacts.
#   scripts/fuzz.sh [SECONDS [TARGET...]]     (default 20 s per target, every target)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
shift $(($# > 0 ? 1 : 0))
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(tokenize string_parser handlers validator firmware_image discovery sim_commands)
fi
if ! command -v clang++ > /dev/null; then
  echo "fuzz: clang++ not found (scripts/setup-debian.sh installs clang and libclang-rt-14-dev)" >&2
  exit 1
fi

build=build/fuzz
echo "== build: fuzz"
# -O1 keeps the sanitizers' reports readable and the targets fast.
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS=-O1 \
  -DCMAKE_CXX_FLAGS=-O1 -DVM_BUILD_FUZZ=ON -DVM_BUILD_TESTS=OFF -DVM_WERROR=ON > /dev/null
cmake --build "$build" -j "$(nproc)" --target vm_fuzz

echo "== fuzz: ${seconds} s per target"
mkdir -p "$build/logs" "$build/artifacts"
status=0
for name in "${targets[@]}"; do
  target=fuzz_$name
  seeds=tests/fuzz/corpus/$name
  work=$build/corpus/$name  # new inputs go here; the committed seeds stay as they are
  mkdir -p "$work"
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
           -artifact_prefix="$build/artifacts/$name-")
  dict=""
  case $name in
    handlers) dict=tests/fuzz/replies.dict ;;
    validator) dict=tests/fuzz/commands.dict ;;
    sim_commands) dict=tests/fuzz/sim_commands.dict ;;
  esac
  [ -n "$dict" ] && options+=(-dict="$dict")
  log=$build/logs/$name.log
  # libFuzzer's own lines go to the log only, so that none of them is read as a test summary.
  if "$build/tests/fuzz/$target" "${options[@]}" "$work" "$seeds" > "$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    echo "fuzz: $target clean for $seconds s (${runs:-?} inputs)"
  else
    status=1
    echo "fuzz: $target FOUND A FAULT; log $log, input in $build/artifacts/"
    tail -n 40 "$log" | sed 's/^/  | /'
  fi
done
exit $status

#!/usr/bin/env bash
# Builds the fuzz preset (clang, address+undefined sanitizers, libFuzzer) and runs every target
# in Fuzz/ for SECONDS each (default 30) on its seed corpus (Fuzz/corpus/<target>, the sample
# boards too for the file formats). Inputs found along the way are kept in build/fuzz/corpus;
# a finding is saved under build/fuzz/findings/<target>/ and makes the script fail.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(device_control channel_config firmware_patterns reg_file
                                     board_json)

echo "=== fuzz: configure, build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
for target in "${targets[@]}"; do
  corpus=build/fuzz/corpus/$target
  findings=build/fuzz/findings/$target
  log=build/fuzz/$target.log
  mkdir -p "$corpus" "$findings"
  seeds=("Fuzz/corpus/$target")
  case "$target" in reg_file | board_json) seeds+=(Boards) ;; esac
  echo "=== fuzz: $target for ${seconds} s"
  if build/fuzz/Fuzz/fuzz_"$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
       -max_len=8192 -print_final_stats=1 -artifact_prefix="$findings/" \
       "$corpus" "${seeds[@]}" >"$log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^Done' "$log" | tr '\n' ' '
    echo
  else
    echo "*** fuzz: $target found a fault; the input is in $findings/, the log in $log:"
    grep -v -E '^#[0-9]+' "$log" | tail -40
    failed+=("$target")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "=== fuzz: findings in ${failed[*]}"
  exit 1
fi
echo "=== fuzz: no findings"

#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) in build-fuzz and runs
# each for the given number of seconds (default 30), starting from the corpus
# in tests/fuzz/corpus/<target>. New inputs go to build-fuzz/work/<target>;
# crashes, hangs and sanitizer reports to build-fuzz/artifacts/<target>.
# Exits non-zero when any target found one.
#   scripts/fuzz.sh [seconds] [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(titext reply cmdline titxtwriter catalogue)

if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ not found" >&2
  exit 2
fi

build="$PWD/build-fuzz" # absolute: the targets change their working folder
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DNVX_FUZZ=ON -DNVX_SANITIZE=ON -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" >/dev/null
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2
cmake --build "$build" -j "$jobs" --target "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen
failed=0
for t in "${targets[@]}"; do
  work="$build/work/$t" artifacts="$build/artifacts/$t"
  mkdir -p "$work" "$artifacts"
  log="$build/work/$t.log"
  # The engine echoes every frame on stdout; -close_fd_mask=1 silences it.
  "$build/tests/fuzz/fuzz_$t" "$work" "$PWD/tests/fuzz/corpus/$t" \
    -max_total_time="$seconds" -jobs=1 -workers=1 -close_fd_mask=1 -timeout=10 -rss_limit_mb=2048 \
    -max_len=4096 -artifact_prefix="$artifacts/" >"$log" 2>&1 || true
  # With -jobs the run's report is in fuzz-0.log of the current folder.
  [ -f fuzz-0.log ] && mv fuzz-0.log "$log"
  cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -1 || true)
  execs=$(grep -oE '^#[0-9]+' "$log" | tail -1 || true)
  if ls "$artifacts"/* >/dev/null 2>&1 || grep -qE 'ERROR: (libFuzzer|AddressSanitizer)|runtime error:' "$log"; then
    echo "fuzz $t: FAILED after ${seconds}s ($cov, $execs runs); see $log and $artifacts" >&2
    grep -E 'ERROR|runtime error|SUMMARY' "$log" | head -5 >&2 || true
    failed=1
  else
    echo "fuzz $t: ok, ${seconds}s, $cov, $execs runs"
  fi
done
exit $failed

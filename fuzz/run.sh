#!/usr/bin/env bash
# Builds the reader fuzzer with clang and runs it for a while.
#
#   fuzz/run.sh [SECONDS] [LIBFUZZER_OPTION...]      SECONDS defaults to 60
#
# Configures build/fuzz with clang, builds reader_fuzzer and a quarlix binary in
# it, makes the seed corpus with that binary and fuzzes for SECONDS in a single
# process. Inputs that grow coverage collect in build/fuzz/corpus and are read
# again by the next run; the inputs in tests/regressions are read as seeds too,
# so a fault that was found once and comes back fails the run at once.
# Exits non-zero when the fuzzer reports a finding (crash, leak, undefined
# behaviour, timeout, out of memory); the input is left in build/fuzz/artifacts.
set -euo pipefail

seconds=${1:-60}
shift || true
if ! [[ "$seconds" =~ ^[0-9]+$ ]]; then
  echo "usage: $0 [SECONDS] [LIBFUZZER_OPTION...]" >&2
  exit 2
fi

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/fuzz"

for tool in clang clang++ cmake python3; do
  if ! command -v "$tool" >/dev/null; then
    echo "$0: $tool not found; the fuzzer needs clang (with its libFuzzer runtime), cmake and python3" >&2
    exit 2
  fi
done

mkdir -p "$build"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUARLIX_BUILD_FUZZER=ON \
  -DQUARLIX_BUILD_TESTS=OFF \
  -DQUARLIX_BUILD_BENCHMARKS=OFF >"$build/configure.log" 2>&1 || {
  cat "$build/configure.log" >&2
  exit 2
}
cmake --build "$build" --target reader_fuzzer quarlix -j "${QUARLIX_FUZZ_BUILD_JOBS:-2}"

rm -rf "$build/seeds"
"$root/fuzz/make_corpus.sh" "$build/quarlix" "$build/seeds"
mkdir -p "$build/corpus" "$build/artifacts"

# Inputs are small, so the reader has no business near these limits: an
# allocation above 64 MiB or a process above 512 MiB is reported as a finding.
log="$build/fuzz.log"
set +e
ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}" \
UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}" \
"$build/fuzz/reader_fuzzer" \
  -max_total_time="$seconds" \
  -max_len=65536 \
  -rss_limit_mb=512 \
  -malloc_limit_mb=64 \
  -timeout=10 \
  -print_final_stats=1 \
  -artifact_prefix="$build/artifacts/" \
  "$@" \
  "$build/corpus" "$build/seeds" "$root/tests/regressions" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
set -e

executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
echo "reader_fuzzer: ${executions:-unknown} executions (run limit ${seconds} s), exit status $status"
echo "last status: $(grep -E '^#[0-9]+' "$log" | tail -n 1)"
if [[ $status -ne 0 ]]; then
  echo "reader_fuzzer: finding; see $log and $build/artifacts/" >&2
fi
exit "$status"

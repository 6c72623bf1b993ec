#!/usr/bin/env bash
# Builds the libFuzzer targets with AddressSanitizer and UndefinedBehaviorSanitizer and runs each
# for the given number of seconds (default 180). Corpora persist in build-fuzz/corpus/<target>.
#   bash scripts/fuzz.sh [seconds] [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-180}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(request_reader parse_query frame_reader bridge_message update_record pe_signature)

if [ ! -f build-fuzz/CMakeCache.txt ]; then
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_FUZZERS=ON \
    -DVELMORA_SANITIZER=address,undefined,fuzzer-no-link
fi
cmake --build build-fuzz --target "${targets[@]/%/_fuzz}"

status=0
for target in "${targets[@]}"; do
  corpus=build-fuzz/corpus/$target
  mkdir -p "$corpus"
  [ -d "tests/fuzz/seeds/$target" ] && cp -n tests/fuzz/seeds/"$target"/* "$corpus"/
  if [ "$target" = pe_signature ]; then
    # Seeded with the signed test installers, each way of signing them.
    bash tests/fixtures/make-installers.sh build-fuzz/installers
    cp -n build-fuzz/installers/installer-*.exe "$corpus"/
  fi
  echo "== $target for ${seconds}s"
  # The bridge target starts OBS's core, which wants an X display.
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 xvfb-run -a -s "-nolisten tcp" \
    "build-fuzz/tests/fuzz/${target}_fuzz" -max_total_time="$seconds" -max_len=70000 \
    -artifact_prefix=build-fuzz/"$target"- -print_final_stats=1 "$corpus" 2>&1 \
    | grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::peak_rss|==[0-9]+==ERROR|SUMMARY|.*runtime error)' || true
  if ls build-fuzz/"$target"-crash-* build-fuzz/"$target"-leak-* build-fuzz/"$target"-timeout-* >/dev/null 2>&1; then
    echo "!! $target found a problem (see build-fuzz/$target-*)"
    status=1
  fi
done
exit $status

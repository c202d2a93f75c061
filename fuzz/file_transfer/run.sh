#!/usr/bin/env bash
# Builds the file transfer request fuzzer with clang (apart from the main g++ build) and runs it
# for the given number of seconds (default 60). Exits non-zero if it finds a fault.
set -euo pipefail
seconds=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=$root/build-fuzz/file_transfer
mkdir -p "$out/corpus"
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -I"$root/file_transfer_helper" -I"$root/tests/file_transfer" \
  "$here/fuzz_request.cpp" "$root/file_transfer_helper/protocol.cpp" \
  "$root/file_transfer_helper/operations.cpp" -o "$out/fuzz_request"
# New inputs go to the build folder; the seeds in the repository stay as they are.
# libFuzzer's progress goes to a log; only its final figures are shown.
echo "== fuzz_request for ${seconds}s"
set +e
"$out/fuzz_request" -max_total_time="$seconds" -max_len=140000 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$out/" "$out/corpus" "$here/corpus" >"$out/fuzz.log" 2>&1
status=$?
set -e
grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb|SUMMARY)" "$out/fuzz.log" || true
if [ "$status" -ne 0 ]; then
  tail -n 40 "$out/fuzz.log" >&2
  echo "fuzz_request found a failure (status $status); see $out/fuzz.log" >&2
  exit 1
fi

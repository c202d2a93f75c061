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
source "$root/fuzz/run_fuzzer.sh"
run_fuzzer "$out/fuzz_request" "$seconds" 140000 "$out/corpus" "$here/corpus"

#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz (apart from the main g++ build) and runs
# each for the given number of seconds (default 60), starting from the committed seeds. New corpus
# entries are kept in the build folder, not in the repository. Exits non-zero on a finding.
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/build-fuzz"

cmake -S "$root" -B "$out" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DHALVORINE_FUZZ=ON -DBUILD_TESTING=OFF \
  -DHALVORINE_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" >/dev/null
cmake --build "$out" --target fuzz_decode_write fuzz_stream_lines fuzz_request

source "$root/fuzz/run_fuzzer.sh"
# target, longest input, seed folder
while read -r target max_len seeds; do
  run_fuzzer "$out/bin/$target" "$seconds" "$max_len" "$out/corpus_$target" "$root/fuzz/$seeds"
done <<'LIST'
fuzz_decode_write 1048576 command_channel/seeds/decode_write
fuzz_stream_lines 1048576 command_channel/seeds/stream_lines
fuzz_request 140000 file_transfer/corpus
LIST

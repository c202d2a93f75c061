#!/usr/bin/env bash
# Builds the command channel's libFuzzer targets with clang (outside the main g++ build) and runs
# each for the given number of seconds (default 60), starting from the committed seeds. New
# corpus entries are kept in the build folder, not in the repository.
set -euo pipefail

seconds="${1:-60}"
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
out="$root/build-fuzz/command_channel"
mkdir -p "$out"

flags=(-std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
       -I"$root/input_helper" -I"$here")
channel="$root/input_helper/command_channel"
wire="$root/input_helper/wire"

build() {
  local target="$1"
  shift
  clang++ "${flags[@]}" "$here/$target.cpp" "$@" -lutf8proc -o "$out/$target"
}

build fuzz_decode_write "$wire/input_command.cpp" "$wire/helper_output.cpp" \
  "$channel/stream_lines.cpp"
build fuzz_stream_lines "$wire/input_command.cpp" "$wire/helper_output.cpp" \
  "$channel/stream_lines.cpp" "$channel/modes.cpp"

source "$root/fuzz/run_fuzzer.sh"
for target in fuzz_decode_write fuzz_stream_lines; do
  run_fuzzer "$out/$target" "$seconds" 1048576 "$out/corpus_$target" "$here/seeds/${target#fuzz_}"
done

# Sourced by fuzz/run.sh.
# run_fuzzer BINARY SECONDS MAX_LEN CORPUS SEEDS: runs one libFuzzer binary for SECONDS, growing
# CORPUS (a build folder) from the committed SEEDS. Progress goes to BINARY.log; only the final
# figures are shown. Returns non-zero, with the end of the log, when the fuzzer found a failure.
run_fuzzer() {
  local binary="$1" seconds="$2" max_len="$3" corpus="$4" seeds="$5" status
  mkdir -p "$corpus"
  echo "== $(basename "$binary") for ${seconds}s"
  set +e
  "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
    -print_final_stats=1 -artifact_prefix="$binary-" "$corpus" "$seeds" >"$binary.log" 2>&1
  status=$?
  set -e
  grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb|SUMMARY)" "$binary.log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$binary.log" >&2
    echo "$(basename "$binary") found a failure (status $status); see $binary.log" >&2
    return 1
  fi
}

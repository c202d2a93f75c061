# Sourced by the install and package tests. check_programs DIR runs each program in DIR once, as a
# host would start it, and fails (non-zero, with a message) on any answer, status or standard
# error output other than the expected one.

identity_line='{"credentialContentRecorded":false,"errorCode":"keychain_operations_disabled","identityRecreated":false,"keychainDatabaseRecorded":false,"ok":false,"privateKeyExported":false}'
# The pointer cannot be read without a display: it is reported as 0, 0.
no_display_line='{"applied":false,"ok":true,"trusted":false,"type":"permission_status","x":0,"y":0}'
# File helper runs as this uid when the test runs as root (the helper refuses root).
test_uid=4242

fail() {
  echo "FAIL: $*" >&2
  return 1
}

# expect_run NAME STATUS EXPECTED_OUT -- COMMAND...: stdout must equal EXPECTED_OUT (or, when it
# starts with "~", contain the rest), stderr must be empty.
expect_run() {
  local name="$1" status="$2" expected="$3" out err rc
  shift 4
  err="$(mktemp)"
  set +e
  out="$("$@" 2>"$err")"
  rc=$?
  set -e
  if [ -s "$err" ]; then
    fail "$name wrote to standard error: $(head -c 300 "$err")"
    rm -f "$err"
    return 1
  fi
  rm -f "$err"
  [ "$rc" -eq "$status" ] || fail "$name: status $rc, expected $status (output: $out)" || return 1
  case "$expected" in
    "~"*) [[ "$out" == *"${expected#"~"}"* ]] || fail "$name: unexpected answer $out" || return 1 ;;
    *) [ "$out" = "$expected" ] || fail "$name: answer $out, expected $expected" || return 1 ;;
  esac
  echo "ok: $name"
}

check_programs() {
  local dir="$1" work
  for program in HalvorineInputHelper HalvorineFileTransferHelper HalvorineIdentityMigrationHelper; do
    [ -x "$dir/$program" ] || fail "$dir/$program is missing or not executable" || return 1
  done

  expect_run "identity helper" 3 "$identity_line" -- \
    "$dir/HalvorineIdentityMigrationHelper" </dev/null
  expect_run "input helper permission status without a display" 0 "$no_display_line" -- \
    env -u DISPLAY -u WAYLAND_DISPLAY "$dir/HalvorineInputHelper" --permission-status </dev/null

  # A read of the quarantine mark of a fresh file, as an unprivileged user.
  work="$(mktemp -d)"
  echo received >"$work/file"
  local as_user=()
  if [ "$(id -u)" -eq 0 ]; then
    expect_run "file helper refuses root" 1 '~"errorCode":"root_denied"' -- \
      "$dir/HalvorineFileTransferHelper" <<<'{"operation":"read_quarantine","sourcePath":"/"}'
    chown -R "$test_uid:$test_uid" "$work"
    as_user=(setpriv --reuid="$test_uid" --regid="$test_uid" --clear-groups)
  fi
  expect_run "file helper reads the quarantine mark" 0 '~"outcome":"inspected"' -- \
    "${as_user[@]}" "$dir/HalvorineFileTransferHelper" \
    <<<"{\"operation\":\"read_quarantine\",\"sourcePath\":\"$work/file\"}"
  rm -rf "$work"
}

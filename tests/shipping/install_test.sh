#!/usr/bin/env bash
# cmake --install of a built tree, once with --prefix and once with DESTDIR: every file lands in
# its documented place under the chosen root, and each installed program runs.
#   install_test.sh CMAKE BUILD_DIR CONFIGURED_PREFIX
set -euo pipefail
cmake="$1" build="$2" configured_prefix="$3"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/check_programs.sh"

root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
# The unprivileged run of the file helper must reach the installed program.
chmod 755 "$root"

check_tree() {
  local prefix="$1"
  for f in share/man/man1/HalvorineInputHelper.1.gz share/man/man1/HalvorineFileTransferHelper.1.gz \
           share/man/man1/HalvorineIdentityMigrationHelper.1.gz \
           share/doc/halvorine-helpers/README.md share/doc/halvorine-helpers/LICENSE \
           share/doc/halvorine-helpers/copyright share/doc/halvorine-helpers/changelog.gz \
           share/doc/halvorine-helpers/docs/security.md; do
    [ -f "$prefix/$f" ] || fail "$f is not installed under $prefix" || return 1
  done
  gzip -t "$prefix"/share/man/man1/*.1.gz "$prefix/share/doc/halvorine-helpers/changelog.gz"
  check_programs "$prefix/libexec/halvorine"
}

"$cmake" --install "$build" --prefix "$root/prefix" >/dev/null
check_tree "$root/prefix"

DESTDIR="$root/staging" "$cmake" --install "$build" >/dev/null
check_tree "$root/staging$configured_prefix"
# Nothing may land beside the configured prefix.
extra="$(find "$root/staging" -type f | grep -v "^$root/staging$configured_prefix/" || true)"
[ -z "$extra" ] || fail "DESTDIR install wrote outside the prefix: $extra"
echo "install test passed"

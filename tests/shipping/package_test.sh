#!/usr/bin/env bash
# The Debian package: its control fields, its files and their owner, and each program run once
# from the unpacked archive (dpkg-deb -x).
#   package_test.sh VERSION DEB        checks the given package (make package-check)
#   package_test.sh VERSION --cpack CPACK BUILD_DIR
#                                      packs the built tree first (the CTest case)
set -euo pipefail
version="$1"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/check_programs.sh"

root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
chmod 755 "$root"

if [ "$2" = --cpack ]; then
  "$3" -G DEB -B "$root/out" --config "$4/CPackConfig.cmake" >/dev/null
  deb="$(echo "$root"/out/*.deb)"
else
  deb="$2"
fi
[ -f "$deb" ] || fail "no package at $deb"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = halvorine-helpers ] || fail "package name $(field Package)"
[ "$(field Version)" = "$version" ] || fail "version $(field Version), expected $version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "architecture $(field Architecture)"
[ -n "$(field Maintainer)" ] || fail "no maintainer"
[ -n "$(field Description)" ] || fail "no description"
# Computed from the programs by dpkg-shlibdeps: every build needs at least the C library.
[[ "$(field Depends)" == *libc6* ]] || fail "dependencies not computed: '$(field Depends)'"
[ "$(basename "$deb")" = "halvorine-helpers_${version}_$(dpkg --print-architecture).deb" ] ||
  fail "file name $(basename "$deb")"

listing="$(dpkg-deb -c "$deb")"
for f in usr/libexec/halvorine/HalvorineInputHelper usr/libexec/halvorine/HalvorineFileTransferHelper \
         usr/libexec/halvorine/HalvorineIdentityMigrationHelper \
         usr/share/man/man1/HalvorineInputHelper.1.gz usr/share/doc/halvorine-helpers/copyright \
         usr/share/doc/halvorine-helpers/changelog.gz; do
  grep -q " \./$f\$" <<<"$listing" || fail "$f is not in the package" || exit 1
done
# Every entry belongs to root, whoever built the package.
owners="$(awk '{print $2}' <<<"$listing" | sort -u)"
[ "$owners" = root/root ] || fail "owners in the archive: $owners"

dpkg-deb -x "$deb" "$root/unpacked"
grep -q "^License: Expat" "$root/unpacked/usr/share/doc/halvorine-helpers/copyright" ||
  fail "the copyright file carries no licence"
check_programs "$root/unpacked/usr/libexec/halvorine"
echo "package test passed"

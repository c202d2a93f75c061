#!/usr/bin/env bash
# The manual pages as built: they render without any groff warning (also as man-db and lintian
# run them, at 80 columns) and carry the release's version.
#   man_pages_test.sh VERSION PAGE.1...
set -euo pipefail
version="$1"
shift
status=0
for page in "$@"; do
  name="$(basename "$page")"
  warnings="$(groff -ww -man -Tutf8 "$page" 2>&1 >/dev/null)"
  warnings+="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)"
  if [ -n "$warnings" ]; then
    echo "FAIL: $name renders with warnings:" >&2
    echo "$warnings" >&2
    status=1
  fi
  rendered="$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page.gz" 2>/dev/null)"
  for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" ENVIRONMENT FILES EXAMPLES SECURITY; do
    grep -q "^$section\$" <<<"$rendered" || { echo "FAIL: $name has no $section" >&2; status=1; }
  done
  tail -n 1 <<<"$rendered" | grep -q "Halvorine $version" ||
    { echo "FAIL: $name does not carry version $version" >&2; status=1; }
done
[ "$status" -eq 0 ] && echo "manual pages render cleanly"
exit "$status"

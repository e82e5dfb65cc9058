#!/usr/bin/env bash
# The manual pages render without a warning, and reelwright-fix's page names
# every option its --help names.
#
# Arguments: the folder of the page sources, the reelwright-fix to ask.
set -uo pipefail
pages=$1
program=$2
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

for page in "$pages"/*.1; do
  out=$(groff -ww -z -man -t "$page" 2>&1)
  [[ -z $out ]] || fail "groff warns on $page: $out"
  # As lintian renders them.
  out=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  [[ -z $out ]] || fail "man warns on $page: $out"
done

rendered=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$pages/reelwright-fix.1" 2>/dev/null | col -b)
options=$("$program" --help | grep -oE -- '--[a-z-]+' | sort -u)
[[ -n $options ]] || fail "$program --help names no option"
for option in $options; do
  grep -qF -- "$option" <<<"$rendered" || fail "reelwright-fix.1 does not mention $option"
done

((failures == 0)) || exit 1
echo "manual pages: OK"

#!/usr/bin/env bash
# The include check passes on the tree and catches each wrong-way include
# planted in a scratch tree, the ones this tree once had among them.
#
# Arguments: the check script, the source tree.
set -uo pipefail
check=$1
tree=$2
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

bash "$check" "$tree" >/dev/null || { bash "$check" "$tree"; fail "the tree has wrong-way includes"; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/reelwright-includes.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
plant() {  # file, include line; the check must fail
  rm -rf "${scratch:?}"/*
  mkdir -p "$scratch/$(dirname "$1")"
  printf '%s\n' "$2" >"$scratch/$1"
  bash "$check" "$scratch" >/dev/null && fail "$1 with '$2' passed"
}
plant engine/scan.cpp '#include "app/lang.h"'
plant engine/check_unit.cpp '#include "ui/main/main_unit.h"'
plant platform/x.h '#include "engine/reporting.h"'
plant ui/toolkit/markers.cpp '#include "app/lang.h"'
plant ui/main/file_list.cpp '  #  include "cli/cli_unit.h"'
plant cli/cli_unit.cpp '#include <ui/toolkit/message_box.h>'

rm -rf "${scratch:?}"/*
mkdir -p "$scratch/ui/main"
printf '%s\n' '#include "engine/reporting.h"' '#include "platform/lang.h"' >"$scratch/ui/main/ok.cpp"
bash "$check" "$scratch" >/dev/null || fail "ui/ including engine/ and platform/ was refused"

((failures == 0)) || exit 1
echo "include check: OK"

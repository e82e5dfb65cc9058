#!/usr/bin/env bash
# Tab completion of reelwright-fix, through bash's own machinery: the script
# registers itself with complete, and its function fills COMPREPLY for the
# words typed so far.
#
# Argument: the completion script.
set -uo pipefail
script=$1
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

folder=$(mktemp -d "${TMPDIR:-/tmp}/reelwright-completion.XXXXXX")
trap 'rm -rf "$folder"' EXIT
cd "$folder" || exit 1
mkdir clips "my films"
touch a.avi B.AVI c.divx d.mp4 'e f.avi' clips/x.avi -- -dash.avi

# shellcheck source=/dev/null
source "$script"
[[ $(complete -p reelwright-fix) == *"-F _reelwright_fix"* ]] || fail "not registered: $(complete -p reelwright-fix 2>&1)"

# Completes the last of the words given (the command line so far).
completions() {
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _reelwright_fix
  printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd '|'
}

expect() {
  local want=$1
  shift
  local got
  got=$(completions "$@")
  [[ $got == "$want" ]] || fail "'$*': got '$got', want '$want'"
}

expect '--check' reelwright-fix --ch
expect '--in-place' reelwright-fix --js --in
expect '--|--check|--follow-links|--help|--in-place|--jobs|--json|--output-dir|--recursive|--reference|--strip-index|--version' reelwright-fix --
expect 'a.avi' reelwright-fix --reference a
expect '--output-dir' reelwright-fix --ou
expect 'clips|my films' reelwright-fix -r -o ''
expect 'clips' reelwright-fix a.avi --output-dir c
expect '-j' reelwright-fix -j
# A number follows -j, not a file.
expect '' reelwright-fix -j ''
expect '' reelwright-fix --json --jobs ''
expect 'a.avi' reelwright-fix -j 2 a
expect '-dash.avi|B.AVI|a.avi|c.divx|clips|e f.avi|my films' reelwright-fix ''
expect 'a.avi' reelwright-fix --json a
expect 'clips/x.avi' reelwright-fix clips/
# After "--" every file is offered, and a leading dash is a name.
expect '-dash.avi|B.AVI|a.avi|c.divx|clips|d.mp4|e f.avi|my films' reelwright-fix -- ''
expect '-dash.avi' reelwright-fix -- -d

((failures == 0)) || exit 1
echo "completion: OK"

#!/bin/sh
# Runs a command on the current X display under openbox, which frames,
# activates and closes windows as a desktop does; its exit status is the
# command's.
set -u
ready=$(mktemp -u "${TMPDIR:-/tmp}/openbox-ready.XXXXXX")
# Openbox runs its start-up command once it manages windows.
openbox --sm-disable --startup "touch $ready" >/dev/null 2>&1 &
wm=$!
tries=0
while [ ! -e "$ready" ] && [ "$tries" -lt 100 ]; do
  sleep 0.1
  tries=$((tries + 1))
done
"$@"
status=$?
kill "$wm" 2>/dev/null
wait "$wm" 2>/dev/null
rm -f "$ready"
exit "$status"

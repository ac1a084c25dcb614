#!/usr/bin/env bash
# scripts/install-deps.sh while another installation holds apt's lock: it
# waits, saying so, and goes on once the lock is free; it gives up after its
# bounded wait; and any other failure fails at once. apt-get and dpkg-query
# are stand-ins on PATH, so nothing is installed.
#   install_deps_test.sh SOURCE_DIR
set -euo pipefail
script=$1/scripts/install-deps.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "$*"
  exit 1
}

mkdir "$work/bin"
# Every package is missing.
printf '#!/bin/sh\nexit 1\n' >"$work/bin/dpkg-query"
# Fails with apt's lock message as long as $work/locked holds a number above
# zero, counting down; fails otherwise with $work/other's text, if any.
cat >"$work/bin/apt-get" <<'STAND_IN'
#!/usr/bin/env bash
echo "$*" >>"$WORK/calls"
left=$(cat "$WORK/locked" 2>/dev/null || echo 0)
if [ "$left" -gt 0 ]; then
  echo $((left - 1)) >"$WORK/locked"
  echo "E: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 4242 (apt-get)" >&2
  echo "E: Unable to acquire the dpkg frontend lock (/var/lib/dpkg/lock-frontend), is another process using it?" >&2
  exit 100
fi
if [ -s "$WORK/other" ]; then
  cat "$WORK/other" >&2
  exit 100
fi
STAND_IN
chmod +x "$work/bin/"*

run() {
  rm -f "$work/calls"
  status=0
  WORK=$work PATH="$work/bin:$PATH" KORVEL_APT_LOCK_POLL=0.2 KORVEL_APT_LOCK_WAIT=$1 \
    "$script" >"$work/out" 2>"$work/err" || status=$?
  calls=$(wc -l <"$work/calls")
}

echo 2 >"$work/locked"
run 10
[ "$status" -eq 0 ] || fail "a lock freed in time: status $status: $(cat "$work/err")"
[ "$calls" -eq 4 ] || fail "two refused updates, then update and install: $calls calls"
grep -q "install-deps: another apt-get or dpkg is running (held by process 4242 (apt-get)); waiting up to 10 s" \
  "$work/err" || fail "no word of the wait: $(cat "$work/err")"
[ "$(grep -c 'install-deps: another' "$work/err")" -eq 1 ] || fail "the wait told more than once"

echo 1000 >"$work/locked"
run 1
[ "$status" -eq 100 ] || fail "a lock never freed: status $status"
grep -q "still busy after 1 s" "$work/err" || fail "no word of giving up: $(cat "$work/err")"

echo 0 >"$work/locked"
echo "E: Unable to locate package cmake" >"$work/other"
run 10
[ "$status" -eq 100 ] && [ "$calls" -eq 1 ] || fail "another failure: status $status, $calls calls"
grep -q "Unable to locate package" "$work/err" || fail "apt's own message lost"
! grep -q "waiting" "$work/err" || fail "waited for a failure that is no lock"
echo "install-deps waits for a held lock, gives up in time, fails at once otherwise"

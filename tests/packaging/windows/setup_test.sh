#!/usr/bin/env bash
# End to end under Wine, in a throwaway prefix: morvane-setup.exe installs the programs and registers
# and starts the service through the service control manager; morvanectl.exe logs in as demo against
# morvane-provider running on Linux on loopback and switches a domain on; the provider records the
# update; the uninstaller stops and removes the service and the programs.
#
#   setup_test.sh <wine64> <windows build dir> <morvane-provider>
# Exit 77 (skipped) when the provider has not been built.
set -euo pipefail
WINE=$1
BUILD=$(readlink -f "$2")
PROVIDER=$3
[ -x "$PROVIDER" ] || { echo "no morvane-provider at $PROVIDER: build the Linux tree first"; exit 77; }
[ -f "$BUILD/morvane-setup.exe" ] || { echo "no $BUILD/morvane-setup.exe"; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/morvane-wine.XXXXXX")
export WINEPREFIX=$WORK/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
WINESERVER=$(dirname "$(readlink -f "$WINE")")/wineserver
PROVIDER_PID=""
LOG=""
cleanup() {
  set +e
  [ -n "$PROVIDER_PID" ] && kill "$PROVIDER_PID" 2>/dev/null && wait "$PROVIDER_PID" 2>/dev/null
  "$WINESERVER" -k 2>/dev/null
  "$WINESERVER" -w 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAILED: $*"; if [ -n "$LOG" ] && [ -f "$LOG" ]; then tail -20 "$LOG"; fi; exit 1; }
step() { echo "-- $* ($SECONDS s)"; }

# The provider on a free loopback port, with the demo account.
DB=$WORK/provider.db
"$PROVIDER" --db "$DB" init >/dev/null
"$PROVIDER" --db "$DB" seed-demo >/dev/null
"$PROVIDER" --db "$DB" set-address 192.0.2.44 >/dev/null
"$PROVIDER" --db "$DB" serve --port 0 >"$WORK/provider.log" 2>&1 &
PROVIDER_PID=$!
PORT=""
for _ in $(seq 100); do
  PORT=$(sed -n 's/.*127\.0\.0\.1:\([0-9][0-9]*\).*/\1/p' "$WORK/provider.log" | head -1)
  [ -n "$PORT" ] && break
  sleep 0.1
done
[ -n "$PORT" ] || fail "the provider did not say its port: $(cat "$WORK/provider.log")"

step "prefix"
timeout 180 "$WINE" wineboot -i >/dev/null 2>&1 || fail "wineboot"
# Services get the system environment of the registry, read when the prefix starts: the provider's
# address goes there, and the prefix is started again below.
timeout 60 "$WINE" reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v MORVANE_PROVIDER \
  /d "http://127.0.0.1:$PORT" /f >/dev/null 2>&1 || fail "reg add"
# From here on the prefix stays up between commands, its services with it (one services.exe: a
# persistent server started while the first boot still runs gets a second one, which locks the
# service database).
"$WINESERVER" -w
"$WINESERVER" -p || fail "wineserver -p"

step "install"
timeout 120 "$WINE" "$BUILD/morvane-setup.exe" /S || fail "morvane-setup.exe exit $?"
DIR='C:\Program Files\Morvane'
CTL="$DIR\\morvanectl.exe"
LOG=$WORK/prefix/drive_c/ProgramData/Morvane/MorvaneCore.log  # the service's lines, shown on failure
[ -f "$WORK/prefix/drive_c/Program Files/Morvane/MorvaneCore.exe" ] || fail "nothing installed"
ctl() { timeout 90 "$WINE" "$CTL" "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }
status=""
for _ in $(seq 30); do
  status=$(ctl service status) && break
  sleep 1
done
grep -qi "running" <<<"$status" || fail "the service is not running: $status"

step "login and switch a domain on"
out=$(printf 'demo\n' | timeout 90 "$WINE" "$CTL" login demo 2>&1 | tr -d '\r') || fail "login: $out"
out=$(ctl on demo1.example.net) || fail "on: $out"
updated=""
for _ in $(seq 60); do
  if "$PROVIDER" --db "$DB" hosts 2>/dev/null | grep "demo1.example.net" | grep -q "192.0.2.44"; then
    updated=1
    break
  fi
  sleep 0.5
done
[ -n "$updated" ] || fail "the provider recorded no update: $("$PROVIDER" --db "$DB" hosts)"
out=$(ctl --json domains) || fail "domains: $out"
grep -q '"demo1.example.net"' <<<"$out" || fail "domains: $out"

step "uninstall"
# The uninstaller runs a copy of itself from the temporary folder and returns at once, as it does
# for a user: wait for the folder to go.
timeout 120 "$WINE" "$DIR\\uninstall.exe" /S || fail "uninstall exit $?"
for _ in $(seq 120); do
  [ -e "$WORK/prefix/drive_c/Program Files/Morvane" ] || break
  sleep 0.5
done
[ ! -e "$WORK/prefix/drive_c/Program Files/Morvane" ] ||
  fail "left behind: $(ls "$WORK/prefix/drive_c/Program Files/Morvane")"
rc=0
timeout 60 "$WINE" 'C:\windows\system32\sc.exe' query MORVANE >/dev/null 2>&1 || rc=$?
[ "$rc" -ne 0 ] || fail "the service is still registered"
step "done"

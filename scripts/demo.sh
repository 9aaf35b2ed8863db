#!/usr/bin/env bash
# The Morvane demo: a local dynamic-DNS provider, the service installed from a fresh program
# directory, and morvanectl driving it. Everything it starts is stopped and removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

say "Installing what is missing and building (release)"
bash scripts/setup-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target MorvaneCore morvanectl morvane-provider nat
BIN="$ROOT/build/release/bin"
HAVE_DISPLAY=""
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  HAVE_DISPLAY=1
  # The desktop program is shown at the end; a failed build only skips that step.
  cmake --build --preset release --target Morvane || echo "demo: the desktop program did not build; it is skipped."
fi

WORK=$(mktemp -d /tmp/morvane-demo.XXXXXX)
PROG="$WORK/Morvane"            # a fresh program directory, as an installation would have
export MORVANE_SCM_DIR="$WORK/services"
export MORVANE_ADDRESS_CHECK_MS=5000   # check the public address every 5 s instead of 120 s
PROVIDER_PID=""
cleanup() {
  set +e
  if [ -x "$PROG/morvanectl" ]; then
    "$PROG/morvanectl" --dir "$PROG" service stop >/dev/null 2>&1
    "$PROG/morvanectl" --dir "$PROG" service remove >/dev/null 2>&1
  fi
  [ -n "$PROVIDER_PID" ] && kill "$PROVIDER_PID" 2>/dev/null && wait "$PROVIDER_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

if (exec 3<>/dev/tcp/127.0.0.1/1800) 2>/dev/null; then
  echo "demo: port 1800 on 127.0.0.1 is in use; the demo's provider needs it." >&2
  exit 1
fi

say "Starting morvane-provider on 127.0.0.1:1800 with the demo account (demo / demo)"
DB="$WORK/provider.db"
"$BIN/morvane-provider" --db "$DB" init
"$BIN/morvane-provider" --db "$DB" seed-demo
"$BIN/morvane-provider" --db "$DB" set-address 203.0.113.10 --nettype 2 --location "demo network"
"$BIN/morvane-provider" --db "$DB" serve >"$WORK/provider.log" 2>&1 &
PROVIDER_PID=$!
for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/1800) 2>/dev/null && break; sleep 0.1; done

say "Installing and starting the service from $PROG"
mkdir -p "$PROG"
cp "$BIN/MorvaneCore" "$BIN/morvanectl" "$BIN/libnat.so" "$PROG/"
CTL=("$PROG/morvanectl" --dir "$PROG")
"${CTL[@]}" service install
"${CTL[@]}" service start

say "Logging in as demo (the password goes to the service as its MD5 digest)"
echo demo | "${CTL[@]}" login demo

say "Switching demo1.example.net on: the service pushes the current address at once"
"${CTL[@]}" on demo1.example.net
"$BIN/morvane-provider" --db "$DB" history

say "The provider now reports a new public address, 198.51.100.20"
"$BIN/morvane-provider" --db "$DB" set-address 198.51.100.20 --nettype 2 --location "demo network"
echo "Waiting for the service's next address check..."
"${CTL[@]}" watch 12 &
WATCH=$!
for _ in $(seq 60); do
  "$BIN/morvane-provider" --db "$DB" history | grep -q 198.51.100.20 && break
  sleep 0.5
done
sleep 1
kill "$WATCH" 2>/dev/null; wait "$WATCH" 2>/dev/null || true
echo
"$BIN/morvane-provider" --db "$DB" history
"$BIN/morvane-provider" --db "$DB" hosts
"${CTL[@]}" domains

if [ -n "$HAVE_DISPLAY" ] && [ -x "$BIN/Morvane" ]; then
  say "The desktop program: log in as demo / demo; close its window to end the demo"
  # Beside MorvaneCore it finds the service already installed and running, and the login
  # morvanectl left in user.xml.
  cp "$BIN/Morvane" "$PROG/"
  "$PROG/Morvane" || echo "demo: Morvane ended with status $?"
else
  echo
  echo "No display here: run 'bash scripts/demo.sh' in a desktop session to see the desktop program too (pictures in docs/screenshots)."
fi

say "Stopping and removing the service and the provider"
"${CTL[@]}" service stop
"${CTL[@]}" service remove
echo "Demo finished."

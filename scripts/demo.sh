#!/usr/bin/env bash
# The Morvane demo: a local dynamic-DNS provider publishing to a real authoritative DNS server (Knot DNS on
# a loopback port), the service installed from a fresh program directory, and morvanectl driving it.
# Everything it starts is stopped and removed at the end.
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
KNOT_PID=""
DNS_PORT=15353
cleanup() {
  set +e
  if [ -x "$PROG/morvanectl" ]; then
    "$PROG/morvanectl" --dir "$PROG" service stop >/dev/null 2>&1
    "$PROG/morvanectl" --dir "$PROG" service remove >/dev/null 2>&1
  fi
  [ -n "$PROVIDER_PID" ] && kill "$PROVIDER_PID" 2>/dev/null && wait "$PROVIDER_PID" 2>/dev/null
  [ -n "$KNOT_PID" ] && kill "$KNOT_PID" 2>/dev/null && wait "$KNOT_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

if (exec 3<>/dev/tcp/127.0.0.1/1800) 2>/dev/null; then
  echo "demo: port 1800 on 127.0.0.1 is in use; the demo's provider needs it." >&2
  exit 1
fi

say "Starting Knot DNS on 127.0.0.1:$DNS_PORT, authoritative for example.net, updatable with a throwaway TSIG key"
DNS=""
if [ -x /usr/sbin/knotd ] && command -v dig >/dev/null && ! (exec 3<>/dev/tcp/127.0.0.1/$DNS_PORT) 2>/dev/null; then
  mkdir -p "$WORK/knot"
  # The key, written once for both ends: the provider reads it from this file (never from its command line).
  SECRET=$(head -c 32 /dev/urandom | base64)
  (umask 077; printf 'key "demo-key" {\n\talgorithm hmac-sha256;\n\tsecret "%s";\n};\n' "$SECRET" >"$WORK/knot/demo-key.conf")
  cat >"$WORK/knot/knot.conf" <<EOF
server:
  rundir: "$WORK/knot"
  listen: 127.0.0.1@$DNS_PORT
  udp-workers: 1
  tcp-workers: 1
  background-workers: 1
log:
  - target: stderr
    any: notice
database:
  storage: "$WORK/knot"
key:
  - id: demo-key
    algorithm: hmac-sha256
    secret: $SECRET
acl:
  - id: demo-update
    key: demo-key
    action: update
template:
  - id: default
    storage: "$WORK/knot"
    file: "%s.zone"
zone:
  - domain: example.net
    acl: demo-update
EOF
  cat >"$WORK/knot/example.net.zone" <<'EOF'
$ORIGIN example.net.
$TTL 60
@    SOA ns hostmaster 1 3600 600 86400 60
@    NS  ns
ns   A   127.0.0.1
EOF
  /usr/sbin/knotd -c "$WORK/knot/knot.conf" >"$WORK/knot.log" 2>&1 &
  KNOT_PID=$!
  for _ in $(seq 50); do
    [ -n "$(dig @127.0.0.1 -p $DNS_PORT +short +time=1 +tries=1 example.net SOA 2>/dev/null)" ] && DNS=1 && break
    sleep 0.1
  done
  if [ -z "$DNS" ]; then
    echo "demo: Knot DNS did not come up; the demo goes on without it."
    cat "$WORK/knot.log"
  fi
else
  echo "demo: knotd or dig missing, or port $DNS_PORT taken: the demo goes on without a DNS server."
fi
show_dns() {
  [ -n "$DNS" ] || return 0
  echo "\$ dig @127.0.0.1 -p $DNS_PORT demo1.example.net A +noall +answer"
  dig @127.0.0.1 -p "$DNS_PORT" demo1.example.net A +noall +answer
}

say "Starting morvane-provider on 127.0.0.1:1800 with the demo account (demo / demo)"
DB="$WORK/provider.db"
"$BIN/morvane-provider" --db "$DB" init
"$BIN/morvane-provider" --db "$DB" seed-demo
if [ -n "$DNS" ]; then
  # Hosts under example.net get their A record replaced on the server at every new address.
  "$BIN/morvane-provider" --db "$DB" add-zone example.net --server "127.0.0.1:$DNS_PORT" \
    --key-file "$WORK/knot/demo-key.conf" --ttl 60
  "$BIN/morvane-provider" --db "$DB" zones
fi
"$BIN/morvane-provider" --db "$DB" set-address 203.0.113.10 --nettype 2 --location "demo network"
# No minimum interval between a host's changes: the demo changes the address again within the minute.
"$BIN/morvane-provider" --db "$DB" serve --min-interval 0 >"$WORK/provider.log" 2>&1 &
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
sleep 0.5
"$BIN/morvane-provider" --db "$DB" history
show_dns

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
if [ -n "$DNS" ]; then
  for _ in $(seq 20); do
    dig @127.0.0.1 -p "$DNS_PORT" +short demo1.example.net A | grep -qx 198.51.100.20 && break
    sleep 0.25
  done
fi
"$BIN/morvane-provider" --db "$DB" history
"$BIN/morvane-provider" --db "$DB" hosts
"${CTL[@]}" domains
if [ -n "$DNS" ]; then
  say "The name now resolves to the new address at the authoritative server"
  show_dns
fi

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

#!/usr/bin/env bash
# The desktop program's figures as a user meets them: time from starting Morvane to its login dialog
# on the screen, and its resident memory idle after logging in, in Chinese and in English, at scale 1
# and 2. Everything runs on an X server of its own (Xvfb) with openbox and trayer's system tray; the
# service (MorvaneCore, installed by the first start from the program directory) and a local provider
# with the demo account run from a scratch directory, which is removed at the end. The demo login is
# remembered, so Return in the dialog (sent with xdotool) logs in.
#   scripts/gui-figures.sh [build directory] [runs per case]      defaults: build/dev, 5
# Start-up: from just before exec to the program's "login dialog shown" trace line (printed on
# standard error with MORVANE_TRACE_STARTUP=1), as wall time and as the processor time the program
# used until then (user + system, in 10 ms ticks; steadier than wall time on a busy machine).
# Memory: VmRSS three seconds after the main window appeared.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/dev}
runs=${2:-5}
bin=$build/bin
for tool in Xvfb openbox trayer xdotool; do
  command -v "$tool" >/dev/null || { echo "gui-figures: $tool is missing (bash scripts/setup-deps.sh)"; exit 1; }
done

work=$(mktemp -d /tmp/morvane-figures.XXXXXX)
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[$i]}" 2>/dev/null || true; wait "${pids[$i]}" 2>/dev/null || true; done
  # The service the first start installed, stopped through the same service database.
  if [ -x "$work/app/MorvaneCore" ]; then
    MORVANE_SCM_DIR=$work/services "$work/app/morvanectl" service stop >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/app"
for f in Morvane MorvaneCore morvanectl libnat.so .morvane-build-tree; do cp -a "$bin/$f" "$work/app/"; done
cp -a "$bin/translations" "$work/app/"
[ -d "$bin/doc" ] && cp -a "$bin/doc" "$work/app/"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$bin/morvane-provider" --db "$work/provider.db" seed-demo >/dev/null
"$bin/morvane-provider" --db "$work/provider.db" serve --port "$port" >"$work/provider.log" 2>&1 &
pids+=($!)
printf '<?xml version="1.0" encoding="GB2312" ?>\r\n<User>\r\n<UserInfo>\r\n<UserID>demo</UserID>\r\n<PWD>fe01ce2a7fbac8fafaed7c982a04e229</PWD>\r\n</UserInfo>\r\n</User>\r\n' >"$work/app/user.xml"

exec 9<> <(:)
Xvfb -displayfd 9 -screen 0 1600x1200x24 -nolisten tcp >"$work/x.log" 2>&1 &
pids+=($!)
read -r -t 10 display <&9
export DISPLAY=:$display
unset WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
HOME=$work openbox --sm-disable >"$work/wm.log" 2>&1 &
pids+=($!)
sleep 0.5
trayer --edge top --align right --widthtype request --height 24 >"$work/tray.log" 2>&1 &
pids+=($!)
sleep 0.5

export MORVANE_SCM_DIR=$work/services MORVANE_PROVIDER=127.0.0.1:$port MORVANE_TRACE_STARTUP=1
export XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config
mkdir -m 0700 -p "$XDG_RUNTIME_DIR"

# One start: prints the milliseconds to the login dialog, and with "login" the resident memory (KiB)
# once logged in and idle.
one() {
  local lang=$1 scale=$2 login=${3:-}
  local fifo=$work/trace start end pid line rss=-
  rm -f "$fifo"; mkfifo "$fifo"
  start=$(date +%s%N)
  LANG=$lang LANGUAGE=${lang%%.*} LC_ALL=$lang QT_SCALE_FACTOR=$scale "$work/app/Morvane" 2>"$fifo" &
  pid=$!
  while read -r -t 10 line; do
    case $line in *"login dialog shown"*) break ;; esac
  done <"$fifo" || true
  end=$(date +%s%N)
  local cpu
  cpu=$(awk '{print ($14 + $15) * 10}' "/proc/$pid/stat")
  if [ -n "$login" ]; then
    sleep 0.3
    xdotool key Return
    for _ in $(seq 100); do
      xdotool search --onlyvisible --name '^Morvane$' >/dev/null 2>&1 && break
      sleep 0.1
    done
    sleep 3
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")
  fi
  kill "$pid"; wait "$pid" 2>/dev/null || true
  echo "$(((end - start) / 1000000)) $rss $cpu"
}

read -r first _ < <(one C.UTF-8 1)
echo "first start (installs and starts the service): $first ms"
for lang in zh_CN.UTF-8 en_US.UTF-8; do
  for scale in 1 2; do
    times=()
    cpus=()
    for ((r = 0; r < runs; r++)); do
      read -r ms _ cpu < <(one "$lang" "$scale")
      times+=("$ms")
      cpus+=("$cpu")
    done
    read -r _ rss _ < <(one "$lang" "$scale" login)
    sorted=$(printf '%s\n' "${times[@]}" | sort -n | tr '\n' ' ')
    cpu=$(printf '%s\n' "${cpus[@]}" | sort -n | tr '\n' ' ')
    printf '%-12s scale %s: login dialog after %sms (processor %sms); idle after login %s MiB\n' "$lang" "$scale" \
      "$sorted" "$cpu" "$(awk -v k="$rss" 'BEGIN { if (k == "-" || k == "") print "?"; else printf "%.1f", k / 1024 }')"
  done
done

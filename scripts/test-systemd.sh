#!/usr/bin/env bash
# Installs the freshly built packages on Debian 12 booted with systemd as PID 1 (systemd-nspawn) and
# checks them the way a careful tester on a shared machine would. Prints one line per check.
#
#   sudo bash scripts/test-systemd.sh [DEB_DIR]     (default: build/dev/packaging/deb)
#
# Needs root, debootstrap and systemd-container. The bookworm root file system is made once from the
# Debian archive this machine uses and kept in $MORVANE_TEST_CACHE (default /var/cache/morvane-test),
# keyed by the package list; each run boots a copy of it. The container has no network of its own
# (--private-network): everything it needs is in the cached tree. The host need not run systemd or
# D-Bus: the container is started unregistered and entered with nsenter.
# Exit: 0 all checks passed, 1 a check failed, 77 cannot run here (not root, tools missing).
set -uo pipefail

start_time=$(date +%s)
root_dir="$(cd "$(dirname "$0")/.." && pwd)"
deb_dir="${1:-$root_dir/build/dev/packaging/deb}"
cache="${MORVANE_TEST_CACHE:-/var/cache/morvane-test}"
suite=bookworm

skip() { echo "skip: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root"
for tool in debootstrap systemd-nspawn nsenter dpkg-deb; do
    command -v "$tool" >/dev/null || skip "$tool not installed"
done
core_deb=$(ls "$deb_dir"/morvane_*.deb 2>/dev/null | head -1)
provider_deb=$(ls "$deb_dir"/morvane-provider_*.deb 2>/dev/null | head -1)
[ -n "$core_deb" ] && [ -n "$provider_deb" ] || { echo "FAIL: no packages in $deb_dir (build them: cpack -G DEB)"; exit 1; }

failures=0
pass() { printf 'ok    %s\n' "$*"; }
fail() { printf 'FAIL  %s\n' "$*"; failures=$((failures + 1)); }
check() {  # check "what" command...
    local what="$1"; shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

# --- the root file system ------------------------------------------------------------------------
# The mirror of this machine's own Debian sources.
mirror=$(grep -hs '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{print $2}' | grep -v security | head -1)
[ -n "$mirror" ] || mirror=$(grep -hs '^deb ' /etc/apt/sources.list | awk '{print $2}' | grep -v security | head -1)
[ -n "$mirror" ] || mirror=http://deb.debian.org/debian

# The packages' own dependencies (first alternative, without versions), and what the checks use.
deps=$(for deb in "$core_deb" "$provider_deb"; do dpkg-deb -f "$deb" Depends; done |
    tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/[[:space:]]//g' | grep -v '^morvane' | grep -v '^$')
packages=$(printf '%s\n' $deps systemd systemd-sysv dbus procps socat | sort -u | paste -sd, -)
key=$(printf '%s %s %s\n' "$suite" "$mirror" "$packages" | sha256sum | cut -c1-16)
rootfs="$cache/rootfs-$key"
if [ ! -d "$rootfs" ]; then
    echo "making the $suite root file system in $rootfs (once; from $mirror)"
    mkdir -p "$cache"
    rm -rf "$rootfs.tmp"
    if ! debootstrap --variant=minbase --include="$packages" "$suite" "$rootfs.tmp" "$mirror" >"$cache/debootstrap-$key.log" 2>&1; then
        echo "FAIL: debootstrap (see $cache/debootstrap-$key.log)"; exit 1
    fi
    # Quiet, quick boots: no getty on the console, no timers doing housekeeping during the test.
    chroot "$rootfs.tmp" systemctl mask console-getty.service getty@.service apt-daily.timer apt-daily-upgrade.timer \
        dpkg-db-backup.timer e2scrub_all.timer fstrim.timer systemd-tmpfiles-clean.timer >/dev/null 2>&1
    echo morvanetest > "$rootfs.tmp/etc/hostname"
    rm -f "$rootfs.tmp/var/cache/apt/archives/"*.deb
    mv "$rootfs.tmp" "$rootfs"
fi

work=$(mktemp -d /var/tmp/morvane-systemd.XXXXXX)
machine="$work/root"
nspawn_pid=""
cleanup() {
    if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
        kill -TERM "$nspawn_pid" 2>/dev/null
        for _ in $(seq 50); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$nspawn_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
cp -a --reflink=auto "$rootfs" "$machine"
mkdir -p "$machine/root/debs"
cp "$core_deb" "$provider_deb" "$machine/root/debs/"

# --- the container -------------------------------------------------------------------------------
pid1=""
boot() {
    systemd-nspawn -q -D "$machine" -b --register=no --keep-unit --private-network -M morvanetest \
        >>"$work/console.log" 2>&1 </dev/null &
    nspawn_pid=$!
    pid1=""
    # The container's init: a descendant of nspawn that is PID 1 in its own namespace.
    for _ in $(seq 300); do
        for p in $(pgrep -P "$nspawn_pid") $(for c in $(pgrep -P "$nspawn_pid"); do pgrep -P "$c"; done); do
            if grep -qE '^NSpid:[[:space:]]+[0-9]+[[:space:]]+1$' "/proc/$p/status" 2>/dev/null; then
                pid1=$p
                break 2
            fi
        done
        sleep 0.1
    done
    [ -n "$pid1" ] || { echo "FAIL: the container did not start"; tail -20 "$work/console.log"; exit 1; }
    # Until systemd has finished starting everything (degraded is fine: nothing of ours is required);
    # its socket appears a moment after PID 1 does.
    for _ in $(seq 300); do
        case "$(in_container systemctl is-system-running --wait 2>/dev/null)" in
            running|degraded) return 0 ;;
        esac
        sleep 0.1
    done
    echo "FAIL: the container did not finish booting"; tail -20 "$work/console.log"; exit 1
}
in_container() {
    nsenter -t "$pid1" -m -u -i -n -p -C -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 HOME=/root "$@"
}
as_user() {  # as_user NAME command... (a login's groups, no terminal)
    local who="$1"; shift
    in_container runuser -u "$who" -- env HOME="/home/$who" "$@"
}
poweroff() {
    in_container systemctl poweroff >/dev/null 2>&1
    for _ in $(seq 300); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.1; done
    wait "$nspawn_pid" 2>/dev/null
    nspawn_pid=""
}
wait_active() {  # wait_active [old MainPID]: up to 15 s for the service to be active with another pid
    local old="${1:-}"
    for _ in $(seq 150); do
        local state pid
        state=$(in_container systemctl is-active morvane.service)
        pid=$(in_container systemctl show -p MainPID --value morvane.service)
        if [ "$state" = active ] && [ "$pid" != 0 ] && [ "$pid" != "$old" ]; then
            return 0
        fi
        sleep 0.1
    done
    return 1
}

boot_started=$(date +%s)
boot
echo "container up in $(( $(date +%s) - boot_started )) s"

# --- install -------------------------------------------------------------------------------------
if ! in_container sh -c 'dpkg -i /root/debs/*.deb' >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    fail "the packages install"
fi
check "active after install" test "$(in_container systemctl is-active morvane.service)" = active
check "readiness reported (Type=notify, status Running)" \
    test "$(in_container systemctl show -p Type -p StatusText --value morvane.service | paste -sd' ')" = "notify Running"

exposure=$(in_container systemd-analyze security morvane.service 2>/dev/null | sed -n 's/.*exposure level for morvane.service: \([0-9.]*\).*/\1/p')
offline=$(in_container systemd-analyze security --offline=true /lib/systemd/system/morvane.service 2>/dev/null |
    sed -n 's/.*exposure level for morvane.service: \([0-9.]*\).*/\1/p')
echo "      exposure: ${exposure:-?} (live), ${offline:-?} (installed unit, offline)"
check "exposure at most 2.0" awk -v e="${exposure:-99}" -v o="${offline:-99}" 'BEGIN { exit !(e <= 2.0 && o <= 2.0) }'

main_pid=$(in_container systemctl show -p MainPID --value morvane.service)
check "runs as morvane" test "$(in_container ps -o user= -p "$main_pid" | tr -d ' ')" = morvane
check "data directory morvane:morvane 2770" test "$(in_container stat -c '%U:%G %a' /var/lib/morvane)" = "morvane:morvane 2770"

# --- the provider's own service: installed, not enabled, not started until the administrator says so --
provider_db=/var/lib/morvane-provider/provider.db
provider_state() { in_container systemctl is-enabled morvane-provider.service; in_container systemctl is-active morvane-provider.service; }
check "the provider is installed disabled and stopped" test "$(provider_state | paste -sd' ')" = "disabled inactive"
check "its database is morvane-provider's alone (directory 0700, file 0600)" \
    test "$(in_container stat -c '%U %a' /var/lib/morvane-provider $provider_db | paste -sd' ')" = "morvane-provider 700 morvane-provider 600"

# --- a member of the group uses it against the provider in the container ---------------------------
# The administrator sets the provider up as root (umask 022), then enables it.
in_container sh -c "
    useradd -m -s /bin/bash alice && adduser --quiet alice morvane
    useradd -m -s /bin/bash mallory
    umask 022
    morvane-provider --db $provider_db seed-demo >/dev/null
    morvane-provider --db $provider_db set-address 203.0.113.7 >/dev/null" >"$work/setup.log" 2>&1 ||
    { cat "$work/setup.log"; fail "test users and provider set up"; }
check "still stopped once set up" test "$(in_container systemctl is-active morvane-provider.service)" = inactive
check "root's commands leave every provider file morvane-provider's and 0600" \
    test -z "$(in_container find /var/lib/morvane-provider -mindepth 1 \( ! -user morvane-provider -o -perm /077 \))"
in_container systemctl enable --now morvane-provider.service >/dev/null 2>&1
for _ in $(seq 50); do in_container sh -c 'exec 3<>/dev/tcp/127.0.0.1/1800' 2>/dev/null && break; sleep 0.1; done
provider_pid=$(in_container systemctl show -p MainPID --value morvane-provider.service)
check "the provider runs once enabled, as morvane-provider" \
    test "$(in_container ps -o user= -p "$provider_pid" | tr -d ' ')" = morvane-provider
exposure=$(in_container systemd-analyze security morvane-provider.service 2>/dev/null | sed -n 's/.*exposure level for morvane-provider.service: \([0-9.]*\).*/\1/p')
offline=$(in_container systemd-analyze security --offline=true /lib/systemd/system/morvane-provider.service 2>/dev/null |
    sed -n 's/.*exposure level for morvane-provider.service: \([0-9.]*\).*/\1/p')
echo "      provider exposure: ${exposure:-?} (live), ${offline:-?} (installed unit, offline)"
check "provider exposure at most 2.0" awk -v e="${exposure:-99}" -v o="${offline:-99}" 'BEGIN { exit !(e <= 2.0 && o <= 2.0) }'
check "the running provider's database and journal files are 0600" \
    test -z "$(in_container find /var/lib/morvane-provider -mindepth 1 -perm /077)" -a -e "$machine$provider_db-wal"

login=$(echo demo | as_user alice morvanectl login demo 2>&1)
check "group member logs in with morvanectl" test $? -eq 0
on=$(as_user alice morvanectl on demo1.example.net 2>&1)
check "group member switches a domain on" test $? -eq 0
provider_saw() { in_container morvane-provider --db $provider_db history | grep -q "$1"; }
check "the provider recorded the update" provider_saw 203.0.113.7
demo1_on() { as_user alice morvanectl domains 2>/dev/null | grep -qE '^[0-9]+ +yes +demo1\.example\.net'; }
check "the switch is kept" demo1_on
[ $failures -eq 0 ] || { echo "$login"; echo "$on"; }

# --- a member's links in the data directory, then root at work -------------------------------------
shadow=$(in_container stat -c '%U:%G %a %s %Y' /etc/shadow)
as_user alice ln -s /etc/shadow /var/lib/morvane/provider.conf
as_user alice ln -s /etc/shadow /var/lib/morvane/planted.xml
in_container sh -c 'echo "<User/>" > /var/lib/morvane/earlier.xml'  # as an earlier version left it
in_container morvanectl provider set web-service >/dev/null 2>&1
in_container /var/lib/dpkg/info/morvane.postinst configure 0 >/dev/null 2>&1
check "root's provider set and the maintainer script leave a linked /etc/shadow alone" \
    test "$(in_container stat -c '%U:%G %a %s %Y' /etc/shadow)" = "$shadow"
check "provider.conf replaced the link, 0660 in group morvane" \
    test "$(in_container stat -c '%F %G %a' /var/lib/morvane/provider.conf)" = "regular file morvane 660"
check "an earlier version's file becomes the service's" \
    test "$(in_container stat -c '%U' /var/lib/morvane/earlier.xml)" = morvane
in_container rm -f /var/lib/morvane/planted.xml /var/lib/morvane/earlier.xml
wait_active || fail "active again after the maintainer script"

# --- a user outside the group --------------------------------------------------------------------
check "outsider cannot read user.xml" sh -c "! nsenter -t $pid1 -m -p -- runuser -u mallory -- cat /var/lib/morvane/user.xml >/dev/null 2>&1"
# Replaced by rename, a file belongs to whoever wrote it last (here alice's login); the group and mode
# keep it to the service and the group.
check "user.xml is group morvane, 0660" test "$(in_container stat -c '%G %a' /var/lib/morvane/user.xml)" = "morvane 660"
# CMD_REFRESH_DOMAINS (2) and CMD_SET_DOMAIN_STATE (1) switching host 1 off.
refresh='\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\02\0\01\01\0'
switch_off='\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\01\0\02\01\0\0\01\0\0\0\01\0'
mallory_uid=$(in_container id -u mallory)

# --- the channel: a local socket only the group can reach, whose peers the kernel names -------------
check "/run/morvane is morvane:morvane 750" test "$(in_container stat -c '%U:%G %a' /run/morvane)" = "morvane:morvane 750"
check "the channel is a socket, morvane:morvane 660" \
    test "$(in_container stat -c '%U:%G %a %F' /run/morvane/channel)" = "morvane:morvane 660 socket"
check "user.xml names no UDP port" sh -c "! grep -q '<PORT>[1-9]' '$machine/var/lib/morvane/user.xml'"
message() {  # message USER BYTES: bytes of every answer within 2 s, over the socket (SOCK_SEQPACKET)
    in_container runuser -u "$1" -- bash -c "printf '$2' | socat -t 2 - UNIX-CONNECT:/run/morvane/channel,type=5" 2>/dev/null | wc -c
}
check "a member gets an answer to a raw refresh on the socket" test "$(message alice "$refresh")" -gt 0
check "outsider cannot connect to the socket" sh -c "! nsenter -t $pid1 -m -p -- runuser -u mallory -- socat -u /dev/null UNIX-CONNECT:/run/morvane/channel,type=5 2>/dev/null"
check "outsider gets no answer on the socket" test "$(message mallory "$refresh")" -eq 0
message mallory "$switch_off" >/dev/null
check "outsider's switch-off on the socket changes nothing" demo1_on
check "a member's switch is logged with its uid" sh -c "nsenter -t $pid1 -m -p -- journalctl -q -u morvane.service | grep -q 'channel: uid $(in_container id -u alice): switch host'"
in_container systemctl stop morvane.service
check "no socket while the service is down, nor a directory to plant one in" test ! -e "$machine/run/morvane"
down=$(as_user alice morvanectl --timeout 2 domains 2>&1)
down_rc=$?
check "morvanectl says the service is not running (exit $down_rc: ${down//$'\n'/ })" test "$down_rc" -eq 3
in_container systemctl start morvane.service
wait_active || fail "service back after the stop"

# --- the loopback UDP channel, for clients that speak it (MORVANE_UDP_CHANNEL=1 for the service) ----
in_container sh -c 'mkdir -p /etc/systemd/system/morvane.service.d &&
    printf "[Service]\nEnvironment=MORVANE_UDP_CHANNEL=1\n" > /etc/systemd/system/morvane.service.d/udp.conf &&
    systemctl daemon-reload && systemctl restart morvane.service'
wait_active || fail "service active with the UDP channel"
port=$(sed -n 's:.*<PORT>\([0-9]*\)</PORT>.*:\1:p' "$machine/var/lib/morvane/user.xml")
datagram() {  # datagram USER BYTES: bytes of every answer within 2 s
    in_container runuser -u "$1" -- bash -c "printf '$2' | socat -t 2 - UDP-CONNECT:127.0.0.1:$port" | wc -c
}
check "root gets an answer to a raw refresh datagram (the datagram is right)" test "$(datagram root "$refresh")" -gt 0
udp_domains=$(as_user alice env MORVANE_UDP_CHANNEL=1 morvanectl domains 2>&1)
check "a member's morvanectl speaks UDP when told to" sh -c "printf '%s' '$udp_domains' | grep -q demo1.example.net"
check "outsider gets no answer to a raw datagram" test "$(datagram mallory "$refresh")" -eq 0
datagram mallory "$switch_off" >/dev/null
check "outsider's raw switch-off changes nothing" demo1_on
logged_once() { [ "$(in_container journalctl -q -u morvane.service | grep -c "uid $mallory_uid")" -eq 1 ]; }
check "the dropped sender is logged, once" logged_once

# Squatting the service's ports while it is down: the client must not hand over its login.
in_container systemctl stop morvane.service
as_user mallory bash -c 'for p in $(seq 10000 10009); do
        socat -u UDP-RECV:$p,bind=127.0.0.1 OPEN:/home/mallory/got-$p,creat,append & done; sleep 0.3' >/dev/null 2>&1
squat=$(as_user alice env MORVANE_UDP_CHANNEL=1 morvanectl --timeout 2 domains 2>&1)
squat_rc=$?
got=$(cat "$machine"/home/mallory/got-* 2>/dev/null | wc -c)
check "squatted ports receive nothing from a client" test "$got" -eq 0
check "the client refuses and says why (exit $squat_rc: ${squat//$'\n'/ })" test "$squat_rc" -ne 0
in_container pkill -u mallory socat
in_container sh -c 'rm -r /etc/systemd/system/morvane.service.d && systemctl daemon-reload && systemctl start morvane.service'
wait_active || fail "service back after the squat"

# --- the hook ------------------------------------------------------------------------------------
in_container sh -c 'printf "#!/bin/sh\nid -u > /var/lib/morvane/hook-ran-from-data-dir\n" > /var/lib/morvane/on-address-change' 
in_container chown alice:morvane /var/lib/morvane/on-address-change
in_container chmod 0775 /var/lib/morvane/on-address-change
in_container sh -c 'printf "#!/bin/sh\nid -un > /var/lib/morvane/hook-ran\n" > /etc/morvane/on-address-change; chmod 0755 /etc/morvane/on-address-change'
in_container morvane-provider --db $provider_db set-address 203.0.113.9 >/dev/null
as_user alice morvanectl off demo1.example.net >/dev/null 2>&1
as_user alice morvanectl on demo1.example.net >/dev/null 2>&1
for _ in $(seq 30); do [ -e "$machine/var/lib/morvane/hook-ran" ] && break; sleep 0.1; done
check "the hook in /etc/morvane runs, as morvane" test "$(cat "$machine/var/lib/morvane/hook-ran" 2>/dev/null)" = morvane
check "a hook planted in the data directory by a group member never runs" test ! -e "$machine/var/lib/morvane/hook-ran-from-data-dir"
in_container rm -f /etc/morvane/on-address-change /var/lib/morvane/on-address-change /var/lib/morvane/hook-ran

# --- kill -9 and reboot --------------------------------------------------------------------------
main_pid=$(in_container systemctl show -p MainPID --value morvane.service)
in_container kill -9 "$main_pid"
check "restarted after kill -9" wait_active "$main_pid"

poweroff
boot
check "active after a reboot" wait_active
check "the enabled provider is back after a reboot" test "$(provider_state | paste -sd' ')" = "enabled active"
logged=$(as_user alice morvanectl domains 2>&1)
check "logged in after a reboot (domains listed)" sh -c "printf '%s' '$logged' | grep -q demo1.example.net"

# --- purge ---------------------------------------------------------------------------------------
in_container sh -c 'dpkg -L morvane morvane-provider' 2>/dev/null | sort -u >"$work/files"
in_container pkill -u alice >/dev/null 2>&1
if ! in_container apt-get purge -y -q morvane morvane-provider >"$work/purge.log" 2>&1; then
    cat "$work/purge.log"
    fail "apt purge"
fi
left=$(while read -r f; do
    # Directories the system shares (and /lib, a link to one) stay; ours must go.
    if [ -d "$machine$f" ] && [ "$f" != /usr/lib/morvane ] && [ "$f" != /usr/share/doc/morvane ]; then continue; fi
    if [ -e "$machine$f" ] || [ -L "$machine$f" ]; then echo "$f"; fi
done <"$work/files" | paste -sd' ')
check "purge leaves none of the packages' files${left:+ (left: $left)}" test -z "$left"
check "purge leaves no data directory, database or /etc/morvane" \
    test ! -e "$machine/var/lib/morvane" -a ! -e "$machine/var/lib/morvane-provider" -a ! -e "$machine/etc/morvane"
check "purge leaves no user or group" sh -c "! grep -qE '^morvane(-provider)?:' '$machine/etc/passwd' '$machine/etc/group' '$machine/etc/shadow' '$machine/etc/gshadow'"
units=$(find "$machine/etc/systemd" "$machine/lib/systemd" "$machine/var/lib/systemd" -name '*morvane*' 2>/dev/null | sed "s:^$machine::")
check "purge leaves no unit or unit state${units:+ (left: $units)}" test -z "$units"

poweroff
echo "systemd test: $failures failed, $(( $(date +%s) - start_time )) s"
[ $failures -eq 0 ]

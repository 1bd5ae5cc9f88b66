#!/usr/bin/env bash
# The Debian package on a machine booted with systemd, as an administrator
# meets it: apt installs it; after a reboot the first client call starts the
# service through D-Bus activation; `connect --wait` reports an OpenVPN
# tunnel and a dead server, whose reason reaches the journal; a WireGuard
# tunnel with the kill switch carries traffic under the unit's sandboxing,
# and so does an OpenVPN tunnel; an upgrade while disconnected restarts the
# service with the new program; one while connected keeps the service, the
# tunnel and the kill switch and says so; a restart lifts them; removal while
# connected and purge after an administrator's `systemctl enable` leave no
# unit, link, file, table or interface.
# Usage (ctest runs it through tests/sandbox/boot): package_boot_test.sh DEB_DIR
set -uo pipefail
[[ -n ${TESSARY_BOOT_PID:-} ]] || { echo "package_boot_test: only under tests/sandbox/boot." >&2; exit 2; }
debdir=${1:?directory of the built package}
root=$(cd "$(dirname "$0")/.." && pwd)
machine=$TESSARY_BOOT_PID
failed=0
passed=0
check() {
  local what=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "ok: $what"; else failed=$((failed + 1)); echo "FAILED: $what"; fi
}
# Runs a command inside the booted machine; peers needs to know it is not the
# host.
inside() { timeout 120 nsenter -t "$machine" -a env TESSARY_SANDBOX=1 DEBIAN_FRONTEND=noninteractive "$@"; }
inside_quiet() { inside "$@" >/dev/null 2>&1; }
not() { ! "$@"; }
wait_until() {  # wait_until SECONDS COMMAND... : poll in 0.2 s steps
  local deadline=$((SECONDS + $1)); shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.2
  done
}
stage_is() { inside tessaryvpnctl status 2>/dev/null | grep -q "'stage': <'$1'>"; }
table_present() { inside_quiet nft list table inet tessaryvpn; }
tunnel_present() { inside test -e /sys/class/net/tessaryvpn; }
main_pid() { inside systemctl show -P MainPID tessaryvpn.service; }
connect_wireguard() {
  inside_quiet tessaryvpnctl connect --id boot --protocol wireGuard --config "$in_share/wireguard.conf" \
    --kill-switch --wait 30
}
ping_peer() { inside_quiet ping -c 2 -W 2 198.51.100.1; }
journal_has() { inside journalctl -p warning -t tessaryvpn-service -o cat | grep -qF "$1"; }
connect_openvpn() {
  inside_quiet tessaryvpnctl connect --id boot-openvpn --protocol openVpn \
    --config "$in_share/openvpn.ovpn" --kill-switch --wait 60
}
# The running service's program: the installed one, or the replaced file.
service_exe() { inside readlink "/proc/$(main_pid)/exe"; }
# doctor's report, as root or as another user; it fails here for what the
# package does not ship (the application, sing-box, Xray), so only its rows
# count.
doctor_row() {  # doctor_row PATTERN [COMMAND PREFIX...]
  local pattern=$1 report; shift
  report=$(inside "$@" tessaryvpnctl doctor 2>&1)
  grep -q -- "$pattern" <<<"$report"
}
older_row='\[warn\] service program .*older than the installed'
doctor_current() { doctor_row '\[ ok \] service .*answered' && ! doctor_row "$older_row"; }
keygen_works() { inside tessaryvpnctl keygen | grep -Eq "privateKey.*'[A-Za-z0-9+/]{43}='"; }

# What the test hands the machine: the package, copies of it one and two
# versions on (upgrades), and the peers script.
share=$TESSARY_BOOT_ROOT/var/tmp/tessary
mkdir -p "$share"
deb=$(ls "$debdir"/tessaryvpn_*.deb) || { echo "FAILED: no package in $debdir"; exit 1; }
cp "$deb" "$share/tessaryvpn.deb"
cp "$root/tests/sandbox/peers" "$share/peers"
dpkg-deb -R "$deb" "$share/next" &&
  sed -i 's/^Version: .*/&+next1/' "$share/next/DEBIAN/control" &&
  dpkg-deb -b "$share/next" "$share/tessaryvpn-next.deb" >/dev/null &&
  sed -i 's/^Version: .*/&+next2/' "$share/next/DEBIAN/control" &&
  dpkg-deb -b "$share/next" "$share/tessaryvpn-next2.deb" >/dev/null || { echo "FAILED: repacking"; exit 1; }
in_share=/var/tmp/tessary

check "apt installs the package" inside_quiet apt-get install -y "$in_share/tessaryvpn.deb"
check "installing starts nothing" not inside_quiet systemctl is-active tessaryvpn.service
check "the unit is not enabled: the service starts on demand" \
  test "$(inside systemctl is-enabled tessaryvpn.service 2>/dev/null)" = disabled

# A fresh boot: tmpfiles.d makes the runtime directories, nothing starts the
# service until a client calls.
inside_quiet systemctl reboot
machine=$("$root/tests/sandbox/boot" --await "$machine") || { echo "FAILED: the machine did not boot again"; exit 1; }
check "after the reboot the service is not running" not inside_quiet systemctl is-active tessaryvpn.service
check "the first client call on a fresh boot starts the service" inside_quiet tessaryvpnctl status
check "the service runs as its unit" test "$(inside systemctl is-active tessaryvpn.service)" = active

exposure=$(inside systemd-analyze security tessaryvpn.service 2>/dev/null | sed -n 's/.*Overall exposure level for tessaryvpn.service: \([0-9.]*\).*/\1/p')
echo "exposure level of the unit: ${exposure:-unknown}"
check "the unit's exposure level is at most 2.1 (${exposure:-unknown})" \
  awk -v e="${exposure:-99}" 'BEGIN { exit !(e <= 2.1) }'

# An upgrade while disconnected: the maintainer scripts restart the service,
# so the new program runs at once.
before=$(main_pid)
check "apt upgrades the package while disconnected" inside_quiet apt-get install -y "$in_share/tessaryvpn-next.deb"
check "the upgrade restarted the disconnected service (was $before)" \
  test "$(main_pid)" != "$before" -a "$(main_pid)" != 0
check "the restarted service runs the installed program" \
  test "$(service_exe)" = /usr/libexec/tessaryvpn-service
check "doctor finds the service answering and no older program" doctor_current
check "keygen works under the unit's sandboxing" keygen_works

# The servers live in network namespaces inside the machine.
inside "$in_share/peers" outside && inside "$in_share/peers" wireguard "$in_share" &&
  inside "$in_share/peers" openvpn "$in_share" || { echo "FAILED: the test peers"; exit 1; }

# connect --wait tells the outcome: 0 on a working server, 1 and the reason on
# a dead one, and the journal keeps the failure at warning priority or above.
check "connect --wait exits 0 on a working OpenVPN server" inside_quiet tessaryvpnctl connect \
  --id boot-openvpn --protocol openVpn --config "$in_share/openvpn.ovpn" --wait 60
inside_quiet tessaryvpnctl disconnect && wait_until 30 stage_is disconnected
sed 's/^remote \(.*\) 1194$/remote \1 1195/' "$share/openvpn.ovpn" >"$share/dead.ovpn"
dead=$(inside tessaryvpnctl connect --id boot-dead --protocol openVpn --config "$in_share/dead.ovpn" \
  --wait 90 2>&1)
check "connect --wait exits 1 on a dead OpenVPN server" test $? -eq 1
reason=${dead#TessaryVPN connection failed: }
check "it names the reason ($reason)" test -n "$reason" -a "$reason" != "$dead"
check "journalctl -p warning -t tessaryvpn-service shows the failure with its reason" \
  journal_has "OpenVPN connection failed. $reason"
inside_quiet tessaryvpnctl disconnect && wait_until 30 stage_is disconnected

# A WireGuard tunnel with the kill switch, under the unit's sandboxing.
check "a WireGuard tunnel with the kill switch connects" connect_wireguard
check "the kill-switch table is loaded" table_present
check "the tunnel carries traffic to the peer" ping_peer

# An upgrade while connected.
before=$(main_pid)
upgrade_log=$(inside apt-get install -y "$in_share/tessaryvpn-next2.deb" 2>&1)
upgrade_status=$?
check "apt upgrades the package while connected" test "$upgrade_status" = 0
check "the upgrade tells the administrator the old program keeps running" \
  grep -q "running service (stage: connected) keeps the previous program" <<<"$upgrade_log"
check "the upgrade keeps the service running ($before)" test "$(main_pid)" = "$before"
check "doctor says the running service is older (root)" doctor_row "$older_row"
check "doctor says the running service is older (another user)" \
  doctor_row "$older_row" runuser -u nobody --
check "doctor finds the kill switch active for the tunnel" \
  doctor_row 'kill switch .*the leak-protection table is active'
check "the upgrade keeps the tunnel connected" stage_is connected
check "the upgrade keeps the kill switch" table_present
check "the tunnel still carries traffic after the upgrade" ping_peer

# A restart is an orderly stop and a start: the tunnel and the table go.
check "systemctl restart succeeds" inside_quiet systemctl restart tessaryvpn.service
check "after the restart the service answers, disconnected" wait_until 10 stage_is disconnected
check "the stop lifted the kill switch" not table_present
check "the stop removed the tunnel" not tunnel_present

# An OpenVPN tunnel with the kill switch, under the same sandboxing.
check "an OpenVPN tunnel with the kill switch connects" connect_openvpn
check "the OpenVPN tunnel carries traffic to its server" \
  inside_quiet ping -c 2 -W 2 198.51.100.129
check "the OpenVPN tunnel's kill switch is loaded" table_present
check "the OpenVPN tunnel disconnects" inside_quiet tessaryvpnctl disconnect
check "after the disconnect the service is disconnected" wait_until 30 stage_is disconnected
check "the restarted service connects again" connect_wireguard

# A crash while the kill switch protects the user: systemd starts the service
# again, which keeps the table and says why nothing flows.
status_says() { inside tessaryvpnctl status 2>/dev/null | grep -q "$1"; }
check "the service crashes" inside_quiet kill -SEGV "$(main_pid)"
check "the restarted service says the kill switch still blocks traffic" \
  wait_until 30 status_says "Leak protection still blocks traffic; Disconnect lifts it."
check "the crash left the kill switch in place" table_present
check "the service connects again under the kept kill switch" connect_wireguard

# Removal while connected, after the administrator enabled the unit.
inside_quiet systemctl enable tessaryvpn.service
files=$(inside dpkg-query -L tessaryvpn | while read -r f; do [[ -f $TESSARY_BOOT_ROOT$f ]] && echo "$f"; done)
check "apt removes the package while connected" inside_quiet apt-get remove -y tessaryvpn
check "removal stopped the service" not inside_quiet systemctl is-active tessaryvpn.service
check "no kill-switch table is left" not table_present
check "no tunnel interface is left" not tunnel_present
check "no runtime directory is left" not inside test -e /run/tessaryvpn
check "apt purges the package" inside_quiet apt-get purge -y tessaryvpn
none_left() {
  local f
  for f in $files; do [[ ! -e $TESSARY_BOOT_ROOT$f ]] || { echo "left: $f"; return 1; }; done
}
check "no file of the package is left" none_left
check "no unit or enable link is left" \
  test -z "$(inside find /etc/systemd/system /lib/systemd/system /run/systemd/system \
    /var/lib/systemd/deb-systemd-helper-enabled -name 'tessaryvpn*' 2>/dev/null)"
check "systemd knows the unit no more" not inside_quiet systemctl cat tessaryvpn.service

echo "package (booted): $passed passed, $failed failed"
((failed == 0))

#!/usr/bin/env bash
# The Debian package as a user meets it, inside the sandbox: dpkg -i puts
# every deliverable at its fixed path, doctor reports only what the sandbox
# truly lacks, and dpkg -r while a tunnel with the kill switch is up leaves no
# table, no interface and no private file behind.
# The sandbox has no systemd, so removal must stop a hand-started service
# through its bus name, never by a process name.
# Usage (ctest runs it through tests/sandbox/enter): package_test.sh DEB_DIR
set -uo pipefail
[[ ${TESSARY_SANDBOX:-} == 1 ]] || { echo "package_test: only inside tests/sandbox/enter." >&2; exit 2; }
debdir=${1:?directory of the built package}
root=$(cd "$(dirname "$0")/.." && pwd)
failed=0
passed=0
check() {
  local what=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "ok: $what"; else failed=$((failed + 1)); echo "FAILED: $what"; fi
}

mkdir -p /run/package
deb=$(ls "$debdir"/tessaryvpn_*.deb) || { echo "FAILED: no package in $debdir"; exit 1; }
check "dpkg -i installs the package" dpkg -i "$deb"
for path in /usr/libexec/tessaryvpn-service /usr/libexec/tessaryvpn-dns /usr/bin/tessaryvpnctl \
  /usr/lib/systemd/system/tessaryvpn.service \
  /usr/share/dbus-1/system.d/org.tessaryvpn.Service1.conf \
  /usr/share/dbus-1/system-services/org.tessaryvpn.Service1.service \
  /usr/share/polkit-1/actions/org.tessaryvpn.policy /usr/libexec/tessaryvpn/SHA256SUMS \
  /usr/libexec/tessaryvpn/runtime.architecture; do
  check "$path is installed" test -e "$path"
done
# The application's bundle owns /opt/tessaryvpn, the plug-in included.
check "the package ships nothing in /opt" sh -c '! dpkg -L tessaryvpn | grep -q "^/opt"'

/usr/libexec/tessaryvpn-service >/run/package/service.log 2>&1 &
service_pid=$!
for _ in $(seq 200); do tessaryvpnctl status >/dev/null 2>&1 && break; sleep 0.05; done
check "the packaged service answers" tessaryvpnctl status

tessaryvpnctl doctor >/run/package/doctor.txt
# A row is two blanks, the six-character tag, a blank, the label padded to 24.
fails=$(grep -F '[fail]' /run/package/doctor.txt | cut -c10-33 | sed 's/ *$//' | LC_ALL=C sort | tr '\n' ',')
expected="Sing-box runtime,Xray geoip,Xray geosite,Xray runtime,application,engines,"
if [[ $fails != "$expected" ]]; then cat /run/package/doctor.txt; fi
check "doctor fails only for what the sandbox does not ship ($fails)" test "$fails" = "$expected"
check "doctor finds the packaged runtime files intact" grep -q 'runtime integrity.*packaged files match SHA256SUMS' /run/package/doctor.txt

# A tunnel with the kill switch up while the package is removed.
"$root/tests/sandbox/peers" outside && "$root/tests/sandbox/peers" wireguard /run/package
profile=$(python3 -c 'import sys; s=open(sys.argv[1]).read(); print("\x27" + s.replace("\\","\\\\").replace("\x27","\\\x27").replace("\n","\\n") + "\x27")' /run/package/wireguard.conf)
gdbus call --system --dest org.tessaryvpn.Service1 --object-path /org/tessaryvpn/Service1 \
  --method org.tessaryvpn.Service1.Connect \
  "{'id': <'package'>, 'protocol': <'wireGuard'>, 'rawConfig': <$profile>, 'killSwitch': <true>}" >/dev/null
for _ in $(seq 300); do tessaryvpnctl status 2>/dev/null | grep -q "'connected'" && break; sleep 0.1; done
check "connected with the kill switch" nft list table inet tessaryvpn

check "dpkg -r removes the package" dpkg -r tessaryvpn
service_gone() { [[ ! -e /proc/$service_pid ]] || grep -q '^State:[[:space:]]*Z' "/proc/$service_pid/status"; }
check "the service was stopped" service_gone
check "no kill-switch table is left" sh -c '! nft list table inet tessaryvpn 2>/dev/null'
check "no tunnel interface is left" test ! -e /sys/class/net/tessaryvpn
check "no private file is left" sh -c '[ -z "$(ls -A /run/tessaryvpn 2>/dev/null)" ]'
check "no deliverable is left" sh -c '! ls /usr/libexec/tessaryvpn-service /usr/bin/tessaryvpnctl 2>/dev/null'

echo "package: $passed passed, $failed failed"
((failed == 0))

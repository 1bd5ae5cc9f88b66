// Names, fixed paths and limits shared by the service, the control tool and
// the desktop plug-in. Nothing here is configurable at run time.
#pragma once

#include <string_view>

namespace tessary::linux_service {

// D-Bus contract of the service.
inline constexpr char kBusName[] = "org.tessaryvpn.Service1";
inline constexpr char kObjectPath[] = "/org/tessaryvpn/Service1";
inline constexpr char kInterfaceName[] = "org.tessaryvpn.Service1";
inline constexpr char kPolkitAction[] = "org.tessaryvpn.manage";
// The service's signals, each carrying one a{sv} dictionary.
inline constexpr char kSignalSnapshotChanged[] = "SnapshotChanged";
inline constexpr char kSignalLogEmitted[] = "LogEmitted";
inline constexpr char kSignalNetworkPathChanged[] = "NetworkPathChanged";
// The service's D-Bus errors; each is answered with its fixed message.
inline constexpr char kErrorShuttingDown[] = "org.tessaryvpn.Error.ShuttingDown";
inline constexpr char kErrorUnknownMethod[] = "org.tessaryvpn.Error.UnknownMethod";
inline constexpr char kErrorNotAuthorized[] = "org.tessaryvpn.Error.NotAuthorized";
inline constexpr char kErrorInvalidProfile[] = "org.tessaryvpn.Error.InvalidProfile";
inline constexpr char kErrorRuntimeUnavailable[] = "org.tessaryvpn.Error.RuntimeUnavailable";
inline constexpr char kErrorBusy[] = "org.tessaryvpn.Error.Busy";
inline constexpr char kErrorWireGuardUnavailable[] = "org.tessaryvpn.Error.WireGuardUnavailable";
// polkit (or the bus on its way) could not be asked: not a refusal.
inline constexpr char kErrorAuthorizationUnavailable[] =
    "org.tessaryvpn.Error.AuthorizationUnavailable";
// The caller, its user or all users together have as many checks waiting
// for polkit as the service takes.
inline constexpr char kErrorTooManyRequests[] = "org.tessaryvpn.Error.TooManyRequests";
// A Connect or Disconnect authorized only after a newer one was.
inline constexpr char kErrorSuperseded[] = "org.tessaryvpn.Error.Superseded";

// Engines and tools, always run by absolute path.
inline constexpr char kSingBoxBinary[] = "/usr/libexec/tessaryvpn/sing-box";
inline constexpr char kXrayBinary[] = "/usr/libexec/tessaryvpn/xray";
inline constexpr char kXrayGeoIp[] = "/usr/libexec/tessaryvpn/geoip.dat";
inline constexpr char kXrayGeoSite[] = "/usr/libexec/tessaryvpn/geosite.dat";
inline constexpr char kAmneziaWgQuick[] = "/usr/libexec/tessaryvpn/awg-quick";
inline constexpr char kAmneziaWgTool[] = "/usr/libexec/tessaryvpn/awg";
inline constexpr char kAmneziaWgEngine[] = "/usr/libexec/tessaryvpn/amneziawg-go";
inline constexpr char kAmneziaWgRuntimeDirectory[] = "/usr/libexec/tessaryvpn";
inline constexpr char kWireGuardQuick[] = "/usr/bin/wg-quick";
inline constexpr char kWireGuardTool[] = "/usr/bin/wg";
inline constexpr char kOpenVpnBinary[] = "/usr/sbin/openvpn";
inline constexpr char kServiceBinary[] = "/usr/libexec/tessaryvpn-service";
inline constexpr char kDnsHelper[] = "/usr/libexec/tessaryvpn-dns";
inline constexpr char kResolveCtl[] = "/usr/bin/resolvectl";
inline constexpr char kIpBinary[] = "/usr/sbin/ip";
inline constexpr char kTimeoutBinary[] = "/usr/bin/timeout";
inline constexpr char kNftBinary[] = "/usr/sbin/nft";

// Private runtime files; the directory is mode 0700 and the files 0600.
inline constexpr char kRuntimeDirectory[] = "/run/tessaryvpn";
inline constexpr char kWireGuardConfig[] = "/run/tessaryvpn/tessaryvpn.conf";
inline constexpr char kSingBoxConfig[] = "/run/tessaryvpn/sing-box.json";
inline constexpr char kXrayConfig[] = "/run/tessaryvpn/xray.json";
inline constexpr char kOpenVpnConfig[] = "/run/tessaryvpn/openvpn.ovpn";
inline constexpr char kOpenVpnPid[] = "/run/tessaryvpn/openvpn.pid";
// Made at OpenVPN's route-up event, which comes once OpenVPN has added every
// route of its session: a family still not tunnelled then will not be.
// OpenVPN splits its route-up command at spaces and adds no arguments to it.
inline constexpr char kOpenVpnRoutesAdded[] = "/run/tessaryvpn/openvpn.route-up";
inline constexpr char kOpenVpnRouteUpCommand[] = "/usr/bin/touch /run/tessaryvpn/openvpn.route-up";
static_assert(std::string_view(kOpenVpnRouteUpCommand).substr(sizeof "/usr/bin/touch") ==
              kOpenVpnRoutesAdded);
// The running process engine's kind, process id and start time, so that a
// later run can stop an engine this run leaves behind.
inline constexpr char kEngineRecord[] = "/run/tessaryvpn/engine.process";

// Tunnel interfaces forced onto the engines, and where sysfs shows them.
inline constexpr char kSingBoxInterface[] = "tessary-sbox0";
inline constexpr char kXrayInterface[] = "tessary-xray0";
inline constexpr char kWireGuardInterface[] = "tessaryvpn";
inline constexpr char kOpenVpnInterface[] = "tun-tessaryvpn";
inline constexpr char kSingBoxInterfacePath[] = "/sys/class/net/tessary-sbox0";
inline constexpr char kXrayInterfacePath[] = "/sys/class/net/tessary-xray0";
inline constexpr char kWireGuardInterfacePath[] = "/sys/class/net/tessaryvpn";
inline constexpr char kOpenVpnInterfacePath[] = "/sys/class/net/tun-tessaryvpn";

// The kill switch's nftables table, family inet.
inline constexpr char kKillSwitchTable[] = "tessaryvpn";

// Packaging metadata that the diagnostics read.
inline constexpr char kRuntimeManifest[] = "/usr/libexec/tessaryvpn/SHA256SUMS";
inline constexpr char kRuntimeArchitecture[] = "/usr/libexec/tessaryvpn/runtime.architecture";
inline constexpr char kApplicationBinary[] = "/opt/tessaryvpn/TessaryVPN";
inline constexpr char kSystemdUnit[] = "/usr/lib/systemd/system/tessaryvpn.service";
inline constexpr char kDbusPolicy[] = "/usr/share/dbus-1/system.d/org.tessaryvpn.Service1.conf";
inline constexpr char kPolkitPolicy[] = "/usr/share/polkit-1/actions/org.tessaryvpn.policy";

// Largest configuration text a client may submit (2 MiB).
inline constexpr unsigned long kMaxConfigBytes = 2097152;

// Most DNS servers a WireGuard profile may name. More are refused rather than
// truncated: a silently shortened list would route names to servers nobody
// chose.
inline constexpr unsigned long kMaxDnsServers = 8;

}  // namespace tessary::linux_service

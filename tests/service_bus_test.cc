// The installed service on the sandbox's private system bus, as its clients
// see it: the interface, the dictionaries, the signals, polkit and the order
// in which a call's checks are made.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/constants.h"
#include "tests/sandbox/sandbox_util.h"

namespace tessary::test {
namespace {

constexpr char kNotAuthorizedMessage[] = "Authorization to manage the VPN was denied.";
constexpr char kGrantRule[] = "/etc/polkit-1/rules.d/50-tessary-test-nobody.rules";

struct KeyType {
  std::string key;
  std::string type;
};

std::vector<KeyType> Entries(GVariant* dict) {
  std::vector<KeyType> entries;
  if (dict == nullptr) return entries;
  GVariantIter iter;
  const gchar* key = nullptr;
  GVariant* value = nullptr;
  g_variant_iter_init(&iter, dict);
  while (g_variant_iter_next(&iter, "{&sv}", &key, &value)) {
    entries.push_back({key, g_variant_get_type_string(value)});
    g_variant_unref(value);
  }
  return entries;
}

bool DictBool(GVariant* dict, const char* key) {
  gboolean value = FALSE;
  g_variant_lookup(dict, key, "b", &value);
  return value != FALSE;
}

// The dictionary of a one-dictionary reply; the reply is released.
GVariant* TakeDict(GVariant* reply) {
  if (reply == nullptr) return nullptr;
  GVariant* dict = g_variant_get_child_value(reply, 0);
  g_variant_unref(reply);
  return dict;
}

// `gdbus call` of a service method as the unprivileged user 65534.
CommandResult CallAsNobody(const std::string& method, const std::string& args = "") {
  return Sh(
      "setpriv --reuid=65534 --regid=65534 --clear-groups gdbus call --system "
      "-d org.tessaryvpn.Service1 -o /org/tessaryvpn/Service1 -m org.tessaryvpn.Service1." +
      method + " " + args);
}

class ServiceBus : public ::testing::Test {
 protected:
  void SetUp() override {
    RequireSandbox();
    bus_ = NewSystemBus();
    ASSERT_NE(bus_, nullptr);
    recorder_ = new SignalRecorder(bus_);
    pid_ = StartService();
    ASSERT_GT(pid_, 0) << Sh("cat /run/sandbox/service.log").out;
  }
  void TearDown() override {
    if (pid_ > 0) {
      EXPECT_EQ(StopService(pid_), 0);
    }
    delete recorder_;
    if (bus_) g_object_unref(bus_);
  }

  GVariant* Call(const char* method, GVariant* parameters = nullptr, std::string* name = nullptr,
                 std::string* message = nullptr) {
    return CallService(bus_, method, parameters, name, message);
  }
  // Drains what has already arrived, without waiting for more.
  void Drain() {
    for (int i = 0; i < 1000 && g_main_context_iteration(nullptr, FALSE); ++i) {
    }
  }
  size_t Count(const std::string& signal) const {
    size_t n = 0;
    for (const auto& entry : recorder_->entries) n += entry.signal == signal;
    return n;
  }

  GDBusConnection* bus_ = nullptr;
  SignalRecorder* recorder_ = nullptr;
  int pid_ = -1;
};

TEST_F(ServiceBus, IntrospectionShowsExactlyTheInterface) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      bus_, linux_service::kBusName, linux_service::kObjectPath,
      "org.freedesktop.DBus.Introspectable", "Introspect", nullptr, G_VARIANT_TYPE("(s)"),
      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
  ASSERT_NE(reply, nullptr) << error->message;
  const gchar* xml = nullptr;
  g_variant_get(reply, "(&s)", &xml);
  GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(xml, &error);
  ASSERT_NE(node, nullptr) << error->message;
  GDBusInterfaceInfo* iface =
      g_dbus_node_info_lookup_interface(node, linux_service::kInterfaceName);
  ASSERT_NE(iface, nullptr);

  // name, then "in:" / "out:" argument name and signature in order.
  const std::vector<std::pair<std::string, std::vector<std::string>>> methods = {
      {"Initialize", {}},
      {"GetRuntimeInfo", {"out:runtime:a{sv}"}},
      {"GetCapabilities", {"out:capabilities:a{sv}"}},
      {"GetConnectionSnapshot", {"out:snapshot:a{sv}"}},
      {"GetNetworkPath", {"out:path:a{sv}"}},
      {"RequestVpnPermission", {"out:granted:b"}},
      {"GenerateWireGuardKeyPair", {"out:keyPair:a{sv}"}},
      {"Connect", {"in:profile:a{sv}"}},
      {"Disconnect", {}},
  };
  std::vector<std::pair<std::string, std::vector<std::string>>> seen;
  for (GDBusMethodInfo** m = iface->methods; m && *m; ++m) {
    std::vector<std::string> args;
    for (GDBusArgInfo** a = (*m)->in_args; a && *a; ++a) {
      args.push_back(std::string("in:") + (*a)->name + ":" + (*a)->signature);
    }
    for (GDBusArgInfo** a = (*m)->out_args; a && *a; ++a) {
      args.push_back(std::string("out:") + (*a)->name + ":" + (*a)->signature);
    }
    seen.emplace_back((*m)->name, args);
  }
  EXPECT_EQ(seen, methods);

  const std::vector<std::string> signals = {
      "SnapshotChanged:snapshot:a{sv}", "LogEmitted:entry:a{sv}", "NetworkPathChanged:path:a{sv}"};
  std::vector<std::string> seenSignals;
  for (GDBusSignalInfo** s = iface->signals; s && *s; ++s) {
    std::string text = (*s)->name;
    for (GDBusArgInfo** a = (*s)->args; a && *a; ++a) {
      text += std::string(":") + (*a)->name + ":" + (*a)->signature;
    }
    seenSignals.push_back(text);
  }
  EXPECT_EQ(seenSignals, signals);
  EXPECT_TRUE(iface->properties == nullptr || iface->properties[0] == nullptr);
  g_dbus_node_info_unref(node);
  g_variant_unref(reply);
}

TEST_F(ServiceBus, StartedIsLoggedOnTheBusAndInTheLog) {
  EXPECT_TRUE(recorder_->WaitFor(
      [&] {
        for (const auto& m : recorder_->Strings("LogEmitted", "message")) {
          if (m == "TessaryVPN Linux service started.") return true;
        }
        return false;
      },
      std::chrono::seconds(5)));
  EXPECT_EQ(recorder_->Strings("LogEmitted", "level").at(0), "info");
  EXPECT_NE(Sh("cat /run/sandbox/service.log").out.find("TessaryVPN Linux service started."),
            std::string::npos);
}

TEST_F(ServiceBus, DictionariesHaveTheirKeysTypesAndOrder) {
  GVariant* capabilities = TakeDict(Call("GetCapabilities"));
  ASSERT_NE(capabilities, nullptr);
  const std::vector<std::pair<std::string, std::string>> capabilityKeys = {
      {"supportsLifecycle", "b"},
      {"supportsTrafficStats", "b"},
      {"supportsSplitTunnel", "b"},
      {"supportedProtocols", "as"}};
  std::vector<std::pair<std::string, std::string>> seen;
  for (const auto& e : Entries(capabilities)) seen.emplace_back(e.key, e.type);
  EXPECT_EQ(seen, capabilityKeys);
  EXPECT_TRUE(DictBool(capabilities, "supportsLifecycle"));
  EXPECT_FALSE(DictBool(capabilities, "supportsTrafficStats"));
  EXPECT_FALSE(DictBool(capabilities, "supportsSplitTunnel"));
  const gchar** labels = nullptr;
  ASSERT_TRUE(g_variant_lookup(capabilities, "supportedProtocols", "^a&s", &labels));
  std::vector<std::string> protocols(labels, labels + g_strv_length(const_cast<gchar**>(labels)));
  g_free(labels);
  EXPECT_EQ(protocols, (std::vector<std::string>{"singBox", "vless", "vmess", "trojan",
                                                 "shadowsocks", "hysteria2", "tuic", "quarn",
                                                 "xray-reality", "xray", "wireGuard", "amneziawg",
                                                 "openVpn", "openvpn-tcp", "openvpn-udp"}));
  g_variant_unref(capabilities);

  // A fresh service: only the stage, no empty keys.
  GVariant* snapshot = TakeDict(Call("GetConnectionSnapshot"));
  ASSERT_NE(snapshot, nullptr);
  seen.clear();
  for (const auto& e : Entries(snapshot)) seen.emplace_back(e.key, e.type);
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, std::string>>{{"stage", "s"}}));
  EXPECT_EQ(DictString(snapshot, "stage"), "disconnected");
  g_variant_unref(snapshot);

  // Only loopback exists here: no usable network.
  GVariant* path = TakeDict(Call("GetNetworkPath"));
  ASSERT_NE(path, nullptr);
  seen.clear();
  for (const auto& e : Entries(path)) seen.emplace_back(e.key, e.type);
  EXPECT_EQ(seen,
            (std::vector<std::pair<std::string, std::string>>{{"status", "s"},
                                                              {"isReachable", "b"},
                                                              {"interfaceType", "s"},
                                                              {"isExpensive", "b"},
                                                              {"isConstrained", "b"},
                                                              {"timestampEpochMillis", "x"}}));
  EXPECT_EQ(DictString(path, "status"), "unsatisfied");
  EXPECT_FALSE(DictBool(path, "isReachable"));
  EXPECT_EQ(DictString(path, "interfaceType"), "unknown");
  gint64 stamp = 0;
  g_variant_lookup(path, "timestampEpochMillis", "x", &stamp);
  EXPECT_LE(std::llabs(stamp - g_get_real_time() / 1000), 5000);
  g_variant_unref(path);
}

TEST_F(ServiceBus, RuntimeInfoFollowsTheInstalledEngines) {
  const std::vector<std::pair<std::string, std::string>> keys = {
      {"platformName", "s"},          {"summary", "s"},
      {"nativeBridgeReady", "b"},     {"singBoxRuntimeDetected", "b"},
      {"xrayRuntimeDetected", "b"},   {"wireGuardRuntimeDetected", "b"},
      {"openVpnRuntimeDetected", "b"}};
  auto check = [&](const char* label) {
    SCOPED_TRACE(label);
    GVariant* info = TakeDict(Call("GetRuntimeInfo"));
    EXPECT_NE(info, nullptr);
    if (info == nullptr) return false;
    std::vector<std::pair<std::string, std::string>> seen;
    for (const auto& e : Entries(info)) seen.emplace_back(e.key, e.type);
    EXPECT_EQ(seen, keys);
    EXPECT_EQ(DictString(info, "platformName"), "linux");
    const bool all =
        DictBool(info, "singBoxRuntimeDetected") && DictBool(info, "xrayRuntimeDetected") &&
        DictBool(info, "wireGuardRuntimeDetected") && DictBool(info, "openVpnRuntimeDetected");
    // A clean start: ready exactly when every engine is there.
    EXPECT_EQ(DictBool(info, "nativeBridgeReady"), all);
    const std::string summary = DictString(info, "summary");
    EXPECT_EQ(summary.find("cleanup repair required"), std::string::npos) << summary;
    const bool openVpn = DictBool(info, "openVpnRuntimeDetected");
    g_variant_unref(info);
    return openVpn;
  };
  const bool openVpnBefore = check("as installed");
  // Take OpenVPN away: never reported, never ready.
  ASSERT_EQ(Sh("mv /usr/sbin/openvpn /run/sandbox/openvpn.moved").status, 0);
  EXPECT_FALSE(check("openvpn removed"));
  ASSERT_EQ(Sh("mv /run/sandbox/openvpn.moved /usr/sbin/openvpn").status, 0);
  EXPECT_EQ(check("openvpn restored"), openVpnBefore);
}

TEST_F(ServiceBus, InitializeEmitsSnapshotThenPathBeforeReplying) {
  recorder_->WaitFor([&] { return Count("LogEmitted") >= 1; }, std::chrono::seconds(5));
  Drain();
  recorder_->Clear();
  GVariant* reply = Call("Initialize");
  ASSERT_NE(reply, nullptr);
  g_variant_unref(reply);
  // Messages on one connection arrive in order: both signals are already here.
  Drain();
  ASSERT_EQ(recorder_->entries.size(), 2u);
  EXPECT_EQ(recorder_->entries[0].signal, "SnapshotChanged");
  EXPECT_EQ(DictString(recorder_->entries[0].value, "stage"), "disconnected");
  EXPECT_EQ(recorder_->entries[1].signal, "NetworkPathChanged");
  EXPECT_EQ(DictString(recorder_->entries[1].value, "status"), "unsatisfied");
}

TEST_F(ServiceBus, NetworkChangesAreReported) {
  recorder_->Clear();
  // A default route makes the network usable for GLib's monitor.
  ASSERT_EQ(Sh("ip tuntap add dev tnet0 mode tun && ip link set tnet0 up && "
               "ip addr add 192.0.2.1/24 dev tnet0 && "
               "ip route add default via 192.0.2.254 dev tnet0")
                .status,
            0);
  EXPECT_TRUE(recorder_->WaitFor(
      [&] {
        for (const auto& s : recorder_->Strings("NetworkPathChanged", "status")) {
          if (s == "satisfied") return true;
        }
        return false;
      },
      std::chrono::seconds(5)));
  GVariant* path = TakeDict(Call("GetNetworkPath"));
  EXPECT_EQ(DictString(path, "status"), "satisfied");
  EXPECT_TRUE(DictBool(path, "isReachable"));
  if (path) g_variant_unref(path);
  // More routes, as a tunnel brings, change nothing a client is told about.
  ASSERT_EQ(Sh("ip route add 198.51.100.0/24 via 192.0.2.254 dev tnet0 && "
               "ip addr add 192.0.2.2/24 dev tnet0")
                .status,
            0);
  ASSERT_EQ(Sh("ip link del tnet0").status, 0);
  EXPECT_TRUE(recorder_->WaitFor(
      [&] {
        auto statuses = recorder_->Strings("NetworkPathChanged", "status");
        return !statuses.empty() && statuses.back() == "unsatisfied";
      },
      std::chrono::seconds(5)));
  EXPECT_EQ(recorder_->Strings("NetworkPathChanged", "status"),
            (std::vector<std::string>{"satisfied", "unsatisfied"}));
}

TEST_F(ServiceBus, WrongSignaturesNeverReachTheService) {
  recorder_->WaitFor([&] { return Count("LogEmitted") >= 1; }, std::chrono::seconds(5));
  Drain();
  recorder_->Clear();
  struct Case {
    const char* method;
    GVariant* parameters;
  };
  const Case cases[] = {
      {"Initialize", g_variant_new("(s)", "extra")},
      {"Connect", g_variant_new("(s)", "not a dictionary")},
      {"Connect", nullptr},
      {"Disconnect", g_variant_new("(b)", TRUE)},
      {"GetConnectionSnapshot", g_variant_new("(i)", 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    std::string name;
    std::string message;
    EXPECT_EQ(Call(c.method, c.parameters, &name, &message), nullptr);
    EXPECT_EQ(name, "org.freedesktop.DBus.Error.InvalidArgs") << message;
  }
  // Initialize or Disconnect reaching the handler would have signalled.
  GVariant* reply = Call("GetConnectionSnapshot");
  if (reply) g_variant_unref(reply);
  Drain();
  EXPECT_TRUE(recorder_->entries.empty());

  std::string name;
  EXPECT_EQ(Call("Frobnicate", nullptr, &name), nullptr);
  EXPECT_EQ(name, "org.freedesktop.DBus.Error.UnknownMethod");
}

TEST_F(ServiceBus, PolkitDecidesWhoManagesTheVpn) {
  // Root is authorized.
  GVariant* reply = Call("RequestVpnPermission");
  ASSERT_NE(reply, nullptr);
  gboolean granted = FALSE;
  g_variant_get(reply, "(b)", &granted);
  g_variant_unref(reply);
  EXPECT_TRUE(granted);

  // An unprivileged caller is refused: a plain false for the question, and
  // NotAuthorized before anything else for every method that changes things.
  CommandResult ask = CallAsNobody("RequestVpnPermission");
  EXPECT_EQ(ask.status, 0) << ask.err;
  EXPECT_EQ(ask.out, "(false,)\n");
  const std::pair<const char*, const char*> guarded[] = {
      {"GenerateWireGuardKeyPair", ""},
      {"Connect", "\"{'id': <'x'>, 'protocol': <'bogus'>}\""},
      {"Connect", "\"{}\""},
      {"Disconnect", ""},
  };
  for (const auto& [method, args] : guarded) {
    SCOPED_TRACE(method);
    CommandResult refused = CallAsNobody(method, args);
    EXPECT_NE(refused.status, 0);
    EXPECT_NE(refused.err.find(std::string(linux_service::kErrorNotAuthorized) + ": " +
                               kNotAuthorizedMessage),
              std::string::npos)
        << refused.err;
  }
  GVariant* snapshot = TakeDict(Call("GetConnectionSnapshot"));
  EXPECT_EQ(DictString(snapshot, "stage"), "disconnected");
  if (snapshot) g_variant_unref(snapshot);

  // The same user, granted by the administrator's rule.
  ASSERT_EQ(Sh(std::string("mkdir -p /etc/polkit-1/rules.d && cat >") + kGrantRule + " <<'EOF'\n" +
               "polkit.addRule(function(action, subject) {\n"
               "  if (action.id == \"org.tessaryvpn.manage\" && subject.user == \"nobody\")\n"
               "    return polkit.Result.YES;\n"
               "});\nEOF")
                .status,
            0);
  EXPECT_TRUE(WaitUntil([] { return CallAsNobody("RequestVpnPermission").out == "(true,)\n"; },
                        std::chrono::seconds(15)));
  CommandResult disconnect = CallAsNobody("Disconnect");
  EXPECT_EQ(disconnect.status, 0) << disconnect.err;
  EXPECT_EQ(disconnect.out, "()\n");
  // Past authorization, Connect meets its own checks.
  CommandResult invalid = CallAsNobody("Connect", "\"{'id': <'x'>, 'protocol': <'bogus'>}\"");
  EXPECT_NE(invalid.err.find(linux_service::kErrorInvalidProfile), std::string::npos)
      << invalid.err;

  ASSERT_EQ(Sh(std::string("rm ") + kGrantRule).status, 0);
  EXPECT_TRUE(WaitUntil([] { return CallAsNobody("RequestVpnPermission").out == "(false,)\n"; },
                        std::chrono::seconds(15)));

  // polkitd gone and not to be started: that is said, never passed off as
  // a refusal, to root too.
  const std::string activation =
      "/usr/share/dbus-1/system-services/org.freedesktop.PolicyKit1.service";
  ASSERT_EQ(Sh("mv " + activation +
               " /run/sandbox/polkit.activation && gdbus call --system "
               "-d org.freedesktop.DBus -o /org/freedesktop/DBus "
               "-m org.freedesktop.DBus.ReloadConfig >/dev/null && "
               "kill $(gdbus call --system -d org.freedesktop.DBus -o /org/freedesktop/DBus "
               "-m org.freedesktop.DBus.GetConnectionUnixProcessID org.freedesktop.PolicyKit1 | "
               "sed -e 's/[^ ]* //' -e 's/[^0-9]//g')")
                .status,
            0);
  EXPECT_TRUE(WaitUntil(
      [] {
        return Sh("gdbus call --system -d org.freedesktop.DBus -o "
                  "/org/freedesktop/DBus -m org.freedesktop.DBus.NameHasOwner "
                  "org.freedesktop.PolicyKit1")
                   .out == "(false,)\n";
      },
      std::chrono::seconds(10)));
  for (const char* method : {"RequestVpnPermission", "Disconnect"}) {
    SCOPED_TRACE(method);
    std::string name;
    std::string message;
    EXPECT_EQ(Call(method, nullptr, &name, &message), nullptr);
    EXPECT_EQ(name, linux_service::kErrorAuthorizationUnavailable);
    EXPECT_EQ(message, "polkit could not be asked whether the caller may manage the VPN.");
  }
  ASSERT_EQ(Sh("mv /run/sandbox/polkit.activation " + activation +
               " && (/usr/lib/polkit-1/polkitd --no-debug >>/run/sandbox/polkitd.log 2>&1 &)")
                .status,
            0);
  EXPECT_TRUE(WaitUntil(
      [&] {
        GVariant* again = Call("RequestVpnPermission");
        if (again == nullptr) return false;
        g_variant_unref(again);
        return true;
      },
      std::chrono::seconds(15)));
}

TEST_F(ServiceBus, KeyPairComesFromTheRealWireGuardTools) {
  GVariant* pair = TakeDict(Call("GenerateWireGuardKeyPair"));
  ASSERT_NE(pair, nullptr);
  std::vector<std::string> keys;
  for (const auto& e : Entries(pair)) keys.push_back(e.key + ":" + e.type);
  EXPECT_EQ(keys, (std::vector<std::string>{"privateKey:s", "publicKey:s"}));
  const std::string privateKey = DictString(pair, "privateKey");
  const std::string publicKey = DictString(pair, "publicKey");
  g_variant_unref(pair);
  EXPECT_EQ(privateKey.size(), 44u);
  EXPECT_EQ(publicKey.size(), 44u);
  CommandResult derived = tessary::test::Run({"/usr/bin/wg", "pubkey"}, privateKey + "\n");
  ASSERT_EQ(derived.status, 0) << derived.err;
  EXPECT_EQ(derived.out, publicKey + "\n");

  // A second pair is a different pair.
  GVariant* again = TakeDict(Call("GenerateWireGuardKeyPair"));
  ASSERT_NE(again, nullptr);
  EXPECT_NE(DictString(again, "privateKey"), privateKey);
  g_variant_unref(again);

  // Without wg: the tools are reported missing, after authorization.
  ASSERT_EQ(Sh("mv /usr/bin/wg /run/sandbox/wg.moved").status, 0);
  std::string name;
  std::string message;
  EXPECT_EQ(Call("GenerateWireGuardKeyPair", nullptr, &name, &message), nullptr);
  EXPECT_EQ(name, linux_service::kErrorWireGuardUnavailable);
  EXPECT_EQ(message, "wireguard-tools is unavailable. Repair the TessaryVPN installation.");
  CommandResult nobody = CallAsNobody("GenerateWireGuardKeyPair");
  EXPECT_NE(nobody.err.find(linux_service::kErrorNotAuthorized), std::string::npos) << nobody.err;

  // A wg that fails: the step's failure is reported, never an empty pair.
  ASSERT_EQ(Sh("printf '#!/bin/sh\\nexit 3\\n' >/usr/bin/wg && chmod 755 /usr/bin/wg").status, 0);
  EXPECT_EQ(Call("GenerateWireGuardKeyPair", nullptr, &name, &message), nullptr);
  EXPECT_EQ(name, linux_service::kErrorWireGuardUnavailable);
  EXPECT_FALSE(message.empty());
  // A wg that succeeds without printing a key: refused, with no message.
  ASSERT_EQ(Sh("printf '#!/bin/sh\\nexit 0\\n' >/usr/bin/wg").status, 0);
  EXPECT_EQ(Call("GenerateWireGuardKeyPair", nullptr, &name, &message), nullptr);
  EXPECT_EQ(name, linux_service::kErrorWireGuardUnavailable);
  EXPECT_EQ(message, "");
  ASSERT_EQ(Sh("mv -f /run/sandbox/wg.moved /usr/bin/wg").status, 0);
}

TEST_F(ServiceBus, DisconnectWhenIdleEndsDisconnected) {
  recorder_->WaitFor([&] { return Count("LogEmitted") >= 1; }, std::chrono::seconds(5));
  Drain();
  recorder_->Clear();
  GVariant* reply = Call("Disconnect");
  ASSERT_NE(reply, nullptr);
  g_variant_unref(reply);
  ASSERT_TRUE(
      recorder_->WaitFor([&] { return recorder_->Strings("LogEmitted", "message").size() >= 1; },
                         std::chrono::seconds(10)));
  EXPECT_EQ(recorder_->Strings("SnapshotChanged", "stage"),
            (std::vector<std::string>{"disconnecting", "disconnected"}));
  EXPECT_EQ(recorder_->Strings("LogEmitted", "message"),
            (std::vector<std::string>{"VPN tunnel disconnected."}));
  EXPECT_EQ(recorder_->Strings("LogEmitted", "level"), (std::vector<std::string>{"info"}));
  GVariant* snapshot = TakeDict(Call("GetConnectionSnapshot"));
  EXPECT_EQ(Entries(snapshot).size(), 1u);
  EXPECT_EQ(DictString(snapshot, "stage"), "disconnected");
  if (snapshot) g_variant_unref(snapshot);
}

TEST_F(ServiceBus, ConnectChecksTheProfileFirst) {
  struct Case {
    const char* label;
    const char* profile;
  };
  // Every one of these is refused by validation, whatever else is true.
  const Case cases[] = {
      {"empty", "{}"},
      {"unknown protocol",
       "{'id': <'p1'>, 'protocol': <'carrier-pigeon'>, "
       "'rawConfig': <'x'>}"},
      {"wrong types count as absent",
       "{'id': <1>, 'protocol': <'wireGuard'>, "
       "'rawConfig': <'[Interface]'>}"},
      {"empty config", "{'id': <'p1'>, 'protocol': <'wireGuard'>, 'rawConfig': <''>}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::string name;
    std::string message;
    GVariant* profile =
        g_variant_parse(G_VARIANT_TYPE_VARDICT, c.profile, nullptr, nullptr, nullptr);
    ASSERT_NE(profile, nullptr);
    EXPECT_EQ(Call("Connect", g_variant_new("(@a{sv})", profile), &name, &message), nullptr);
    EXPECT_EQ(name, linux_service::kErrorInvalidProfile);
    EXPECT_FALSE(message.empty());
    EXPECT_EQ(message.back(), '.') << message;
  }
  GVariant* snapshot = TakeDict(Call("GetConnectionSnapshot"));
  EXPECT_EQ(DictString(snapshot, "stage"), "disconnected");
  if (snapshot) g_variant_unref(snapshot);
}

}  // namespace
}  // namespace tessary::test

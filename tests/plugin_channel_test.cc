// The plug-in as the desktop application sees it: registered with the
// embedder stand-in, driven over its channels, talking to the real installed
// service on the sandbox's private bus (or to no service at all).
#include <flutter_linux/flutter_linux.h>
#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "common/constants.h"
#include "plugin/linux_service_client.h"
#include "standin_host.h"
#include "tests/sandbox/sandbox_util.h"
#include "tunnel_bridge/tunnel_bridge_plugin.h"

namespace tessary::test {
namespace {

constexpr char kMethods[] = "tunnel_bridge";
constexpr char kSnapshots[] = "tunnel_bridge/snapshots";
constexpr char kLogs[] = "tunnel_bridge/logs";
constexpr char kNetworkPath[] = "tunnel_bridge/network_path";
constexpr char kActivationFile[] =
    "/usr/share/dbus-1/system-services/org.tessaryvpn.Service1.service";
constexpr int kWaitMs = 30000;

std::string Text(FlValue* value) {
  if (value == nullptr) return "(none)";
  g_autofree gchar* text = fl_value_to_string(value);
  return text;
}

std::vector<std::string> Keys(FlValue* map) {
  std::vector<std::string> keys;
  for (size_t i = 0; map != nullptr && i < fl_value_get_length(map); i++) {
    keys.push_back(fl_value_get_string(fl_value_get_map_key(map, i)));
  }
  return keys;
}

std::string String(FlValue* map, const char* key) {
  FlValue* value = fl_value_lookup_string(map, key);
  return value != nullptr && fl_value_get_type(value) == FL_VALUE_TYPE_STRING
             ? fl_value_get_string(value)
             : "(absent)";
}

// Lets the main context run for a while, so that anything the plug-in would
// send in that time is sent.
void Settle(int ms) {
  gint64 end = g_get_monotonic_time() + ms * 1000;
  standin::HostRunUntil([end] { return g_get_monotonic_time() >= end; }, ms + 1000);
}

// The activation file lets the bus try to start the service on a call; the
// sandbox has no systemd, so that attempt always fails.
void SetActivatable(bool activatable) {
  RequireSandbox();
  std::string disabled = std::string(kActivationFile) + ".off";
  if (activatable) {
    rename(disabled.c_str(), kActivationFile);
  } else {
    rename(kActivationFile, disabled.c_str());
  }
  ASSERT_EQ(access(kActivationFile, F_OK) == 0, activatable);
}

// Records the method calls the bus carries to the service, from a monitor
// connection, so a test sees exactly what the service receives (or would
// receive, when the bus refuses the call for want of an owner).
struct ServiceCallMonitor {
  GDBusConnection* bus = nullptr;
  guint filter = 0;
  bool active = false;
  std::mutex mutex;
  std::vector<std::pair<std::string, GVariant*>> calls;

  ServiceCallMonitor() {
    bus = NewSystemBus();
    if (bus == nullptr) return;
    filter = g_dbus_connection_add_filter(bus, Record, this, nullptr);
    const gchar* rules[] = {"type='method_call',interface='org.tessaryvpn.Service1'", nullptr};
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.Monitoring",
        "BecomeMonitor", g_variant_new("(^asu)", rules, 0u), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000,
        nullptr, &error);
    active = reply != nullptr;
    EXPECT_TRUE(active) << error->message;
  }
  ~ServiceCallMonitor() {
    if (bus != nullptr) {
      g_dbus_connection_remove_filter(bus, filter);
      g_dbus_connection_close_sync(bus, nullptr, nullptr);
      g_object_unref(bus);
    }
    for (auto& call : calls) {
      if (call.second != nullptr) g_variant_unref(call.second);
    }
  }
  static GDBusMessage* Record(GDBusConnection*, GDBusMessage* message, gboolean incoming,
                              gpointer user_data) {
    auto* self = static_cast<ServiceCallMonitor*>(user_data);
    if (incoming && g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_METHOD_CALL &&
        g_strcmp0(g_dbus_message_get_interface(message), linux_service::kInterfaceName) == 0) {
      GVariant* body = g_dbus_message_get_body(message);
      std::lock_guard<std::mutex> lock(self->mutex);
      self->calls.emplace_back(g_dbus_message_get_member(message),
                               body != nullptr ? g_variant_ref(body) : nullptr);
    }
    if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL) {
      return message;
    }
    // A monitor must never answer a call it sees (the bus drops a monitor
    // that sends anything), so GDBus does not get to handle it.
    g_object_unref(message);
    return nullptr;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls.size();
  }
  // "Member body" of call `index`.
  std::string Call(size_t index) {
    std::lock_guard<std::mutex> lock(mutex);
    if (index >= calls.size()) return "(none)";
    g_autofree gchar* text =
        calls[index].second != nullptr ? g_variant_print(calls[index].second, TRUE) : nullptr;
    return calls[index].first + " " + (text != nullptr ? text : "()");
  }
  std::vector<std::string> Members() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> members;
    for (auto& call : calls) members.push_back(call.first);
    return members;
  }
};

// Match rules the bus holds for this process's shared system bus
// connection, the one the plug-in's proxy lives on. A proxy subscribes to
// the name's owner changes and to the service's signals, and unsubscribes
// when it is finalized, so the count shows whether the proxy was released.
int MatchRules() {
  g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
  if (bus == nullptr) return -1;
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.Debug.Stats",
      "GetConnectionStats", g_variant_new("(s)", g_dbus_connection_get_unique_name(bus)),
      G_VARIANT_TYPE("(a{sv})"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
  if (reply == nullptr) return -1;
  g_autoptr(GVariant) stats = g_variant_get_child_value(reply, 0);
  guint32 rules = 0;
  if (!g_variant_lookup(stats, "MatchRules", "u", &rules)) return -1;
  return static_cast<int>(rules);
}

// Everything the plug-in made or took is gone once the engine has shut down
// and the last completions have run: its channels (which only its dispose
// lets go, so the plug-in itself is gone too), every method call and
// response, and its proxy.
void ExpectNothingLeftAlive(int rulesBefore) {
  EXPECT_EQ(standin::HostLiveObjects(), 0);
  // The bus shows connection statistics to root only.
  if (getuid() == 0) {
    EXPECT_EQ(MatchRules(), rulesBefore) << "the proxy is still subscribed";
  }
}

class PluginChannels : public ::testing::Test {
 protected:
  void SetUp() override {
    RequireSandbox();
    rulesBefore_ = MatchRules();
    ASSERT_GE(rulesBefore_, 0);
    host_ = standin::HostNew();
    tunnel_bridge_plugin_register_with_registrar(standin::HostRegistrar(host_));
  }
  void TearDown() override {
    StopServiceIfRunning();
    standin::HostFree(host_);
    // Completions still on their way release what they hold.
    Settle(200);
    ExpectNothingLeftAlive(rulesBefore_);
    SetActivatable(true);
  }

  // Invokes a method and runs the main loop until it is answered.
  FlMethodResponse* Call(const char* method, FlValue* args = nullptr) {
    int id = standin::HostInvoke(host_, kMethods, method, args);
    EXPECT_GT(id, 0);
    bool answered =
        standin::HostRunUntil([&] { return standin::HostResponse(host_, id) != nullptr; }, kWaitMs);
    EXPECT_TRUE(answered) << method << " was never answered";
    EXPECT_LE(standin::HostResponseCount(host_, id), 1) << method << " answered twice";
    return standin::HostResponse(host_, id);
  }

  FlValue* Success(const char* method, FlValue* args = nullptr) {
    FlMethodResponse* response = Call(method, args);
    if (!FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
      std::string why = "no answer";
      if (response != nullptr && FL_IS_METHOD_ERROR_RESPONSE(response)) {
        why = fl_method_error_response_get_message(FL_METHOD_ERROR_RESPONSE(response));
      }
      ADD_FAILURE() << method << " did not succeed: " << why;
      return nullptr;
    }
    return fl_method_success_response_get_result(FL_METHOD_SUCCESS_RESPONSE(response));
  }

  // The error code and message of a failed call, "code: message".
  std::string Failure(const char* method, FlValue* args = nullptr) {
    FlMethodResponse* response = Call(method, args);
    if (!FL_IS_METHOD_ERROR_RESPONSE(response)) {
      ADD_FAILURE() << method << " did not fail";
      return "";
    }
    FlMethodErrorResponse* error = FL_METHOD_ERROR_RESPONSE(response);
    return std::string(fl_method_error_response_get_code(error)) + ": " +
           fl_method_error_response_get_message(error);
  }

  void Listen(const char* channel) {
    int id = standin::HostListen(host_, channel);
    ASSERT_GT(id, 0);
    FlMethodResponse* response = standin::HostResponse(host_, id);
    ASSERT_TRUE(response != nullptr && FL_IS_METHOD_SUCCESS_RESPONSE(response)) << channel;
  }
  void Cancel(const char* channel) {
    int id = standin::HostCancel(host_, channel);
    ASSERT_GT(id, 0);
    ASSERT_TRUE(FL_IS_METHOD_SUCCESS_RESPONSE(standin::HostResponse(host_, id))) << channel;
  }
  size_t Events(const char* channel) { return standin::HostEventCount(host_, channel); }
  FlValue* Event(const char* channel, size_t index) {
    return standin::HostEvent(host_, channel, index);
  }
  // The index of the first snapshot event whose stage is not `stage`. The
  // service's arrival on the bus may be heard after a listen and fetch the
  // same snapshot again, so a story's first change is found this way.
  size_t FirstSnapshotNot(const char* stage) {
    size_t index = 0;
    while (index < Events(kSnapshots) && String(Event(kSnapshots, index), "stage") == stage) {
      ++index;
    }
    return index;
  }
  bool WaitForEvents(const char* channel, size_t count) {
    return standin::HostRunUntil([&] { return Events(channel) >= count; }, kWaitMs);
  }

  void StartRealService() {
    service_ = StartService();
    ASSERT_GT(service_, 0) << "the installed service did not come up";
  }
  void StopServiceIfRunning() {
    if (service_ > 0) {
      EXPECT_EQ(StopService(service_), 0);
    }
    service_ = -1;
  }

  standin::Host* host_ = nullptr;
  int service_ = -1;
  int rulesBefore_ = -1;
};

FlValue* ProfileArgs(FlValue* profile, FlValue* killSwitch) {
  FlValue* args = fl_value_new_map();
  if (profile != nullptr) fl_value_set_string(args, "profile", profile);
  if (killSwitch != nullptr) fl_value_set_string(args, "killSwitch", killSwitch);
  return args;
}

// ---- the service is not running --------------------------------------------

TEST_F(PluginChannels, ServiceMissingAndNotActivatable) {
  SetActivatable(false);
  // A fresh plug-in: its proxy is made while nobody owns the name.
  standin::HostFree(host_);
  host_ = standin::HostNew();
  tunnel_bridge_plugin_register_with_registrar(standin::HostRegistrar(host_));

  struct utsname name {};
  ASSERT_EQ(uname(&name), 0);
  EXPECT_EQ(Text(Success("getPlatformVersion")), std::string("Linux ") + name.version);
  FlValue* initialized = Success("initialize");
  ASSERT_NE(initialized, nullptr);
  EXPECT_EQ(fl_value_get_type(initialized), FL_VALUE_TYPE_NULL);
  EXPECT_EQ(Text(Success("getRuntimeInfo")),
            "{platformName: linux, summary: Linux bridge loaded; privileged TessaryVPN service "
            "unavailable, nativeBridgeReady: false}");
  EXPECT_EQ(Text(Success("getCapabilities")),
            "{supportsLifecycle: true, supportsTrafficStats: false, supportsSplitTunnel: false}");
  EXPECT_EQ(Text(Success("getConnectionSnapshot")),
            "{stage: error, lastError: TessaryVPN Linux service is unavailable. Repair the "
            "installation.}");
  FlValue* granted = Success("requestVpnPermission");
  ASSERT_NE(granted, nullptr);
  ASSERT_EQ(fl_value_get_type(granted), FL_VALUE_TYPE_BOOL);
  EXPECT_FALSE(fl_value_get_bool(granted));

  // The bus itself answers that nobody owns the name: a D-Bus error reply.
  const std::string refused =
      "linux_service_error: GDBus.Error:org.freedesktop.DBus.Error.ServiceUnknown: The name "
      "org.tessaryvpn.Service1 was not provided by any .service files";
  EXPECT_EQ(Failure("generateWireGuardKeyPair"), refused);
  g_autoptr(FlValue) profile = fl_value_new_map();
  fl_value_set_string_take(profile, "id", fl_value_new_string("p1"));
  g_autoptr(FlValue) args = ProfileArgs(profile, nullptr);
  EXPECT_EQ(Failure("connect", args), refused);
  EXPECT_EQ(Failure("disconnect"), refused);

  // No such methods.
  for (const char* method : {"getNetworkPath", "Connect", "", "getPlatformVersion "}) {
    EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(Call(method))) << method;
  }
}

TEST_F(PluginChannels, ServiceMissingButActivationFails) {
  // The plug-in was registered while nobody owned the name. Its proxy is
  // made without starting the service; each call lets the bus try, and the
  // bus's refusal is a D-Bus error reply.
  SetActivatable(true);
  const std::string refused = Failure("generateWireGuardKeyPair");
  EXPECT_EQ(refused.rfind("linux_service_error: GDBus.Error:org.freedesktop.DBus.Error.", 0), 0u)
      << refused;
  g_autoptr(FlValue) profile = fl_value_new_map();
  g_autoptr(FlValue) args = ProfileArgs(profile, nullptr);
  EXPECT_EQ(Failure("connect", args), refused);
  EXPECT_EQ(Failure("disconnect"), refused);
  // The read-only methods still answer with their fallbacks.
  EXPECT_EQ(String(Success("getConnectionSnapshot"), "stage"), "error");
  EXPECT_EQ(String(Success("getRuntimeInfo"), "platformName"), "linux");
  EXPECT_EQ(fl_value_get_type(Success("initialize")), FL_VALUE_TYPE_NULL);
  FlValue* granted = Success("requestVpnPermission");
  ASSERT_NE(granted, nullptr);
  EXPECT_FALSE(fl_value_get_bool(granted));

  // The event channels fall back too.
  Listen(kSnapshots);
  Listen(kNetworkPath);
  Listen(kLogs);
  ASSERT_TRUE(WaitForEvents(kSnapshots, 1));
  ASSERT_TRUE(WaitForEvents(kNetworkPath, 1));
  EXPECT_EQ(Text(Event(kSnapshots, 0)),
            "{stage: error, lastError: TessaryVPN Linux service is unavailable. Repair the "
            "installation.}");
  EXPECT_EQ(Text(Event(kNetworkPath, 0)),
            "{status: unknown, interfaceType: unknown, isReachable: false, isExpensive: false, "
            "isConstrained: false}");
  Settle(300);
  EXPECT_EQ(Events(kSnapshots), 1u);
  EXPECT_EQ(Events(kNetworkPath), 1u);
  EXPECT_EQ(Events(kLogs), 0u);

  // The service comes up later: the streams show its real state without
  // waiting for a signal of its own.
  StartRealService();
  ASSERT_TRUE(WaitForEvents(kSnapshots, 2)) << "the snapshot stays on the fallback";
  ASSERT_TRUE(WaitForEvents(kNetworkPath, 2)) << "the network path stays on the fallback";
  EXPECT_EQ(Text(Event(kSnapshots, 1)), "{stage: disconnected}");
  EXPECT_EQ(Keys(Event(kNetworkPath, 1)).size(), 6u);
}

TEST_F(PluginChannels, ConnectArgumentsAndTheDictionaryOnTheBus) {
  // The bus shows its monitors only what it delivers, so the service runs;
  // the profiles name no engine, so it refuses each one after reading it.
  StartRealService();
  ServiceCallMonitor monitor;
  ASSERT_TRUE(monitor.active);

  // Refused at once, without a service call.
  g_autoptr(FlValue) text = fl_value_new_string("profile");
  g_autoptr(FlValue) list = fl_value_new_list();
  g_autoptr(FlValue) text_profile = ProfileArgs(text, nullptr);
  g_autoptr(FlValue) list_profile = ProfileArgs(list, nullptr);
  g_autoptr(FlValue) no_profile = fl_value_new_map();
  fl_value_set_string_take(no_profile, "killSwitch", fl_value_new_bool(true));
  FlValue* invalid[] = {nullptr, text, text_profile, list_profile, no_profile};
  for (FlValue* args : invalid) {
    EXPECT_EQ(Failure("connect", args), "invalid_arguments: Missing VPN profile.") << Text(args);
  }

  // The profile's own "killSwitch" is replaced by the top-level one, false
  // when that is missing; the dictionary carries the conversion's types.
  g_autoptr(FlValue) profile = fl_value_new_map();
  fl_value_set_string_take(profile, "id", fl_value_new_string("p1"));
  fl_value_set_string_take(profile, "protocol", fl_value_new_string("no-such-engine"));
  fl_value_set_string_take(profile, "rawConfig",
                           fl_value_new_string("[Interface]\nPrivateKey = x\n"));
  fl_value_set_string_take(profile, "killSwitch", fl_value_new_bool(true));
  fl_value_set_string_take(profile, "port", fl_value_new_int(G_GINT64_CONSTANT(8589934593)));
  fl_value_set_string_take(profile, "ratio", fl_value_new_float(0.5));
  g_autoptr(FlValue) tags = fl_value_new_list();
  fl_value_append_take(tags, fl_value_new_string("a"));
  fl_value_append_take(tags, fl_value_new_int(1));
  fl_value_append_take(tags, fl_value_new_string("b"));
  fl_value_set_string(profile, "tags", tags);
  fl_value_set_string_take(profile, "nested", fl_value_new_map());
  fl_value_set_string_take(profile, "nothing", fl_value_new_null());
  g_autoptr(FlValue) inner_only = ProfileArgs(profile, nullptr);
  EXPECT_EQ(Failure("connect", inner_only).rfind("linux_service_error: GDBus.Error:", 0), 0u);

  g_autoptr(FlValue) bare = fl_value_new_map();
  fl_value_set_string_take(bare, "id", fl_value_new_string("p2"));
  g_autoptr(FlValue) on = fl_value_new_bool(true);
  g_autoptr(FlValue) top_level = ProfileArgs(bare, on);
  Call("connect", top_level);

  g_autoptr(FlValue) as_text = fl_value_new_string("true");
  g_autoptr(FlValue) text_switch = ProfileArgs(profile, as_text);
  Call("connect", text_switch);

  ASSERT_TRUE(standin::HostRunUntil([&] { return monitor.Count() >= 3; }, kWaitMs));
  Settle(200);
  ASSERT_EQ(monitor.Count(), 3u) << "the refused calls must not reach the bus";
  EXPECT_EQ(monitor.Call(0),
            "Connect ({'id': <'p1'>, 'protocol': <'no-such-engine'>, 'rawConfig': <'[Interface]\\n"
            "PrivateKey = x\\n'>, 'killSwitch': <false>, 'port': <int64 8589934593>, 'ratio': "
            "<0.5>, 'tags': <['a', 'b']>},)");
  EXPECT_EQ(monitor.Call(1), "Connect ({'id': <'p2'>, 'killSwitch': <true>},)");
  EXPECT_NE(monitor.Call(2).find("'killSwitch': <false>"), std::string::npos) << monitor.Call(2);

  // Methods answered by the plug-in itself never reach the service.
  Success("getCapabilities");
  Success("getPlatformVersion");
  Success("getLaunchAtStartup");
  Settle(200);
  EXPECT_EQ(monitor.Count(), 3u);
}

TEST_F(PluginChannels, ServiceAnswers) {
  StartRealService();
  ServiceCallMonitor monitor;

  FlValue* info = Success("getRuntimeInfo");
  EXPECT_EQ(Keys(info),
            (std::vector<std::string>{"platformName", "summary", "nativeBridgeReady",
                                      "singBoxRuntimeDetected", "xrayRuntimeDetected",
                                      "wireGuardRuntimeDetected", "openVpnRuntimeDetected"}));
  EXPECT_EQ(String(info, "platformName"), "linux");
  GDBusConnection* bus = NewSystemBus();
  ASSERT_NE(bus, nullptr);
  GVariant* direct = CallService(bus, "GetRuntimeInfo", nullptr);
  ASSERT_NE(direct, nullptr);
  GVariant* direct_dict = g_variant_get_child_value(direct, 0);
  EXPECT_EQ(String(info, "summary"), DictString(direct_dict, "summary"));
  g_variant_unref(direct_dict);
  g_variant_unref(direct);
  g_object_unref(bus);
  for (const char* key : {"nativeBridgeReady", "wireGuardRuntimeDetected"}) {
    FlValue* flag = fl_value_lookup_string(info, key);
    ASSERT_NE(flag, nullptr);
    EXPECT_EQ(fl_value_get_type(flag), FL_VALUE_TYPE_BOOL) << key;
  }

  EXPECT_EQ(Text(Success("getConnectionSnapshot")), "{stage: disconnected}");
  FlValue* granted = Success("requestVpnPermission");
  ASSERT_NE(granted, nullptr);
  ASSERT_EQ(fl_value_get_type(granted), FL_VALUE_TYPE_BOOL);
  EXPECT_TRUE(fl_value_get_bool(granted)) << "polkit authorizes root";
  EXPECT_EQ(fl_value_get_type(Success("initialize")), FL_VALUE_TYPE_NULL);

  FlValue* keys = Success("generateWireGuardKeyPair");
  ASSERT_EQ(Keys(keys), (std::vector<std::string>{"privateKey", "publicKey"}));
  std::string privateKey = String(keys, "privateKey");
  std::string publicKey = String(keys, "publicKey");
  EXPECT_EQ(privateKey.size(), 44u);
  EXPECT_EQ(publicKey.size(), 44u);
  CommandResult derived = test::Run({"/usr/bin/wg", "pubkey"}, privateKey + "\n");
  EXPECT_EQ(derived.out, publicKey + "\n");

  // The service's own refusal keeps GLib's prefix and the error's name.
  g_autoptr(FlValue) profile = fl_value_new_map();
  fl_value_set_string_take(profile, "id", fl_value_new_string("p1"));
  fl_value_set_string_take(profile, "protocol", fl_value_new_string("no-such-protocol"));
  g_autoptr(FlValue) args = ProfileArgs(profile, nullptr);
  std::string refused = Failure("connect", args);
  EXPECT_EQ(refused.rfind(std::string("linux_service_error: GDBus.Error:") +
                              linux_service::kErrorInvalidProfile + ": ",
                          0),
            0u)
      << refused;

  // An idle disconnect is accepted.
  EXPECT_EQ(fl_value_get_type(Success("disconnect")), FL_VALUE_TYPE_NULL);

  Success("getCapabilities");
  Settle(200);
  EXPECT_EQ(monitor.Members(),
            (std::vector<std::string>{"GetRuntimeInfo", "GetRuntimeInfo", "GetConnectionSnapshot",
                                      "RequestVpnPermission", "Initialize",
                                      "GenerateWireGuardKeyPair", "Connect", "Disconnect"}));
}

TEST_F(PluginChannels, EventChannelsFollowTheService) {
  StartRealService();
  Listen(kSnapshots);
  Listen(kNetworkPath);
  Listen(kLogs);
  ASSERT_TRUE(WaitForEvents(kSnapshots, 1));
  ASSERT_TRUE(WaitForEvents(kNetworkPath, 1));
  EXPECT_EQ(Text(Event(kSnapshots, 0)), "{stage: disconnected}");
  EXPECT_EQ(Keys(Event(kNetworkPath, 0)),
            (std::vector<std::string>{"status", "isReachable", "interfaceType", "isExpensive",
                                      "isConstrained", "timestampEpochMillis"}));
  Settle(200);
  EXPECT_EQ(Events(kLogs), 0u) << "the logs channel has no initial value";

  // A disconnect produces snapshots and a log entry, forwarded as they come.
  Success("disconnect");
  ASSERT_TRUE(WaitForEvents(kLogs, 1));
  ASSERT_TRUE(standin::HostRunUntil(
      [&] {
        return String(Event(kSnapshots, Events(kSnapshots) - 1), "stage") == "disconnected" &&
               FirstSnapshotNot("disconnected") + 1 < Events(kSnapshots);
      },
      kWaitMs));
  EXPECT_EQ(String(Event(kSnapshots, FirstSnapshotNot("disconnected")), "stage"), "disconnecting");
  FlValue* entry = Event(kLogs, 0);
  EXPECT_EQ(Keys(entry), (std::vector<std::string>{"level", "message", "timestamp"}));
  EXPECT_EQ(String(entry, "level"), "info");
  EXPECT_EQ(String(entry, "message"), "VPN tunnel disconnected.");
  FlValue* timestamp = fl_value_lookup_string(entry, "timestamp");
  ASSERT_NE(timestamp, nullptr);
  ASSERT_EQ(fl_value_get_type(timestamp), FL_VALUE_TYPE_INT);
  EXPECT_GT(fl_value_get_int(timestamp), G_GINT64_CONSTANT(1700000000000));

  // Initialize makes the service repeat its state as signals.
  size_t snapshots = Events(kSnapshots);
  size_t paths = Events(kNetworkPath);
  Success("initialize");
  ASSERT_TRUE(WaitForEvents(kSnapshots, snapshots + 1));
  ASSERT_TRUE(WaitForEvents(kNetworkPath, paths + 1));
  EXPECT_EQ(Text(Event(kSnapshots, snapshots)), "{stage: disconnected}");

  // Nothing is forwarded to a channel nobody listens to.
  Cancel(kSnapshots);
  Cancel(kLogs);
  snapshots = Events(kSnapshots);
  size_t logs = Events(kLogs);
  paths = Events(kNetworkPath);
  Success("disconnect");
  Success("initialize");
  ASSERT_TRUE(WaitForEvents(kNetworkPath, paths + 1));
  Settle(500);
  EXPECT_EQ(Events(kSnapshots), snapshots);
  EXPECT_EQ(Events(kLogs), logs);

  // The service goes away and comes back while the application listens.
  Listen(kSnapshots);
  ASSERT_TRUE(WaitForEvents(kSnapshots, snapshots + 1));
  Settle(200);
  snapshots = Events(kSnapshots);
  paths = Events(kNetworkPath);
  StopServiceIfRunning();
  const std::string snapshotFallback =
      "{stage: error, lastError: TessaryVPN Linux service is unavailable. Repair the "
      "installation.}";
  const std::string pathFallback =
      "{status: unknown, interfaceType: unknown, isReachable: false, isExpensive: false, "
      "isConstrained: false}";
  ASSERT_TRUE(standin::HostRunUntil(
      [&] {
        return Events(kSnapshots) > snapshots &&
               Text(Event(kSnapshots, Events(kSnapshots) - 1)) == snapshotFallback &&
               Events(kNetworkPath) > paths &&
               Text(Event(kNetworkPath, Events(kNetworkPath) - 1)) == pathFallback;
      },
      kWaitMs));
  EXPECT_EQ(Events(kNetworkPath), paths + 1);

  snapshots = Events(kSnapshots);
  paths = Events(kNetworkPath);
  StartRealService();
  ASSERT_TRUE(WaitForEvents(kSnapshots, snapshots + 1));
  ASSERT_TRUE(WaitForEvents(kNetworkPath, paths + 1));
  Settle(300);
  EXPECT_EQ(Text(Event(kSnapshots, Events(kSnapshots) - 1)), "{stage: disconnected}");
  EXPECT_EQ(Keys(Event(kNetworkPath, Events(kNetworkPath) - 1)).size(), 6u);
  EXPECT_EQ(Events(kLogs), logs) << "logs stay cancelled";
}

// The road of one connection as the application walks it: connect with a
// WireGuard profile (the real wg-quick, with wireguard-go, in the sandbox, to
// the server of tests/sandbox/peers), watch the snapshots and log entries,
// then disconnect.
TEST_F(PluginChannels, ConnectAndDisconnectAWireGuardTunnel) {
  const std::string peers =
      std::string(g_getenv("TESSARY_SOURCE_DIR")) + "/tests/sandbox/peers wireguard /run/sandbox";
  ASSERT_EQ(Sh(peers + " >/run/sandbox/peers.log 2>&1").status, 0)
      << Sh("cat /run/sandbox/peers.log").out;
  const std::string config = Sh("cat /run/sandbox/wireguard.conf").out;
  ASSERT_FALSE(config.empty());
  StartRealService();
  Listen(kSnapshots);
  Listen(kLogs);
  ASSERT_TRUE(WaitForEvents(kSnapshots, 1));
  g_autoptr(FlValue) profile = fl_value_new_map();
  fl_value_set_string_take(profile, "id", fl_value_new_string("home"));
  fl_value_set_string_take(profile, "protocol", fl_value_new_string("wireGuard"));
  fl_value_set_string_take(profile, "rawConfig", fl_value_new_string(config.c_str()));
  g_autoptr(FlValue) args = ProfileArgs(profile, nullptr);
  FlValue* connected = Success("connect", args);
  ASSERT_NE(connected, nullptr);
  EXPECT_EQ(fl_value_get_type(connected), FL_VALUE_TYPE_NULL);

  auto last_stage = [&] { return String(Event(kSnapshots, Events(kSnapshots) - 1), "stage"); };
  ASSERT_TRUE(standin::HostRunUntil(
      [&] { return last_stage() == "connected" || last_stage() == "error"; }, kWaitMs));
  FlValue* snapshot = Event(kSnapshots, Events(kSnapshots) - 1);
  ASSERT_EQ(String(snapshot, "stage"), "connected") << Text(snapshot);
  EXPECT_EQ(String(snapshot, "activeProfileId"), "home");
  FlValue* since = fl_value_lookup_string(snapshot, "connectedAtEpochMillis");
  ASSERT_NE(since, nullptr);
  ASSERT_EQ(fl_value_get_type(since), FL_VALUE_TYPE_INT);
  EXPECT_GT(fl_value_get_int(since), G_GINT64_CONSTANT(1700000000000));
  EXPECT_EQ(String(Event(kSnapshots, FirstSnapshotNot("disconnected")), "stage"), "preparing");
  EXPECT_EQ(String(Event(kLogs, 0), "message"), "Preparing WireGuard tunnel.");

  EXPECT_EQ(fl_value_get_type(Success("disconnect")), FL_VALUE_TYPE_NULL);
  ASSERT_TRUE(standin::HostRunUntil([&] { return last_stage() == "disconnected"; }, kWaitMs));
  // The log entry is a signal of its own and may arrive after the snapshot.
  auto last_log = [&] { return String(Event(kLogs, Events(kLogs) - 1), "message"); };
  EXPECT_TRUE(
      standin::HostRunUntil([&] { return last_log() == "VPN tunnel disconnected."; }, kWaitMs))
      << last_log();
  EXPECT_NE(Sh("test -e /sys/class/net/tessaryvpn").status, 0) << "the tunnel is gone";
}

// Cancel right after listen, before the initial fetch is answered: the
// answer must not reach the application. The network path is fetched after
// it on the same connection, so once that arrives the snapshot reply has
// been handled (and dropped).
void CancelDuringInitialFetch(standin::Host* host) {
  ASSERT_GT(standin::HostListen(host, kSnapshots), 0);
  ASSERT_GT(standin::HostCancel(host, kSnapshots), 0);
  ASSERT_GT(standin::HostListen(host, kNetworkPath), 0);
  ASSERT_TRUE(standin::HostRunUntil(
      [&] { return standin::HostEventCount(host, kNetworkPath) >= 1; }, kWaitMs));
  Settle(300);
  EXPECT_EQ(standin::HostEventCount(host, kSnapshots), 0u);
}

TEST_F(PluginChannels, CancelDuringInitialFetchWithoutService) {
  CancelDuringInitialFetch(host_);
  EXPECT_EQ(String(Event(kNetworkPath, 0), "status"), "unknown");
}

TEST_F(PluginChannels, CancelDuringInitialFetchWithService) {
  StartRealService();
  standin::HostFree(host_);
  host_ = standin::HostNew();
  tunnel_bridge_plugin_register_with_registrar(standin::HostRegistrar(host_));
  CancelDuringInitialFetch(host_);
  EXPECT_EQ(Keys(Event(kNetworkPath, 0)).size(), 6u);
}

// The service layer itself against the real service: proxy, owner test,
// calls, and the capabilities' protocol list.
TEST(ServiceClient, TalksToTheInstalledService) {
  RequireSandbox();
  int service = StartService();
  ASSERT_GT(service, 0);
  g_autoptr(GError) error = nullptr;
  g_autoptr(GDBusProxy) proxy = linux_service::CreateProxy(&error);
  ASSERT_NE(proxy, nullptr) << error->message;
  EXPECT_TRUE(linux_service::HasOwner(proxy));

  struct Done {
    GDBusProxy* proxy;
    GVariant* reply = nullptr;
    bool finished = false;
  };
  // The reply tuple's dictionary, or null when no reply came in time.
  auto call = [&proxy](const char* method) -> GVariant* {
    Done done{proxy};
    linux_service::CallAsync(
        proxy, method, nullptr,
        [](GObject*, GAsyncResult* result, gpointer data) {
          auto* d = static_cast<Done*>(data);
          d->reply = linux_service::CallFinish(d->proxy, result, nullptr);
          d->finished = true;
        },
        &done);
    if (!standin::HostRunUntil([&] { return done.finished; }, kWaitMs) || done.reply == nullptr) {
      return nullptr;
    }
    GVariant* dictionary = g_variant_get_child_value(done.reply, 0);
    g_variant_unref(done.reply);
    return dictionary;
  };

  g_autoptr(GVariant) dict = call("GetCapabilities");
  ASSERT_NE(dict, nullptr);
  g_autoptr(FlValue) capabilities = linux_service::DictToFlValue(dict);
  EXPECT_EQ(Text(capabilities),
            "{supportsLifecycle: true, supportsTrafficStats: false, supportsSplitTunnel: false, "
            "supportedProtocols: [singBox, vless, vmess, trojan, shadowsocks, hysteria2, tuic, "
            "quarn, xray-reality, xray, wireGuard, amneziawg, openVpn, openvpn-tcp, openvpn-udp]}");

  g_autoptr(GVariant) snapshot = call("GetConnectionSnapshot");
  ASSERT_NE(snapshot, nullptr);
  EXPECT_EQ(DictString(snapshot, "stage"), "disconnected");

  // The proxy notices the service leaving.
  EXPECT_EQ(StopService(service), 0);
  EXPECT_TRUE(standin::HostRunUntil([&] { return !linux_service::HasOwner(proxy); }, kWaitMs));
}

// polkit refuses an unprivileged caller. The checks run in a copy of this
// test re-executed as uid 65534; the parent owns the service.
TEST(PluginUnprivileged, KeyPairRefusedByPolkit) {
  if (g_getenv("TESSARY_PLUGIN_UNPRIVILEGED") == nullptr) {
    RequireSandbox();
    int service = StartService();
    ASSERT_GT(service, 0);
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
    CommandResult child =
        test::Run({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                   "/usr/bin/env", "TESSARY_PLUGIN_UNPRIVILEGED=1", self,
                   "--gtest_filter=PluginUnprivileged.KeyPairRefusedByPolkit"});
    EXPECT_EQ(child.status, 0) << child.out << child.err;
    EXPECT_NE(child.out.find("[  PASSED  ] 1 test"), std::string::npos) << child.out;
    EXPECT_EQ(StopService(service), 0);
    return;
  }
  ASSERT_EQ(getuid(), 65534u);
  int rulesBefore = MatchRules();
  standin::Host* host = standin::HostNew();
  tunnel_bridge_plugin_register_with_registrar(standin::HostRegistrar(host));
  auto call = [host](const char* method, FlValue* args) -> FlMethodResponse* {
    int id = standin::HostInvoke(host, kMethods, method, args);
    standin::HostRunUntil([&] { return standin::HostResponse(host, id) != nullptr; }, kWaitMs);
    return standin::HostResponse(host, id);
  };
  const std::string refused = std::string("GDBus.Error:") + linux_service::kErrorNotAuthorized +
                              ": Authorization to manage the VPN was denied.";
  FlMethodResponse* keys = call("generateWireGuardKeyPair", nullptr);
  ASSERT_TRUE(keys != nullptr && FL_IS_METHOD_ERROR_RESPONSE(keys));
  EXPECT_STREQ(fl_method_error_response_get_code(FL_METHOD_ERROR_RESPONSE(keys)),
               "linux_service_error");
  EXPECT_EQ(fl_method_error_response_get_message(FL_METHOD_ERROR_RESPONSE(keys)), refused);
  FlMethodResponse* disconnect = call("disconnect", nullptr);
  ASSERT_TRUE(disconnect != nullptr && FL_IS_METHOD_ERROR_RESPONSE(disconnect));
  EXPECT_EQ(fl_method_error_response_get_message(FL_METHOD_ERROR_RESPONSE(disconnect)), refused);
  // Asking is not refused: the answer is just "no".
  FlMethodResponse* permission = call("requestVpnPermission", nullptr);
  ASSERT_TRUE(permission != nullptr && FL_IS_METHOD_SUCCESS_RESPONSE(permission));
  FlValue* granted = fl_method_success_response_get_result(FL_METHOD_SUCCESS_RESPONSE(permission));
  ASSERT_EQ(fl_value_get_type(granted), FL_VALUE_TYPE_BOOL);
  EXPECT_FALSE(fl_value_get_bool(granted));
  standin::HostFree(host);
  Settle(200);
  ExpectNothingLeftAlive(rulesBefore);
}

}  // namespace
}  // namespace tessary::test

// TEST STAND-IN, not the TessaryVPN service: a tiny program that owns
// org.tessaryvpn.Service1 on the sandbox's bus and answers every method with
// fixed replies chosen on its command line, so that the control tool's
// printing, error stripping and diagnostics can be checked against replies
// the real service would only give in hard-to-reach states.
//
//   tessary-ctl-fake-service [--stage S] [--last-error TEXT] [--ready 0|1]
//       [--summary TEXT] [--permission 0|1] [--record FILE]
//       [--fail METHOD=ERROR_NAME:MESSAGE]...
//
// --record writes each Connect profile it receives to FILE as
// "key<TAB>type<TAB>value" lines in arrival order. It prints "ready" on
// standard output once it owns the name.
#include <gio/gio.h>
#include <glib-unix.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

constexpr char kIntrospection[] = R"(<node>
  <interface name="org.tessaryvpn.Service1">
    <method name="Initialize"/>
    <method name="GetRuntimeInfo"><arg name="runtime" type="a{sv}" direction="out"/></method>
    <method name="GetCapabilities"><arg name="capabilities" type="a{sv}" direction="out"/></method>
    <method name="GetConnectionSnapshot"><arg name="snapshot" type="a{sv}" direction="out"/></method>
    <method name="GetNetworkPath"><arg name="path" type="a{sv}" direction="out"/></method>
    <method name="RequestVpnPermission"><arg name="granted" type="b" direction="out"/></method>
    <method name="GenerateWireGuardKeyPair"><arg name="keyPair" type="a{sv}" direction="out"/></method>
    <method name="Connect"><arg name="profile" type="a{sv}" direction="in"/></method>
    <method name="Disconnect"/>
  </interface>
</node>)";

struct Settings {
  std::string stage = "disconnected";
  std::string lastError;
  bool ready = true;
  std::string summary = "Sing-box ready; Xray ready; WireGuard ready; OpenVPN ready";
  bool permission = true;
  std::string record;
  std::map<std::string, std::string> failures;  // method -> "Name:Message"
};

Settings g_settings;
GMainLoop* g_loop = nullptr;

GVariant* Dictionary(std::initializer_list<std::pair<const char*, GVariant*>> entries) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  for (const auto& entry : entries)
    g_variant_builder_add(&builder, "{sv}", entry.first, entry.second);
  return g_variant_builder_end(&builder);
}

void RecordProfile(GVariant* parameters) {
  if (g_settings.record.empty()) return;
  g_autoptr(GVariant) profile = g_variant_get_child_value(parameters, 0);
  std::string lines;
  GVariantIter iter;
  g_variant_iter_init(&iter, profile);
  const gchar* key = nullptr;
  GVariant* value = nullptr;
  while (g_variant_iter_next(&iter, "{&sv}", &key, &value)) {
    lines += std::string(key) + "\t" + g_variant_get_type_string(value) + "\t";
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) {
      lines += g_variant_get_string(value, nullptr);
    } else if (g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN)) {
      lines += g_variant_get_boolean(value) ? "true" : "false";
    }
    lines += "\n";
    g_variant_unref(value);
  }
  g_file_set_contents(g_settings.record.c_str(), lines.data(), lines.size(), nullptr);
}

void OnMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                  GVariant* parameters, GDBusMethodInvocation* invocation, gpointer) {
  const std::string name = method;
  auto failure = g_settings.failures.find(name);
  if (name == "Connect") RecordProfile(parameters);
  if (failure != g_settings.failures.end()) {
    const std::string& error = failure->second;
    const size_t colon = error.find(':');
    g_dbus_method_invocation_return_dbus_error(invocation, error.substr(0, colon).c_str(),
                                               error.substr(colon + 1).c_str());
    return;
  }
  GVariant* reply = nullptr;
  if (name == "GetRuntimeInfo") {
    reply = Dictionary({{"platformName", g_variant_new_string("linux")},
                        {"summary", g_variant_new_string(g_settings.summary.c_str())},
                        {"nativeBridgeReady", g_variant_new_boolean(g_settings.ready)}});
  } else if (name == "GetCapabilities") {
    const gchar* protocols[] = {"singBox", "wireGuard"};
    reply = Dictionary({{"supportsLifecycle", g_variant_new_boolean(TRUE)},
                        {"supportedProtocols", g_variant_new_strv(protocols, 2)}});
  } else if (name == "GetConnectionSnapshot") {
    if (g_settings.lastError.empty()) {
      reply = Dictionary({{"stage", g_variant_new_string(g_settings.stage.c_str())}});
    } else {
      reply = Dictionary({{"stage", g_variant_new_string(g_settings.stage.c_str())},
                          {"lastError", g_variant_new_string(g_settings.lastError.c_str())}});
    }
  } else if (name == "GetNetworkPath") {
    reply = Dictionary({{"status", g_variant_new_string("satisfied")},
                        {"timestampEpochMillis", g_variant_new_int64(1700000000123)}});
  } else if (name == "RequestVpnPermission") {
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", g_settings.permission));
    return;
  } else if (name == "GenerateWireGuardKeyPair") {
    reply = Dictionary({{"privateKey", g_variant_new_string("cHJpdmF0ZQ==")},
                        {"publicKey", g_variant_new_string("cHVibGlj")}});
  }
  g_dbus_method_invocation_return_value(
      invocation, reply != nullptr ? g_variant_new_tuple(&reply, 1) : nullptr);
}

const GDBusInterfaceVTable kVTable = {OnMethodCall, nullptr, nullptr, {}};

void OnBusAcquired(GDBusConnection* bus, const gchar*, gpointer) {
  g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  g_dbus_connection_register_object(bus, "/org/tessaryvpn/Service1", node->interfaces[0], &kVTable,
                                    nullptr, nullptr, nullptr);
}

void OnNameAcquired(GDBusConnection*, const gchar*, gpointer) {
  printf("ready\n");
  fflush(stdout);
}

void OnNameLost(GDBusConnection*, const gchar*, gpointer) { g_main_loop_quit(g_loop); }

gboolean OnTerminate(gpointer) {
  g_main_loop_quit(g_loop);
  return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const std::string value = argv[i + 1];
    if (option == "--stage")
      g_settings.stage = value;
    else if (option == "--last-error")
      g_settings.lastError = value;
    else if (option == "--ready")
      g_settings.ready = value == "1";
    else if (option == "--summary")
      g_settings.summary = value;
    else if (option == "--permission")
      g_settings.permission = value == "1";
    else if (option == "--record")
      g_settings.record = value;
    else if (option == "--fail") {
      const size_t equals = value.find('=');
      g_settings.failures[value.substr(0, equals)] = value.substr(equals + 1);
    }
  }
  g_loop = g_main_loop_new(nullptr, FALSE);
  g_unix_signal_add(15, OnTerminate, nullptr);
  const guint owner =
      g_bus_own_name(G_BUS_TYPE_SYSTEM, "org.tessaryvpn.Service1", G_BUS_NAME_OWNER_FLAGS_NONE,
                     OnBusAcquired, OnNameAcquired, OnNameLost, nullptr, nullptr);
  g_main_loop_run(g_loop);
  g_bus_unown_name(owner);
  g_main_loop_unref(g_loop);
  return 0;
}

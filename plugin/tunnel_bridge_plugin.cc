// Channels of the desktop plug-in: the "tunnel_bridge" method channel, the
// three event channels that stream the service's state, and the user's
// autostart entry. Everything runs on the application's main thread; the
// service is only ever called asynchronously so the UI never blocks on it.
#include "tunnel_bridge/tunnel_bridge_plugin.h"

#include <errno.h>
#include <glib/gstdio.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <string>

#include "common/constants.h"
#include "common/stage.h"
#include "plugin/linux_service_client.h"

namespace {

using tessary::linux_service::CallAsync;
using tessary::linux_service::CallFinish;
using tessary::linux_service::CreateProxy;
using tessary::linux_service::DictToFlValue;
using tessary::linux_service::FlMapToDict;
using tessary::linux_service::HasOwner;
using tessary::linux_service::kSignalLogEmitted;
using tessary::linux_service::kSignalNetworkPathChanged;
using tessary::linux_service::kSignalSnapshotChanged;
using tessary::linux_service::Stage;
using tessary::linux_service::StageName;

constexpr char kMethodChannel[] = "tunnel_bridge";
constexpr char kSnapshotsChannel[] = "tunnel_bridge/snapshots";
constexpr char kLogsChannel[] = "tunnel_bridge/logs";
constexpr char kNetworkPathChannel[] = "tunnel_bridge/network_path";

constexpr char kInvalidArguments[] = "invalid_arguments";
constexpr char kServiceError[] = "linux_service_error";
constexpr char kServiceUnavailable[] = "linux_service_unavailable";
constexpr char kLaunchAtStartupFailed[] = "launch_at_startup_failed";

constexpr char kServiceUnavailableMessage[] = "TessaryVPN Linux service is unavailable.";
constexpr char kSnapshotUnavailableMessage[] =
    "TessaryVPN Linux service is unavailable. Repair the installation.";
constexpr char kKeyGenerationFailed[] = "WireGuard key generation failed.";

}  // namespace

struct _TunnelBridgePlugin {
  GObject parent_instance;
  GDBusProxy* proxy;
  gulong signalHandler;
  gulong ownerHandler;
  FlEventChannel* snapshotsChannel;
  FlEventChannel* logsChannel;
  FlEventChannel* networkPathChannel;
  gint snapshotsListening;
  gint logsListening;
  gint networkPathListening;
};

G_DEFINE_TYPE(TunnelBridgePlugin, tunnel_bridge_plugin, G_TYPE_OBJECT)

namespace {

enum class AsyncResponseKind {
  kInitialize = 0,
  kRuntimeInfo = 1,
  kSnapshot = 2,
  kPermission = 3,
  kKeyPair = 4,
  kConnect = 5,
  kDisconnect = 6,
};

// One channel call forwarded to the service, owned by its completion.
struct PendingCall {
  FlMethodCall* call;
  GDBusProxy* proxy;  // the proxy the call went through, or null
  AsyncResponseKind kind;
};

// One initial fetch for an event channel, owned by its completion. It keeps
// the plug-in alive so the completion can look at the listen flags.
struct InitialEventRequest {
  TunnelBridgePlugin* plugin;
  GDBusProxy* proxy;
  bool networkPath;
};

void ensure_service_proxy(TunnelBridgePlugin* self);
void fetch_listened_values(TunnelBridgePlugin* self);

// ---- values ----------------------------------------------------------------

FlValue* ServiceUnavailableSnapshot() {
  FlValue* map = fl_value_new_map();
  fl_value_set_string_take(map, "stage", fl_value_new_string(StageName(Stage::kError)));
  fl_value_set_string_take(map, "lastError", fl_value_new_string(kSnapshotUnavailableMessage));
  return map;
}

FlValue* UnknownNetworkPath() {
  FlValue* map = fl_value_new_map();
  fl_value_set_string_take(map, "status", fl_value_new_string("unknown"));
  fl_value_set_string_take(map, "interfaceType", fl_value_new_string("unknown"));
  fl_value_set_string_take(map, "isReachable", fl_value_new_bool(false));
  fl_value_set_string_take(map, "isExpensive", fl_value_new_bool(false));
  fl_value_set_string_take(map, "isConstrained", fl_value_new_bool(false));
  return map;
}

FlValue* RuntimeInfoFallback() {
  FlValue* map = fl_value_new_map();
  fl_value_set_string_take(map, "platformName", fl_value_new_string("linux"));
  fl_value_set_string_take(
      map, "summary",
      fl_value_new_string("Linux bridge loaded; privileged TessaryVPN service unavailable"));
  fl_value_set_string_take(map, "nativeBridgeReady", fl_value_new_bool(false));
  return map;
}

FlValue* Capabilities() {
  FlValue* map = fl_value_new_map();
  fl_value_set_string_take(map, "supportsLifecycle", fl_value_new_bool(true));
  fl_value_set_string_take(map, "supportsTrafficStats", fl_value_new_bool(false));
  fl_value_set_string_take(map, "supportsSplitTunnel", fl_value_new_bool(false));
  return map;
}

// The single dictionary of a reply tuple as a map; an empty map for any
// other shape.
FlValue* ExtractDict(GVariant* reply) {
  if (reply == nullptr || !g_variant_is_of_type(reply, G_VARIANT_TYPE_TUPLE) ||
      g_variant_n_children(reply) != 1) {
    return fl_value_new_map();
  }
  g_autoptr(GVariant) element = g_variant_get_child_value(reply, 0);
  return DictToFlValue(element);
}

FlMethodResponse* get_platform_version() {
  struct utsname name {};
  std::string version = "Linux ";
  if (uname(&name) == 0) version += name.version;
  g_autoptr(FlValue) result = fl_value_new_string(version.c_str());
  return FL_METHOD_RESPONSE(fl_method_success_response_new(result));
}

FlMethodResponse* error_response(const char* code, const char* message) {
  return FL_METHOD_RESPONSE(fl_method_error_response_new(code, message, nullptr));
}

// What a failed call said, for a log line; some report no error at all.
const char* error_text(const GError* error) {
  return error != nullptr ? error->message : "unknown error";
}

FlMethodResponse* success_response(FlValue* value) {
  return FL_METHOD_RESPONSE(fl_method_success_response_new(value));
}

void send_response(FlMethodCall* call, FlMethodResponse* response) {
  g_autoptr(GError) error = nullptr;
  if (!fl_method_call_respond(call, response, &error)) {
    g_warning("Failed to send tunnel_bridge response: %s", error_text(error));
  }
}

void send_event(FlEventChannel* channel, FlValue* value) {
  g_autoptr(GError) error = nullptr;
  if (!fl_event_channel_send(channel, value, nullptr, &error)) {
    g_warning("Failed to send Linux VPN event: %s", error_text(error));
  }
}

// ---- launch at startup -----------------------------------------------------

// Empty when no path can be formed (no configuration or home directory).
std::string launch_at_startup_file_path() {
  const gchar* config = g_getenv("XDG_CONFIG_HOME");
  g_autofree gchar* config_dir = nullptr;
  // A relative value is no location at all (the XDG rules say to ignore
  // it); taking it would write the entry wherever the application runs.
  if (config != nullptr && config[0] != '\0' && g_path_is_absolute(config)) {
    config_dir = g_strdup(config);
  } else {
    const gchar* home = g_get_home_dir();
    if (home == nullptr || home[0] == '\0') return "";
    config_dir = g_build_filename(home, ".config", nullptr);
  }
  g_autofree gchar* path = g_build_filename(config_dir, "autostart", "tessaryvpn.desktop", nullptr);
  return path;
}

std::string escaped_desktop_value(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    switch (c) {
      case '\n':
      case '\r':
        out += "\\n";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        out += c;
    }
  }
  return out;
}

bool launch_at_startup_enabled() {
  std::string path = launch_at_startup_file_path();
  struct stat st {};
  // Any kind of file counts, a dangling symbolic link included.
  return !path.empty() && lstat(path.c_str(), &st) == 0;
}

FlMethodResponse* set_launch_at_startup(FlMethodCall* call) {
  FlValue* args = fl_method_call_get_args(call);
  FlValue* enabled = nullptr;
  if (args != nullptr && fl_value_get_type(args) == FL_VALUE_TYPE_MAP) {
    enabled = fl_value_lookup_string(args, "enabled");
  }
  if (enabled == nullptr || fl_value_get_type(enabled) != FL_VALUE_TYPE_BOOL) {
    return error_response(kInvalidArguments, "Missing enabled flag.");
  }
  std::string path = launch_at_startup_file_path();
  if (path.empty()) {
    return error_response(kLaunchAtStartupFailed, "Unable to resolve the XDG autostart path.");
  }

  if (!fl_value_get_bool(enabled)) {
    if (g_unlink(path.c_str()) != 0 && errno != ENOENT) {
      int saved = errno;
      g_autofree gchar* message =
          g_strdup_printf("Unable to remove startup registration: %s", g_strerror(saved));
      return error_response(kLaunchAtStartupFailed, message);
    }
    return success_response(nullptr);
  }

  char executable[4096] = {};
  ssize_t length = readlink("/proc/self/exe", executable, sizeof(executable) - 1);
  if (length <= 0) {
    return error_response(kLaunchAtStartupFailed,
                          "Unable to resolve the TessaryVPN executable path.");
  }
  executable[length] = '\0';

  g_autofree gchar* directory = g_path_get_dirname(path.c_str());
  if (g_mkdir_with_parents(directory, 0700) != 0) {
    int saved = errno;
    g_autofree gchar* message =
        g_strdup_printf("Unable to create XDG autostart directory: %s", g_strerror(saved));
    return error_response(kLaunchAtStartupFailed, message);
  }

  std::string content =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=TessaryVPN\n"
      "Comment=Open TessaryVPN when you sign in.\n"
      "Exec=\"" +
      escaped_desktop_value(executable) +
      "\" --startup\n"
      "Terminal=false\n"
      "X-GNOME-Autostart-enabled=true\n";
  // g_file_set_contents writes a temporary file beside the target and
  // renames it over, so a reader never sees half an entry.
  g_autoptr(GError) error = nullptr;
  if (!g_file_set_contents(path.c_str(), content.data(), static_cast<gssize>(content.size()),
                           &error)) {
    g_autofree gchar* message =
        g_strdup_printf("Unable to write startup registration: %s", error_text(error));
    return error_response(kLaunchAtStartupFailed, message);
  }
  return success_response(nullptr);
}

// ---- method channel --------------------------------------------------------

void service_call_finished(GObject*, GAsyncResult* result, gpointer user_data) {
  PendingCall* pending = static_cast<PendingCall*>(user_data);
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = CallFinish(pending->proxy, result, &error);
  g_autoptr(FlMethodResponse) response = nullptr;

  // The state-changing calls report failures; the read-only ones answer
  // with what the application shows when the service is missing.
  const char* default_message = kServiceUnavailableMessage;
  switch (pending->kind) {
    case AsyncResponseKind::kInitialize:
    case AsyncResponseKind::kConnect:
    case AsyncResponseKind::kDisconnect:
      if (reply != nullptr || pending->kind == AsyncResponseKind::kInitialize) {
        response = success_response(nullptr);
      }
      break;
    case AsyncResponseKind::kRuntimeInfo: {
      g_autoptr(FlValue) value = reply != nullptr ? ExtractDict(reply) : RuntimeInfoFallback();
      response = success_response(value);
      break;
    }
    case AsyncResponseKind::kSnapshot: {
      g_autoptr(FlValue) value =
          reply != nullptr ? ExtractDict(reply) : ServiceUnavailableSnapshot();
      response = success_response(value);
      break;
    }
    case AsyncResponseKind::kPermission: {
      gboolean granted = FALSE;
      if (reply != nullptr && g_variant_is_of_type(reply, G_VARIANT_TYPE("(b)"))) {
        g_variant_get(reply, "(b)", &granted);
      }
      g_autoptr(FlValue) value = fl_value_new_bool(granted != FALSE);
      response = success_response(value);
      break;
    }
    case AsyncResponseKind::kKeyPair:
      default_message = kKeyGenerationFailed;
      if (reply != nullptr) {
        g_autoptr(FlValue) value = ExtractDict(reply);
        response = success_response(value);
      }
      break;
  }
  if (response == nullptr) {
    // A reply over D-Bus (from the service, or from the bus when nobody owns
    // the name) is the service's word; anything local means it is out of
    // reach.
    bool remote = error != nullptr && g_dbus_error_is_remote_error(error);
    response = error_response(remote ? kServiceError : kServiceUnavailable,
                              error != nullptr ? error->message : default_message);
  }
  send_response(pending->call, response);

  g_object_unref(pending->call);
  g_clear_object(&pending->proxy);
  delete pending;
}

void call_service_async(TunnelBridgePlugin* self, FlMethodCall* call, const char* method,
                        GVariant* parameters, AsyncResponseKind kind) {
  const bool hadProxy = self->proxy != nullptr;
  ensure_service_proxy(self);
  // The streams got their fallbacks while there was no proxy, and a proxy
  // that finds the service already there hears no owner change.
  if (!hadProxy && HasOwner(self->proxy)) fetch_listened_values(self);
  PendingCall* pending = new PendingCall{
      FL_METHOD_CALL(g_object_ref(call)),
      self->proxy != nullptr ? G_DBUS_PROXY(g_object_ref(self->proxy)) : nullptr, kind};
  CallAsync(pending->proxy, method, parameters, service_call_finished, pending);
}

// The "profile" map of the arguments, or null.
FlValue* profile_from_call(FlMethodCall* call) {
  FlValue* args = fl_method_call_get_args(call);
  if (args == nullptr || fl_value_get_type(args) != FL_VALUE_TYPE_MAP) return nullptr;
  FlValue* profile = fl_value_lookup_string(args, "profile");
  if (profile == nullptr || fl_value_get_type(profile) != FL_VALUE_TYPE_MAP) return nullptr;
  return profile;
}

bool kill_switch_from_arguments(FlValue* args) {
  if (args == nullptr || fl_value_get_type(args) != FL_VALUE_TYPE_MAP) return false;
  FlValue* value = fl_value_lookup_string(args, "killSwitch");
  return value != nullptr && fl_value_get_type(value) == FL_VALUE_TYPE_BOOL &&
         fl_value_get_bool(value);
}

void method_call_cb(FlMethodChannel*, FlMethodCall* call, gpointer user_data) {
  TunnelBridgePlugin* self = TUNNEL_BRIDGE_PLUGIN(user_data);
  const gchar* method = fl_method_call_get_name(call);
  g_autoptr(FlMethodResponse) response = nullptr;

  if (g_strcmp0(method, "getPlatformVersion") == 0) {
    response = get_platform_version();
  } else if (g_strcmp0(method, "initialize") == 0) {
    call_service_async(self, call, "Initialize", nullptr, AsyncResponseKind::kInitialize);
  } else if (g_strcmp0(method, "getRuntimeInfo") == 0) {
    call_service_async(self, call, "GetRuntimeInfo", nullptr, AsyncResponseKind::kRuntimeInfo);
  } else if (g_strcmp0(method, "getCapabilities") == 0) {
    g_autoptr(FlValue) value = Capabilities();
    response = success_response(value);
  } else if (g_strcmp0(method, "getConnectionSnapshot") == 0) {
    call_service_async(self, call, "GetConnectionSnapshot", nullptr, AsyncResponseKind::kSnapshot);
  } else if (g_strcmp0(method, "requestVpnPermission") == 0) {
    call_service_async(self, call, "RequestVpnPermission", nullptr, AsyncResponseKind::kPermission);
  } else if (g_strcmp0(method, "generateWireGuardKeyPair") == 0) {
    call_service_async(self, call, "GenerateWireGuardKeyPair", nullptr,
                       AsyncResponseKind::kKeyPair);
  } else if (g_strcmp0(method, "connect") == 0) {
    FlValue* profile = profile_from_call(call);
    if (profile == nullptr) {
      response = error_response(kInvalidArguments, "Missing VPN profile.");
    } else {
      // The switch at the top level is the application's current choice; it
      // wins over whatever the stored profile carries. The map belongs to
      // the call, so the change is made on a copy.
      g_autoptr(FlValue) request = fl_value_new_map();
      for (size_t i = 0; i < fl_value_get_length(profile); i++) {
        fl_value_set(request, fl_value_get_map_key(profile, i), fl_value_get_map_value(profile, i));
      }
      fl_value_set_string_take(
          request, "killSwitch",
          fl_value_new_bool(kill_switch_from_arguments(fl_method_call_get_args(call))));
      g_autoptr(GVariant) dictionary = FlMapToDict(request);
      call_service_async(self, call, "Connect", g_variant_new_tuple(&dictionary, 1),
                         AsyncResponseKind::kConnect);
    }
  } else if (g_strcmp0(method, "disconnect") == 0) {
    call_service_async(self, call, "Disconnect", nullptr, AsyncResponseKind::kDisconnect);
  } else if (g_strcmp0(method, "getLaunchAtStartup") == 0) {
    g_autoptr(FlValue) value = fl_value_new_bool(launch_at_startup_enabled());
    response = success_response(value);
  } else if (g_strcmp0(method, "setLaunchAtStartup") == 0) {
    response = set_launch_at_startup(call);
  } else {
    response = FL_METHOD_RESPONSE(fl_method_not_implemented_response_new());
  }

  if (response != nullptr) send_response(call, response);
}

// ---- event channels --------------------------------------------------------

void initial_event_finished(GObject*, GAsyncResult* result, gpointer user_data) {
  InitialEventRequest* request = static_cast<InitialEventRequest*>(user_data);
  TunnelBridgePlugin* self = request->plugin;
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = CallFinish(request->proxy, result, &error);

  // A cancel while the call was on its way means nobody wants the answer.
  bool listening =
      request->networkPath ? self->networkPathListening != 0 : self->snapshotsListening != 0;
  FlEventChannel* channel =
      request->networkPath ? self->networkPathChannel : self->snapshotsChannel;
  if (listening && channel != nullptr) {
    g_autoptr(FlValue) value =
        reply != nullptr
            ? ExtractDict(reply)
            : (request->networkPath ? UnknownNetworkPath() : ServiceUnavailableSnapshot());
    send_event(channel, value);
  }

  g_object_unref(request->plugin);
  g_clear_object(&request->proxy);
  delete request;
}

void fetch_initial_event(TunnelBridgePlugin* self, bool networkPath) {
  InitialEventRequest* request = new InitialEventRequest{
      TUNNEL_BRIDGE_PLUGIN(g_object_ref(self)),
      self->proxy != nullptr ? G_DBUS_PROXY(g_object_ref(self->proxy)) : nullptr, networkPath};
  CallAsync(request->proxy, networkPath ? "GetNetworkPath" : "GetConnectionSnapshot", nullptr,
            initial_event_finished, request);
}

void service_signal_cb(GDBusProxy*, const gchar*, const gchar* signal_name, GVariant* parameters,
                       gpointer user_data) {
  TunnelBridgePlugin* self = TUNNEL_BRIDGE_PLUGIN(user_data);
  if (parameters == nullptr || !g_variant_is_of_type(parameters, G_VARIANT_TYPE_TUPLE) ||
      g_variant_n_children(parameters) != 1) {
    return;
  }
  FlEventChannel* channel = nullptr;
  if (g_strcmp0(signal_name, kSignalSnapshotChanged) == 0 && self->snapshotsListening) {
    channel = self->snapshotsChannel;
  } else if (g_strcmp0(signal_name, kSignalLogEmitted) == 0 && self->logsListening) {
    channel = self->logsChannel;
  } else if (g_strcmp0(signal_name, kSignalNetworkPathChanged) == 0 && self->networkPathListening) {
    channel = self->networkPathChannel;
  }
  if (channel == nullptr) return;
  g_autoptr(FlValue) value = ExtractDict(parameters);
  send_event(channel, value);
}

void fetch_listened_values(TunnelBridgePlugin* self) {
  if (self->snapshotsListening) {
    ensure_service_proxy(self);
    fetch_initial_event(self, false);
  }
  if (self->networkPathListening) {
    ensure_service_proxy(self);
    fetch_initial_event(self, true);
  }
}

void owner_changed_cb(GObject*, GParamSpec*, gpointer user_data) {
  TunnelBridgePlugin* self = TUNNEL_BRIDGE_PLUGIN(user_data);
  if (HasOwner(self->proxy)) {
    // The service (re)started: its state may be anything now.
    fetch_listened_values(self);
    return;
  }
  if (self->snapshotsListening) {
    g_autoptr(FlValue) value = ServiceUnavailableSnapshot();
    send_event(self->snapshotsChannel, value);
  }
  if (self->networkPathListening) {
    g_autoptr(FlValue) value = UnknownNetworkPath();
    send_event(self->networkPathChannel, value);
  }
}

void ensure_service_proxy(TunnelBridgePlugin* self) {
  // Once made, the proxy follows the name's owner across service restarts
  // by itself; only a failed creation is retried.
  if (self->proxy != nullptr) return;
  g_autoptr(GError) error = nullptr;
  self->proxy = CreateProxy(&error);
  if (self->proxy == nullptr) {
    g_warning("Unable to create TessaryVPN Linux service proxy: %s", error_text(error));
    return;
  }
  self->signalHandler =
      g_signal_connect(self->proxy, "g-signal", G_CALLBACK(service_signal_cb), self);
  self->ownerHandler =
      g_signal_connect(self->proxy, "notify::g-name-owner", G_CALLBACK(owner_changed_cb), self);
}

FlMethodErrorResponse* snapshot_listen_cb(FlEventChannel*, FlValue*, gpointer user_data) {
  TunnelBridgePlugin* self = TUNNEL_BRIDGE_PLUGIN(user_data);
  self->snapshotsListening = TRUE;
  ensure_service_proxy(self);
  fetch_initial_event(self, false);
  return nullptr;
}

FlMethodErrorResponse* snapshot_cancel_cb(FlEventChannel*, FlValue*, gpointer user_data) {
  TUNNEL_BRIDGE_PLUGIN(user_data)->snapshotsListening = FALSE;
  return nullptr;
}

FlMethodErrorResponse* log_listen_cb(FlEventChannel*, FlValue*, gpointer user_data) {
  TUNNEL_BRIDGE_PLUGIN(user_data)->logsListening = TRUE;
  return nullptr;
}

FlMethodErrorResponse* log_cancel_cb(FlEventChannel*, FlValue*, gpointer user_data) {
  TUNNEL_BRIDGE_PLUGIN(user_data)->logsListening = FALSE;
  return nullptr;
}

FlMethodErrorResponse* network_path_listen_cb(FlEventChannel*, FlValue*, gpointer user_data) {
  TunnelBridgePlugin* self = TUNNEL_BRIDGE_PLUGIN(user_data);
  self->networkPathListening = TRUE;
  ensure_service_proxy(self);
  fetch_initial_event(self, true);
  return nullptr;
}

FlMethodErrorResponse* network_path_cancel_cb(FlEventChannel*, FlValue*, gpointer user_data) {
  TUNNEL_BRIDGE_PLUGIN(user_data)->networkPathListening = FALSE;
  return nullptr;
}

// The event channels outlive the plug-in inside the engine until it closes
// them; their handlers must not keep pointing at a dead plug-in.
void release_event_channel(FlEventChannel** channel) {
  if (*channel == nullptr) return;
  fl_event_channel_set_stream_handlers(*channel, nullptr, nullptr, nullptr, nullptr);
  g_clear_object(channel);
}

}  // namespace

static void tunnel_bridge_plugin_dispose(GObject* object) {
  TunnelBridgePlugin* self = TUNNEL_BRIDGE_PLUGIN(object);
  if (self->proxy != nullptr) {
    if (self->signalHandler != 0) g_signal_handler_disconnect(self->proxy, self->signalHandler);
    if (self->ownerHandler != 0) g_signal_handler_disconnect(self->proxy, self->ownerHandler);
  }
  self->signalHandler = 0;
  self->ownerHandler = 0;
  g_clear_object(&self->proxy);
  release_event_channel(&self->snapshotsChannel);
  release_event_channel(&self->logsChannel);
  release_event_channel(&self->networkPathChannel);
  G_OBJECT_CLASS(tunnel_bridge_plugin_parent_class)->dispose(object);
}

static void tunnel_bridge_plugin_class_init(TunnelBridgePluginClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = tunnel_bridge_plugin_dispose;
}

static void tunnel_bridge_plugin_init(TunnelBridgePlugin*) {}

void tunnel_bridge_plugin_register_with_registrar(FlPluginRegistrar* registrar) {
  TunnelBridgePlugin* plugin =
      TUNNEL_BRIDGE_PLUGIN(g_object_new(tunnel_bridge_plugin_get_type(), nullptr));
  FlBinaryMessenger* messenger = fl_plugin_registrar_get_messenger(registrar);
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();

  g_autoptr(FlMethodChannel) channel =
      fl_method_channel_new(messenger, kMethodChannel, FL_METHOD_CODEC(codec));
  // The channel's handler holds the plug-in; the engine drops it together
  // with the handler when it closes the channel.
  fl_method_channel_set_method_call_handler(channel, method_call_cb, g_object_ref(plugin),
                                            g_object_unref);

  plugin->snapshotsChannel =
      fl_event_channel_new(messenger, kSnapshotsChannel, FL_METHOD_CODEC(codec));
  fl_event_channel_set_stream_handlers(plugin->snapshotsChannel, snapshot_listen_cb,
                                       snapshot_cancel_cb, plugin, nullptr);
  plugin->logsChannel = fl_event_channel_new(messenger, kLogsChannel, FL_METHOD_CODEC(codec));
  fl_event_channel_set_stream_handlers(plugin->logsChannel, log_listen_cb, log_cancel_cb, plugin,
                                       nullptr);
  plugin->networkPathChannel =
      fl_event_channel_new(messenger, kNetworkPathChannel, FL_METHOD_CODEC(codec));
  fl_event_channel_set_stream_handlers(plugin->networkPathChannel, network_path_listen_cb,
                                       network_path_cancel_cb, plugin, nullptr);

  ensure_service_proxy(plugin);
  g_object_unref(plugin);
}

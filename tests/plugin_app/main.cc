// The application's runner, reduced to plug-in registration: the engine's
// view (here a registry over the embedder stand-in) hands each plug-in its
// registrar through the generated registrant, then Dart calls a channel.
#include <flutter_linux/flutter_linux.h>

#include <cstdio>
#include <initializer_list>

#include "flutter/generated_plugin_registrant.h"
#include "standin_host.h"

G_DECLARE_FINAL_TYPE(AppRegistry, app_registry, APP, REGISTRY, GObject)
struct _AppRegistry {
  GObject parent_instance;
  standin::Host* host;
  int lookups;
};
static void app_registry_iface_init(FlPluginRegistryInterface* iface);
G_DEFINE_TYPE_WITH_CODE(AppRegistry, app_registry, G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(fl_plugin_registry_get_type(),
                                              app_registry_iface_init))
static void app_registry_class_init(AppRegistryClass*) {}
static void app_registry_init(AppRegistry*) {}
static FlPluginRegistrar* get_registrar_for_plugin(FlPluginRegistry* registry, const gchar* name) {
  AppRegistry* self = APP_REGISTRY(registry);
  if (g_strcmp0(name, "TunnelBridgePlugin") == 0) self->lookups++;
  return FL_PLUGIN_REGISTRAR(g_object_ref(standin::HostRegistrar(self->host)));
}
static void app_registry_iface_init(FlPluginRegistryInterface* iface) {
  iface->get_registrar_for_plugin = get_registrar_for_plugin;
}

int main() {
  standin::Host* host = standin::HostNew();
  AppRegistry* registry = APP_REGISTRY(g_object_new(app_registry_get_type(), nullptr));
  registry->host = host;
  fl_register_plugins(FL_PLUGIN_REGISTRY(registry));

  int failures = 0;
  auto expect = [&failures](bool held, const char* what) {
    std::printf("%s: %s\n", held ? "ok" : "FAILED", what);
    if (!held) failures++;
  };
  expect(registry->lookups == 1, "the registrant asked for the registrar of TunnelBridgePlugin");
  for (const char* channel : {"tunnel_bridge", "tunnel_bridge/snapshots", "tunnel_bridge/logs",
                              "tunnel_bridge/network_path"}) {
    expect(standin::HostHasHandler(host, channel), channel);
  }
  int id = standin::HostInvoke(host, "tunnel_bridge", "noSuchMethod", nullptr);
  bool answered = id >= 0 && standin::HostRunUntil(
                                 [&] { return standin::HostResponse(host, id) != nullptr; }, 5000);
  expect(answered && FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(standin::HostResponse(host, id)),
         "an unknown method is answered as not implemented");

  g_object_unref(registry);
  standin::HostFree(host);
  return failures == 0 ? 0 : 1;
}

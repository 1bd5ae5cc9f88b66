// The desktop application's bridge to the TessaryVPN service. The application
// calls tunnel_bridge_plugin_register_with_registrar once; everything else
// happens over the "tunnel_bridge" method channel and its event channels.
#pragma once

#include <flutter_linux/flutter_linux.h>

G_BEGIN_DECLS

#ifdef FLUTTER_PLUGIN_IMPL
#define FLUTTER_PLUGIN_EXPORT __attribute__((visibility("default")))
#else
#define FLUTTER_PLUGIN_EXPORT
#endif

G_DECLARE_FINAL_TYPE(TunnelBridgePlugin, tunnel_bridge_plugin, TUNNEL_BRIDGE, PLUGIN, GObject)

FLUTTER_PLUGIN_EXPORT void tunnel_bridge_plugin_register_with_registrar(
    FlPluginRegistrar* registrar);

G_END_DECLS

// The least a GDBus service on the system bus does to answer the snapshot
// call: it owns a name, exports one object with one method and replies with
// the disconnected snapshot, a one-entry a{sv}, from the main loop. No
// authorization, no state, no threads. service_bench calls it and the
// service in turn, so the ratio of the two is what the service adds to a
// bus round trip. Stops on SIGTERM; exits 1 when the name is lost or cannot
// be had.
#include <gio/gio.h>
#include <glib-unix.h>

#include <cstdio>

namespace {

constexpr char kIntrospection[] =
    "<node>"
    "  <interface name='org.tessaryvpn.Service1'>"
    "    <method name='GetConnectionSnapshot'>"
    "      <arg type='a{sv}' name='snapshot' direction='out'/>"
    "    </method>"
    "  </interface>"
    "</node>";

struct Context {
  GMainLoop* loop = nullptr;
  GDBusNodeInfo* node = nullptr;
  int status = 0;
};

void HandleCall(GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*,
                GDBusMethodInvocation* invocation, gpointer) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&builder, "{sv}", "stage", g_variant_new_string("disconnected"));
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(a{sv})", &builder));
}

const GDBusInterfaceVTable kVTable = {HandleCall, nullptr, nullptr, {}};

void BusAcquired(GDBusConnection* bus, const char*, gpointer data) {
  auto* context = static_cast<Context*>(data);
  g_autoptr(GError) error = nullptr;
  if (g_dbus_connection_register_object(bus, "/org/tessaryvpn/Service1",
                                        context->node->interfaces[0], &kVTable, context, nullptr,
                                        &error) == 0) {
    fprintf(stderr, "least_bus_service: %s\n", error->message);
    context->status = 1;
    g_main_loop_quit(context->loop);
  }
}

void NameLost(GDBusConnection*, const char*, gpointer data) {
  auto* context = static_cast<Context*>(data);
  fprintf(stderr, "least_bus_service: the bus name is not ours.\n");
  context->status = 1;
  g_main_loop_quit(context->loop);
}

gboolean Terminate(gpointer data) {
  g_main_loop_quit(static_cast<Context*>(data)->loop);
  return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: least_bus_service BUS_NAME\n");
    return 2;
  }
  Context context;
  context.loop = g_main_loop_new(nullptr, FALSE);
  context.node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  g_unix_signal_add(SIGTERM, Terminate, &context);
  const guint owner = g_bus_own_name(G_BUS_TYPE_SYSTEM, argv[1], G_BUS_NAME_OWNER_FLAGS_NONE,
                                     BusAcquired, nullptr, NameLost, &context, nullptr);
  g_main_loop_run(context.loop);
  g_bus_unown_name(owner);
  g_dbus_node_info_unref(context.node);
  g_main_loop_unref(context.loop);
  return context.status;
}

#include "plugin/linux_service_client.h"

#include "common/constants.h"

namespace tessary::linux_service {
namespace {

constexpr int kAsyncCallTimeoutMs = 120000;
constexpr char kProxyUnavailable[] = "TessaryVPN Linux service proxy is unavailable.";

GError* ProxyUnavailableError() {
  return g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_CONNECTED, kProxyUnavailable);
}

// Releases parameters the way a proxy call would have: a floating reference
// is consumed, a strong one stays with the caller.
void DropParameters(GVariant* parameters) {
  if (parameters != nullptr) g_variant_unref(g_variant_ref_sink(parameters));
}

// GVariant only takes valid UTF-8; an FlValue string is not checked by
// everyone who builds one, so it is tested here rather than trusted.
bool IsText(FlValue* value) {
  return fl_value_get_type(value) == FL_VALUE_TYPE_STRING &&
         g_utf8_validate(fl_value_get_string(value), -1, nullptr);
}

// The dictionary entry for `value`, or null when its type has no place in a
// service dictionary.
GVariant* EntryValue(FlValue* value) {
  switch (fl_value_get_type(value)) {
    case FL_VALUE_TYPE_BOOL:
      return g_variant_new_boolean(fl_value_get_bool(value));
    case FL_VALUE_TYPE_INT:
      return g_variant_new_int64(fl_value_get_int(value));
    case FL_VALUE_TYPE_FLOAT:
      return g_variant_new_double(fl_value_get_float(value));
    case FL_VALUE_TYPE_STRING:
      return IsText(value) ? g_variant_new_string(fl_value_get_string(value)) : nullptr;
    case FL_VALUE_TYPE_LIST: {
      GVariantBuilder strings;
      g_variant_builder_init(&strings, G_VARIANT_TYPE_STRING_ARRAY);
      for (size_t i = 0; i < fl_value_get_length(value); i++) {
        FlValue* element = fl_value_get_list_value(value, i);
        if (IsText(element)) g_variant_builder_add(&strings, "s", fl_value_get_string(element));
      }
      return g_variant_builder_end(&strings);
    }
    default:
      // Null, maps, typed lists and custom values have no place in a
      // service dictionary (the set of value types differs between
      // embedder releases, hence no exhaustive list).
      return nullptr;
  }
}

}  // namespace

GDBusProxy* CreateProxy(GError** error) {
  // No interface description and no properties (the interface has none);
  // signals are wanted. Making the proxy never starts the service: a failed
  // start would fail the construction, and without a proxy nobody would see
  // the service appear later. Calls still let the bus start it on demand.
  return g_dbus_proxy_new_for_bus_sync(
      G_BUS_TYPE_SYSTEM,
      static_cast<GDBusProxyFlags>(G_DBUS_PROXY_FLAGS_DO_NOT_LOAD_PROPERTIES |
                                   G_DBUS_PROXY_FLAGS_DO_NOT_AUTO_START_AT_CONSTRUCTION),
      nullptr, kBusName, kObjectPath, kInterfaceName, nullptr, error);
}

bool HasOwner(GDBusProxy* proxy) {
  if (proxy == nullptr) return false;
  g_autofree gchar* owner = g_dbus_proxy_get_name_owner(proxy);
  return owner != nullptr && owner[0] != '\0';
}

void CallAsync(GDBusProxy* proxy, const char* method, GVariant* parameters,
               GAsyncReadyCallback callback, gpointer user_data) {
  if (proxy == nullptr) {
    DropParameters(parameters);
    // A task returned in the iteration that made it completes from an idle
    // source, so the callback never runs inside this call.
    g_autoptr(GTask) task = g_task_new(nullptr, nullptr, callback, user_data);
    g_task_set_source_tag(task, reinterpret_cast<gpointer>(CallAsync));
    g_task_return_error(task, ProxyUnavailableError());
    return;
  }
  g_dbus_proxy_call(proxy, method, parameters, G_DBUS_CALL_FLAGS_NONE, kAsyncCallTimeoutMs, nullptr,
                    callback, user_data);
}

GVariant* CallFinish(GDBusProxy* proxy, GAsyncResult* result, GError** error) {
  if (proxy != nullptr) return g_dbus_proxy_call_finish(proxy, result, error);
  return static_cast<GVariant*>(g_task_propagate_pointer(G_TASK(result), error));
}

FlValue* VariantToFlValue(GVariant* value) {
  if (value == nullptr) return fl_value_new_null();
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_VARIANT)) {
    g_autoptr(GVariant) inner = g_variant_get_variant(value);
    return VariantToFlValue(inner);
  }
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING) ||
      g_variant_is_of_type(value, G_VARIANT_TYPE_OBJECT_PATH) ||
      g_variant_is_of_type(value, G_VARIANT_TYPE_SIGNATURE)) {
    return fl_value_new_string(g_variant_get_string(value, nullptr));
  }
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN)) {
    return fl_value_new_bool(g_variant_get_boolean(value));
  }
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_INT16)) {
    return fl_value_new_int(g_variant_get_int16(value));
  }
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_UINT16)) {
    return fl_value_new_int(g_variant_get_uint16(value));
  }
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_INT32)) {
    return fl_value_new_int(g_variant_get_int32(value));
  }
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32)) {
    return fl_value_new_int(g_variant_get_uint32(value));
  }
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_INT64)) {
    return fl_value_new_int(g_variant_get_int64(value));
  }
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_UINT64)) {
    // The channel's int is signed 64-bit; larger values wrap, as the
    // application's codec would make of them anyway.
    return fl_value_new_int(static_cast<int64_t>(g_variant_get_uint64(value)));
  }
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_DOUBLE)) {
    return fl_value_new_float(g_variant_get_double(value));
  }
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING_ARRAY)) {
    FlValue* list = fl_value_new_list();
    GVariantIter iter;
    g_variant_iter_init(&iter, value);
    const gchar* text = nullptr;
    while (g_variant_iter_next(&iter, "&s", &text)) {
      fl_value_append_take(list, fl_value_new_string(text));
    }
    return list;
  }
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_VARDICT)) return DictToFlValue(value);
  return fl_value_new_null();
}

FlValue* DictToFlValue(GVariant* dictionary) {
  FlValue* map = fl_value_new_map();
  if (dictionary == nullptr || !g_variant_is_of_type(dictionary, G_VARIANT_TYPE_VARDICT)) {
    return map;
  }
  GVariantIter iter;
  g_variant_iter_init(&iter, dictionary);
  const gchar* key = nullptr;
  GVariant* raw = nullptr;
  while (g_variant_iter_next(&iter, "{&sv}", &key, &raw)) {
    g_autoptr(GVariant) entry = raw;
    fl_value_set_string_take(map, key, VariantToFlValue(entry));
  }
  return map;
}

GVariant* FlMapToDict(FlValue* map) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  if (map != nullptr && fl_value_get_type(map) == FL_VALUE_TYPE_MAP) {
    for (size_t i = 0; i < fl_value_get_length(map); i++) {
      FlValue* key = fl_value_get_map_key(map, i);
      if (!IsText(key)) continue;
      GVariant* entry = EntryValue(fl_value_get_map_value(map, i));
      if (entry != nullptr)
        g_variant_builder_add(&builder, "{sv}", fl_value_get_string(key), entry);
    }
  }
  return g_variant_ref_sink(g_variant_builder_end(&builder));
}

}  // namespace tessary::linux_service

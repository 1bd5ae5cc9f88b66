// FlValue of the embedder stand-in: reference-counted, maps keep insertion
// order and a repeated key replaces the value in place, as in the embedder.
#include <flutter_linux/flutter_linux.h>

#include <cstring>

struct _FlValue {
  FlValueType type;
  int ref_count;
  bool bool_value;
  int64_t int_value;
  double float_value;
  gchar* string_value;
  GByteArray* bytes;    // typed lists: raw element storage
  size_t typed_length;  // typed lists: element count
  GPtrArray* children;  // list elements or map values
  GPtrArray* keys;      // map keys
  int custom_type;
  gconstpointer custom_value;
  GDestroyNotify custom_destroy;
};

namespace {

FlValue* NewValue(FlValueType type) {
  FlValue* value = g_new0(FlValue, 1);
  value->type = type;
  value->ref_count = 1;
  return value;
}

void UnrefChild(gpointer data) { fl_value_unref(static_cast<FlValue*>(data)); }

FlValue* NewTypedList(FlValueType type, const void* data, size_t length, size_t element_size) {
  FlValue* value = NewValue(type);
  value->bytes = g_byte_array_new();
  if (length > 0)
    g_byte_array_append(value->bytes, static_cast<const guint8*>(data), length * element_size);
  value->typed_length = length;
  return value;
}

ssize_t MapIndex(FlValue* map, FlValue* key) {
  for (guint i = 0; i < map->keys->len; i++) {
    if (fl_value_equal(static_cast<FlValue*>(g_ptr_array_index(map->keys, i)), key)) return i;
  }
  return -1;
}

void AppendText(GString* out, FlValue* value);

}  // namespace

FlValue* fl_value_new_null() { return NewValue(FL_VALUE_TYPE_NULL); }

FlValue* fl_value_new_bool(bool value) {
  FlValue* v = NewValue(FL_VALUE_TYPE_BOOL);
  v->bool_value = value;
  return v;
}

FlValue* fl_value_new_int(int64_t value) {
  FlValue* v = NewValue(FL_VALUE_TYPE_INT);
  v->int_value = value;
  return v;
}

FlValue* fl_value_new_float(double value) {
  FlValue* v = NewValue(FL_VALUE_TYPE_FLOAT);
  v->float_value = value;
  return v;
}

FlValue* fl_value_new_string(const gchar* value) {
  FlValue* v = NewValue(FL_VALUE_TYPE_STRING);
  v->string_value = g_strdup(value);
  return v;
}

FlValue* fl_value_new_string_sized(const gchar* value, size_t value_length) {
  FlValue* v = NewValue(FL_VALUE_TYPE_STRING);
  v->string_value = value_length == 0 ? g_strdup("") : g_strndup(value, value_length);
  return v;
}

FlValue* fl_value_new_uint8_list(const uint8_t* value, size_t value_length) {
  return NewTypedList(FL_VALUE_TYPE_UINT8_LIST, value, value_length, sizeof(uint8_t));
}
FlValue* fl_value_new_int32_list(const int32_t* value, size_t value_length) {
  return NewTypedList(FL_VALUE_TYPE_INT32_LIST, value, value_length, sizeof(int32_t));
}
FlValue* fl_value_new_int64_list(const int64_t* value, size_t value_length) {
  return NewTypedList(FL_VALUE_TYPE_INT64_LIST, value, value_length, sizeof(int64_t));
}
FlValue* fl_value_new_float32_list(const float* value, size_t value_length) {
  return NewTypedList(FL_VALUE_TYPE_FLOAT32_LIST, value, value_length, sizeof(float));
}
FlValue* fl_value_new_float_list(const double* value, size_t value_length) {
  return NewTypedList(FL_VALUE_TYPE_FLOAT_LIST, value, value_length, sizeof(double));
}

FlValue* fl_value_new_list() {
  FlValue* v = NewValue(FL_VALUE_TYPE_LIST);
  v->children = g_ptr_array_new_with_free_func(UnrefChild);
  return v;
}

FlValue* fl_value_new_list_from_strv(const gchar* const* value) {
  FlValue* v = fl_value_new_list();
  for (size_t i = 0; value != nullptr && value[i] != nullptr; i++) {
    fl_value_append_take(v, fl_value_new_string(value[i]));
  }
  return v;
}

FlValue* fl_value_new_map() {
  FlValue* v = NewValue(FL_VALUE_TYPE_MAP);
  v->children = g_ptr_array_new_with_free_func(UnrefChild);
  v->keys = g_ptr_array_new_with_free_func(UnrefChild);
  return v;
}

FlValue* fl_value_new_custom(int type, gconstpointer value, GDestroyNotify destroy_notify) {
  FlValue* v = NewValue(FL_VALUE_TYPE_CUSTOM);
  v->custom_type = type;
  v->custom_value = value;
  v->custom_destroy = destroy_notify;
  return v;
}

FlValue* fl_value_ref(FlValue* value) {
  g_return_val_if_fail(value != nullptr, nullptr);
  value->ref_count++;
  return value;
}

void fl_value_unref(FlValue* value) {
  g_return_if_fail(value != nullptr);
  g_return_if_fail(value->ref_count > 0);
  if (--value->ref_count > 0) return;
  g_free(value->string_value);
  if (value->bytes != nullptr) g_byte_array_unref(value->bytes);
  if (value->children != nullptr) g_ptr_array_unref(value->children);
  if (value->keys != nullptr) g_ptr_array_unref(value->keys);
  if (value->custom_destroy != nullptr)
    value->custom_destroy(const_cast<gpointer>(value->custom_value));
  g_free(value);
}

FlValueType fl_value_get_type(FlValue* value) {
  g_return_val_if_fail(value != nullptr, FL_VALUE_TYPE_NULL);
  return value->type;
}

bool fl_value_equal(FlValue* a, FlValue* b) {
  g_return_val_if_fail(a != nullptr && b != nullptr, false);
  if (a->type != b->type) return false;
  switch (a->type) {
    case FL_VALUE_TYPE_NULL:
      return true;
    case FL_VALUE_TYPE_BOOL:
      return a->bool_value == b->bool_value;
    case FL_VALUE_TYPE_INT:
      return a->int_value == b->int_value;
    case FL_VALUE_TYPE_FLOAT:
      return a->float_value == b->float_value;
    case FL_VALUE_TYPE_STRING:
      return g_strcmp0(a->string_value, b->string_value) == 0;
    case FL_VALUE_TYPE_UINT8_LIST:
    case FL_VALUE_TYPE_INT32_LIST:
    case FL_VALUE_TYPE_INT64_LIST:
    case FL_VALUE_TYPE_FLOAT_LIST:
    case FL_VALUE_TYPE_FLOAT32_LIST:
      return a->bytes->len == b->bytes->len &&
             memcmp(a->bytes->data, b->bytes->data, a->bytes->len) == 0;
    case FL_VALUE_TYPE_LIST:
      if (a->children->len != b->children->len) return false;
      for (guint i = 0; i < a->children->len; i++) {
        if (!fl_value_equal(fl_value_get_list_value(a, i), fl_value_get_list_value(b, i))) {
          return false;
        }
      }
      return true;
    case FL_VALUE_TYPE_MAP:
      // Order does not matter for equality, only for iteration.
      if (a->keys->len != b->keys->len) return false;
      for (guint i = 0; i < a->keys->len; i++) {
        FlValue* other = fl_value_lookup(b, fl_value_get_map_key(a, i));
        if (other == nullptr || !fl_value_equal(fl_value_get_map_value(a, i), other)) return false;
      }
      return true;
    case FL_VALUE_TYPE_CUSTOM:
      return a->custom_type == b->custom_type && a->custom_value == b->custom_value;
  }
  return false;
}

void fl_value_append(FlValue* value, FlValue* child) {
  g_return_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_LIST && child != nullptr);
  fl_value_append_take(value, fl_value_ref(child));
}

void fl_value_append_take(FlValue* value, FlValue* child) {
  g_return_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_LIST && child != nullptr);
  g_ptr_array_add(value->children, child);
}

void fl_value_set(FlValue* value, FlValue* key, FlValue* child_value) {
  g_return_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_MAP);
  fl_value_set_take(value, fl_value_ref(key), fl_value_ref(child_value));
}

void fl_value_set_take(FlValue* value, FlValue* key, FlValue* child_value) {
  g_return_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_MAP);
  ssize_t index = MapIndex(value, key);
  if (index < 0) {
    g_ptr_array_add(value->keys, key);
    g_ptr_array_add(value->children, child_value);
    return;
  }
  fl_value_unref(key);
  fl_value_unref(static_cast<FlValue*>(value->children->pdata[index]));
  value->children->pdata[index] = child_value;
}

void fl_value_set_string(FlValue* value, const gchar* key, FlValue* child_value) {
  fl_value_set_take(value, fl_value_new_string(key), fl_value_ref(child_value));
}

void fl_value_set_string_take(FlValue* value, const gchar* key, FlValue* child_value) {
  fl_value_set_take(value, fl_value_new_string(key), child_value);
}

bool fl_value_get_bool(FlValue* value) {
  g_return_val_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_BOOL, false);
  return value->bool_value;
}

int64_t fl_value_get_int(FlValue* value) {
  g_return_val_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_INT, 0);
  return value->int_value;
}

double fl_value_get_float(FlValue* value) {
  g_return_val_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_FLOAT, 0.0);
  return value->float_value;
}

const gchar* fl_value_get_string(FlValue* value) {
  g_return_val_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_STRING, nullptr);
  return value->string_value;
}

size_t fl_value_get_length(FlValue* value) {
  g_return_val_if_fail(value != nullptr, 0);
  if (value->bytes != nullptr) return value->typed_length;
  if (value->children != nullptr) return value->children->len;
  g_critical("fl_value_get_length: value of type %d has no length", value->type);
  return 0;
}

const uint8_t* fl_value_get_uint8_list(FlValue* value) {
  g_return_val_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_UINT8_LIST, nullptr);
  return value->bytes->data;
}
const int32_t* fl_value_get_int32_list(FlValue* value) {
  g_return_val_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_INT32_LIST, nullptr);
  return reinterpret_cast<const int32_t*>(value->bytes->data);
}
const int64_t* fl_value_get_int64_list(FlValue* value) {
  g_return_val_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_INT64_LIST, nullptr);
  return reinterpret_cast<const int64_t*>(value->bytes->data);
}
const float* fl_value_get_float32_list(FlValue* value) {
  g_return_val_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_FLOAT32_LIST, nullptr);
  return reinterpret_cast<const float*>(value->bytes->data);
}
const double* fl_value_get_float_list(FlValue* value) {
  g_return_val_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_FLOAT_LIST, nullptr);
  return reinterpret_cast<const double*>(value->bytes->data);
}

FlValue* fl_value_get_list_value(FlValue* value, size_t index) {
  g_return_val_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_LIST, nullptr);
  g_return_val_if_fail(index < value->children->len, nullptr);
  return static_cast<FlValue*>(g_ptr_array_index(value->children, index));
}

FlValue* fl_value_get_map_key(FlValue* value, size_t index) {
  g_return_val_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_MAP, nullptr);
  g_return_val_if_fail(index < value->keys->len, nullptr);
  return static_cast<FlValue*>(g_ptr_array_index(value->keys, index));
}

FlValue* fl_value_get_map_value(FlValue* value, size_t index) {
  g_return_val_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_MAP, nullptr);
  g_return_val_if_fail(index < value->children->len, nullptr);
  return static_cast<FlValue*>(g_ptr_array_index(value->children, index));
}

FlValue* fl_value_lookup(FlValue* value, FlValue* key) {
  g_return_val_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_MAP, nullptr);
  ssize_t index = MapIndex(value, key);
  return index < 0 ? nullptr : fl_value_get_map_value(value, index);
}

FlValue* fl_value_lookup_string(FlValue* value, const gchar* key) {
  g_return_val_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_MAP, nullptr);
  g_autoptr(FlValue) string_key = fl_value_new_string(key);
  return fl_value_lookup(value, string_key);
}

int fl_value_get_custom_type(FlValue* value) {
  g_return_val_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_CUSTOM, -1);
  return value->custom_type;
}

gconstpointer fl_value_get_custom_value(FlValue* value) {
  g_return_val_if_fail(value != nullptr && value->type == FL_VALUE_TYPE_CUSTOM, nullptr);
  return value->custom_value;
}

namespace {

void AppendText(GString* out, FlValue* value) {
  switch (value->type) {
    case FL_VALUE_TYPE_NULL:
      g_string_append(out, "null");
      return;
    case FL_VALUE_TYPE_BOOL:
      g_string_append(out, value->bool_value ? "true" : "false");
      return;
    case FL_VALUE_TYPE_INT:
      g_string_append_printf(out, "%" G_GINT64_FORMAT, value->int_value);
      return;
    case FL_VALUE_TYPE_FLOAT:
      g_string_append_printf(out, "%.16g", value->float_value);
      return;
    case FL_VALUE_TYPE_STRING:
      g_string_append(out, value->string_value);
      return;
    case FL_VALUE_TYPE_UINT8_LIST:
    case FL_VALUE_TYPE_INT32_LIST:
    case FL_VALUE_TYPE_INT64_LIST:
    case FL_VALUE_TYPE_FLOAT_LIST:
    case FL_VALUE_TYPE_FLOAT32_LIST:
      g_string_append_printf(out, "[typed list of %zu]", value->typed_length);
      return;
    case FL_VALUE_TYPE_LIST:
      g_string_append_c(out, '[');
      for (guint i = 0; i < value->children->len; i++) {
        if (i > 0) g_string_append(out, ", ");
        AppendText(out, fl_value_get_list_value(value, i));
      }
      g_string_append_c(out, ']');
      return;
    case FL_VALUE_TYPE_MAP:
      g_string_append_c(out, '{');
      for (guint i = 0; i < value->keys->len; i++) {
        if (i > 0) g_string_append(out, ", ");
        AppendText(out, fl_value_get_map_key(value, i));
        g_string_append(out, ": ");
        AppendText(out, fl_value_get_map_value(value, i));
      }
      g_string_append_c(out, '}');
      return;
    case FL_VALUE_TYPE_CUSTOM:
      g_string_append_printf(out, "(custom %d)", value->custom_type);
      return;
  }
}

}  // namespace

gchar* fl_value_to_string(FlValue* value) {
  GString* out = g_string_new(nullptr);
  AppendText(out, value);
  return g_string_free(out, FALSE);
}

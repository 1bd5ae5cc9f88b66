// The standard message and method codecs of the embedder stand-in. Values
// travel in the same binary form the application's StandardMessageCodec
// uses, so a value the plug-in hands over must survive that encoding: ints
// are 64-bit, maps keep their order, custom values cannot be sent.
#include <cstring>

#include "standin_internal.h"

namespace {

enum StandardType : uint8_t {
  kNull = 0,
  kTrue = 1,
  kFalse = 2,
  kInt32 = 3,
  kInt64 = 4,
  kFloat64 = 6,
  kString = 7,
  kUint8List = 8,
  kInt32List = 9,
  kInt64List = 10,
  kFloat64List = 11,
  kList = 12,
  kMap = 13,
  kFloat32List = 14,
};

void WriteSize(GByteArray* out, uint32_t size) {
  if (size < 254) {
    uint8_t b = size;
    g_byte_array_append(out, &b, 1);
  } else if (size <= 0xffff) {
    uint8_t b = 254;
    uint16_t v = size;
    g_byte_array_append(out, &b, 1);
    g_byte_array_append(out, reinterpret_cast<uint8_t*>(&v), 2);
  } else {
    uint8_t b = 255;
    g_byte_array_append(out, &b, 1);
    g_byte_array_append(out, reinterpret_cast<uint8_t*>(&size), 4);
  }
}

void Align(GByteArray* out, size_t alignment) {
  static const uint8_t zero = 0;
  while (out->len % alignment != 0) g_byte_array_append(out, &zero, 1);
}

bool WriteValue(GByteArray* out, FlValue* value, GError** error) {
  auto put_type = [out](uint8_t type) { g_byte_array_append(out, &type, 1); };
  if (value == nullptr) {
    put_type(kNull);
    return true;
  }
  switch (fl_value_get_type(value)) {
    case FL_VALUE_TYPE_NULL:
      put_type(kNull);
      return true;
    case FL_VALUE_TYPE_BOOL:
      put_type(fl_value_get_bool(value) ? kTrue : kFalse);
      return true;
    case FL_VALUE_TYPE_INT: {
      int64_t v = fl_value_get_int(value);
      if (v >= G_MININT32 && v <= G_MAXINT32) {
        int32_t small = v;
        put_type(kInt32);
        g_byte_array_append(out, reinterpret_cast<uint8_t*>(&small), 4);
      } else {
        put_type(kInt64);
        g_byte_array_append(out, reinterpret_cast<uint8_t*>(&v), 8);
      }
      return true;
    }
    case FL_VALUE_TYPE_FLOAT: {
      double v = fl_value_get_float(value);
      put_type(kFloat64);
      Align(out, 8);
      g_byte_array_append(out, reinterpret_cast<uint8_t*>(&v), 8);
      return true;
    }
    case FL_VALUE_TYPE_STRING: {
      const gchar* text = fl_value_get_string(value);
      put_type(kString);
      WriteSize(out, strlen(text));
      g_byte_array_append(out, reinterpret_cast<const uint8_t*>(text), strlen(text));
      return true;
    }
    case FL_VALUE_TYPE_UINT8_LIST:
      put_type(kUint8List);
      WriteSize(out, fl_value_get_length(value));
      g_byte_array_append(out, fl_value_get_uint8_list(value), fl_value_get_length(value));
      return true;
    case FL_VALUE_TYPE_INT32_LIST:
      put_type(kInt32List);
      WriteSize(out, fl_value_get_length(value));
      Align(out, 4);
      g_byte_array_append(out, reinterpret_cast<const uint8_t*>(fl_value_get_int32_list(value)),
                          fl_value_get_length(value) * 4);
      return true;
    case FL_VALUE_TYPE_INT64_LIST:
      put_type(kInt64List);
      WriteSize(out, fl_value_get_length(value));
      Align(out, 8);
      g_byte_array_append(out, reinterpret_cast<const uint8_t*>(fl_value_get_int64_list(value)),
                          fl_value_get_length(value) * 8);
      return true;
    case FL_VALUE_TYPE_FLOAT32_LIST:
      put_type(kFloat32List);
      WriteSize(out, fl_value_get_length(value));
      Align(out, 4);
      g_byte_array_append(out, reinterpret_cast<const uint8_t*>(fl_value_get_float32_list(value)),
                          fl_value_get_length(value) * 4);
      return true;
    case FL_VALUE_TYPE_FLOAT_LIST:
      put_type(kFloat64List);
      WriteSize(out, fl_value_get_length(value));
      Align(out, 8);
      g_byte_array_append(out, reinterpret_cast<const uint8_t*>(fl_value_get_float_list(value)),
                          fl_value_get_length(value) * 8);
      return true;
    case FL_VALUE_TYPE_LIST:
      put_type(kList);
      WriteSize(out, fl_value_get_length(value));
      for (size_t i = 0; i < fl_value_get_length(value); i++) {
        if (!WriteValue(out, fl_value_get_list_value(value, i), error)) return false;
      }
      return true;
    case FL_VALUE_TYPE_MAP:
      put_type(kMap);
      WriteSize(out, fl_value_get_length(value));
      for (size_t i = 0; i < fl_value_get_length(value); i++) {
        if (!WriteValue(out, fl_value_get_map_key(value, i), error) ||
            !WriteValue(out, fl_value_get_map_value(value, i), error)) {
          return false;
        }
      }
      return true;
    case FL_VALUE_TYPE_CUSTOM:
      break;
  }
  g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE,
              "Custom value %d not implemented", fl_value_get_custom_type(value));
  return false;
}

struct Reader {
  const uint8_t* data;
  size_t length;
  size_t offset;

  bool Take(void* target, size_t count, GError** error) {
    if (length - offset < count) {
      g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA,
                  "Unexpected end of data");
      return false;
    }
    if (target != nullptr) memcpy(target, data + offset, count);
    offset += count;
    return true;
  }
  bool Align(size_t alignment, GError** error) {
    size_t pad = (alignment - offset % alignment) % alignment;
    return Take(nullptr, pad, error);
  }
  bool Size(uint32_t* size, GError** error) {
    uint8_t first = 0;
    if (!Take(&first, 1, error)) return false;
    if (first < 254) {
      *size = first;
      return true;
    }
    if (first == 254) {
      uint16_t v = 0;
      if (!Take(&v, 2, error)) return false;
      *size = v;
      return true;
    }
    return Take(size, 4, error);
  }
};

FlValue* ReadValue(Reader* r, GError** error, int depth = 0) {
  if (depth > 64) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED, "Nesting too deep");
    return nullptr;
  }
  uint8_t type = 0;
  if (!r->Take(&type, 1, error)) return nullptr;
  uint32_t size = 0;
  switch (type) {
    case kNull:
      return fl_value_new_null();
    case kTrue:
      return fl_value_new_bool(true);
    case kFalse:
      return fl_value_new_bool(false);
    case kInt32: {
      int32_t v = 0;
      return r->Take(&v, 4, error) ? fl_value_new_int(v) : nullptr;
    }
    case kInt64: {
      int64_t v = 0;
      return r->Take(&v, 8, error) ? fl_value_new_int(v) : nullptr;
    }
    case kFloat64: {
      double v = 0;
      return r->Align(8, error) && r->Take(&v, 8, error) ? fl_value_new_float(v) : nullptr;
    }
    case kString: {
      if (!r->Size(&size, error)) return nullptr;
      const gchar* start = reinterpret_cast<const gchar*>(r->data + r->offset);
      return r->Take(nullptr, size, error) ? fl_value_new_string_sized(start, size) : nullptr;
    }
    case kUint8List:
    case kInt32List:
    case kInt64List:
    case kFloat32List:
    case kFloat64List: {
      size_t element = type == kUint8List                             ? 1
                       : (type == kInt32List || type == kFloat32List) ? 4
                                                                      : 8;
      if (!r->Size(&size, error) || !r->Align(element, error)) return nullptr;
      if ((r->length - r->offset) / element < size) {
        g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA,
                    "Unexpected end of data");
        return nullptr;
      }
      g_autofree void* copy = g_malloc0(size * element + 1);
      r->Take(copy, size * element, error);
      switch (type) {
        case kUint8List:
          return fl_value_new_uint8_list(static_cast<uint8_t*>(copy), size);
        case kInt32List:
          return fl_value_new_int32_list(static_cast<int32_t*>(copy), size);
        case kInt64List:
          return fl_value_new_int64_list(static_cast<int64_t*>(copy), size);
        case kFloat32List:
          return fl_value_new_float32_list(static_cast<float*>(copy), size);
        default:
          return fl_value_new_float_list(static_cast<double*>(copy), size);
      }
    }
    case kList: {
      if (!r->Size(&size, error)) return nullptr;
      g_autoptr(FlValue) list = fl_value_new_list();
      for (uint32_t i = 0; i < size; i++) {
        FlValue* child = ReadValue(r, error, depth + 1);
        if (child == nullptr) return nullptr;
        fl_value_append_take(list, child);
      }
      return static_cast<FlValue*>(g_steal_pointer(&list));
    }
    case kMap: {
      if (!r->Size(&size, error)) return nullptr;
      g_autoptr(FlValue) map = fl_value_new_map();
      for (uint32_t i = 0; i < size; i++) {
        g_autoptr(FlValue) key = ReadValue(r, error, depth + 1);
        if (key == nullptr) return nullptr;
        g_autoptr(FlValue) child = ReadValue(r, error, depth + 1);
        if (child == nullptr) return nullptr;
        fl_value_set(map, key, child);
      }
      return static_cast<FlValue*>(g_steal_pointer(&map));
    }
    default:
      g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE,
                  "Unexpected standard codec type %02x", type);
      return nullptr;
  }
}

Reader ReaderFor(GBytes* message) {
  gsize length = 0;
  const uint8_t* data = message == nullptr
                            ? nullptr
                            : static_cast<const uint8_t*>(g_bytes_get_data(message, &length));
  return Reader{data, length, 0};
}

bool CheckConsumed(const Reader& r, GError** error) {
  if (r.offset == r.length) return true;
  g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_ADDITIONAL_DATA,
              "Unused %zu bytes after standard codec message", r.length - r.offset);
  return false;
}

GBytes* Finish(GByteArray* out) { return g_byte_array_free_to_bytes(out); }

}  // namespace

// ---- abstract codecs -------------------------------------------------------

G_DEFINE_QUARK(fl_message_codec_error_quark, fl_message_codec_error)
G_DEFINE_TYPE(FlMessageCodec, fl_message_codec, G_TYPE_OBJECT)
static void fl_message_codec_class_init(FlMessageCodecClass*) {}
static void fl_message_codec_init(FlMessageCodec*) {}

GBytes* fl_message_codec_encode_message(FlMessageCodec* codec, FlValue* value, GError** error) {
  g_return_val_if_fail(FL_IS_MESSAGE_CODEC(codec), nullptr);
  return FL_MESSAGE_CODEC_GET_CLASS(codec)->encode_message(codec, value, error);
}

FlValue* fl_message_codec_decode_message(FlMessageCodec* codec, GBytes* message, GError** error) {
  g_return_val_if_fail(FL_IS_MESSAGE_CODEC(codec), nullptr);
  return FL_MESSAGE_CODEC_GET_CLASS(codec)->decode_message(codec, message, error);
}

G_DEFINE_TYPE(FlMethodCodec, fl_method_codec, G_TYPE_OBJECT)
static void fl_method_codec_class_init(FlMethodCodecClass*) {}
static void fl_method_codec_init(FlMethodCodec*) {}

GBytes* fl_method_codec_encode_method_call(FlMethodCodec* codec, const gchar* name, FlValue* args,
                                           GError** error) {
  return FL_METHOD_CODEC_GET_CLASS(codec)->encode_method_call(codec, name, args, error);
}
gboolean fl_method_codec_decode_method_call(FlMethodCodec* codec, GBytes* message, gchar** name,
                                            FlValue** args, GError** error) {
  return FL_METHOD_CODEC_GET_CLASS(codec)->decode_method_call(codec, message, name, args, error);
}
GBytes* fl_method_codec_encode_success_envelope(FlMethodCodec* codec, FlValue* result,
                                                GError** error) {
  return FL_METHOD_CODEC_GET_CLASS(codec)->encode_success_envelope(codec, result, error);
}
GBytes* fl_method_codec_encode_error_envelope(FlMethodCodec* codec, const gchar* code,
                                              const gchar* message, FlValue* details,
                                              GError** error) {
  return FL_METHOD_CODEC_GET_CLASS(codec)->encode_error_envelope(codec, code, message, details,
                                                                 error);
}
FlMethodResponse* fl_method_codec_decode_response(FlMethodCodec* codec, GBytes* message,
                                                  GError** error) {
  // An empty reply is how a channel says "not implemented".
  if (message == nullptr || g_bytes_get_size(message) == 0) {
    return FL_METHOD_RESPONSE(fl_method_not_implemented_response_new());
  }
  return FL_METHOD_CODEC_GET_CLASS(codec)->decode_response(codec, message, error);
}

// ---- standard message codec ------------------------------------------------

struct _FlStandardMessageCodec {
  FlMessageCodec parent_instance;
};

G_DEFINE_TYPE(FlStandardMessageCodec, fl_standard_message_codec, fl_message_codec_get_type())

static GBytes* standard_encode_message(FlMessageCodec*, FlValue* message, GError** error) {
  GByteArray* out = g_byte_array_new();
  if (!WriteValue(out, message, error)) {
    g_byte_array_unref(out);
    return nullptr;
  }
  return Finish(out);
}

static FlValue* standard_decode_message(FlMessageCodec*, GBytes* message, GError** error) {
  Reader r = ReaderFor(message);
  g_autoptr(FlValue) value = ReadValue(&r, error);
  if (value == nullptr || !CheckConsumed(r, error)) return nullptr;
  return static_cast<FlValue*>(g_steal_pointer(&value));
}

static void fl_standard_message_codec_class_init(FlStandardMessageCodecClass* klass) {
  FL_MESSAGE_CODEC_CLASS(klass)->encode_message = standard_encode_message;
  FL_MESSAGE_CODEC_CLASS(klass)->decode_message = standard_decode_message;
}
static void fl_standard_message_codec_init(FlStandardMessageCodec*) {}

FlStandardMessageCodec* fl_standard_message_codec_new() {
  return FL_STANDARD_MESSAGE_CODEC(g_object_new(fl_standard_message_codec_get_type(), nullptr));
}

// ---- standard method codec -------------------------------------------------

struct _FlStandardMethodCodec {
  FlMethodCodec parent_instance;
  FlStandardMessageCodec* message_codec;
};

G_DEFINE_TYPE(FlStandardMethodCodec, fl_standard_method_codec, fl_method_codec_get_type())

static void standard_method_dispose(GObject* object) {
  g_clear_object(&FL_STANDARD_METHOD_CODEC(object)->message_codec);
  G_OBJECT_CLASS(fl_standard_method_codec_parent_class)->dispose(object);
}

static GBytes* standard_encode_method_call(FlMethodCodec*, const gchar* name, FlValue* args,
                                           GError** error) {
  GByteArray* out = g_byte_array_new();
  g_autoptr(FlValue) name_value = fl_value_new_string(name);
  if (!WriteValue(out, name_value, error) || !WriteValue(out, args, error)) {
    g_byte_array_unref(out);
    return nullptr;
  }
  return Finish(out);
}

static gboolean standard_decode_method_call(FlMethodCodec*, GBytes* message, gchar** name,
                                            FlValue** args, GError** error) {
  Reader r = ReaderFor(message);
  g_autoptr(FlValue) name_value = ReadValue(&r, error);
  if (name_value == nullptr) return FALSE;
  if (fl_value_get_type(name_value) != FL_VALUE_TYPE_STRING) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
                "Method call name is not a string");
    return FALSE;
  }
  g_autoptr(FlValue) args_value = ReadValue(&r, error);
  if (args_value == nullptr || !CheckConsumed(r, error)) return FALSE;
  *name = g_strdup(fl_value_get_string(name_value));
  *args = static_cast<FlValue*>(g_steal_pointer(&args_value));
  return TRUE;
}

static GBytes* standard_encode_success_envelope(FlMethodCodec*, FlValue* result, GError** error) {
  GByteArray* out = g_byte_array_new();
  const uint8_t kind = 0;
  g_byte_array_append(out, &kind, 1);
  if (!WriteValue(out, result, error)) {
    g_byte_array_unref(out);
    return nullptr;
  }
  return Finish(out);
}

static GBytes* standard_encode_error_envelope(FlMethodCodec*, const gchar* code,
                                              const gchar* message, FlValue* details,
                                              GError** error) {
  GByteArray* out = g_byte_array_new();
  const uint8_t kind = 1;
  g_byte_array_append(out, &kind, 1);
  g_autoptr(FlValue) code_value = fl_value_new_string(code);
  g_autoptr(FlValue) message_value =
      message != nullptr ? fl_value_new_string(message) : fl_value_new_null();
  if (!WriteValue(out, code_value, error) || !WriteValue(out, message_value, error) ||
      !WriteValue(out, details, error)) {
    g_byte_array_unref(out);
    return nullptr;
  }
  return Finish(out);
}

static FlMethodResponse* standard_decode_response(FlMethodCodec*, GBytes* message, GError** error) {
  Reader r = ReaderFor(message);
  uint8_t kind = 0;
  if (!r.Take(&kind, 1, error)) return nullptr;
  if (kind == 0) {
    g_autoptr(FlValue) result = ReadValue(&r, error);
    if (result == nullptr || !CheckConsumed(r, error)) return nullptr;
    return FL_METHOD_RESPONSE(fl_method_success_response_new(result));
  }
  if (kind == 1) {
    g_autoptr(FlValue) code = ReadValue(&r, error);
    if (code == nullptr) return nullptr;
    g_autoptr(FlValue) text = ReadValue(&r, error);
    if (text == nullptr) return nullptr;
    g_autoptr(FlValue) details = ReadValue(&r, error);
    if (details == nullptr || !CheckConsumed(r, error)) return nullptr;
    if (fl_value_get_type(code) != FL_VALUE_TYPE_STRING ||
        (fl_value_get_type(text) != FL_VALUE_TYPE_STRING &&
         fl_value_get_type(text) != FL_VALUE_TYPE_NULL)) {
      g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
                  "Error envelope has the wrong types");
      return nullptr;
    }
    return FL_METHOD_RESPONSE(fl_method_error_response_new(
        fl_value_get_string(code),
        fl_value_get_type(text) == FL_VALUE_TYPE_STRING ? fl_value_get_string(text) : nullptr,
        fl_value_get_type(details) == FL_VALUE_TYPE_NULL ? nullptr : details));
  }
  g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
              "Unknown response envelope %d", kind);
  return nullptr;
}

static void fl_standard_method_codec_class_init(FlStandardMethodCodecClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = standard_method_dispose;
  FlMethodCodecClass* codec = FL_METHOD_CODEC_CLASS(klass);
  codec->encode_method_call = standard_encode_method_call;
  codec->decode_method_call = standard_decode_method_call;
  codec->encode_success_envelope = standard_encode_success_envelope;
  codec->encode_error_envelope = standard_encode_error_envelope;
  codec->decode_response = standard_decode_response;
}
static void fl_standard_method_codec_init(FlStandardMethodCodec*) {}

FlStandardMethodCodec* fl_standard_method_codec_new() {
  g_autoptr(FlStandardMessageCodec) message_codec = fl_standard_message_codec_new();
  return fl_standard_method_codec_new_with_message_codec(message_codec);
}

FlStandardMethodCodec* fl_standard_method_codec_new_with_message_codec(
    FlStandardMessageCodec* message_codec) {
  FlStandardMethodCodec* self =
      FL_STANDARD_METHOD_CODEC(g_object_new(fl_standard_method_codec_get_type(), nullptr));
  self->message_codec = FL_STANDARD_MESSAGE_CODEC(g_object_ref(message_codec));
  return self;
}

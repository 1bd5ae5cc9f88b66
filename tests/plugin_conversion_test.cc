// Conversions between the service's dictionaries and the channels' values,
// and the client's completion path when there is no proxy. Pure: no bus.
#include <flutter_linux/flutter_linux.h>
#include <gtest/gtest.h>

#include <string>

#include "plugin/linux_service_client.h"

namespace tessary::linux_service {
namespace {

std::string Text(FlValue* value) {
  g_autofree gchar* text = fl_value_to_string(value);
  return text;
}

struct VariantRow {
  const char* text;       // GVariant text form
  FlValueType type;       // expected FlValue type
  const char* rendering;  // expected fl_value_to_string
};

TEST(VariantToFlValue, EveryTypeRow) {
  const VariantRow rows[] = {
      {"<'inside'>", FL_VALUE_TYPE_STRING, "inside"},
      {"<<int64 7>>", FL_VALUE_TYPE_INT, "7"},
      {"'plain'", FL_VALUE_TYPE_STRING, "plain"},
      {"objectpath '/org/tessaryvpn/Service1'", FL_VALUE_TYPE_STRING, "/org/tessaryvpn/Service1"},
      {"signature 'a{sv}'", FL_VALUE_TYPE_STRING, "a{sv}"},
      {"true", FL_VALUE_TYPE_BOOL, "true"},
      {"int16 -32768", FL_VALUE_TYPE_INT, "-32768"},
      {"uint16 65535", FL_VALUE_TYPE_INT, "65535"},
      {"int32 -2147483648", FL_VALUE_TYPE_INT, "-2147483648"},
      {"uint32 4294967295", FL_VALUE_TYPE_INT, "4294967295"},
      {"int64 -9223372036854775808", FL_VALUE_TYPE_INT, "-9223372036854775808"},
      {"uint64 9223372036854775807", FL_VALUE_TYPE_INT, "9223372036854775807"},
      // Above the signed range: wraps, as a 64-bit signed int must.
      {"uint64 18446744073709551615", FL_VALUE_TYPE_INT, "-1"},
      {"uint64 9223372036854775808", FL_VALUE_TYPE_INT, "-9223372036854775808"},
      {"1.5", FL_VALUE_TYPE_FLOAT, "1.5"},
      {"['b', 'a', 'b']", FL_VALUE_TYPE_LIST, "[b, a, b]"},
      {"@as []", FL_VALUE_TYPE_LIST, "[]"},
      {"{'stage': <'connected'>, 'n': <int32 3>}", FL_VALUE_TYPE_MAP, "{stage: connected, n: 3}"},
      // No counterpart: null.
      {"byte 0x20", FL_VALUE_TYPE_NULL, "null"},
      {"handle 3", FL_VALUE_TYPE_NULL, "null"},
      {"[1, 2]", FL_VALUE_TYPE_NULL, "null"},
      {"b'bytes'", FL_VALUE_TYPE_NULL, "null"},
      {"('a', 1)", FL_VALUE_TYPE_NULL, "null"},
      {"{'a': 'b'}", FL_VALUE_TYPE_NULL, "null"},
      {"{1: <'b'>}", FL_VALUE_TYPE_NULL, "null"},
      {"[<'x'>]", FL_VALUE_TYPE_NULL, "null"},
  };
  for (const VariantRow& row : rows) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) variant = g_variant_parse(nullptr, row.text, nullptr, nullptr, &error);
    ASSERT_NE(variant, nullptr) << row.text << ": " << error->message;
    g_autoptr(FlValue) value = VariantToFlValue(variant);
    EXPECT_EQ(fl_value_get_type(value), row.type) << row.text;
    EXPECT_EQ(Text(value), row.rendering) << row.text;
  }
  g_autoptr(FlValue) none = VariantToFlValue(nullptr);
  EXPECT_EQ(fl_value_get_type(none), FL_VALUE_TYPE_NULL);
}

TEST(VariantToFlValue, Uint64AboveSignedRangeKeepsItsBits) {
  g_autoptr(GVariant) variant = g_variant_ref_sink(g_variant_new_uint64(G_MAXUINT64 - 41));
  g_autoptr(FlValue) value = VariantToFlValue(variant);
  ASSERT_EQ(fl_value_get_type(value), FL_VALUE_TYPE_INT);
  EXPECT_EQ(static_cast<guint64>(fl_value_get_int(value)), G_MAXUINT64 - 41);
}

TEST(DictToFlValue, KeepsOrderAndLaterRepeatedKey) {
  g_autoptr(GVariant) dict = g_variant_ref_sink(g_variant_parse(
      G_VARIANT_TYPE_VARDICT,
      "{'stage': <'connected'>, 'activeProfileId': <'p1'>, 'connectedAtEpochMillis': <int64 "
      "1765200000000>}",
      nullptr, nullptr, nullptr));
  g_autoptr(FlValue) map = DictToFlValue(dict);
  ASSERT_EQ(fl_value_get_type(map), FL_VALUE_TYPE_MAP);
  ASSERT_EQ(fl_value_get_length(map), 3u);
  EXPECT_STREQ(fl_value_get_string(fl_value_get_map_key(map, 0)), "stage");
  EXPECT_STREQ(fl_value_get_string(fl_value_get_map_key(map, 2)), "connectedAtEpochMillis");
  EXPECT_EQ(fl_value_get_int(fl_value_lookup_string(map, "connectedAtEpochMillis")), 1765200000000);

  // a{sv} built by hand may repeat a key; the later value wins.
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&builder, "{sv}", "k", g_variant_new_string("first"));
  g_variant_builder_add(&builder, "{sv}", "other", g_variant_new_boolean(FALSE));
  g_variant_builder_add(&builder, "{sv}", "k", g_variant_new_string("second"));
  g_autoptr(GVariant) repeated = g_variant_ref_sink(g_variant_builder_end(&builder));
  g_autoptr(FlValue) merged = DictToFlValue(repeated);
  ASSERT_EQ(fl_value_get_length(merged), 2u);
  EXPECT_STREQ(fl_value_get_string(fl_value_lookup_string(merged, "k")), "second");

  // Anything but a{sv}: an empty map, never null.
  const char* others[] = {"'text'", "{'a': 'b'}", "@a{sv} {}", "('x',)"};
  for (const char* text : others) {
    g_autoptr(GVariant) other =
        g_variant_ref_sink(g_variant_parse(nullptr, text, nullptr, nullptr, nullptr));
    g_autoptr(FlValue) empty = DictToFlValue(other);
    ASSERT_EQ(fl_value_get_type(empty), FL_VALUE_TYPE_MAP) << text;
    EXPECT_EQ(fl_value_get_length(empty), 0u) << text;
  }
  g_autoptr(FlValue) from_null = DictToFlValue(nullptr);
  EXPECT_EQ(fl_value_get_length(from_null), 0u);
}

std::string Print(GVariant* value) {
  g_autofree gchar* text = g_variant_print(value, TRUE);
  return text;
}

TEST(FlMapToDict, EveryValueTypeRow) {
  g_autoptr(FlValue) map = fl_value_new_map();
  fl_value_set_string_take(map, "flag", fl_value_new_bool(true));
  // Above the 32-bit range: travels as x unchanged.
  fl_value_set_string_take(map, "big", fl_value_new_int(G_GINT64_CONSTANT(8589934593)));
  fl_value_set_string_take(map, "ratio", fl_value_new_float(0.25));
  fl_value_set_string_take(map, "id", fl_value_new_string("p1"));
  g_autoptr(FlValue) mixed = fl_value_new_list();
  fl_value_append_take(mixed, fl_value_new_string("a"));
  fl_value_append_take(mixed, fl_value_new_int(1));
  fl_value_append_take(mixed, fl_value_new_string("b"));
  fl_value_append_take(mixed, fl_value_new_float(2.5));
  fl_value_append_take(mixed, fl_value_new_null());
  fl_value_append_take(mixed, fl_value_new_string("c"));
  fl_value_set_string(map, "mixed", mixed);
  fl_value_set_string_take(map, "numbers", fl_value_new_list());
  fl_value_append_take(fl_value_lookup_string(map, "numbers"), fl_value_new_int(3));
  // Skipped: null, a nested map, typed lists, custom values, non-string keys.
  fl_value_set_string_take(map, "nothing", fl_value_new_null());
  g_autoptr(FlValue) nested = fl_value_new_map();
  fl_value_set_string_take(nested, "x", fl_value_new_int(1));
  fl_value_set_string(map, "nested", nested);
  const uint8_t bytes[] = {1, 2};
  fl_value_set_string_take(map, "bytes", fl_value_new_uint8_list(bytes, 2));
  const int32_t ints[] = {1};
  fl_value_set_string_take(map, "ints", fl_value_new_int32_list(ints, 1));
  const int64_t longs[] = {1};
  fl_value_set_string_take(map, "longs", fl_value_new_int64_list(longs, 1));
  const double doubles[] = {1.0};
  fl_value_set_string_take(map, "doubles", fl_value_new_float_list(doubles, 1));
  const float floats[] = {1.0f};
  fl_value_set_string_take(map, "floats", fl_value_new_float32_list(floats, 1));
  fl_value_set_string_take(map, "custom", fl_value_new_custom(128, nullptr, nullptr));
  fl_value_set_take(map, fl_value_new_int(5), fl_value_new_string("int key"));
  // A string GVariant cannot hold: skipped instead of tripping GVariant.
  fl_value_set_string_take(map, "broken", fl_value_new_string("\xff\xfe"));
  fl_value_set_take(map, fl_value_new_string("\xc3"), fl_value_new_bool(true));

  g_autoptr(GVariant) dict = FlMapToDict(map);
  ASSERT_NE(dict, nullptr);
  EXPECT_FALSE(g_variant_is_floating(dict));
  EXPECT_EQ(Print(dict),
            "{'flag': <true>, 'big': <int64 8589934593>, 'ratio': <0.25>, 'id': <'p1'>, "
            "'mixed': <['a', 'b', 'c']>, 'numbers': <@as []>}");

  // Round trip back to a map keeps order and values.
  g_autoptr(FlValue) back = DictToFlValue(dict);
  EXPECT_EQ(Text(back),
            "{flag: true, big: 8589934593, ratio: 0.25, id: p1, mixed: [a, b, c], numbers: []}");
}

TEST(FlMapToDict, AnythingButAMapIsEmpty) {
  FlValue* inputs[] = {nullptr, fl_value_new_null(), fl_value_new_string("x"), fl_value_new_list()};
  for (FlValue* input : inputs) {
    g_autoptr(GVariant) dict = FlMapToDict(input);
    EXPECT_TRUE(g_variant_is_of_type(dict, G_VARIANT_TYPE_VARDICT));
    EXPECT_EQ(g_variant_n_children(dict), 0u);
    if (input != nullptr) fl_value_unref(input);
  }
}

struct Completion {
  bool done = false;
  GVariant* reply = nullptr;
  GError* error = nullptr;
};

void RecordCompletion(GObject*, GAsyncResult* result, gpointer user_data) {
  auto* completion = static_cast<Completion*>(user_data);
  completion->reply = CallFinish(nullptr, result, &completion->error);
  completion->done = true;
}

TEST(ServiceClient, NoProxyFailsLaterThroughTheSameCompletion) {
  Completion completion;
  // A floating argument is consumed even though nothing is sent (LSan
  // would report it otherwise).
  CallAsync(nullptr, "Connect", g_variant_new("(a{sv})", nullptr), RecordCompletion, &completion);
  EXPECT_FALSE(completion.done) << "the callback must not run inside CallAsync";
  for (int i = 0; i < 100 && !completion.done; i++) g_main_context_iteration(nullptr, TRUE);
  ASSERT_TRUE(completion.done);
  EXPECT_EQ(completion.reply, nullptr);
  ASSERT_NE(completion.error, nullptr);
  EXPECT_TRUE(g_error_matches(completion.error, G_IO_ERROR, G_IO_ERROR_NOT_CONNECTED));
  EXPECT_STREQ(completion.error->message, "TessaryVPN Linux service proxy is unavailable.");
  g_clear_error(&completion.error);
  EXPECT_FALSE(HasOwner(nullptr));
}

}  // namespace
}  // namespace tessary::linux_service

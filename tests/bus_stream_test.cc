// The bus connection's input framing: what a bus sends, fed in pieces of
// every size, comes out byte for byte except the bodies above the bound.
#include "service/bus_stream.h"

#include <gio/gunixinputstream.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

namespace tessary::linux_service {
namespace {

constexpr gsize kBound = 1000;

struct Sent {
  GDBusMessageType type;
  GDBusMessageByteOrder order;
  gsize bodyBytes;  // the serialized (ay) body: 4 + its length
  guint32 serial;
};

GDBusMessage* Build(const Sent& sent) {
  GDBusMessage* message =
      sent.type == G_DBUS_MESSAGE_TYPE_METHOD_CALL
          ? g_dbus_message_new_method_call("org.tessaryvpn.Service1", "/org/tessaryvpn/Service1",
                                           "org.tessaryvpn.Service1", "Connect")
          : g_dbus_message_new_signal("/org/example", "org.example.Iface", "Noise");
  g_dbus_message_set_sender(message, ":1.42");
  g_dbus_message_set_serial(message, sent.serial);
  g_dbus_message_set_byte_order(message, sent.order);
  const std::string bytes(sent.bodyBytes - 4, 'x');
  g_dbus_message_set_body(
      message, g_variant_new("(@ay)", g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, bytes.data(),
                                                                bytes.size(), 1)));
  return message;
}

std::string Blob(GDBusMessage* message) {
  gsize size = 0;
  g_autofree guchar* blob =
      g_dbus_message_to_blob(message, &size, G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
  return std::string(reinterpret_cast<char*>(blob), size);
}

// Feeds `input` to the filtering stream through a pipe in pieces of `piece`
// bytes and reads it back `chunk` bytes at a time.
std::string Filter(const std::string& input, gsize piece, gsize chunk, GInputStream** filtered) {
  int fds[2];
  if (pipe(fds) != 0) return "";
  std::thread writer([&] {
    for (gsize offset = 0; offset < input.size(); offset += piece) {
      const gsize n = std::min(piece, input.size() - offset);
      if (write(fds[1], input.data() + offset, n) != static_cast<ssize_t>(n)) break;
    }
    close(fds[1]);
  });
  g_autoptr(GInputStream) base = g_unix_input_stream_new(fds[0], TRUE);
  *filtered = NewBoundedBusInput(base, kBound);
  std::string output;
  std::vector<char> buffer(chunk);
  for (;;) {
    const gssize got = g_input_stream_read(*filtered, buffer.data(), chunk, nullptr, nullptr);
    if (got <= 0) break;
    output.append(buffer.data(), got);
  }
  writer.join();
  return output;
}

TEST(BoundedBusInput, PassesEverythingButBodiesAboveTheBound) {
  const Sent sent[] = {
      {G_DBUS_MESSAGE_TYPE_METHOD_CALL, G_DBUS_MESSAGE_BYTE_ORDER_LITTLE_ENDIAN, 100, 7},
      {G_DBUS_MESSAGE_TYPE_METHOD_CALL, G_DBUS_MESSAGE_BYTE_ORDER_BIG_ENDIAN, 200000, 8},
      {G_DBUS_MESSAGE_TYPE_METHOD_CALL, G_DBUS_MESSAGE_BYTE_ORDER_BIG_ENDIAN, kBound, 9},
      {G_DBUS_MESSAGE_TYPE_METHOD_CALL, G_DBUS_MESSAGE_BYTE_ORDER_LITTLE_ENDIAN, kBound + 1, 10},
      {G_DBUS_MESSAGE_TYPE_SIGNAL, G_DBUS_MESSAGE_BYTE_ORDER_BIG_ENDIAN, 5000, 11},
      {G_DBUS_MESSAGE_TYPE_METHOD_CALL, G_DBUS_MESSAGE_BYTE_ORDER_LITTLE_ENDIAN, 8, 12},
  };
  std::string input;
  std::vector<std::string> blobs;
  for (const Sent& s : sent) {
    g_autoptr(GDBusMessage) message = Build(s);
    blobs.push_back(Blob(message));
    input += blobs.back();
  }
  struct Split {
    gsize piece;
    gsize chunk;
  };
  for (const Split split : {Split{1, 1}, Split{3, 16}, Split{4096, 7}, Split{1 << 20, 65536}}) {
    SCOPED_TRACE(std::to_string(split.piece) + "/" + std::to_string(split.chunk));
    GInputStream* filtered = nullptr;
    const std::string output = Filter(input, split.piece, split.chunk, &filtered);
    gsize offset = 0;
    for (gsize i = 0; i < G_N_ELEMENTS(sent); ++i) {
      SCOPED_TRACE(i);
      ASSERT_GE(output.size(), offset + 16);
      const auto* data = reinterpret_cast<const guchar*>(output.data()) + offset;
      const gssize size = g_dbus_message_bytes_needed(const_cast<guchar*>(data), 16, nullptr);
      ASSERT_GT(size, 0);
      ASSERT_LE(offset + size, output.size());
      const std::string got = output.substr(offset, size);
      offset += size;
      if (sent[i].bodyBytes <= kBound) {
        EXPECT_EQ(got, blobs[i]);
        continue;
      }
      g_autoptr(GDBusMessage) message = g_dbus_message_new_from_blob(
          const_cast<guchar*>(data), size, G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
      ASSERT_NE(message, nullptr);
      EXPECT_EQ(g_dbus_message_get_body(message), nullptr);
      EXPECT_EQ(g_dbus_message_get_signature(message), std::string());
      EXPECT_EQ(g_dbus_message_get_byte_order(message), sent[i].order);
      EXPECT_EQ(g_dbus_message_get_serial(message), sent[i].serial);
      EXPECT_STREQ(g_dbus_message_get_sender(message), ":1.42");
      EXPECT_EQ(g_dbus_message_get_message_type(message), sent[i].type);
      // Only a call is answered for its size.
      const bool call = sent[i].type == G_DBUS_MESSAGE_TYPE_METHOD_CALL;
      EXPECT_EQ(TakeShortenedCall(filtered, ":1.42", sent[i].serial), call);
      EXPECT_FALSE(TakeShortenedCall(filtered, ":1.42", sent[i].serial));
    }
    EXPECT_EQ(offset, output.size());
    EXPECT_FALSE(TakeShortenedCall(filtered, ":1.42", 9));
    g_object_unref(filtered);
  }
}

}  // namespace
}  // namespace tessary::linux_service

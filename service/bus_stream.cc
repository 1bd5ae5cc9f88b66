// A D-Bus message is a 16-byte fixed header, an array of header fields
// padded to 8 bytes and the body; the fixed header alone gives the total
// size, so a message can be framed and its body skipped without parsing it.
#include "service/bus_stream.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <utility>

namespace tessary::linux_service {
namespace {

constexpr gsize kFixedHeaderBytes = 16;
constexpr guint8 kMethodCallType = 1;
constexpr guint8 kNoReplyExpectedFlag = 0x1;
constexpr guint8 kSenderField = 7;
constexpr guint8 kSignatureField = 8;
// Header fields are a few names and paths; a message whose fields are larger
// than this is passed on whole, for GDBus to judge.
constexpr guint32 kMaxHeaderFieldBytes = 65536;
constexpr gsize kSkipChunkBytes = 65536;
constexpr gsize kMaxSaslLineBytes = 512;
constexpr char kHexDigits[] = "0123456789abcdef";

// GInputStream lets one read run at a time, but GDBus hands the stream and
// the filter from the thread that creates them to its worker through GLib's
// own locks, which ThreadSanitizer cannot see. This lock, constant-initialized
// so that nothing of it is written at run time, makes that hand-off visible:
// whatever is set up before it is released is seen by every read and filter.
std::mutex handoffMutex;

struct Framer {
  gsize maxBodyBytes = 0;
  // Something that is no message: GDBus gets it as it is and closes.
  bool passAll = false;
  // Read from the bus and not yet classified.
  std::string pending;
  // Ready for GDBus, before anything else.
  std::string ready;
  gsize readyOffset = 0;
  // Of the current message, still to pass on or to discard.
  guint64 passRemaining = 0;
  guint64 skipRemaining = 0;

  // Written while framing, taken on GDBus's worker thread.
  std::mutex shortenedMutex;
  std::set<std::pair<std::string, guint32>> shortened;
};

struct TessaryBusInput {
  GFilterInputStream parent;
  Framer framer;  // constructed in place by init, destroyed by finalize
};

struct TessaryBusInputClass {
  GFilterInputStreamClass parent;
};

void InitPollable(GPollableInputStreamInterface* iface);

// Pollable, so that GDBus's worker thread reads it the way it reads a socket
// rather than through a thread of GIO's pool.
G_DEFINE_TYPE_WITH_CODE(TessaryBusInput, tessary_bus_input, G_TYPE_FILTER_INPUT_STREAM,
                        G_IMPLEMENT_INTERFACE(G_TYPE_POLLABLE_INPUT_STREAM, InitPollable))

guint32 ReadUint32(const std::string& bytes, gsize offset, bool bigEndian) {
  guint32 value = 0;
  memcpy(&value, bytes.data() + offset, sizeof value);
  return bigEndian ? GUINT32_FROM_BE(value) : GUINT32_FROM_LE(value);
}

void WriteUint32(std::string* bytes, gsize offset, guint32 value, bool bigEndian) {
  value = bigEndian ? GUINT32_TO_BE(value) : GUINT32_TO_LE(value);
  memcpy(&(*bytes)[offset], &value, sizeof value);
}

gsize Align(gsize offset, gsize alignment) { return (offset + alignment - 1) & ~(alignment - 1); }

// The header of `message` (fixed part and fields, `headerBytes` long) with
// the SIGNATURE field left out and a body length of 0, and the SENDER field's
// value. False when a field is not one the protocol defines a type for.
bool ShortenHeader(const std::string& message, bool bigEndian, std::string* header,
                   std::string* sender) {
  const gsize fieldsEnd = kFixedHeaderBytes + ReadUint32(message, 12, bigEndian);
  std::string fields;
  gsize offset = kFixedHeaderBytes;
  for (;;) {
    offset = Align(offset, 8);
    if (offset >= fieldsEnd) break;
    const gsize start = offset;
    if (offset + 4 > fieldsEnd || message[offset + 1] != 1 || message[offset + 3] != '\0') {
      return false;
    }
    const guint8 code = static_cast<guint8>(message[offset]);
    const char type = message[offset + 2];
    offset += 4;
    if (type == 's' || type == 'o') {
      offset = Align(offset, 4);
      if (offset + 4 > fieldsEnd) return false;
      const guint32 length = ReadUint32(message, offset, bigEndian);
      if (length > fieldsEnd - offset - 4) return false;
      if (code == kSenderField) sender->assign(message, offset + 4, length);
      offset += 4 + length + 1;
    } else if (type == 'g') {
      if (offset >= fieldsEnd) return false;
      offset += 1 + static_cast<guint8>(message[offset]) + 1;
    } else if (type == 'u') {
      offset = Align(offset, 4) + 4;
    } else {
      return false;
    }
    if (offset > fieldsEnd) return false;
    if (code == kSignatureField) continue;
    // Every field starts 8-aligned, so a copied field keeps its inner alignment.
    fields.resize(Align(fields.size(), 8), '\0');
    fields.append(message, start, offset - start);
  }
  *header = message.substr(0, kFixedHeaderBytes) + fields;
  WriteUint32(header, 4, 0, bigEndian);
  WriteUint32(header, 12, static_cast<guint32>(fields.size()), bigEndian);
  header->resize(Align(header->size(), 8), '\0');
  return true;
}

gssize ReadRaw(GInputStream* base, void* buffer, gsize count, bool blocking,
               GCancellable* cancellable, GError** error) {
  return blocking ? g_input_stream_read(base, buffer, count, cancellable, error)
                  : g_pollable_input_stream_read_nonblocking(G_POLLABLE_INPUT_STREAM(base), buffer,
                                                             count, cancellable, error);
}

// Reads into *into at most `count` more bytes; returns what the base returned.
gssize ReadBase(GInputStream* base, std::string* into, gsize count, bool blocking,
                GCancellable* cancellable, GError** error) {
  const gsize before = into->size();
  into->resize(before + count);
  const gssize got = ReadRaw(base, &(*into)[before], count, blocking, cancellable, error);
  into->resize(before + std::max<gssize>(got, 0));
  return got;
}

// Moves the first `count` bytes of pending to ready.
void PassPending(Framer* framer, gsize count) {
  framer->ready.append(framer->pending, 0, count);
  framer->pending.erase(0, count);
}

// With at least the fixed header in pending, decides what becomes of the
// message; returns false when more of its header must be read first, with
// *need the bytes pending must hold.
bool FrameMessage(TessaryBusInput* self, gsize* need) {
  Framer* framer = &self->framer;
  const std::string& pending = framer->pending;
  const bool bigEndian = pending[0] == 'B';
  if (pending[0] != 'l' && !bigEndian) {
    framer->passAll = true;
    PassPending(framer, pending.size());
    return true;
  }
  const guint32 bodyBytes = ReadUint32(pending, 4, bigEndian);
  const guint32 fieldBytes = ReadUint32(pending, 12, bigEndian);
  const gsize headerBytes = Align(kFixedHeaderBytes + fieldBytes, 8);
  const guint64 total = headerBytes + static_cast<guint64>(bodyBytes);
  if (bodyBytes <= framer->maxBodyBytes || fieldBytes > kMaxHeaderFieldBytes) {
    const gsize now = std::min<guint64>(total, pending.size());
    PassPending(framer, now);
    framer->passRemaining = total - now;
    return true;
  }
  if (pending.size() < headerBytes) {
    *need = headerBytes;
    return false;
  }
  std::string header;
  std::string sender;
  if (!ShortenHeader(pending, bigEndian, &header, &sender)) {
    const gsize now = std::min<guint64>(total, pending.size());
    PassPending(framer, now);
    framer->passRemaining = total - now;
    return true;
  }
  if (static_cast<guint8>(pending[1]) == kMethodCallType &&
      (static_cast<guint8>(pending[2]) & kNoReplyExpectedFlag) == 0) {
    std::lock_guard<std::mutex> lock(framer->shortenedMutex);
    framer->shortened.emplace(sender, ReadUint32(pending, 8, bigEndian));
  }
  framer->ready.append(header);
  const gsize bodyPending = std::min<guint64>(total, pending.size()) - headerBytes;
  framer->pending.erase(0, headerBytes + bodyPending);
  framer->skipRemaining = bodyBytes - bodyPending;
  return true;
}

// Every step is kept in the framer before the base is read, so a read that
// would block returns and the next one resumes where this one stopped.
gssize ReadFramed(GInputStream* stream, void* buffer, gsize count, bool blocking,
                  GCancellable* cancellable, GError** error) {
  auto* self = reinterpret_cast<TessaryBusInput*>(stream);
  Framer* framer = &self->framer;
  std::lock_guard<std::mutex> lock(handoffMutex);
  GInputStream* base = G_FILTER_INPUT_STREAM(stream)->base_stream;
  gsize need = kFixedHeaderBytes;
  for (;;) {
    if (framer->readyOffset < framer->ready.size()) {
      const gsize n = std::min(count, framer->ready.size() - framer->readyOffset);
      memcpy(buffer, framer->ready.data() + framer->readyOffset, n);
      framer->readyOffset += n;
      if (framer->readyOffset == framer->ready.size()) {
        framer->ready.clear();
        framer->readyOffset = 0;
      }
      return static_cast<gssize>(n);
    }
    if (framer->passAll || framer->passRemaining > 0) {
      const gsize wanted =
          framer->passAll ? count : std::min<guint64>(count, framer->passRemaining);
      const gssize got = ReadRaw(base, buffer, wanted, blocking, cancellable, error);
      if (got > 0 && !framer->passAll) framer->passRemaining -= got;
      return got;
    }
    if (framer->skipRemaining > 0) {
      std::string discarded;
      const gssize got =
          ReadBase(base, &discarded, std::min<guint64>(kSkipChunkBytes, framer->skipRemaining),
                   blocking, cancellable, error);
      if (got <= 0) return got;
      framer->skipRemaining -= got;
      continue;
    }
    if (framer->pending.size() >= need && FrameMessage(self, &need)) {
      need = kFixedHeaderBytes;
      continue;
    }
    if (framer->pending.size() >= need) continue;
    const gssize got = ReadBase(base, &framer->pending, need - framer->pending.size(), blocking,
                                cancellable, error);
    if (got < 0) return -1;
    if (got == 0) {
      // The bus closed mid-message: what came is GDBus's to reject.
      if (framer->pending.empty()) return 0;
      framer->passAll = true;
      PassPending(framer, framer->pending.size());
    }
  }
}

gssize BusInputRead(GInputStream* stream, void* buffer, gsize count, GCancellable* cancellable,
                    GError** error) {
  return ReadFramed(stream, buffer, count, true, cancellable, error);
}

GInputStream* BaseOf(GPollableInputStream* stream) {
  return G_FILTER_INPUT_STREAM(stream)->base_stream;
}

gboolean BusInputCanPoll(GPollableInputStream* stream) {
  GInputStream* base = BaseOf(stream);
  return G_IS_POLLABLE_INPUT_STREAM(base) &&
         g_pollable_input_stream_can_poll(G_POLLABLE_INPUT_STREAM(base));
}

gboolean BusInputIsReadable(GPollableInputStream* stream) {
  Framer* framer = &reinterpret_cast<TessaryBusInput*>(stream)->framer;
  std::lock_guard<std::mutex> lock(handoffMutex);
  return framer->readyOffset < framer->ready.size() ||
         g_pollable_input_stream_is_readable(G_POLLABLE_INPUT_STREAM(BaseOf(stream)));
}

GSource* BusInputCreateSource(GPollableInputStream* stream, GCancellable* cancellable) {
  g_autoptr(GSource) base =
      g_pollable_input_stream_create_source(G_POLLABLE_INPUT_STREAM(BaseOf(stream)), nullptr);
  return g_pollable_source_new_full(stream, base, cancellable);
}

gssize BusInputReadNonblocking(GPollableInputStream* stream, void* buffer, gsize count,
                               GError** error) {
  return ReadFramed(G_INPUT_STREAM(stream), buffer, count, false, nullptr, error);
}

void InitPollable(GPollableInputStreamInterface* iface) {
  iface->can_poll = BusInputCanPoll;
  iface->is_readable = BusInputIsReadable;
  iface->create_source = BusInputCreateSource;
  iface->read_nonblocking = BusInputReadNonblocking;
}

void BusInputFinalize(GObject* object) {
  Framer* framer = &reinterpret_cast<TessaryBusInput*>(object)->framer;
  // Whichever thread lets go last, it sees everything the last read did.
  { std::lock_guard<std::mutex> lock(handoffMutex); }
  framer->~Framer();
  G_OBJECT_CLASS(tessary_bus_input_parent_class)->finalize(object);
}

void tessary_bus_input_class_init(TessaryBusInputClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = BusInputFinalize;
  G_INPUT_STREAM_CLASS(klass)->read_fn = BusInputRead;
}

void tessary_bus_input_init(TessaryBusInput* self) { new (&self->framer) Framer(); }

// GDBus writes a socket's output stream straight to the socket of a socket
// connection, which this is not; the output is therefore the socket's stream
// under another type, pollable like it.
struct TessaryBusOutput {
  GFilterOutputStream parent;
};

struct TessaryBusOutputClass {
  GFilterOutputStreamClass parent;
};

void InitPollableOutput(GPollableOutputStreamInterface* iface);

G_DEFINE_TYPE_WITH_CODE(TessaryBusOutput, tessary_bus_output, G_TYPE_FILTER_OUTPUT_STREAM,
                        G_IMPLEMENT_INTERFACE(G_TYPE_POLLABLE_OUTPUT_STREAM, InitPollableOutput))

GPollableOutputStream* BaseOf(GPollableOutputStream* stream) {
  return G_POLLABLE_OUTPUT_STREAM(G_FILTER_OUTPUT_STREAM(stream)->base_stream);
}

gboolean BusOutputCanPoll(GPollableOutputStream* stream) {
  return g_pollable_output_stream_can_poll(BaseOf(stream));
}

gboolean BusOutputIsWritable(GPollableOutputStream* stream) {
  return g_pollable_output_stream_is_writable(BaseOf(stream));
}

GSource* BusOutputCreateSource(GPollableOutputStream* stream, GCancellable* cancellable) {
  g_autoptr(GSource) base = g_pollable_output_stream_create_source(BaseOf(stream), nullptr);
  return g_pollable_source_new_full(stream, base, cancellable);
}

gssize BusOutputWriteNonblocking(GPollableOutputStream* stream, const void* buffer, gsize count,
                                 GError** error) {
  return g_pollable_output_stream_write_nonblocking(BaseOf(stream), buffer, count, nullptr, error);
}

void InitPollableOutput(GPollableOutputStreamInterface* iface) {
  iface->can_poll = BusOutputCanPoll;
  iface->is_writable = BusOutputIsWritable;
  iface->create_source = BusOutputCreateSource;
  iface->write_nonblocking = BusOutputWriteNonblocking;
}

void tessary_bus_output_class_init(TessaryBusOutputClass*) {}

void tessary_bus_output_init(TessaryBusOutput*) {}

struct CallFilter {
  GInputStream* input;
  std::string errorName;
  std::string errorMessage;
};

void FreeCallFilter(gpointer data) {
  auto* filter = static_cast<CallFilter*>(data);
  { std::lock_guard<std::mutex> lock(handoffMutex); }
  g_object_unref(filter->input);
  delete filter;
}

// Runs on GDBus's worker thread before the call is dispatched, so that the
// shortened call is not answered InvalidArgs for its missing arguments.
GDBusMessage* AnswerShortenedCall(GDBusConnection* connection, GDBusMessage* message,
                                  gboolean incoming, gpointer data) {
  if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL ||
      g_dbus_message_get_body(message) != nullptr) {
    return message;
  }
  const auto* filter = static_cast<CallFilter*>(data);
  const char* sender = g_dbus_message_get_sender(message);
  g_autoptr(GDBusMessage) reply = nullptr;
  {
    std::lock_guard<std::mutex> lock(handoffMutex);
    if (!TakeShortenedCall(filter->input, sender != nullptr ? sender : "",
                           g_dbus_message_get_serial(message))) {
      return message;
    }
    reply = g_dbus_message_new_method_error_literal(message, filter->errorName.c_str(),
                                                    filter->errorMessage.c_str());
  }
  g_dbus_connection_send_message(connection, reply, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr,
                                 nullptr);
  g_object_unref(message);
  return nullptr;
}

}  // namespace

GInputStream* NewBoundedBusInput(GInputStream* base, gsize maxBodyBytes) {
  auto* input = static_cast<TessaryBusInput*>(
      g_object_new(tessary_bus_input_get_type(), "base-stream", base, nullptr));
  std::lock_guard<std::mutex> lock(handoffMutex);
  input->framer.maxBodyBytes = maxBodyBytes;
  return G_INPUT_STREAM(input);
}

bool TakeShortenedCall(GInputStream* input, const char* sender, guint32 serial) {
  Framer* framer = &reinterpret_cast<TessaryBusInput*>(input)->framer;
  std::lock_guard<std::mutex> lock(framer->shortenedMutex);
  return framer->shortened.erase({sender, serial}) > 0;
}

namespace {

// The client's side of the bus's SASL exchange, which GDBus would do only on
// a socket it reads itself: a credentials byte (the bus takes the peer's
// credentials from the socket), EXTERNAL as this process's uid, BEGIN.
bool Authenticate(GIOStream* socket, std::string* error) {
  GOutputStream* out = g_io_stream_get_output_stream(socket);
  GInputStream* in = g_io_stream_get_input_stream(socket);
  const std::string uid = std::to_string(geteuid());
  std::string request(1, '\0');
  request += "AUTH EXTERNAL ";
  for (const char digit : uid) {
    request += kHexDigits[(digit >> 4) & 0xf];
    request += kHexDigits[digit & 0xf];
  }
  request += "\r\n";
  g_autoptr(GError) failure = nullptr;
  if (!g_output_stream_write_all(out, request.data(), request.size(), nullptr, nullptr, &failure)) {
    *error = std::string("Unable to authenticate to the system bus: ") + failure->message;
    return false;
  }
  // One byte at a time: what follows the line belongs to GDBus.
  std::string line;
  while (line.size() < kMaxSaslLineBytes && (line.empty() || line.back() != '\n')) {
    char byte = 0;
    const gssize got = g_input_stream_read(in, &byte, 1, nullptr, &failure);
    if (got <= 0) {
      *error = std::string("Unable to authenticate to the system bus: ") +
               (failure != nullptr ? failure->message : "the bus closed the connection.");
      return false;
    }
    line.push_back(byte);
  }
  if (!g_str_has_prefix(line.c_str(), "OK ")) {
    *error = "The system bus refused to authenticate the service.";
    return false;
  }
  constexpr char kBegin[] = "BEGIN\r\n";
  if (!g_output_stream_write_all(out, kBegin, strlen(kBegin), nullptr, nullptr, &failure)) {
    *error = std::string("Unable to authenticate to the system bus: ") + failure->message;
    return false;
  }
  return true;
}

}  // namespace

GDBusConnection* ConnectSystemBus(gsize maxBodyBytes, const char* errorName,
                                  const char* errorMessage, std::string* error) {
  g_autoptr(GError) failure = nullptr;
  g_autofree gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &failure);
  g_autoptr(GIOStream) socket =
      address != nullptr ? g_dbus_address_get_stream_sync(address, nullptr, nullptr, &failure)
                         : nullptr;
  if (socket == nullptr) {
    *error = std::string("Unable to connect to the system bus: ") + failure->message;
    return nullptr;
  }
  if (!Authenticate(socket, error)) return nullptr;
  g_autoptr(GInputStream) input =
      NewBoundedBusInput(g_io_stream_get_input_stream(socket), maxBodyBytes);
  // Closing the socket connection closes the socket; it lives as long as
  // the input that reads from it.
  g_object_set_data_full(G_OBJECT(input), "tessary-socket", g_object_ref(socket), g_object_unref);
  g_autoptr(GOutputStream) output =
      G_OUTPUT_STREAM(g_object_new(tessary_bus_output_get_type(), "base-stream",
                                   g_io_stream_get_output_stream(socket), nullptr));
  g_autoptr(GIOStream) stream = g_simple_io_stream_new(input, output);
  // Not a socket connection: GDBus reads through the input above and passes
  // no file descriptors, which the service neither sends nor takes.
  GDBusConnection* connection = g_dbus_connection_new_sync(
      stream, nullptr, G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION, nullptr, nullptr, &failure);
  if (connection == nullptr) {
    *error = std::string("Unable to connect to the system bus: ") + failure->message;
    return nullptr;
  }
  // As for the connection g_bus_get shares: losing the bus ends the service.
  g_dbus_connection_set_exit_on_close(connection, TRUE);
  CallFilter* filter = nullptr;
  {
    std::lock_guard<std::mutex> lock(handoffMutex);
    filter = new CallFilter{G_INPUT_STREAM(g_object_ref(input)), errorName, errorMessage};
  }
  g_dbus_connection_add_filter(connection, AnswerShortenedCall, filter, FreeCallFilter);
  return connection;
}

}  // namespace tessary::linux_service

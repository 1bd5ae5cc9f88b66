// The messenger, registrar and application side of the embedder stand-in.
#include "standin_host.h"

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "standin_internal.h"

// ---- FlBinaryMessenger interface and response handle -----------------------

G_DEFINE_QUARK(fl_binary_messenger_codec_error_quark, fl_binary_messenger_codec_error)
G_DEFINE_INTERFACE(FlBinaryMessenger, fl_binary_messenger, G_TYPE_OBJECT)
static void fl_binary_messenger_default_init(FlBinaryMessengerInterface*) {}

G_DEFINE_TYPE(FlBinaryMessengerResponseHandle, fl_binary_messenger_response_handle, G_TYPE_OBJECT)
static void fl_binary_messenger_response_handle_class_init(FlBinaryMessengerResponseHandleClass*) {}
static void fl_binary_messenger_response_handle_init(FlBinaryMessengerResponseHandle*) {}

void fl_binary_messenger_set_message_handler_on_channel(FlBinaryMessenger* self,
                                                        const gchar* channel,
                                                        FlBinaryMessengerMessageHandler handler,
                                                        gpointer user_data,
                                                        GDestroyNotify destroy_notify) {
  g_return_if_fail(FL_IS_BINARY_MESSENGER(self));
  FL_BINARY_MESSENGER_GET_IFACE(self)->set_message_handler_on_channel(self, channel, handler,
                                                                      user_data, destroy_notify);
}

gboolean fl_binary_messenger_send_response(FlBinaryMessenger* self,
                                           FlBinaryMessengerResponseHandle* response_handle,
                                           GBytes* response, GError** error) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER(self), FALSE);
  return FL_BINARY_MESSENGER_GET_IFACE(self)->send_response(self, response_handle, response, error);
}

void fl_binary_messenger_send_on_channel(FlBinaryMessenger* self, const gchar* channel,
                                         GBytes* message, GCancellable* cancellable,
                                         GAsyncReadyCallback callback, gpointer user_data) {
  g_return_if_fail(FL_IS_BINARY_MESSENGER(self));
  FL_BINARY_MESSENGER_GET_IFACE(self)->send_on_channel(self, channel, message, cancellable,
                                                       callback, user_data);
}

GBytes* fl_binary_messenger_send_on_channel_finish(FlBinaryMessenger* self, GAsyncResult* result,
                                                   GError** error) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER(self), nullptr);
  return FL_BINARY_MESSENGER_GET_IFACE(self)->send_on_channel_finish(self, result, error);
}

void fl_binary_messenger_resize_channel(FlBinaryMessenger* self, const gchar* channel,
                                        int64_t new_size) {
  g_return_if_fail(FL_IS_BINARY_MESSENGER(self));
  FL_BINARY_MESSENGER_GET_IFACE(self)->resize_channel(self, channel, new_size);
}

void fl_binary_messenger_set_warns_on_channel_overflow(FlBinaryMessenger* self,
                                                       const gchar* channel, bool warns) {
  g_return_if_fail(FL_IS_BINARY_MESSENGER(self));
  FL_BINARY_MESSENGER_GET_IFACE(self)->set_warns_on_channel_overflow(self, channel, warns);
}

// ---- FlPluginRegistrar interface -------------------------------------------

G_DEFINE_INTERFACE(FlPluginRegistrar, fl_plugin_registrar, G_TYPE_OBJECT)
static void fl_plugin_registrar_default_init(FlPluginRegistrarInterface*) {}

FlBinaryMessenger* fl_plugin_registrar_get_messenger(FlPluginRegistrar* self) {
  g_return_val_if_fail(FL_IS_PLUGIN_REGISTRAR(self), nullptr);
  return FL_PLUGIN_REGISTRAR_GET_IFACE(self)->get_messenger(self);
}

FlTextureRegistrar* fl_plugin_registrar_get_texture_registrar(FlPluginRegistrar* self) {
  g_return_val_if_fail(FL_IS_PLUGIN_REGISTRAR(self), nullptr);
  return FL_PLUGIN_REGISTRAR_GET_IFACE(self)->get_texture_registrar(self);
}

FlView* fl_plugin_registrar_get_view(FlPluginRegistrar* self) {
  g_return_val_if_fail(FL_IS_PLUGIN_REGISTRAR(self), nullptr);
  return FL_PLUGIN_REGISTRAR_GET_IFACE(self)->get_view(self);
}

// ---- FlPluginRegistry interface --------------------------------------------

G_DEFINE_INTERFACE(FlPluginRegistry, fl_plugin_registry, G_TYPE_OBJECT)
static void fl_plugin_registry_default_init(FlPluginRegistryInterface*) {}

FlPluginRegistrar* fl_plugin_registry_get_registrar_for_plugin(FlPluginRegistry* self,
                                                               const gchar* name) {
  g_return_val_if_fail(FL_IS_PLUGIN_REGISTRY(self), nullptr);
  return FL_PLUGIN_REGISTRY_GET_IFACE(self)->get_registrar_for_plugin(self, name);
}

// ---- the stand-in engine ---------------------------------------------------

namespace {

struct Handler {
  FlBinaryMessengerMessageHandler function = nullptr;
  gpointer data = nullptr;
  GDestroyNotify destroy = nullptr;
};

struct CallRecord {
  int answers = 0;
  FlMethodResponse* response = nullptr;  // owned
};

struct EventRecord {
  FlValue* value = nullptr;  // owned; null for error or end of stream
};

}  // namespace

G_DECLARE_FINAL_TYPE(StandinResponseHandle, standin_response_handle, STANDIN, RESPONSE_HANDLE,
                     FlBinaryMessengerResponseHandle)
struct _StandinResponseHandle {
  FlBinaryMessengerResponseHandle parent_instance;
  int id;
};
G_DEFINE_TYPE(StandinResponseHandle, standin_response_handle,
              fl_binary_messenger_response_handle_get_type())
static void standin_response_handle_class_init(StandinResponseHandleClass*) {}
static void standin_response_handle_init(StandinResponseHandle*) {}

G_DECLARE_FINAL_TYPE(StandinMessenger, standin_messenger, STANDIN, MESSENGER, GObject)
struct _StandinMessenger {
  GObject parent_instance;
  std::map<std::string, Handler>* handlers;
  std::map<int, CallRecord>* calls;
  std::map<std::string, std::vector<EventRecord>>* events;
  FlMethodCodec* codec;  // what the application side decodes with
};

static void standin_messenger_iface_init(FlBinaryMessengerInterface* iface);
G_DEFINE_TYPE_WITH_CODE(StandinMessenger, standin_messenger, G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(fl_binary_messenger_get_type(),
                                              standin_messenger_iface_init))

static void standin_messenger_close_all(StandinMessenger* self) {
  // Closing a channel may release objects that unregister other channels;
  // take one entry at a time.
  while (!self->handlers->empty()) {
    auto it = self->handlers->begin();
    Handler handler = it->second;
    self->handlers->erase(it);
    if (handler.destroy != nullptr) handler.destroy(handler.data);
  }
}

static void standin_messenger_dispose(GObject* object) {
  StandinMessenger* self = STANDIN_MESSENGER(object);
  if (self->handlers != nullptr) {
    standin_messenger_close_all(self);
    delete self->handlers;
    self->handlers = nullptr;
  }
  if (self->calls != nullptr) {
    for (auto& [id, record] : *self->calls) g_clear_object(&record.response);
    delete self->calls;
    self->calls = nullptr;
  }
  if (self->events != nullptr) {
    for (auto& [name, list] : *self->events) {
      for (EventRecord& record : list) g_clear_pointer(&record.value, fl_value_unref);
    }
    delete self->events;
    self->events = nullptr;
  }
  g_clear_object(&self->codec);
  G_OBJECT_CLASS(standin_messenger_parent_class)->dispose(object);
}

static void standin_messenger_class_init(StandinMessengerClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = standin_messenger_dispose;
}

static void standin_messenger_init(StandinMessenger* self) {
  self->handlers = new std::map<std::string, Handler>();
  self->calls = new std::map<int, CallRecord>();
  self->events = new std::map<std::string, std::vector<EventRecord>>();
  self->codec = FL_METHOD_CODEC(fl_standard_method_codec_new());
}

static void messenger_set_handler(FlBinaryMessenger* messenger, const gchar* channel,
                                  FlBinaryMessengerMessageHandler handler, gpointer user_data,
                                  GDestroyNotify destroy_notify) {
  StandinMessenger* self = STANDIN_MESSENGER(messenger);
  Handler old;
  auto it = self->handlers->find(channel);
  if (it != self->handlers->end()) {
    old = it->second;
    self->handlers->erase(it);
  }
  if (handler != nullptr) {
    (*self->handlers)[channel] = Handler{handler, user_data, destroy_notify};
  } else if (destroy_notify != nullptr) {
    destroy_notify(user_data);
  }
  // The replaced handler's channel is closed, as in the embedder.
  if (old.destroy != nullptr) old.destroy(old.data);
}

static gboolean messenger_send_response(FlBinaryMessenger* messenger,
                                        FlBinaryMessengerResponseHandle* response_handle,
                                        GBytes* response, GError** error) {
  StandinMessenger* self = STANDIN_MESSENGER(messenger);
  g_return_val_if_fail(STANDIN_IS_RESPONSE_HANDLE(response_handle), FALSE);
  CallRecord& record = (*self->calls)[STANDIN_RESPONSE_HANDLE(response_handle)->id];
  if (record.answers > 0) {
    record.answers++;
    g_set_error(error, FL_BINARY_MESSENGER_ERROR, FL_BINARY_MESSENGER_ERROR_ALREADY_RESPONDED,
                "Attempted to respond to a message that is already responded to");
    return FALSE;
  }
  g_autoptr(GError) decode_error = nullptr;
  FlMethodResponse* decoded = fl_method_codec_decode_response(self->codec, response, &decode_error);
  if (decoded == nullptr) {
    // The application could not read it; the plug-in sent something the
    // standard codec does not carry.
    g_critical("Stand-in engine could not decode a response: %s", decode_error->message);
    return FALSE;
  }
  record.answers = 1;
  record.response = decoded;
  return TRUE;
}

static void messenger_send_on_channel(FlBinaryMessenger* messenger, const gchar* channel,
                                      GBytes* message, GCancellable*, GAsyncReadyCallback callback,
                                      gpointer user_data) {
  StandinMessenger* self = STANDIN_MESSENGER(messenger);
  EventRecord record;
  if (message != nullptr) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlMethodResponse) decoded =
        fl_method_codec_decode_response(self->codec, message, &error);
    if (decoded == nullptr) {
      g_critical("Stand-in engine could not decode an event: %s", error->message);
    } else if (FL_IS_METHOD_SUCCESS_RESPONSE(decoded)) {
      record.value =
          fl_value_ref(fl_method_success_response_get_result(FL_METHOD_SUCCESS_RESPONSE(decoded)));
    }
  }
  (*self->events)[channel].push_back(record);
  if (callback != nullptr) {
    // Nobody on the application side answers messages: an empty reply.
    GTask* task = g_task_new(self, nullptr, callback, user_data);
    g_task_return_pointer(task, g_bytes_new(nullptr, 0),
                          reinterpret_cast<GDestroyNotify>(g_bytes_unref));
    g_object_unref(task);
  }
}

static GBytes* messenger_send_on_channel_finish(FlBinaryMessenger*, GAsyncResult* result,
                                                GError** error) {
  return static_cast<GBytes*>(g_task_propagate_pointer(G_TASK(result), error));
}

static void messenger_resize_channel(FlBinaryMessenger*, const gchar*, int64_t) {}
static void messenger_set_warns(FlBinaryMessenger*, const gchar*, bool) {}

static void standin_messenger_iface_init(FlBinaryMessengerInterface* iface) {
  iface->set_message_handler_on_channel = messenger_set_handler;
  iface->send_response = messenger_send_response;
  iface->send_on_channel = messenger_send_on_channel;
  iface->send_on_channel_finish = messenger_send_on_channel_finish;
  iface->resize_channel = messenger_resize_channel;
  iface->set_warns_on_channel_overflow = messenger_set_warns;
}

G_DECLARE_FINAL_TYPE(StandinRegistrar, standin_registrar, STANDIN, REGISTRAR, GObject)
struct _StandinRegistrar {
  GObject parent_instance;
  FlBinaryMessenger* messenger;
};
static void standin_registrar_iface_init(FlPluginRegistrarInterface* iface);
G_DEFINE_TYPE_WITH_CODE(StandinRegistrar, standin_registrar, G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(fl_plugin_registrar_get_type(),
                                              standin_registrar_iface_init))
static void standin_registrar_dispose(GObject* object) {
  g_clear_object(&STANDIN_REGISTRAR(object)->messenger);
  G_OBJECT_CLASS(standin_registrar_parent_class)->dispose(object);
}
static void standin_registrar_class_init(StandinRegistrarClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = standin_registrar_dispose;
}
static void standin_registrar_init(StandinRegistrar*) {}
static FlBinaryMessenger* registrar_get_messenger(FlPluginRegistrar* registrar) {
  return STANDIN_REGISTRAR(registrar)->messenger;
}
static FlTextureRegistrar* registrar_get_texture_registrar(FlPluginRegistrar*) { return nullptr; }
static FlView* registrar_get_view(FlPluginRegistrar*) { return nullptr; }
static void standin_registrar_iface_init(FlPluginRegistrarInterface* iface) {
  iface->get_messenger = registrar_get_messenger;
  iface->get_texture_registrar = registrar_get_texture_registrar;
  iface->get_view = registrar_get_view;
}

// ---- test-side API ---------------------------------------------------------

namespace standin {

namespace {
std::atomic<int> live_objects{0};
}  // namespace

void CountObject(int delta) { live_objects += delta; }

int HostLiveObjects() { return live_objects.load(); }

struct Host {
  StandinMessenger* messenger;
  StandinRegistrar* registrar;
  int next_id;
};

Host* HostNew() {
  Host* host = new Host();
  host->messenger = STANDIN_MESSENGER(g_object_new(standin_messenger_get_type(), nullptr));
  host->registrar = STANDIN_REGISTRAR(g_object_new(standin_registrar_get_type(), nullptr));
  host->registrar->messenger = FL_BINARY_MESSENGER(g_object_ref(host->messenger));
  host->next_id = 1;
  return host;
}

void HostFree(Host* host) {
  if (host == nullptr) return;
  standin_messenger_close_all(host->messenger);
  g_object_unref(host->registrar);
  g_object_unref(host->messenger);
  delete host;
}

FlPluginRegistrar* HostRegistrar(Host* host) { return FL_PLUGIN_REGISTRAR(host->registrar); }

bool HostHasHandler(Host* host, const char* channel) {
  return host->messenger->handlers->count(channel) > 0;
}

int HostInvoke(Host* host, const char* channel, const char* method, FlValue* args) {
  auto it = host->messenger->handlers->find(channel);
  if (it == host->messenger->handlers->end()) return -1;
  g_autoptr(GError) error = nullptr;
  g_autoptr(GBytes) message =
      fl_method_codec_encode_method_call(host->messenger->codec, method, args, &error);
  if (message == nullptr) {
    g_critical("Stand-in engine could not encode a call: %s", error->message);
    return -1;
  }
  int id = host->next_id++;
  (*host->messenger->calls)[id] = CallRecord{};
  StandinResponseHandle* handle =
      STANDIN_RESPONSE_HANDLE(g_object_new(standin_response_handle_get_type(), nullptr));
  handle->id = id;
  Handler handler = it->second;
  handler.function(FL_BINARY_MESSENGER(host->messenger), channel, message,
                   FL_BINARY_MESSENGER_RESPONSE_HANDLE(handle), handler.data);
  g_object_unref(handle);
  return id;
}

int HostListen(Host* host, const char* channel) {
  return HostInvoke(host, channel, "listen", nullptr);
}

int HostCancel(Host* host, const char* channel) {
  return HostInvoke(host, channel, "cancel", nullptr);
}

FlMethodResponse* HostResponse(Host* host, int id) {
  auto it = host->messenger->calls->find(id);
  return it == host->messenger->calls->end() ? nullptr : it->second.response;
}

int HostResponseCount(Host* host, int id) {
  auto it = host->messenger->calls->find(id);
  return it == host->messenger->calls->end() ? 0 : it->second.answers;
}

size_t HostEventCount(Host* host, const char* channel) {
  auto it = host->messenger->events->find(channel);
  return it == host->messenger->events->end() ? 0 : it->second.size();
}

FlValue* HostEvent(Host* host, const char* channel, size_t index) {
  auto it = host->messenger->events->find(channel);
  if (it == host->messenger->events->end() || index >= it->second.size()) return nullptr;
  return it->second[index].value;
}

}  // namespace standin

// Method call, method channel and event channel of the embedder stand-in.
// As in the embedder, the messenger holds a reference to each channel until
// the channel is closed (engine shutdown or a replaced handler), so a
// plug-in may drop its own reference right after installing a handler.
#include "standin_internal.h"

// ---- method call -----------------------------------------------------------

struct _FlMethodCall {
  GObject parent_instance;
  gchar* name;
  FlValue* args;
  FlMethodChannel* channel;
  FlBinaryMessengerResponseHandle* response_handle;
};

G_DEFINE_TYPE(FlMethodCall, fl_method_call, G_TYPE_OBJECT)

static void method_call_dispose(GObject* object) {
  FlMethodCall* self = FL_METHOD_CALL(object);
  g_clear_pointer(&self->name, g_free);
  g_clear_pointer(&self->args, fl_value_unref);
  g_clear_object(&self->channel);
  g_clear_object(&self->response_handle);
  G_OBJECT_CLASS(fl_method_call_parent_class)->dispose(object);
}
static void fl_method_call_finalize(GObject* object) {
  standin::CountObject(-1);
  G_OBJECT_CLASS(fl_method_call_parent_class)->finalize(object);
}
static void fl_method_call_class_init(FlMethodCallClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = method_call_dispose;
  G_OBJECT_CLASS(klass)->finalize = fl_method_call_finalize;
}
static void fl_method_call_init(FlMethodCall*) { standin::CountObject(1); }

FlMethodCall* fl_method_call_new(const gchar* name, FlValue* args, FlMethodChannel* channel,
                                 FlBinaryMessengerResponseHandle* response_handle) {
  FlMethodCall* self = FL_METHOD_CALL(g_object_new(fl_method_call_get_type(), nullptr));
  self->name = g_strdup(name);
  self->args = fl_value_ref(args);
  self->channel = FL_METHOD_CHANNEL(g_object_ref(channel));
  self->response_handle = FL_BINARY_MESSENGER_RESPONSE_HANDLE(g_object_ref(response_handle));
  return self;
}

const gchar* fl_method_call_get_name(FlMethodCall* self) {
  g_return_val_if_fail(FL_IS_METHOD_CALL(self), nullptr);
  return self->name;
}

FlValue* fl_method_call_get_args(FlMethodCall* self) {
  g_return_val_if_fail(FL_IS_METHOD_CALL(self), nullptr);
  return self->args;
}

gboolean fl_method_call_respond(FlMethodCall* self, FlMethodResponse* response, GError** error) {
  g_return_val_if_fail(FL_IS_METHOD_CALL(self), FALSE);
  g_return_val_if_fail(FL_IS_METHOD_RESPONSE(response), FALSE);
  return fl_method_channel_respond(self->channel, self->response_handle, response, error);
}

gboolean fl_method_call_respond_success(FlMethodCall* self, FlValue* result, GError** error) {
  g_autoptr(FlMethodResponse) response = FL_METHOD_RESPONSE(fl_method_success_response_new(result));
  return fl_method_call_respond(self, response, error);
}

gboolean fl_method_call_respond_error(FlMethodCall* self, const gchar* code, const gchar* message,
                                      FlValue* details, GError** error) {
  g_autoptr(FlMethodResponse) response =
      FL_METHOD_RESPONSE(fl_method_error_response_new(code, message, details));
  return fl_method_call_respond(self, response, error);
}

gboolean fl_method_call_respond_not_implemented(FlMethodCall* self, GError** error) {
  g_autoptr(FlMethodResponse) response =
      FL_METHOD_RESPONSE(fl_method_not_implemented_response_new());
  return fl_method_call_respond(self, response, error);
}

// ---- method channel --------------------------------------------------------

struct _FlMethodChannel {
  GObject parent_instance;
  FlBinaryMessenger* messenger;
  gchar* name;
  FlMethodCodec* codec;
  gboolean closed;
  FlMethodChannelMethodCallHandler handler;
  gpointer handler_data;
  GDestroyNotify handler_destroy;
};

G_DEFINE_TYPE(FlMethodChannel, fl_method_channel, G_TYPE_OBJECT)

static void method_channel_drop_handler(FlMethodChannel* self) {
  GDestroyNotify destroy = self->handler_destroy;
  gpointer data = self->handler_data;
  self->handler = nullptr;
  self->handler_data = nullptr;
  self->handler_destroy = nullptr;
  if (destroy != nullptr) destroy(data);
}

static void method_channel_message_cb(FlBinaryMessenger* messenger, const gchar*, GBytes* message,
                                      FlBinaryMessengerResponseHandle* response_handle,
                                      gpointer user_data) {
  FlMethodChannel* self = FL_METHOD_CHANNEL(user_data);
  g_autofree gchar* method = nullptr;
  g_autoptr(FlValue) args = nullptr;
  g_autoptr(GError) error = nullptr;
  if (!fl_method_codec_decode_method_call(self->codec, message, &method, &args, &error)) {
    g_warning("Failed to decode method call: %s", error->message);
    fl_binary_messenger_send_response(messenger, response_handle, nullptr, nullptr);
    return;
  }
  if (self->handler == nullptr) {
    fl_binary_messenger_send_response(messenger, response_handle, nullptr, nullptr);
    return;
  }
  g_autoptr(FlMethodCall) call = fl_method_call_new(method, args, self, response_handle);
  self->handler(self, call, self->handler_data);
}

static void method_channel_closed_cb(gpointer user_data) {
  g_autoptr(FlMethodChannel) self = FL_METHOD_CHANNEL(user_data);
  self->closed = TRUE;
  method_channel_drop_handler(self);
}

static void method_channel_dispose(GObject* object) {
  FlMethodChannel* self = FL_METHOD_CHANNEL(object);
  method_channel_drop_handler(self);
  g_clear_object(&self->messenger);
  g_clear_pointer(&self->name, g_free);
  g_clear_object(&self->codec);
  G_OBJECT_CLASS(fl_method_channel_parent_class)->dispose(object);
}
static void fl_method_channel_finalize(GObject* object) {
  standin::CountObject(-1);
  G_OBJECT_CLASS(fl_method_channel_parent_class)->finalize(object);
}
static void fl_method_channel_class_init(FlMethodChannelClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = method_channel_dispose;
  G_OBJECT_CLASS(klass)->finalize = fl_method_channel_finalize;
}
static void fl_method_channel_init(FlMethodChannel*) { standin::CountObject(1); }

FlMethodChannel* fl_method_channel_new(FlBinaryMessenger* messenger, const gchar* name,
                                       FlMethodCodec* codec) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER(messenger), nullptr);
  g_return_val_if_fail(name != nullptr && FL_IS_METHOD_CODEC(codec), nullptr);
  FlMethodChannel* self = FL_METHOD_CHANNEL(g_object_new(fl_method_channel_get_type(), nullptr));
  self->messenger = FL_BINARY_MESSENGER(g_object_ref(messenger));
  self->name = g_strdup(name);
  self->codec = FL_METHOD_CODEC(g_object_ref(codec));
  fl_binary_messenger_set_message_handler_on_channel(messenger, name, method_channel_message_cb,
                                                     g_object_ref(self), method_channel_closed_cb);
  return self;
}

void fl_method_channel_set_method_call_handler(FlMethodChannel* self,
                                               FlMethodChannelMethodCallHandler handler,
                                               gpointer user_data, GDestroyNotify destroy_notify) {
  g_return_if_fail(FL_IS_METHOD_CHANNEL(self));
  if (self->closed) {
    // The embedder refuses a handler on a closed channel and frees its data.
    g_warning("Attempted to set method call handler on a closed FlMethodChannel");
    if (destroy_notify != nullptr) destroy_notify(user_data);
    return;
  }
  method_channel_drop_handler(self);
  self->handler = handler;
  self->handler_data = user_data;
  self->handler_destroy = destroy_notify;
}

gboolean fl_method_channel_respond(FlMethodChannel* self,
                                   FlBinaryMessengerResponseHandle* response_handle,
                                   FlMethodResponse* response, GError** error) {
  g_autoptr(GBytes) message = nullptr;
  if (FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    message = fl_method_codec_encode_success_envelope(
        self->codec, fl_method_success_response_get_result(FL_METHOD_SUCCESS_RESPONSE(response)),
        error);
    if (message == nullptr) return FALSE;
  } else if (FL_IS_METHOD_ERROR_RESPONSE(response)) {
    FlMethodErrorResponse* e = FL_METHOD_ERROR_RESPONSE(response);
    message = fl_method_codec_encode_error_envelope(
        self->codec, fl_method_error_response_get_code(e), fl_method_error_response_get_message(e),
        fl_method_error_response_get_details(e), error);
    if (message == nullptr) return FALSE;
  }
  // Not implemented travels as an empty reply.
  return fl_binary_messenger_send_response(self->messenger, response_handle, message, error);
}

void fl_method_channel_invoke_method(FlMethodChannel* self, const gchar* method, FlValue* args,
                                     GCancellable* cancellable, GAsyncReadyCallback callback,
                                     gpointer user_data) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GBytes) message = fl_method_codec_encode_method_call(self->codec, method, args, &error);
  if (message == nullptr) {
    if (callback != nullptr) {
      g_task_report_error(self, callback, user_data, nullptr,
                          static_cast<GError*>(g_steal_pointer(&error)));
    }
    return;
  }
  fl_binary_messenger_send_on_channel(self->messenger, self->name, message, cancellable, callback,
                                      user_data);
}

FlMethodResponse* fl_method_channel_invoke_method_finish(FlMethodChannel* self,
                                                         GAsyncResult* result, GError** error) {
  if (G_IS_TASK(result) && g_task_get_source_object(G_TASK(result)) == self) {
    return static_cast<FlMethodResponse*>(g_task_propagate_pointer(G_TASK(result), error));
  }
  g_autoptr(GBytes) reply =
      fl_binary_messenger_send_on_channel_finish(self->messenger, result, error);
  if (reply == nullptr) return nullptr;
  return fl_method_codec_decode_response(self->codec, reply, error);
}

// ---- event channel ---------------------------------------------------------

struct _FlEventChannel {
  GObject parent_instance;
  FlBinaryMessenger* messenger;
  gchar* name;
  FlMethodCodec* codec;
  FlEventChannelHandler listen_handler;
  FlEventChannelHandler cancel_handler;
  gpointer handler_data;
  GDestroyNotify handler_destroy;
};

G_DEFINE_TYPE(FlEventChannel, fl_event_channel, G_TYPE_OBJECT)

static void event_channel_drop_handlers(FlEventChannel* self) {
  GDestroyNotify destroy = self->handler_destroy;
  gpointer data = self->handler_data;
  self->listen_handler = nullptr;
  self->cancel_handler = nullptr;
  self->handler_data = nullptr;
  self->handler_destroy = nullptr;
  if (destroy != nullptr) destroy(data);
}

static void event_channel_respond(FlEventChannel* self,
                                  FlBinaryMessengerResponseHandle* response_handle,
                                  FlMethodErrorResponse* refusal) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GBytes) reply =
      refusal == nullptr ? fl_method_codec_encode_success_envelope(self->codec, nullptr, &error)
                         : fl_method_codec_encode_error_envelope(
                               self->codec, fl_method_error_response_get_code(refusal),
                               fl_method_error_response_get_message(refusal),
                               fl_method_error_response_get_details(refusal), &error);
  if (reply == nullptr ||
      !fl_binary_messenger_send_response(self->messenger, response_handle, reply, &error)) {
    g_warning("Failed to send event channel response: %s", error->message);
  }
}

static void event_channel_message_cb(FlBinaryMessenger* messenger, const gchar*, GBytes* message,
                                     FlBinaryMessengerResponseHandle* response_handle,
                                     gpointer user_data) {
  FlEventChannel* self = FL_EVENT_CHANNEL(user_data);
  g_autofree gchar* method = nullptr;
  g_autoptr(FlValue) args = nullptr;
  g_autoptr(GError) error = nullptr;
  if (!fl_method_codec_decode_method_call(self->codec, message, &method, &args, &error)) {
    g_warning("Failed to decode event channel request: %s", error->message);
    fl_binary_messenger_send_response(messenger, response_handle, nullptr, nullptr);
    return;
  }
  FlEventChannelHandler handler = nullptr;
  if (g_strcmp0(method, "listen") == 0) {
    handler = self->listen_handler;
  } else if (g_strcmp0(method, "cancel") == 0) {
    handler = self->cancel_handler;
  } else {
    fl_binary_messenger_send_response(messenger, response_handle, nullptr, nullptr);
    return;
  }
  g_autoptr(FlMethodErrorResponse) refusal =
      handler != nullptr ? handler(self, args, self->handler_data) : nullptr;
  event_channel_respond(self, response_handle, refusal);
}

static void event_channel_closed_cb(gpointer user_data) {
  g_autoptr(FlEventChannel) self = FL_EVENT_CHANNEL(user_data);
  event_channel_drop_handlers(self);
}

static void event_channel_dispose(GObject* object) {
  FlEventChannel* self = FL_EVENT_CHANNEL(object);
  event_channel_drop_handlers(self);
  g_clear_object(&self->messenger);
  g_clear_pointer(&self->name, g_free);
  g_clear_object(&self->codec);
  G_OBJECT_CLASS(fl_event_channel_parent_class)->dispose(object);
}
static void fl_event_channel_finalize(GObject* object) {
  standin::CountObject(-1);
  G_OBJECT_CLASS(fl_event_channel_parent_class)->finalize(object);
}
static void fl_event_channel_class_init(FlEventChannelClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = event_channel_dispose;
  G_OBJECT_CLASS(klass)->finalize = fl_event_channel_finalize;
}
static void fl_event_channel_init(FlEventChannel*) { standin::CountObject(1); }

FlEventChannel* fl_event_channel_new(FlBinaryMessenger* messenger, const gchar* name,
                                     FlMethodCodec* codec) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER(messenger), nullptr);
  g_return_val_if_fail(name != nullptr && FL_IS_METHOD_CODEC(codec), nullptr);
  FlEventChannel* self = FL_EVENT_CHANNEL(g_object_new(fl_event_channel_get_type(), nullptr));
  self->messenger = FL_BINARY_MESSENGER(g_object_ref(messenger));
  self->name = g_strdup(name);
  self->codec = FL_METHOD_CODEC(g_object_ref(codec));
  fl_binary_messenger_set_message_handler_on_channel(messenger, name, event_channel_message_cb,
                                                     g_object_ref(self), event_channel_closed_cb);
  return self;
}

void fl_event_channel_set_stream_handlers(FlEventChannel* self,
                                          FlEventChannelHandler listen_handler,
                                          FlEventChannelHandler cancel_handler, gpointer user_data,
                                          GDestroyNotify destroy_notify) {
  g_return_if_fail(FL_IS_EVENT_CHANNEL(self));
  event_channel_drop_handlers(self);
  self->listen_handler = listen_handler;
  self->cancel_handler = cancel_handler;
  self->handler_data = user_data;
  self->handler_destroy = destroy_notify;
}

static gboolean event_channel_send_bytes(FlEventChannel* self, GBytes* message,
                                         GCancellable* cancellable) {
  fl_binary_messenger_send_on_channel(self->messenger, self->name, message, cancellable, nullptr,
                                      nullptr);
  return TRUE;
}

gboolean fl_event_channel_send(FlEventChannel* self, FlValue* event, GCancellable* cancellable,
                               GError** error) {
  g_return_val_if_fail(FL_IS_EVENT_CHANNEL(self), FALSE);
  g_return_val_if_fail(event != nullptr, FALSE);
  g_autoptr(GBytes) message = fl_method_codec_encode_success_envelope(self->codec, event, error);
  return message != nullptr && event_channel_send_bytes(self, message, cancellable);
}

gboolean fl_event_channel_send_error(FlEventChannel* self, const gchar* code, const gchar* message,
                                     FlValue* details, GCancellable* cancellable, GError** error) {
  g_return_val_if_fail(FL_IS_EVENT_CHANNEL(self), FALSE);
  g_autoptr(GBytes) bytes =
      fl_method_codec_encode_error_envelope(self->codec, code, message, details, error);
  return bytes != nullptr && event_channel_send_bytes(self, bytes, cancellable);
}

gboolean fl_event_channel_send_end_of_stream(FlEventChannel* self, GCancellable* cancellable,
                                             GError**) {
  g_return_val_if_fail(FL_IS_EVENT_CHANNEL(self), FALSE);
  return event_channel_send_bytes(self, nullptr, cancellable);
}

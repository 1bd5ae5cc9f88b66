// Method responses of the embedder stand-in.
#include "standin_internal.h"

G_DEFINE_QUARK(fl_method_response_error_quark, fl_method_response_error)

G_DEFINE_ABSTRACT_TYPE(FlMethodResponse, fl_method_response, G_TYPE_OBJECT)
static void fl_method_response_finalize(GObject* object) {
  standin::CountObject(-1);
  G_OBJECT_CLASS(fl_method_response_parent_class)->finalize(object);
}
static void fl_method_response_class_init(FlMethodResponseClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = fl_method_response_finalize;
}
static void fl_method_response_init(FlMethodResponse*) { standin::CountObject(1); }

struct _FlMethodSuccessResponse {
  FlMethodResponse parent_instance;
  FlValue* result;
};
G_DEFINE_TYPE(FlMethodSuccessResponse, fl_method_success_response, fl_method_response_get_type())
static void success_dispose(GObject* object) {
  g_clear_pointer(&FL_METHOD_SUCCESS_RESPONSE(object)->result, fl_value_unref);
  G_OBJECT_CLASS(fl_method_success_response_parent_class)->dispose(object);
}
static void fl_method_success_response_class_init(FlMethodSuccessResponseClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = success_dispose;
}
static void fl_method_success_response_init(FlMethodSuccessResponse*) {}

FlMethodSuccessResponse* fl_method_success_response_new(FlValue* result) {
  auto* self =
      FL_METHOD_SUCCESS_RESPONSE(g_object_new(fl_method_success_response_get_type(), nullptr));
  self->result = result != nullptr ? fl_value_ref(result) : fl_value_new_null();
  return self;
}

FlValue* fl_method_success_response_get_result(FlMethodSuccessResponse* response) {
  g_return_val_if_fail(FL_IS_METHOD_SUCCESS_RESPONSE(response), nullptr);
  return response->result;
}

struct _FlMethodErrorResponse {
  FlMethodResponse parent_instance;
  gchar* code;
  gchar* message;
  FlValue* details;
};
G_DEFINE_TYPE(FlMethodErrorResponse, fl_method_error_response, fl_method_response_get_type())
static void error_dispose(GObject* object) {
  FlMethodErrorResponse* self = FL_METHOD_ERROR_RESPONSE(object);
  g_clear_pointer(&self->code, g_free);
  g_clear_pointer(&self->message, g_free);
  g_clear_pointer(&self->details, fl_value_unref);
  G_OBJECT_CLASS(fl_method_error_response_parent_class)->dispose(object);
}
static void fl_method_error_response_class_init(FlMethodErrorResponseClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = error_dispose;
}
static void fl_method_error_response_init(FlMethodErrorResponse*) {}

FlMethodErrorResponse* fl_method_error_response_new(const gchar* code, const gchar* message,
                                                    FlValue* details) {
  g_return_val_if_fail(code != nullptr, nullptr);
  auto* self = FL_METHOD_ERROR_RESPONSE(g_object_new(fl_method_error_response_get_type(), nullptr));
  self->code = g_strdup(code);
  self->message = g_strdup(message);
  self->details = details != nullptr ? fl_value_ref(details) : nullptr;
  return self;
}

const gchar* fl_method_error_response_get_code(FlMethodErrorResponse* response) {
  g_return_val_if_fail(FL_IS_METHOD_ERROR_RESPONSE(response), nullptr);
  return response->code;
}
const gchar* fl_method_error_response_get_message(FlMethodErrorResponse* response) {
  g_return_val_if_fail(FL_IS_METHOD_ERROR_RESPONSE(response), nullptr);
  return response->message;
}
FlValue* fl_method_error_response_get_details(FlMethodErrorResponse* response) {
  g_return_val_if_fail(FL_IS_METHOD_ERROR_RESPONSE(response), nullptr);
  return response->details;
}

struct _FlMethodNotImplementedResponse {
  FlMethodResponse parent_instance;
};
G_DEFINE_TYPE(FlMethodNotImplementedResponse, fl_method_not_implemented_response,
              fl_method_response_get_type())
static void fl_method_not_implemented_response_class_init(FlMethodNotImplementedResponseClass*) {}
static void fl_method_not_implemented_response_init(FlMethodNotImplementedResponse*) {}

FlMethodNotImplementedResponse* fl_method_not_implemented_response_new() {
  return FL_METHOD_NOT_IMPLEMENTED_RESPONSE(
      g_object_new(fl_method_not_implemented_response_get_type(), nullptr));
}

FlValue* fl_method_response_get_result(FlMethodResponse* response, GError** error) {
  if (FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    return fl_method_success_response_get_result(FL_METHOD_SUCCESS_RESPONSE(response));
  }
  if (FL_IS_METHOD_ERROR_RESPONSE(response)) {
    FlMethodErrorResponse* e = FL_METHOD_ERROR_RESPONSE(response);
    g_set_error(error, FL_METHOD_RESPONSE_ERROR, FL_METHOD_RESPONSE_ERROR_REMOTE_ERROR,
                "Remote error %s: %s", e->code, e->message != nullptr ? e->message : "");
    return nullptr;
  }
  if (FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(response)) {
    g_set_error(error, FL_METHOD_RESPONSE_ERROR, FL_METHOD_RESPONSE_ERROR_NOT_IMPLEMENTED,
                "Requested method is not implemented");
    return nullptr;
  }
  g_set_error(error, FL_METHOD_RESPONSE_ERROR, FL_METHOD_RESPONSE_ERROR_FAILED,
              "Unknown response type");
  return nullptr;
}

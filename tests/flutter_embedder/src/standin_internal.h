// Functions the stand-in's channels share with each other but a plug-in never
// sees (the embedder keeps the same ones in its private headers).
#pragma once

#include <flutter_linux/flutter_linux.h>

GBytes* fl_method_codec_encode_method_call(FlMethodCodec* codec, const gchar* name, FlValue* args,
                                           GError** error);
gboolean fl_method_codec_decode_method_call(FlMethodCodec* codec, GBytes* message, gchar** name,
                                            FlValue** args, GError** error);
GBytes* fl_method_codec_encode_success_envelope(FlMethodCodec* codec, FlValue* result,
                                                GError** error);
GBytes* fl_method_codec_encode_error_envelope(FlMethodCodec* codec, const gchar* code,
                                              const gchar* message, FlValue* details,
                                              GError** error);
FlMethodResponse* fl_method_codec_decode_response(FlMethodCodec* codec, GBytes* message,
                                                  GError** error);

// A call as the method channel hands it to its handler; answering it goes
// back through the channel, which encodes the response.
FlMethodCall* fl_method_call_new(const gchar* name, FlValue* args, FlMethodChannel* channel,
                                 FlBinaryMessengerResponseHandle* response_handle);
gboolean fl_method_channel_respond(FlMethodChannel* channel,
                                   FlBinaryMessengerResponseHandle* response_handle,
                                   FlMethodResponse* response, GError** error);

// Count of live method calls, responses and channels (see HostLiveObjects).
namespace standin {
void CountObject(int delta);
}

// Stand-in of the Flutter Linux embedder's umbrella header: only the public
// API a plug-in uses to talk over platform channels.
#ifndef TESSARY_STANDIN_FLUTTER_LINUX_FLUTTER_LINUX_H_
#define TESSARY_STANDIN_FLUTTER_LINUX_FLUTTER_LINUX_H_

#define __FLUTTER_LINUX_INSIDE__

#include <flutter_linux/fl_binary_messenger.h>
#include <flutter_linux/fl_event_channel.h>
#include <flutter_linux/fl_message_codec.h>
#include <flutter_linux/fl_method_call.h>
#include <flutter_linux/fl_method_channel.h>
#include <flutter_linux/fl_method_codec.h>
#include <flutter_linux/fl_method_response.h>
#include <flutter_linux/fl_plugin_registrar.h>
#include <flutter_linux/fl_plugin_registry.h>
#include <flutter_linux/fl_standard_message_codec.h>
#include <flutter_linux/fl_standard_method_codec.h>
#include <flutter_linux/fl_value.h>

#undef __FLUTTER_LINUX_INSIDE__

#endif  // TESSARY_STANDIN_FLUTTER_LINUX_FLUTTER_LINUX_H_

// Stand-in of the embedder's standard message codec (the binary encoding the
// application's StandardMessageCodec speaks).
#ifndef TESSARY_STANDIN_FLUTTER_LINUX_FL_STANDARD_MESSAGE_CODEC_H_
#define TESSARY_STANDIN_FLUTTER_LINUX_FL_STANDARD_MESSAGE_CODEC_H_

#if !defined(__FLUTTER_LINUX_INSIDE__) && !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <gmodule.h>

#include "fl_message_codec.h"

G_BEGIN_DECLS

G_MODULE_EXPORT
G_DECLARE_FINAL_TYPE(FlStandardMessageCodec, fl_standard_message_codec, FL, STANDARD_MESSAGE_CODEC,
                     FlMessageCodec)

FlStandardMessageCodec* fl_standard_message_codec_new();

G_END_DECLS

#endif  // TESSARY_STANDIN_FLUTTER_LINUX_FL_STANDARD_MESSAGE_CODEC_H_

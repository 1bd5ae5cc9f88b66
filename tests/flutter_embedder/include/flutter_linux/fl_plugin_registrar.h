// Stand-in of the embedder's FlPluginRegistrar interface. The texture
// registrar and the view are declared opaquely: the stand-in has neither.
#ifndef TESSARY_STANDIN_FLUTTER_LINUX_FL_PLUGIN_REGISTRAR_H_
#define TESSARY_STANDIN_FLUTTER_LINUX_FL_PLUGIN_REGISTRAR_H_

#if !defined(__FLUTTER_LINUX_INSIDE__) && !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <glib-object.h>
#include <gmodule.h>

#include "fl_binary_messenger.h"

G_BEGIN_DECLS

typedef struct _FlTextureRegistrar FlTextureRegistrar;
typedef struct _FlView FlView;

G_MODULE_EXPORT
G_DECLARE_INTERFACE(FlPluginRegistrar, fl_plugin_registrar, FL, PLUGIN_REGISTRAR, GObject)

struct _FlPluginRegistrarInterface {
  GTypeInterface parent_iface;

  FlBinaryMessenger* (*get_messenger)(FlPluginRegistrar* registrar);

  FlTextureRegistrar* (*get_texture_registrar)(FlPluginRegistrar* registrar);

  FlView* (*get_view)(FlPluginRegistrar* registrar);
};

FlBinaryMessenger* fl_plugin_registrar_get_messenger(FlPluginRegistrar* registrar);

FlTextureRegistrar* fl_plugin_registrar_get_texture_registrar(FlPluginRegistrar* registrar);

FlView* fl_plugin_registrar_get_view(FlPluginRegistrar* registrar);

G_END_DECLS

#endif  // TESSARY_STANDIN_FLUTTER_LINUX_FL_PLUGIN_REGISTRAR_H_

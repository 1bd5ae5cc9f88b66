// The shape of the plug-in library the application loads: it exports its
// register function and nothing else of its own, and leaves the embedder's
// symbols to the application instead of linking a copy of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tests/sandbox/sandbox_util.h"

namespace tessary::test {
namespace {

std::vector<std::string> Symbols(const std::string& which) {
  CommandResult nm = Run({"/usr/bin/nm", "-D", which, TESSARY_PLUGIN_LIBRARY});
  EXPECT_EQ(nm.status, 0) << nm.err;
  std::vector<std::string> names;
  std::istringstream lines(nm.out);
  std::string line;
  while (std::getline(lines, line)) names.push_back(line.substr(line.rfind(' ') + 1));
  return names;
}

TEST(PluginLibrary, ExportsOnlyItsRegisterFunction) {
  std::vector<std::string> own;
  for (const std::string& name : Symbols("--defined-only")) {
    // Linker and sanitizer bookkeeping start with two underscores or are
    // the classic section markers; a C++ name (_Z...) would be a leak.
    if (name.rfind("__", 0) == 0 || name == "_edata" || name == "_end" || name == "_init" ||
        name == "_fini") {
      continue;
    }
    own.push_back(name);
  }
  EXPECT_EQ(own, std::vector<std::string>{"tunnel_bridge_plugin_register_with_registrar"});
}

TEST(PluginLibrary, LeavesTheEmbedderToTheApplication) {
  std::vector<std::string> undefined = Symbols("--undefined-only");
  for (const char* needed : {"fl_plugin_registrar_get_messenger", "fl_method_channel_new",
                             "fl_event_channel_send", "fl_method_call_respond"}) {
    EXPECT_NE(std::find(undefined.begin(), undefined.end(), needed), undefined.end()) << needed;
  }
  CommandResult dynamic = test::Run({"/usr/bin/readelf", "-d", TESSARY_PLUGIN_LIBRARY});
  ASSERT_EQ(dynamic.status, 0) << dynamic.err;
  EXPECT_NE(dynamic.out.find("(NEEDED)"), std::string::npos);
  EXPECT_EQ(dynamic.out.find("standin"), std::string::npos) << dynamic.out;
  EXPECT_EQ(dynamic.out.find("flutter"), std::string::npos) << dynamic.out;
}

}  // namespace
}  // namespace tessary::test

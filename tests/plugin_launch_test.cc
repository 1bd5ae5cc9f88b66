// Launch at startup through the "tunnel_bridge" channel: the autostart entry
// in a throwaway HOME and XDG_CONFIG_HOME, never the real user's.
#include <flutter_linux/flutter_linux.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "standin_host.h"
#include "tests/sandbox/sandbox_util.h"
#include "tunnel_bridge/tunnel_bridge_plugin.h"

namespace tessary::test {
namespace {

// GLib reads HOME once, so the throwaway home is in place before anything
// can ask for it.
const std::string kHome = [] {
  char pattern[] = "/tmp/plugin-launch-home-XXXXXX";
  const char* home = mkdtemp(pattern);
  std::string path = home != nullptr ? home : "";
  setenv("HOME", path.c_str(), 1);
  return path;
}();

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string SelfPath() {
  char self[4096] = {};
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  return n > 0 ? std::string(self, n) : "";
}

std::string Entry(const std::string& escapedExec) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=TessaryVPN\n"
         "Comment=Open TessaryVPN when you sign in.\n"
         "Exec=\"" +
         escapedExec +
         "\" --startup\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

class LaunchAtStartup : public ::testing::Test {
 protected:
  void SetUp() override {
    RequireSandbox();
    ASSERT_FALSE(kHome.empty());
    ASSERT_STREQ(g_get_home_dir(), kHome.c_str());
    char pattern[] = "/tmp/plugin-launch-xdg-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    scratch_ = pattern;
    host_ = standin::HostNew();
    tunnel_bridge_plugin_register_with_registrar(standin::HostRegistrar(host_));
  }
  void TearDown() override {
    standin::HostFree(host_);
    // The engine's shutdown released the plug-in, which alone lets its
    // event channels go, and every call and response.
    EXPECT_EQ(standin::HostLiveObjects(), 0);
    unsetenv("XDG_CONFIG_HOME");
    Sh("rm -rf '" + scratch_ + "' '" + kHome + "/.config'");
  }

  FlMethodResponse* Call(const char* method, FlValue* args) {
    int id = standin::HostInvoke(host_, "tunnel_bridge", method, args);
    EXPECT_GT(id, 0);
    // Launch at startup is answered at once, without the main loop.
    EXPECT_EQ(standin::HostResponseCount(host_, id), 1) << method;
    return standin::HostResponse(host_, id);
  }
  // "ok", "null", "true"/"false", or "code: message".
  std::string Set(FlValue* args) {
    FlMethodResponse* response = Call("setLaunchAtStartup", args);
    if (FL_IS_METHOD_ERROR_RESPONSE(response)) {
      FlMethodErrorResponse* error = FL_METHOD_ERROR_RESPONSE(response);
      return std::string(fl_method_error_response_get_code(error)) + ": " +
             fl_method_error_response_get_message(error);
    }
    if (!FL_IS_METHOD_SUCCESS_RESPONSE(response)) return "(not a success)";
    FlValue* result = fl_method_success_response_get_result(FL_METHOD_SUCCESS_RESPONSE(response));
    return fl_value_get_type(result) == FL_VALUE_TYPE_NULL ? "null" : "(a value)";
  }
  std::string SetEnabled(bool enabled) {
    g_autoptr(FlValue) args = fl_value_new_map();
    fl_value_set_string_take(args, "enabled", fl_value_new_bool(enabled));
    return Set(args);
  }
  std::string Get() {
    FlMethodResponse* response = Call("getLaunchAtStartup", nullptr);
    if (!FL_IS_METHOD_SUCCESS_RESPONSE(response)) return "(not a success)";
    FlValue* result = fl_method_success_response_get_result(FL_METHOD_SUCCESS_RESPONSE(response));
    if (fl_value_get_type(result) != FL_VALUE_TYPE_BOOL) return "(not a bool)";
    return fl_value_get_bool(result) ? "true" : "false";
  }

  std::string scratch_;
  standin::Host* host_ = nullptr;
};

TEST_F(LaunchAtStartup, EnableWritesTheEntryAndDisableRemovesIt) {
  const std::string config = scratch_ + "/config";
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  const std::string entry = config + "/autostart/tessaryvpn.desktop";

  EXPECT_EQ(Get(), "false");
  EXPECT_EQ(SetEnabled(true), "null");
  EXPECT_EQ(Get(), "true");
  EXPECT_EQ(ReadFile(entry), Entry(SelfPath()));
  // Every directory made for it is private to the user.
  for (const std::string& dir : {config, config + "/autostart"}) {
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0) << dir;
    EXPECT_EQ(st.st_mode & 07777, 0700u) << dir;
  }

  // Enabling again replaces the file as a whole: a reader holding the old
  // one keeps it intact, the path names a new file, no temporary is left.
  struct stat before {};
  ASSERT_EQ(stat(entry.c_str(), &before), 0);
  std::ifstream old(entry);
  EXPECT_EQ(SetEnabled(true), "null");
  struct stat after {};
  ASSERT_EQ(stat(entry.c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino);
  std::stringstream oldContent;
  oldContent << old.rdbuf();
  EXPECT_EQ(oldContent.str(), Entry(SelfPath()));
  EXPECT_EQ(ReadFile(entry), Entry(SelfPath()));
  EXPECT_EQ(Sh("ls -A '" + config + "/autostart'").out, "tessaryvpn.desktop\n");

  EXPECT_EQ(SetEnabled(false), "null");
  EXPECT_EQ(Get(), "false");
  EXPECT_NE(access(entry.c_str(), F_OK), 0);
  // Disabling when nothing is registered is no error.
  EXPECT_EQ(SetEnabled(false), "null");
}

TEST_F(LaunchAtStartup, EmptyOrRelativeXdgConfigHomeMeansHomeConfig) {
  const std::string entry = kHome + "/.config/autostart/tessaryvpn.desktop";
  for (const char* value : {"", "relative/config"}) {
    setenv("XDG_CONFIG_HOME", value, 1);
    EXPECT_EQ(SetEnabled(true), "null") << value;
    EXPECT_EQ(ReadFile(entry), Entry(SelfPath())) << value;
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(Get(), "true");
    EXPECT_EQ(SetEnabled(false), "null");
    EXPECT_NE(access(entry.c_str(), F_OK), 0);
  }
  EXPECT_NE(access("relative", F_OK), 0) << "nothing written below the working directory";
}

TEST_F(LaunchAtStartup, AnyKindOfFileCounts) {
  setenv("XDG_CONFIG_HOME", scratch_.c_str(), 1);
  ASSERT_EQ(Sh("mkdir -p '" + scratch_ + "/autostart' && ln -s /nonexistent '" + scratch_ +
               "/autostart/tessaryvpn.desktop'")
                .status,
            0);
  EXPECT_EQ(Get(), "true");
  EXPECT_EQ(SetEnabled(false), "null");
  EXPECT_EQ(Get(), "false");
}

TEST_F(LaunchAtStartup, RefusesArgumentsWithoutABoolFlag) {
  setenv("XDG_CONFIG_HOME", scratch_.c_str(), 1);
  g_autoptr(FlValue) text = fl_value_new_map();
  fl_value_set_string_take(text, "enabled", fl_value_new_string("enabled"));
  g_autoptr(FlValue) number = fl_value_new_map();
  fl_value_set_string_take(number, "enabled", fl_value_new_int(1));
  g_autoptr(FlValue) missing = fl_value_new_map();
  fl_value_set_string_take(missing, "enable", fl_value_new_bool(true));
  g_autoptr(FlValue) bare = fl_value_new_bool(true);
  FlValue* cases[] = {nullptr, text, number, missing, bare};
  for (FlValue* args : cases) {
    EXPECT_EQ(Set(args), "invalid_arguments: Missing enabled flag.");
  }
  EXPECT_EQ(Get(), "false") << "a refused request writes nothing";
}

TEST_F(LaunchAtStartup, ReportsFilesystemFailures) {
  // The configuration directory sits below a regular file.
  ASSERT_EQ(Sh("touch '" + scratch_ + "/file'").status, 0);
  setenv("XDG_CONFIG_HOME", (scratch_ + "/file/config").c_str(), 1);
  EXPECT_EQ(SetEnabled(true),
            "launch_at_startup_failed: Unable to create XDG autostart directory: Not a directory");

  // The entry's name is taken by a directory that is not empty.
  setenv("XDG_CONFIG_HOME", scratch_.c_str(), 1);
  ASSERT_EQ(Sh("mkdir -p '" + scratch_ + "/autostart/tessaryvpn.desktop/x'").status, 0);
  EXPECT_EQ(
      SetEnabled(true).rfind("launch_at_startup_failed: Unable to write startup registration: ", 0),
      0u);
  EXPECT_EQ(SetEnabled(false),
            "launch_at_startup_failed: Unable to remove startup registration: Is a directory");
}

// The Exec value names the running executable, quoted and escaped. A copy of
// this test program under an awkward name registers itself.
TEST_F(LaunchAtStartup, EscapesTheExecutablePath) {
  if (const char* target = g_getenv("TESSARY_LAUNCH_CHILD")) {
    setenv("XDG_CONFIG_HOME", target, 1);
    EXPECT_EQ(SetEnabled(true), "null");
    return;
  }
  const std::string dir = scratch_ + "/bin dir";
  const std::string awkward = dir + "/Tessary \"VPN\" \\ line\nbreak\rreturn é";
  ASSERT_EQ(Sh("mkdir -p '" + dir + "'").status, 0);
  ASSERT_EQ(test::Run({"/bin/cp", SelfPath(), awkward}).status, 0);
  const std::string config = scratch_ + "/config";
  CommandResult child = test::Run({"/usr/bin/env", "TESSARY_LAUNCH_CHILD=" + config, awkward,
                                   "--gtest_filter=LaunchAtStartup.EscapesTheExecutablePath"});
  ASSERT_EQ(child.status, 0) << child.out << child.err;
  EXPECT_EQ(ReadFile(config + "/autostart/tessaryvpn.desktop"),
            Entry(dir + "/Tessary \\\"VPN\\\" \\\\ line\\nbreak\\nreturn é"));
}

}  // namespace
}  // namespace tessary::test

// The control tool's refusals that happen before any bus call: usage errors
// and configuration files that must never be sent. The system bus address
// points nowhere, so even a faulty tool cannot reach this machine's bus; a
// file that passes every check therefore ends at "Unable to connect".
#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/sandbox/sandbox_util.h"

namespace tessary::test {
namespace {

constexpr char kUsage[] =
    "Usage:\n"
    "  tessaryvpnctl status|runtime|capabilities|network|permission\n"
    "  tessaryvpnctl doctor\n"
    "  tessaryvpnctl keygen\n"
    "  tessaryvpnctl disconnect\n"
    "  tessaryvpnctl connect --id ID --protocol PROTOCOL --config FILE\n"
    "  tessaryvpnctl connect ... [--kill-switch] [--wait [SECONDS]]\n"
    "  tessaryvpnctl status|runtime|capabilities|network --json\n"
    "  tessaryvpnctl monitor [--json]\n"
    "  tessaryvpnctl help|--help|--version\n";
constexpr char kNoBus[] = "unix:path=/nonexistent/tessary-ctl-test-bus";
constexpr char kReadRefusal[] = "Unable to read a valid VPN configuration: ";
constexpr char kBusRefusal[] = "Unable to connect to the system D-Bus: ";

class CtlCli : public ::testing::Test {
 protected:
  void SetUp() override {
    g_setenv("DBUS_SYSTEM_BUS_ADDRESS", kNoBus, TRUE);
    char* dir = g_dir_make_tmp("ctl-cli-XXXXXX", nullptr);
    ASSERT_NE(dir, nullptr);
    dir_ = dir;
    g_free(dir);
  }
  void TearDown() override { Sh("rm -rf '" + dir_ + "'"); }

  std::string WriteFile(const std::string& name, const std::string& contents) {
    const std::string path = dir_ + "/" + name;
    EXPECT_TRUE(g_file_set_contents(path.c_str(), contents.data(),
                                    static_cast<gssize>(contents.size()), nullptr));
    return path;
  }

  static CommandResult Ctl(std::vector<std::string> args) {
    args.insert(args.begin(), TESSARY_CTL_BINARY);
    return test::Run(args);
  }

  static CommandResult Connect(const std::string& path) {
    return Ctl({"connect", "--id", "office", "--protocol", "wireGuard", "--config", path});
  }

  std::string dir_;
};

TEST_F(CtlCli, MalformedCommandLinesPrintTheUsageText) {
  const std::string config = WriteFile("ok.conf", "[Interface]\n");
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"bogus"},
      {"Status"},
      {"-h"},
      {"doctor", "now"},
      {"monitor", "now"},
      {"monitor", "--json", "--json"},
      {"connect"},
      {"connect", "--id", "a", "--protocol", "wireGuard"},
      {"connect", "--id", "a", "--protocol", "wireGuard", "--config"},
      {"connect", "--id", "a", "--config", config, "--protocol"},
      {"connect", "--id", "", "--protocol", "wireGuard", "--config", config},
      {"connect", "--id", "a", "--protocol", "wireGuard", "--config", config, "--mtu", "1400"},
      {"connect", "--id", "a", "--protocol", "wireGuard", "--config", config, "--id"},
      {"connect", "a", "--id", "b", "--protocol", "wireGuard", "--config", config},
      // A wait of zero, or of more than an hour, is an unknown option.
      {"connect", "--id", "a", "--protocol", "wireGuard", "--config", config, "--wait", "0"},
      {"connect", "--id", "a", "--protocol", "wireGuard", "--config", config, "--wait", "3601"},
      {"connect", "--id", "a", "--protocol", "wireGuard", "--config", config, "--kill-switch",
       "yes"},
  };
  for (const auto& args : cases) {
    std::string shown;
    for (const auto& a : args) shown += " '" + a + "'";
    const CommandResult result = Ctl(args);
    EXPECT_EQ(result.status, 1) << shown;
    EXPECT_EQ(result.err, kUsage) << shown;
    EXPECT_EQ(result.out, "") << shown;
  }
}

TEST_F(CtlCli, HelpAndVersionGoToStandardOutput) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"help"}, kUsage},
      {{"--help"}, kUsage},
      {{"--version"}, std::string("tessaryvpnctl ") + TESSARY_VERSION + "\n"},
  };
  for (const auto& [args, out] : cases) {
    const CommandResult result = Ctl(args);
    EXPECT_EQ(result.status, 0) << args[0];
    EXPECT_EQ(result.out, out) << args[0];
    EXPECT_EQ(result.err, "") << args[0];
  }
}

TEST_F(CtlCli, ConfigurationsThatMustNotBeSentAreRefused) {
  struct Case {
    const char* what;
    std::string contents;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"one byte over 2 MiB", std::string(2097153, 'a'), "empty or larger than 2 MiB"},
      {"far over 2 MiB", std::string(5 * 1024 * 1024, 'a'), "empty or larger than 2 MiB"},
      {"empty", "", "empty or larger than 2 MiB"},
      {"a zero byte", std::string("[Interface]\n") + '\0' + "PrivateKey = x\n",
       "empty or larger than 2 MiB"},
      {"Latin-1 text", "# caf\xe9\n[Interface]\n", "the file is not valid UTF-8"},
      {"a truncated UTF-8 sequence", "[Interface]\n# \xe2\x82", "the file is not valid UTF-8"},
  };
  for (const auto& c : cases) {
    const CommandResult result = Connect(WriteFile("profile.conf", c.contents));
    EXPECT_EQ(result.status, 1) << c.what;
    EXPECT_EQ(result.err, std::string(kReadRefusal) + c.reason + "\n") << c.what;
    EXPECT_EQ(result.out, "") << c.what;
  }
}

TEST_F(CtlCli, ValuesThatAreNotUtf8AreRefusedBeforeTheBus) {
  const std::string config = WriteFile("ok.conf", "[Interface]\n");
  struct Case {
    std::vector<std::string> args;
    const char* err;
  };
  const std::vector<Case> cases = {
      {{"connect", "--id", "a\xff", "--protocol", "wireGuard", "--config", config},
       "The value of --id is not valid UTF-8.\n"},
      {{"connect", "--id", "office", "--protocol", "wire\xc3", "--config", config},
       "The value of --protocol is not valid UTF-8.\n"},
      // The last value of a repeated option is the one that counts.
      {{"connect", "--id", "\xe9t\xe9", "--protocol", "\x80", "--config", config, "--id", "ok"},
       "The value of --protocol is not valid UTF-8.\n"},
  };
  for (const auto& c : cases) {
    const CommandResult result = Ctl(c.args);
    EXPECT_EQ(result.status, 1) << c.err;
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, "") << c.err;
  }
  // A file name is never sent, so its bytes need not be UTF-8.
  const CommandResult result = Connect(WriteFile("caf\xe9.conf", "[Interface]\n"));
  EXPECT_EQ(result.err.rfind(kBusRefusal, 0), 0u) << result.err;
}

TEST_F(CtlCli, UnreadableConfigurationsNameTheReadError) {
  const std::string missing = dir_ + "/absent.conf";
  CommandResult result = Connect(missing);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, std::string(kReadRefusal) + "Failed to open file “" + missing +
                            "”: No such file or directory\n");

  result = Connect(dir_);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, std::string(kReadRefusal) + "Failed to read from file “" + dir_ +
                            "”: Is a directory\n");

  // An endless source is refused after reading just past the limit.
  result = Connect("/dev/zero");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, std::string(kReadRefusal) + "empty or larger than 2 MiB\n");
}

TEST_F(CtlCli, AcceptableConfigurationsGoOnToTheBus) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"exactly 2 MiB", std::string(2097152, 'a')},
      {"one byte", "a"},
      {"UTF-8 text", "# café ✓\n[Interface]\n"},
  };
  for (const auto& [what, contents] : cases) {
    const CommandResult result = Connect(WriteFile("profile.conf", contents));
    EXPECT_EQ(result.status, 1) << what;
    EXPECT_EQ(result.err.rfind(kBusRefusal, 0), 0u) << what << ": " << result.err;
    EXPECT_EQ(result.out, "") << what;
  }
}

TEST_F(CtlCli, SimpleCommandsIgnoreSurplusArgumentsAndNeedTheBus) {
  const std::string config = WriteFile("ok.conf", "[Interface]\n");
  std::vector<std::vector<std::string>> cases = {
      {"status", "--json"},
      {"monitor"},
      {"monitor", "--json"},
      {"connect", "--wait", "--id", "a", "--protocol", "wireGuard", "--config", config},
      {"connect", "--kill-switch", "--id", "a", "--protocol", "wireGuard", "--config", config,
       "--wait", "3600"},
  };
  for (const char* command :
       {"status", "runtime", "capabilities", "network", "permission", "keygen", "disconnect"}) {
    cases.push_back({command, "extra", "--id"});
  }
  for (const auto& args : cases) {
    std::string command;
    for (const auto& a : args) command += a + " ";
    const CommandResult result = Ctl(args);
    EXPECT_EQ(result.status, 1) << command;
    EXPECT_EQ(result.err.rfind(kBusRefusal, 0), 0u) << command << ": " << result.err;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << command << ": one line";
  }
}

}  // namespace
}  // namespace tessary::test

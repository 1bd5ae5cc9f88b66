// The diagnostics' pieces that need neither the bus nor the installed paths:
// the row layout, dictionary lookups, the manifest and architecture checks
// against scratch files, and the runtime-directory verdicts.
#include "ctl/doctor.cc"

#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "tests/sandbox/sandbox_util.h"

namespace tessary::linux_service {
namespace {

constexpr char kOneDigest[] = "f4da433dcc6b3447cd6e7434651cf5f4761d4fa69370372d73c3738a389daa96";
constexpr char kTwoDigest[] = "7766baf72ffffbf9d3b12f3fb90c7cc72fff7b6a914d3e2eac7b109225cd33b6";

class Scratch : public ::testing::Test {
 protected:
  void SetUp() override {
    char* dir = g_dir_make_tmp("ctl-doctor-XXXXXX", nullptr);
    ASSERT_NE(dir, nullptr);
    dir_ = dir;
    g_free(dir);
    report_.out = &out_;
  }
  void TearDown() override { test::Sh("rm -rf '" + dir_ + "'"); }

  std::string Write(const std::string& name, const std::string& contents) {
    const std::string path = dir_ + "/" + name;
    EXPECT_TRUE(g_file_set_contents(path.c_str(), contents.data(),
                                    static_cast<gssize>(contents.size()), nullptr));
    return path;
  }
  void Reset() {
    out_.str("");
    report_ = Report{};
    report_.out = &out_;
  }

  std::string dir_;
  std::ostringstream out_;
  Report report_;
};

TEST_F(Scratch, RowsArePaddedToTwentyFourCharactersAndCounted) {
  Section(&report_, "Service");
  Record(&report_, Level::kOk, "service", "org.tessaryvpn.Service1 answered on the system bus");
  Record(&report_, Level::kWarn, "systemd-resolved", "/usr/bin/resolvectl is missing");
  Record(&report_, Level::kFail, "runtime architecture", "");
  Record(&report_, Level::kOk, "exactly twenty-four char", "x");
  Record(&report_, Level::kFail, "a label longer than twenty-four", "x");
  EXPECT_EQ(out_.str(),
            "\n"
            "Service\n"
            "  [ ok ] service                 org.tessaryvpn.Service1 answered on the system bus\n"
            "  [warn] systemd-resolved        /usr/bin/resolvectl is missing\n"
            "  [fail] runtime architecture    \n"
            "  [ ok ] exactly twenty-four charx\n"
            "  [fail] a label longer than twenty-fourx\n");
  EXPECT_EQ(report_.passed, 2u);
  EXPECT_EQ(report_.warnings, 1u);
  EXPECT_EQ(report_.failures, 2u);
}

TEST(DoctorLookup, StringsOnlyFromDictionaries) {
  EXPECT_EQ(ReportedString(nullptr, "stage"), "");
  g_autoptr(GVariant) dict = g_variant_ref_sink(
      g_variant_new_parsed("{'stage': <'connected'>, 'count': <int64 3>, 'flag': <true>}"));
  EXPECT_EQ(ReportedString(dict, "stage"), "connected");
  EXPECT_EQ(ReportedString(dict, "count"), "");
  EXPECT_EQ(ReportedString(dict, "lastError"), "");
  g_autoptr(GVariant) notDict = g_variant_ref_sink(g_variant_new_string("stage"));
  EXPECT_EQ(ReportedString(notDict, "stage"), "");
  EXPECT_TRUE(ReportedBoolean(dict, "flag"));
  EXPECT_FALSE(ReportedBoolean(dict, "stage"));
  EXPECT_FALSE(ReportedBoolean(nullptr, "flag"));
}

TEST(DoctorManifest, ReadsBothSha256sumFormsAndSkipsUnusableLines) {
  struct Case {
    const char* text;
    std::vector<std::pair<std::string, std::string>> entries;
  };
  const std::vector<Case> cases = {
      {"aa  sing-box\n", {{"aa", "sing-box"}}},
      {"aa *xray\r\n", {{"aa", "xray"}}},
      {"  aa  sing-box  \n\n \t\nbb  xray", {{"aa", "sing-box"}, {"bb", "xray"}}},
      {"aa  my file\n", {{"aa", "my"}}},
      {"aa  a*b extra words\n", {{"aa", "a"}}},
      {"lonelydigest\n**\n\n", {}},
      {"", {}},
  };
  for (const auto& c : cases) {
    std::vector<std::pair<std::string, std::string>> got;
    for (const auto& entry : ParseManifest(c.text)) got.emplace_back(entry.digest, entry.name);
    EXPECT_EQ(got, c.entries) << c.text;
  }
}

TEST_F(Scratch, ManifestRowNamesEveryBadFileInManifestOrder) {
  Write("one", "engine one\n");
  Write("two", "engine two\n");
  Write("changed", "engine one, edited\n");
  const std::string one = kOneDigest;
  const std::string two = kTwoDigest;
  std::string upper = kOneDigest;
  for (char& c : upper) c = static_cast<char>(g_ascii_toupper(c));
  struct Case {
    std::string manifest;
    std::string row;
  };
  const std::vector<Case> cases = {
      {one + "  one\n" + two + " *two\n",
       "  [ ok ] runtime integrity       2 packaged files match SHA256SUMS\n"},
      {one + "  changed\n" + two + "  two\n" + one + "  absent\n",
       "  [fail] runtime integrity       modified or missing: changed absent\n"},
      {upper + "  one\n", "  [fail] runtime integrity       modified or missing: one\n"},
      {"\n  \n\t\n", "  [fail] runtime integrity       the manifest lists no runtime files\n"},
      {"", "  [fail] runtime integrity       the manifest lists no runtime files\n"},
  };
  for (const auto& c : cases) {
    Reset();
    RecordRuntimeIntegrity(&report_, Write("SHA256SUMS", c.manifest).c_str(), dir_.c_str());
    EXPECT_EQ(out_.str(), c.row) << c.manifest;
  }

  Reset();
  const std::string absent = dir_ + "/NOSUMS";
  RecordRuntimeIntegrity(&report_, absent.c_str(), dir_.c_str());
  EXPECT_EQ(out_.str(), "  [fail] runtime manifest        " + absent + " is missing\n");
  EXPECT_EQ(report_.failures, 1u);
}

TEST_F(Scratch, ArchitectureRowComparesWithThisMachine) {
  const std::string path = dir_ + "/runtime.architecture";
  struct Case {
    const char* contents;  // null: no file
    const char* machine;
    std::string row;
  };
  const std::string missing = "  [fail] runtime architecture    " + path + " is missing\n";
  const std::vector<Case> cases = {
      {"arm64\n", "arm64", "  [ ok ] runtime architecture    arm64 matches this machine\n"},
      {"  amd64 \n", "amd64", "  [ ok ] runtime architecture    amd64 matches this machine\n"},
      {"aarch64\n", "arm64",
       "  [fail] runtime architecture    aarch64 was packaged for a different machine than "
       "arm64\n"},
      {"amd64", "riscv64",
       "  [fail] runtime architecture    amd64 was packaged for a different machine than "
       "riscv64\n"},
      {"amd64\n", "", "  [ ok ] runtime architecture    amd64 matches this machine\n"},
      {" \n\t", "amd64", missing},
      {nullptr, "amd64", missing},
  };
  for (const auto& c : cases) {
    Reset();
    g_unlink(path.c_str());
    if (c.contents != nullptr) Write("runtime.architecture", c.contents);
    RecordRuntimeArchitecture(&report_, path.c_str(), c.machine);
    EXPECT_EQ(out_.str(), c.row) << (c.contents ? c.contents : "(none)") << " on " << c.machine;
  }
}

TEST(DoctorArchitecture, KernelNamesMapToPackagingNames) {
  EXPECT_EQ(PackagingArchitecture("aarch64"), "arm64");
  EXPECT_EQ(PackagingArchitecture("x86_64"), "amd64");
  EXPECT_EQ(PackagingArchitecture("riscv64"), "riscv64");
  EXPECT_EQ(PackagingArchitecture("arm64"), "arm64");
  EXPECT_EQ(PackagingArchitecture(""), "");
}

TEST_F(Scratch, RuntimeStateAcceptsOnlyAbsenceOrRootOwned0700) {
  const std::string path = dir_ + "/runtime";

  auto expect = [&](const char* tag, const std::string& suffix, const char* what) {
    Reset();
    RecordRuntimeState(&report_, path.c_str());
    EXPECT_EQ(out_.str(),
              "  [" + std::string(tag) + "] runtime state           " + path + suffix + "\n")
        << what;
  };
  expect(" ok ", " is absent while disconnected", "absent");

  ASSERT_EQ(g_mkdir(path.c_str(), 0700), 0);
  ASSERT_EQ(chmod(path.c_str(), 0700), 0);
  if (geteuid() == 0) {
    expect(" ok ", " is root-owned and 0700", "root-owned 0700");
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    expect("fail", " does not have root-owned 0700 permissions", "foreign-owned 0700");
    ASSERT_EQ(chown(path.c_str(), 0, 0), 0);
  } else {
    expect("fail", " does not have root-owned 0700 permissions", "0700 owned by this user");
  }
  for (mode_t mode : {0750, 0755, 0300, 01700}) {
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    expect("fail", " does not have root-owned 0700 permissions", "other mode");
  }
  ASSERT_EQ(chmod(path.c_str(), 0700), 0);

  const std::string target = path + ".real";
  ASSERT_EQ(g_rename(path.c_str(), target.c_str()), 0);
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
  expect("fail", " is not a directory", "symbolic link to a proper directory");
  ASSERT_EQ(g_unlink(path.c_str()), 0);
  Write("runtime", "not a directory");
  expect("fail", " is not a directory", "regular file");
}

// An upgrade renames a new file over the program of a running service; only
// then is the running process older than what is installed.
TEST_F(Scratch, RunningProcessIsOlderOnlyOnceItsProgramWasReplaced) {
  const std::string program = dir_ + "/service";
  ASSERT_EQ(test::Sh("cp /bin/sleep '" + program + "'").status, 0);
  g_autoptr(GError) error = nullptr;
  g_autoptr(GSubprocess) process =
      g_subprocess_new(G_SUBPROCESS_FLAGS_NONE, &error, program.c_str(), "60", nullptr);
  ASSERT_NE(process, nullptr) << error->message;
  const auto pid =
      static_cast<guint32>(g_ascii_strtoull(g_subprocess_get_identifier(process), nullptr, 10));

  EXPECT_FALSE(RunsOlderProgram(pid, program.c_str())) << "program in place";
  EXPECT_FALSE(RunsOlderProgram(0, program.c_str())) << "no owner";
  const std::string next = Write("service.next", "the next version");
  ASSERT_EQ(g_rename(next.c_str(), program.c_str()), 0);
  EXPECT_TRUE(RunsOlderProgram(pid, program.c_str())) << "program replaced";
  EXPECT_FALSE(RunsOlderProgram(pid, (dir_ + "/other").c_str())) << "another program";

  g_subprocess_force_exit(process);
  EXPECT_TRUE(g_subprocess_wait(process, nullptr, nullptr));
}

}  // namespace
}  // namespace tessary::linux_service

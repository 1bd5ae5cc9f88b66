// The life of the installed service process: start, the two shutdown
// signals, a second instance, and callers that arrive once shutdown began.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <thread>
#include <vector>

#include "common/constants.h"
#include "tests/sandbox/sandbox_util.h"

namespace tessary::test {
namespace {

constexpr char kSlowRule[] = "/etc/polkit-1/rules.d/10-tessary-test-slow.rules";

struct Pending {
  bool done = false;
  GVariant* reply = nullptr;
  std::string errorName;
  std::string message;
  ~Pending() {
    if (reply) g_variant_unref(reply);
  }
};

void OnReply(GObject* source, GAsyncResult* result, gpointer data) {
  auto* pending = static_cast<Pending*>(data);
  GError* error = nullptr;
  pending->reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  if (pending->reply == nullptr) {
    gchar* remote = g_dbus_error_get_remote_error(error);
    pending->errorName = remote ? remote : "";
    g_free(remote);
    g_dbus_error_strip_remote_error(error);
    pending->message = error->message;
    g_error_free(error);
  }
  pending->done = true;
}

void CallAsync(GDBusConnection* bus, const char* method, GVariant* parameters, Pending* pending) {
  g_dbus_connection_call(bus, linux_service::kBusName, linux_service::kObjectPath,
                         linux_service::kInterfaceName, method, parameters, nullptr,
                         G_DBUS_CALL_FLAGS_NONE, 30000, nullptr, OnReply, pending);
}

// `gdbus call` of a service method as the unprivileged user 65534, started
// in the background; FinishNobodyCall collects its output (standard error
// merged) and releases it.
GSubprocess* StartNobodyCall(const char* method) {
  const std::string full = std::string(linux_service::kInterfaceName) + "." + method;
  return g_subprocess_new(static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_PIPE |
                                                        G_SUBPROCESS_FLAGS_STDERR_MERGE),
                          nullptr, "/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                          "--clear-groups", "/usr/bin/gdbus", "call", "--system", "-d",
                          linux_service::kBusName, "-o", linux_service::kObjectPath, "-m",
                          full.c_str(), nullptr);
}

bool FinishNobodyCall(GSubprocess* process, std::string* output) {
  gchar* text = nullptr;
  const bool ok = g_subprocess_communicate_utf8(process, nullptr, nullptr, &text, nullptr, nullptr);
  *output = text ? text : "";
  g_free(text);
  g_object_unref(process);
  return ok;
}

class ServiceLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    RequireSandbox();
    bus_ = NewSystemBus();
    ASSERT_NE(bus_, nullptr);
    recorder_ = new SignalRecorder(bus_);
  }
  void TearDown() override {
    delete recorder_;
    if (bus_) g_object_unref(bus_);
  }
  bool SawStarted() {
    return recorder_->WaitFor(
        [&] {
          for (const auto& m : recorder_->Strings("LogEmitted", "message")) {
            if (m == "TessaryVPN Linux service started.") return true;
          }
          return false;
        },
        std::chrono::seconds(5));
  }
  // Waits for the final snapshot that the service sends on its way out.
  bool SawFinalSnapshot() {
    return recorder_->WaitFor(
        [&] {
          auto stages = recorder_->Strings("SnapshotChanged", "stage");
          return !stages.empty() && stages.back() == "disconnected";
        },
        std::chrono::seconds(10));
  }

  GDBusConnection* bus_ = nullptr;
  SignalRecorder* recorder_ = nullptr;
};

TEST_F(ServiceLifecycle, EachShutdownSignalEndsCleanlyWithAFinalSnapshot) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    recorder_->Clear();
    const int pid = StartService();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(SawStarted());
    EXPECT_EQ(StopService(pid, signal), 0);
    EXPECT_TRUE(SawFinalSnapshot());
    EXPECT_EQ(recorder_->Strings("SnapshotChanged", "stage"),
              (std::vector<std::string>{"disconnecting", "disconnected"}));
    EXPECT_FALSE(ServiceOwnsName());
  }
}

TEST_F(ServiceLifecycle, SigintThenSigtermIsHandledOnce) {
  const int pid = StartService();
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(SawStarted());
  kill(pid, SIGINT);
  EXPECT_EQ(StopService(pid, SIGTERM), 0);
  EXPECT_TRUE(SawFinalSnapshot());
  // Only the first signal started a shutdown.
  EXPECT_EQ(recorder_->Strings("SnapshotChanged", "stage"),
            (std::vector<std::string>{"disconnecting", "disconnected"}));
}

TEST_F(ServiceLifecycle, ASecondInstanceLosesTheNameAndLeavesTheTunnelAlone) {
  const int pid = StartService();
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(SawStarted());
  // State of the running instance that a recovery or a stop would remove:
  // its kill-switch table and a private file.
  ASSERT_EQ(
      Sh("nft add table inet tessaryvpn && "
         "printf secret >/run/tessaryvpn/sing-box.json && chmod 600 /run/tessaryvpn/sing-box.json")
          .status,
      0);
  recorder_->Clear();

  CommandResult second = tessary::test::Run({linux_service::kServiceBinary});
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.err.find("TessaryVPN Linux service lost its D-Bus name."), std::string::npos)
      << second.err;
  EXPECT_EQ(Sh("nft list table inet tessaryvpn").status, 0);
  EXPECT_EQ(Sh("cat /run/tessaryvpn/sing-box.json").out, "secret");
  // Nothing reached the bus from the second one: no "disconnected" to
  // contradict the running instance.
  GVariant* reply = CallService(bus_, "GetConnectionSnapshot", nullptr);
  ASSERT_NE(reply, nullptr);
  g_variant_unref(reply);
  recorder_->WaitFor([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_TRUE(recorder_->entries.empty());
  // The first one is untouched and still answers.
  EXPECT_TRUE(ServiceOwnsName());
  EXPECT_EQ(StopService(pid), 0);
  ASSERT_EQ(Sh("nft delete table inet tessaryvpn; rm -f /run/tessaryvpn/sing-box.json").status, 0);
}

// With the name held by some other process (no second service instance), the
// name-lost handler runs: logged, status 1.
TEST_F(ServiceLifecycle, ANameHeldElsewhereEndsWithStatusOne) {
  GDBusConnection* holder = NewSystemBus();
  ASSERT_NE(holder, nullptr);
  GVariant* owned = g_dbus_connection_call_sync(
      holder, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "RequestName", g_variant_new("(su)", linux_service::kBusName, 4u /* do not queue */),
      G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
  ASSERT_NE(owned, nullptr);
  guint32 result = 0;
  g_variant_get(owned, "(u)", &result);
  g_variant_unref(owned);
  ASSERT_EQ(result, 1u);  // primary owner

  CommandResult service = tessary::test::Run({linux_service::kServiceBinary});
  EXPECT_EQ(service.status, 1);
  EXPECT_NE(service.err.find("TessaryVPN Linux service lost its D-Bus name."), std::string::npos)
      << service.err;
  g_object_unref(holder);
}

// polkit is made slow on purpose, for the unprivileged user only (root never
// reaches the rules), so that an authorization check is still waiting when
// SIGTERM arrives; nft is made slow too, so that a disconnect worker keeps
// the service draining while the other callers arrive.
TEST_F(ServiceLifecycle, CallersAfterShutdownBeganAreRefusedBeforeAnythingElse) {
  ASSERT_EQ(Sh(std::string("mkdir -p /etc/polkit-1/rules.d && cat >") + kSlowRule + " <<'EOF'\n" +
               "polkit.addRule(function(action, subject) {\n"
               "  if (action.id == \"org.tessaryvpn.manage\" && subject.user == \"nobody\") {\n"
               "    var start = Date.now();\n"
               "    while (Date.now() - start < 3000) {}\n"
               "  }\n"
               "});\nEOF")
                .status,
            0);
  const int pid = StartService();
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(SawStarted());
  // Wait until polkitd runs the rule.
  ASSERT_TRUE(WaitUntil(
      [&] {
        const gint64 begin = g_get_monotonic_time();
        std::string ignored;
        GSubprocess* probe = StartNobodyCall("RequestVpnPermission");
        if (probe == nullptr || !FinishNobodyCall(probe, &ignored)) return false;
        return g_get_monotonic_time() - begin > 2500000;
      },
      std::chrono::seconds(40)));
  recorder_->Clear();

  // Root's Disconnect first: polkitd answers one check at a time.
  ASSERT_EQ(Sh("cp -a /usr/sbin/nft /run/sandbox/nft.real && "
               "printf '#!/bin/sh\\nsleep 3\\nexec /run/sandbox/nft.real \"$@\"\\n' "
               ">/usr/sbin/nft")
                .status,
            0);
  GVariant* accepted = CallService(bus_, "Disconnect", nullptr);
  ASSERT_NE(accepted, nullptr);
  g_variant_unref(accepted);
  GSubprocess* blocked = StartNobodyCall("RequestVpnPermission");
  ASSERT_NE(blocked, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  kill(pid, SIGTERM);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  GDBusConnection* other = NewSystemBus();
  ASSERT_NE(other, nullptr);
  Pending snapshot;
  Pending initialize;
  Pending disconnect;
  Pending connect;
  CallAsync(other, "GetConnectionSnapshot", nullptr, &snapshot);
  CallAsync(other, "Initialize", nullptr, &initialize);
  CallAsync(other, "Disconnect", nullptr, &disconnect);
  CallAsync(other, "Connect", g_variant_new_parsed("({'id': <'x'>},)"), &connect);
  // An unprivileged caller too: ShuttingDown comes before authorization.
  GSubprocess* nobody = StartNobodyCall("Disconnect");
  ASSERT_NE(nobody, nullptr);

  Pending* all[] = {&snapshot, &initialize, &disconnect, &connect};
  EXPECT_TRUE(recorder_->WaitFor(
      [&] {
        for (Pending* p : all) {
          if (!p->done) return false;
        }
        return true;
      },
      std::chrono::seconds(20)));
  for (Pending* p : all) {
    EXPECT_EQ(p->errorName, linux_service::kErrorShuttingDown);
    EXPECT_EQ(p->message, "The TessaryVPN service is shutting down.");
  }
  // The call that was being authorized when the signal came is answered too.
  std::string output;
  EXPECT_TRUE(FinishNobodyCall(blocked, &output));
  EXPECT_NE(output.find(linux_service::kErrorShuttingDown), std::string::npos) << output;
  EXPECT_TRUE(FinishNobodyCall(nobody, &output));
  EXPECT_NE(output.find(linux_service::kErrorShuttingDown), std::string::npos) << output;

  EXPECT_EQ(StopService(pid, SIGTERM), 0);
  EXPECT_TRUE(SawFinalSnapshot());
  // Initialize during shutdown emitted nothing; the only snapshots are the
  // accepted Disconnect's and the shutdown's own.
  EXPECT_EQ(
      recorder_->Strings("SnapshotChanged", "stage"),
      (std::vector<std::string>{"disconnecting", "disconnecting", "disconnected", "disconnected"}));
  EXPECT_TRUE(recorder_->Strings("NetworkPathChanged", "status").empty());
  g_object_unref(other);
  ASSERT_EQ(
      Sh(std::string("rm -f ") + kSlowRule + "; cp -a /run/sandbox/nft.real /usr/sbin/nft").status,
      0);
}

}  // namespace
}  // namespace tessary::test

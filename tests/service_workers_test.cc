// The service's connect and disconnect workers, seen from a client on the
// sandbox bus: what the snapshots and log entries say, how a newer operation
// or a shutdown overtakes a connect that is still starting, and that the main
// loop keeps answering while a worker runs.
#include <gtest/gtest.h>
#include <signal.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/constants.h"
#include "tests/sandbox/sandbox_util.h"

namespace tessary::test {
namespace {

using Strings = std::vector<std::string>;

struct Pending {
  bool done = false;
  GVariant* reply = nullptr;
  std::string errorName;
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
    pending->errorName = remote ? remote : error->message;
    g_free(remote);
    g_error_free(error);
  }
  pending->done = true;
}

std::string Key(const char* subcommand, const std::string& input = "") {
  CommandResult result = tessary::test::Run({"/usr/bin/wg", subcommand}, input);
  while (!result.out.empty() && result.out.back() == '\n') result.out.pop_back();
  return result.out;
}

// A full-tunnel WireGuard client profile that validation accepts.
std::string WireGuardProfileText() {
  const std::string privateKey = Key("genkey");
  const std::string peerKey = Key("pubkey", Key("genkey") + "\n");
  return "[Interface]\nPrivateKey = " + privateKey +
         "\nAddress = 198.51.100.2/32\nDNS = 198.51.100.1\n\n[Peer]\nPublicKey = " + peerKey +
         "\nEndpoint = 192.0.2.2:51820\nAllowedIPs = 0.0.0.0/0, ::/0\n";
}

GVariant* Profile(const std::string& id, const std::string& protocol, const std::string& config,
                  bool killSwitch = false) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&builder, "{sv}", "id", g_variant_new_string(id.c_str()));
  g_variant_builder_add(&builder, "{sv}", "protocol", g_variant_new_string(protocol.c_str()));
  g_variant_builder_add(&builder, "{sv}", "rawConfig", g_variant_new_string(config.c_str()));
  g_variant_builder_add(&builder, "{sv}", "killSwitch", g_variant_new_boolean(killSwitch));
  return g_variant_new("(a{sv})", &builder);
}

// This binary, run again as another user, is a caller that sends
// TESSARY_CALLER_CALLS Connect calls over two connections, each profile with
// TESSARY_CALLER_KEYS extra keys, then with TESSARY_CALLER_THEN_DISCONNECT a
// Disconnect on the first connection, and prints the error name of each answer
// ("ok" for a reply) as it comes; once every call was answered it prints
// "took N ms", the time from the first call to the last answer, and ends.
constexpr char kCallerCalls[] = "TESSARY_CALLER_CALLS";
constexpr char kCallerKeys[] = "TESSARY_CALLER_KEYS";
constexpr char kCallerThenDisconnect[] = "TESSARY_CALLER_THEN_DISCONNECT";

int RunAsCallerWhenAsked() {
  const char* calls = getenv(kCallerCalls);
  if (calls == nullptr) return 0;
  const int count = atoi(calls);
  const int keys = getenv(kCallerKeys) != nullptr ? atoi(getenv(kCallerKeys)) : 0;
  GDBusConnection* connections[2] = {NewSystemBus(), NewSystemBus()};
  if (connections[0] == nullptr || connections[1] == nullptr) _exit(2);
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&builder, "{sv}", "id", g_variant_new_string("x"));
  g_variant_builder_add(&builder, "{sv}", "protocol", g_variant_new_string("wireGuard"));
  for (int i = 0; i < keys; ++i) {
    g_autofree gchar* key = g_strdup_printf("k%d", i);
    g_variant_builder_add(&builder, "{sv}", key, g_variant_new_boolean(TRUE));
  }
  GVariant* profile = g_variant_ref_sink(g_variant_new("(a{sv})", &builder));
  int answered = 0;
  const gint64 begin = g_get_monotonic_time();
  const bool thenDisconnect = getenv(kCallerThenDisconnect) != nullptr;
  for (int i = 0; i < count + thenDisconnect; ++i) {
    const bool connect = i < count;
    g_dbus_connection_call(
        connections[connect ? i % 2 : 0], linux_service::kBusName, linux_service::kObjectPath,
        linux_service::kInterfaceName, connect ? "Connect" : "Disconnect",
        connect ? profile : nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 120000, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
          GError* error = nullptr;
          GVariant* reply =
              g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
          gchar* remote = error != nullptr ? g_dbus_error_get_remote_error(error) : nullptr;
          printf("%s\n", reply != nullptr ? "ok" : remote != nullptr ? remote : error->message);
          fflush(stdout);
          g_free(remote);
          if (error != nullptr) g_error_free(error);
          if (reply != nullptr) g_variant_unref(reply);
          ++*static_cast<int*>(data);
        },
        &answered);
  }
  while (answered < count + thenDisconnect) g_main_context_iteration(nullptr, TRUE);
  printf("took %lld ms\n", static_cast<long long>((g_get_monotonic_time() - begin) / 1000));
  fflush(stdout);
  _exit(0);
}
[[maybe_unused]] const int kRunAsCaller = RunAsCallerWhenAsked();

// The command that runs this binary as such a caller.
std::string CallerCommand(int calls, int keys) {
  g_autofree gchar* self = g_file_read_link("/proc/self/exe", nullptr);
  return std::string("env ") + kCallerCalls + "=" + std::to_string(calls) + " " + kCallerKeys +
         "=" + std::to_string(keys) + " " + (self != nullptr ? self : "/nonexistent");
}

// The sanitizers' allocators keep what is freed (quarantine, shadow), so a
// service built with them never shrinks, and is many times slower at a
// million allocations.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kGlibcAllocator = false;
#else
constexpr bool kGlibcAllocator = true;
#endif

// Resident size of a process in KiB, or -1.
long ResidentKiB(int pid) {
  const CommandResult status =
      Sh("awk '/^VmRSS:/ {print $2}' /proc/" + std::to_string(pid) + "/status");
  return status.out.empty() ? -1 : atol(status.out.c_str());
}

// wg-quick replaced by one that takes `seconds` and then fails, so that a
// connect worker is busy for a known time.
void InstallSlowWireGuardQuick(int seconds) {
  Sh("test -e /run/sandbox/wg-quick.real || cp -a /usr/bin/wg-quick /run/sandbox/wg-quick.real");
  ASSERT_EQ(Sh("printf '#!/bin/sh\\nsleep " + std::to_string(seconds) +
               "\\nexit 1\\n' >/usr/bin/wg-quick && chmod 755 /usr/bin/wg-quick")
                .status,
            0);
}

void RestoreWireGuardQuick() {
  Sh("test -e /run/sandbox/wg-quick.real && cp -a /run/sandbox/wg-quick.real /usr/bin/wg-quick");
}

// OpenVPN replaced by the engine runtime's stand-in, which brings up
// tun-tessaryvpn with OpenVPN's split default routes and runs until stopped.
void InstallOpenVpnStandIn() {
  ASSERT_EQ(Sh("test -e /run/sandbox/openvpn.real || cp -a /usr/sbin/openvpn "
               "/run/sandbox/openvpn.real; mkdir -p /run/standin && echo ok >/run/standin/mode && "
               "cp \"$TESSARY_SOURCE_DIR/tests/engine_runtime_standins/openvpn\" /usr/sbin/openvpn")
                .status,
            0);
}

void RestoreOpenVpn() {
  Sh("test -e /run/sandbox/openvpn.real && cp -a /run/sandbox/openvpn.real /usr/sbin/openvpn");
}

// A polkit authentication agent for one process that takes every request
// and never answers it, as a user who leaves the password prompt open. It
// serves its own connection from its own thread, so the prompt stays open
// whatever the test's main context does.
constexpr char kAgentPath[] = "/org/tessaryvpn/test/SilentAgent";
constexpr char kAgentXml[] =
    "<node><interface name='org.freedesktop.PolicyKit1.AuthenticationAgent'>"
    "<method name='BeginAuthentication'><arg type='s' direction='in'/>"
    "<arg type='s' direction='in'/><arg type='s' direction='in'/>"
    "<arg type='a{ss}' direction='in'/><arg type='s' direction='in'/>"
    "<arg type='a(sa{sv})' direction='in'/></method>"
    "<method name='CancelAuthentication'><arg type='s' direction='in'/></method>"
    "</interface></node>";

struct SilentPrompt {
  int caller = -1;
  GMainContext* context = g_main_context_new();
  GMainLoop* loop = g_main_loop_new(context, FALSE);
  GThread* thread = nullptr;
  GDBusConnection* bus = nullptr;
  std::atomic<int> registration{0};  // 1 registered, -1 failed; then `failure` holds why
  std::atomic<bool> prompting{false};
  std::string failure;
  std::vector<GDBusMethodInvocation*> held;  // touched by the agent's thread only
  ~SilentPrompt();
};
constexpr char kCallerOutput[] = "/run/sandbox/silent-caller.out";

void OnAgentCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                 GVariant*, GDBusMethodInvocation* invocation, gpointer data) {
  auto* prompt = static_cast<SilentPrompt*>(data);
  if (g_strcmp0(method, "BeginAuthentication") == 0) {
    prompt->held.push_back(invocation);
    prompt->prompting = true;
    return;
  }
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

gpointer RunAgent(gpointer data) {
  auto* prompt = static_cast<SilentPrompt*>(data);
  g_main_context_push_thread_default(prompt->context);
  g_autofree gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
  prompt->bus =
      address == nullptr
          ? nullptr
          : g_dbus_connection_new_for_address_sync(
                address,
                static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                  G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                nullptr, nullptr, nullptr);
  g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(kAgentXml, nullptr);
  static const GDBusInterfaceVTable vtable = {OnAgentCall, nullptr, nullptr, {}};
  const std::vector<std::string> stat = ProcessStatFields(prompt->caller);
  const guint64 startTime = stat.size() > 19 ? g_ascii_strtoull(stat[19].c_str(), nullptr, 10) : 0;
  g_autoptr(GError) error = nullptr;
  if (prompt->bus == nullptr || node == nullptr || startTime == 0 ||
      g_dbus_connection_register_object(prompt->bus, kAgentPath, node->interfaces[0], &vtable,
                                        prompt, nullptr, &error) == 0) {
    prompt->failure = "The agent could not serve the bus or read the caller's start time.";
    prompt->registration = -1;
  } else {
    GVariantBuilder details;
    g_variant_builder_init(&details, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&details, "{sv}", "pid", g_variant_new_uint32(prompt->caller));
    g_variant_builder_add(&details, "{sv}", "start-time", g_variant_new_uint64(startTime));
    g_variant_builder_add(&details, "{sv}", "uid", g_variant_new_int32(65534));
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        prompt->bus, "org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
        "org.freedesktop.PolicyKit1.Authority", "RegisterAuthenticationAgent",
        g_variant_new("((sa{sv})ss)", "unix-process", &details, "C", kAgentPath), nullptr,
        G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &error);
    if (reply == nullptr) prompt->failure = error->message;
    prompt->registration = reply != nullptr ? 1 : -1;
  }
  g_main_loop_run(prompt->loop);
  for (GDBusMethodInvocation* invocation : prompt->held) {
    g_dbus_method_invocation_return_dbus_error(
        invocation, "org.freedesktop.PolicyKit1.Error.Cancelled", "The test is over.");
  }
  prompt->held.clear();
  if (prompt->bus != nullptr) {
    g_dbus_connection_flush_sync(prompt->bus, nullptr, nullptr);
    g_object_unref(prompt->bus);
  }
  g_main_context_pop_thread_default(prompt->context);
  return nullptr;
}

SilentPrompt::~SilentPrompt() {
  if (caller > 0) kill(caller, SIGKILL);
  if (thread != nullptr) {
    g_main_context_invoke(
        context,
        [](gpointer data) {
          g_main_loop_quit(static_cast<GMainLoop*>(data));
          return G_SOURCE_REMOVE;
        },
        loop);
    g_thread_join(thread);
  }
  g_main_loop_unref(loop);
  g_main_context_unref(context);
}

// An unprivileged caller of `method` whose polkit check waits on a silent
// agent; false when polkit never asked the agent.
// With `calls`, the caller is this binary sending that many Connect calls.
bool HoldSilentPrompt(const std::string& method, const std::string& arguments, SilentPrompt* prompt,
                      int calls = 0) {
  const std::string call =
      "read go </run/sandbox/silent-gate\nexec " +
      (calls > 0 ? CallerCommand(calls, 0)
                 : "gdbus call --system --timeout 120 -d org.tessaryvpn.Service1 -o "
                   "/org/tessaryvpn/Service1 -m org.tessaryvpn.Service1." +
                       method + " " + arguments) +
      "\n";
  prompt->failure = "The caller could not be set up.";
  if (!g_file_set_contents("/run/sandbox/silent-caller.sh", call.c_str(), -1, nullptr) ||
      Sh("rm -f /run/sandbox/silent-gate && mkfifo -m 666 /run/sandbox/silent-gate && "
         "chmod 644 /run/sandbox/silent-caller.sh")
              .status != 0) {
    return false;
  }
  const CommandResult caller =
      Sh("setpriv --reuid=65534 --regid=65534 --clear-groups sh /run/sandbox/silent-caller.sh "
         "</dev/null >" +
         std::string(kCallerOutput) + " 2>&1 & echo $!");
  prompt->caller = atoi(caller.out.c_str());
  if (prompt->caller <= 0) return false;
  // polkit takes the process's user when the agent registers.
  const std::string status = "/proc/" + std::to_string(prompt->caller) + "/status";
  if (!WaitUntil([&] { return Sh("grep -q '^Uid:\t65534' " + status).status == 0; },
                 std::chrono::seconds(5))) {
    prompt->failure = "The caller never ran as nobody.";
    return false;
  }
  // The caller execs gdbus in the same process, so the agent registered for
  // it now is the one polkit asks.
  prompt->failure.clear();
  prompt->thread = g_thread_new("silent-agent", RunAgent, prompt);
  if (!WaitUntil([prompt] { return prompt->registration.load() != 0; }, std::chrono::seconds(10)) ||
      prompt->registration.load() < 0) {
    if (prompt->failure.empty()) prompt->failure = "polkit did not answer the registration.";
    return false;
  }
  if (Sh("echo go >/run/sandbox/silent-gate").status != 0 ||
      !WaitUntil([prompt] { return prompt->prompting.load(); }, std::chrono::seconds(10))) {
    prompt->failure = "polkit never asked the agent.";
    return false;
  }
  return true;
}

constexpr char kSlowGrantRule[] = "/etc/polkit-1/rules.d/10-tessary-test-slow-grant.rules";

// `gdbus call` of a service method as the unprivileged user 65534, giving up
// after `seconds`.
std::string NobodyCallCommand(const std::string& method, const std::string& arguments,
                              int seconds) {
  return "setpriv --reuid=65534 --regid=65534 --clear-groups gdbus call --system --timeout " +
         std::to_string(seconds) +
         " -d org.tessaryvpn.Service1 -o /org/tessaryvpn/Service1 -m org.tessaryvpn.Service1." +
         method + " " + arguments;
}

std::string CallAsNobody(const std::string& method, const std::string& arguments, int seconds) {
  return Sh(NobodyCallCommand(method, arguments, seconds)).out;
}

// Milliseconds a root caller waits for the snapshot.
double SnapshotMillis(GDBusConnection* bus) {
  const gint64 begin = g_get_monotonic_time();
  GVariant* reply = CallService(bus, "GetConnectionSnapshot", nullptr);
  const gint64 end = g_get_monotonic_time();
  if (reply == nullptr) return 1e9;
  g_variant_unref(reply);
  return (end - begin) / 1000.0;
}

class ServiceWorkers : public ::testing::Test {
 protected:
  void SetUp() override {
    RequireSandbox();
    bus_ = NewSystemBus();
    ASSERT_NE(bus_, nullptr);
    recorder_ = new SignalRecorder(bus_);
  }
  void TearDown() override {
    if (pid_ > 0) {
      EXPECT_EQ(StopService(pid_), 0);
    }
    RestoreWireGuardQuick();
    RestoreOpenVpn();
    delete recorder_;
    if (bus_) g_object_unref(bus_);
  }
  void Start() {
    pid_ = StartService();
    ASSERT_GT(pid_, 0) << Sh("cat /run/sandbox/service.log").out;
    ASSERT_TRUE(recorder_->WaitFor([&] { return !Logs().empty(); }, std::chrono::seconds(5)));
    recorder_->Clear();
  }
  GVariant* Call(const char* method, GVariant* parameters = nullptr, std::string* name = nullptr,
                 std::string* message = nullptr) {
    return CallService(bus_, method, parameters, name, message);
  }
  bool CallOk(const char* method, GVariant* parameters = nullptr) {
    std::string name;
    std::string message;
    GVariant* reply = Call(method, parameters, &name, &message);
    EXPECT_NE(reply, nullptr) << method << ": " << name << ": " << message;
    if (reply == nullptr) return false;
    g_variant_unref(reply);
    return true;
  }
  std::string CallError(const char* method, GVariant* parameters = nullptr) {
    std::string name;
    GVariant* reply = Call(method, parameters, &name);
    if (reply) g_variant_unref(reply);
    return name;
  }
  Strings Stages() const { return recorder_->Strings("SnapshotChanged", "stage"); }
  Strings Logs() const { return recorder_->Strings("LogEmitted", "message"); }
  bool WaitForStage(const std::string& stage, int seconds = 20) {
    return recorder_->WaitFor(
        [&] {
          const Strings stages = Stages();
          return !stages.empty() && stages.back() == stage;
        },
        std::chrono::seconds(seconds));
  }
  GVariant* Dict(const char* method) {
    GVariant* reply = Call(method);
    if (reply == nullptr) return nullptr;
    GVariant* dict = g_variant_get_child_value(reply, 0);
    g_variant_unref(reply);
    return dict;
  }

  GDBusConnection* bus_ = nullptr;
  SignalRecorder* recorder_ = nullptr;
  int pid_ = -1;
};

TEST_F(ServiceWorkers, AConnectWorkerReportsItsFailureAndTheLoopStaysResponsive) {
  InstallSlowWireGuardQuick(6);
  Start();
  // Another user's Connect of a million keys is refused before polkit is
  // asked; root's snapshot is answered all the while, and the service gives
  // the memory back.
  const CommandResult big = Sh("setpriv --reuid=65534 --regid=65534 --clear-groups " +
                               CallerCommand(1, kGlibcAllocator ? 1000000 : 100000) +
                               " >/run/sandbox/big-caller.out 2>&1 & echo $!");
  ASSERT_GT(atoi(big.out.c_str()), 0) << big.err;
  double slowest = 0;
  std::string answer;
  EXPECT_TRUE(WaitUntil(
      [&] {
        slowest = std::max(slowest, SnapshotMillis(bus_));
        answer = Sh("cat /run/sandbox/big-caller.out").out;
        return answer.find("took ") != std::string::npos;
      },
      std::chrono::seconds(60)));
  EXPECT_EQ(answer.substr(0, answer.find('\n') + 1),
            std::string(linux_service::kErrorInvalidProfile) + "\n");
  EXPECT_LT(slowest, 1000) << answer;
  if (kGlibcAllocator) {
    EXPECT_TRUE(WaitUntil(
        [&] {
          const long kib = ResidentKiB(pid_);
          return kib > 0 && kib < 64 * 1024;
        },
        std::chrono::seconds(5)))
        << ResidentKiB(pid_) << " KiB";
  }
  // A user who leaves polkit's password prompt open holds up nobody else.
  SilentPrompt prompt;
  ASSERT_TRUE(HoldSilentPrompt("RequestVpnPermission", "", &prompt))
      << prompt.failure << Sh(std::string("cat ") + kCallerOutput).out;
  ASSERT_TRUE(CallOk("Connect", Profile("home", "wireGuard", WireGuardProfileText())));
  ASSERT_TRUE(WaitForStage("connecting", 10));
  const gint64 connectingSince = g_get_monotonic_time();
  EXPECT_LT(SnapshotMillis(bus_), 500);

  // While the worker runs: the checks keep their order.
  EXPECT_EQ(CallError("Connect", Profile("", "wireGuard", WireGuardProfileText())),
            linux_service::kErrorInvalidProfile);
  EXPECT_EQ(CallError("Connect", Profile("second", "wireGuard", WireGuardProfileText())),
            linux_service::kErrorBusy);
  const std::string another = WireGuardProfileText();
  ASSERT_EQ(Sh("mv /usr/bin/wg /run/sandbox/wg.moved").status, 0);
  EXPECT_EQ(CallError("Connect", Profile("second", "wireGuard", another)),
            linux_service::kErrorRuntimeUnavailable);
  ASSERT_EQ(Sh("mv /run/sandbox/wg.moved /usr/bin/wg").status, 0);

  // A burst from several clients at once, all answered while still connecting.
  // The system bus lets one connection wait for at most 128 replies.
  constexpr int kClients = 10;
  constexpr int kCallsPerClient = 100;
  std::vector<GDBusConnection*> clients;
  std::vector<Pending> pending(kClients * kCallsPerClient);
  for (int c = 0; c < kClients; ++c) {
    clients.push_back(NewSystemBus());
    ASSERT_NE(clients.back(), nullptr);
  }
  for (int i = 0; i < kClients * kCallsPerClient; ++i) {
    g_dbus_connection_call(clients[i % kClients], linux_service::kBusName,
                           linux_service::kObjectPath, linux_service::kInterfaceName,
                           "GetConnectionSnapshot", nullptr, G_VARIANT_TYPE("(a{sv})"),
                           G_DBUS_CALL_FLAGS_NONE, 20000, nullptr, OnReply, &pending[i]);
  }
  EXPECT_TRUE(recorder_->WaitFor(
      [&] {
        for (const auto& p : pending) {
          if (!p.done) return false;
        }
        return true;
      },
      std::chrono::seconds(30)));
  int answered = 0;
  int connecting = 0;
  for (const auto& p : pending) {
    EXPECT_EQ(p.errorName, "");
    if (p.reply == nullptr) continue;
    ++answered;
    GVariant* dict = g_variant_get_child_value(p.reply, 0);
    connecting += DictString(dict, "stage") == "connecting";
    g_variant_unref(dict);
  }
  EXPECT_EQ(answered, kClients * kCallsPerClient);
  EXPECT_EQ(connecting, kClients * kCallsPerClient);
  for (GDBusConnection* client : clients) g_object_unref(client);

  ASSERT_TRUE(WaitForStage("error"));
  // wg-quick took its 6 s; the failure is reported straight after.
  EXPECT_LT(g_get_monotonic_time() - connectingSince, 6500 * 1000);
  recorder_->WaitFor([&] { return Logs().size() >= 2; }, std::chrono::seconds(5));
  EXPECT_EQ(Stages(), (Strings{"preparing", "connecting", "error"}));
  EXPECT_EQ(Logs(), (Strings{"Preparing WireGuard tunnel.", "WireGuard connection failed."}));
  EXPECT_EQ(recorder_->Strings("LogEmitted", "level"), (Strings{"info", "error"}));
  GVariant* snapshot = Dict("GetConnectionSnapshot");
  ASSERT_NE(snapshot, nullptr);
  EXPECT_EQ(DictString(snapshot, "activeProfileId"), "home");
  EXPECT_FALSE(DictString(snapshot, "lastError").empty());
  EXPECT_FALSE(g_variant_lookup(snapshot, "connectedAtEpochMillis", "x", nullptr));
  g_variant_unref(snapshot);
  // Nothing of the profile is left behind.
  EXPECT_EQ(Sh("ls -A /run/tessaryvpn").out, "");
}

TEST_F(ServiceWorkers, DisconnectOvertakesAConnectThatIsStillStarting) {
  InstallSlowWireGuardQuick(2);
  Start();
  ASSERT_TRUE(CallOk("Connect", Profile("home", "wireGuard", WireGuardProfileText())));
  ASSERT_TRUE(WaitForStage("connecting", 10));
  // Twice in quick succession: both succeed, one disconnect worker runs.
  ASSERT_TRUE(CallOk("Disconnect"));
  ASSERT_TRUE(CallOk("Disconnect"));
  ASSERT_TRUE(WaitForStage("disconnected"));
  recorder_->WaitFor([&] { return Logs().size() >= 2; }, std::chrono::seconds(5));
  // Give a second worker, if there were one, time to report too.
  recorder_->WaitFor([] { return false; }, std::chrono::seconds(2));
  EXPECT_EQ(Stages(), (Strings{"preparing", "connecting", "disconnecting", "disconnected"}));
  // The overtaken connect worker reports nothing.
  EXPECT_EQ(Logs(), (Strings{"Preparing WireGuard tunnel.", "VPN tunnel disconnected."}));
  // The disconnecting snapshot kept the profile; the final one has none.
  ASSERT_EQ(recorder_->entries.size(), 6u);
  int seen = 0;
  for (const auto& entry : recorder_->entries) {
    if (entry.signal != "SnapshotChanged") continue;
    const std::string id = DictString(entry.value, "activeProfileId");
    EXPECT_EQ(id, seen < 3 ? "home" : "") << seen;
    ++seen;
  }
  // The slot is free again.
  EXPECT_EQ(CallError("Connect", Profile("", "wireGuard", "x")),
            linux_service::kErrorInvalidProfile);

  // Another user whom polkit allows only after three seconds: a Connect
  // whose caller gave up before then starts nothing; one whose caller waited,
  // sent just after and answered after it, goes ahead.
  ASSERT_EQ(
      Sh(std::string("mkdir -p /etc/polkit-1/rules.d && cat >") + kSlowGrantRule +
         " <<'EOF'\n"
         "polkit.addRule(function(action, subject) {\n"
         "  if (action.id != \"org.tessaryvpn.manage\" || subject.user != \"nobody\") return;\n"
         "  var start = Date.now();\n"
         "  while (Date.now() - start < 3000) {}\n"
         "  return polkit.Result.YES;\n"
         "});\nEOF")
          .status,
      0);
  ASSERT_TRUE(WaitUntil([] { return CallAsNobody("RequestVpnPermission", "", 30) == "(true,)\n"; },
                        std::chrono::seconds(40)));
  recorder_->Clear();
  auto profileArgument = [](const std::string& id) {
    std::string text = WireGuardProfileText();
    std::string escaped;
    for (char c : text) escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    return "\"{'id': <'" + id + "'>, 'protocol': <'wireGuard'>, 'rawConfig': <'" + escaped +
           "'>}\"";
  };
  const std::string gaveUp = profileArgument("gaveup");
  const std::string waited = profileArgument("waited");
  Sh("(" + NobodyCallCommand("Connect", gaveUp, 1) + ") >/dev/null 2>&1 &");
  recorder_->WaitFor([] { return false; }, std::chrono::milliseconds(300));
  Sh("(" + NobodyCallCommand("Connect", waited, 30) + ") >/run/sandbox/waited.out 2>&1 &");
  ASSERT_TRUE(WaitForStage("error", 30)) << Sh("cat /run/sandbox/waited.out").out;
  for (const auto& entry : recorder_->entries) {
    if (entry.signal != "SnapshotChanged") continue;
    EXPECT_EQ(DictString(entry.value, "activeProfileId"), "waited");
  }
  EXPECT_EQ(Stages(), (Strings{"preparing", "connecting", "error"}));

  // A Connect and then a Disconnect from one caller, both waiting for polkit:
  // the Connect, allowed first, is stale by then and starts nothing.
  recorder_->Clear();
  ASSERT_EQ(Sh("setpriv --reuid=65534 --regid=65534 --clear-groups env " +
               std::string(kCallerThenDisconnect) + "=1 " + CallerCommand(1, 0) +
               " >/run/sandbox/then-disconnect.out 2>&1")
                .status,
            0);
  const std::string answers = Sh("cat /run/sandbox/then-disconnect.out").out;
  EXPECT_EQ(answers.substr(0, answers.find("took ")),
            std::string(linux_service::kErrorSuperseded) + "\nok\n");
  ASSERT_TRUE(WaitForStage("disconnected", 10));
  EXPECT_EQ(Stages(), (Strings{"disconnecting", "disconnected"}));
  Sh(std::string("rm -f ") + kSlowGrantRule);
}

TEST_F(ServiceWorkers, SigtermDuringConnectingWaitsForTheWorkerAndExitsCleanly) {
  InstallSlowWireGuardQuick(2);
  Start();
  ASSERT_TRUE(CallOk("Connect", Profile("home", "wireGuard", WireGuardProfileText())));
  ASSERT_TRUE(WaitForStage("connecting", 10));
  const gint64 begin = g_get_monotonic_time();
  kill(pid_, SIGTERM);
  // Repeated signals while it drains are no-ops, never a kill.
  recorder_->WaitFor([] { return false; }, std::chrono::milliseconds(300));
  kill(pid_, SIGINT);
  kill(pid_, SIGTERM);
  EXPECT_EQ(StopService(pid_, SIGTERM), 0);
  pid_ = -1;
  EXPECT_LT(g_get_monotonic_time() - begin, 15 * G_USEC_PER_SEC);
  ASSERT_TRUE(WaitForStage("disconnected", 5));
  EXPECT_EQ(Stages(), (Strings{"preparing", "connecting", "disconnecting", "disconnected"}));
  EXPECT_EQ(Logs(), (Strings{"Preparing WireGuard tunnel."}));
  EXPECT_EQ(Sh("ls -A /run/tessaryvpn").out, "");
}

TEST_F(ServiceWorkers, StaleStateThatCannotBeCleanedIsReportedUntilRepaired) {
  // Every engine present: stand-ins where the engines are not packaged.
  ASSERT_EQ(Sh("mkdir -p /usr/libexec/tessaryvpn && cd /usr/libexec/tessaryvpn && "
               "printf '#!/bin/sh\\nexit 0\\n' >sing-box && cp sing-box xray && "
               "chmod 755 sing-box xray && : >geoip.dat && : >geosite.dat")
                .status,
            0);
  // A WireGuard interface without its private configuration: nothing the
  // service can take down safely.
  ASSERT_EQ(Sh("ip tuntap add dev tessaryvpn mode tun").status, 0);
  Start();

  GVariant* snapshot = Dict("GetConnectionSnapshot");
  ASSERT_NE(snapshot, nullptr);
  EXPECT_EQ(DictString(snapshot, "stage"), "error");
  EXPECT_FALSE(DictString(snapshot, "lastError").empty());
  EXPECT_FALSE(g_variant_lookup(snapshot, "activeProfileId", "s", nullptr));
  g_variant_unref(snapshot);

  auto runtimeInfo = [&](bool* ready) {
    GVariant* info = Dict("GetRuntimeInfo");
    EXPECT_NE(info, nullptr);
    if (info == nullptr) return std::string();
    gboolean value = FALSE;
    g_variant_lookup(info, "nativeBridgeReady", "b", &value);
    *ready = value;
    for (const char* key : {"singBoxRuntimeDetected", "xrayRuntimeDetected",
                            "wireGuardRuntimeDetected", "openVpnRuntimeDetected"}) {
      gboolean present = FALSE;
      g_variant_lookup(info, key, "b", &present);
      EXPECT_TRUE(present) << key;
    }
    std::string summary = DictString(info, "summary");
    g_variant_unref(info);
    return summary;
  };
  const std::string suffix = "; cleanup repair required";
  bool ready = true;
  std::string summary = runtimeInfo(&ready);
  EXPECT_FALSE(ready);
  ASSERT_GE(summary.size(), suffix.size());
  EXPECT_EQ(summary.substr(summary.size() - suffix.size()), suffix);

  // A disconnect cannot clean it either.
  ASSERT_TRUE(CallOk("Disconnect"));
  ASSERT_TRUE(recorder_->WaitFor([&] { return !Logs().empty(); }, std::chrono::seconds(20)));
  EXPECT_EQ(Stages(), (Strings{"disconnecting", "error"}));
  EXPECT_EQ(Logs(), (Strings{"VPN disconnect cleanup failed."}));
  EXPECT_EQ(recorder_->Strings("LogEmitted", "level"), (Strings{"error"}));

  // A FIFO planted at a private path fails the clean-up at once instead of
  // waiting for a reader, and the service keeps answering.
  ASSERT_EQ(Sh("ip link del tessaryvpn && mkfifo -m 0600 /run/tessaryvpn/xray.json").status, 0);
  recorder_->Clear();
  ASSERT_TRUE(CallOk("Connect", Profile("home", "wireGuard", WireGuardProfileText())));
  ASSERT_TRUE(WaitForStage("error", 5));
  // The log entry follows the stage; it must not spill into what comes next.
  ASSERT_TRUE(recorder_->WaitFor([&] { return Logs().size() >= 2; }, std::chrono::seconds(5)));
  EXPECT_EQ(Logs(), (Strings{"Preparing WireGuard tunnel.", "WireGuard connection failed."}));
  snapshot = Dict("GetConnectionSnapshot");
  ASSERT_NE(snapshot, nullptr);
  const std::string fifoError =
      std::string("Unable to open private runtime data for removal: ") + g_strerror(ENXIO);
  EXPECT_EQ(DictString(snapshot, "lastError").rfind(fifoError, 0), 0u)
      << DictString(snapshot, "lastError");
  g_variant_unref(snapshot);

  // Once the administrator removed both, a disconnect ends clean.
  ASSERT_EQ(Sh("rm /run/tessaryvpn/xray.json").status, 0);
  recorder_->Clear();
  ASSERT_TRUE(CallOk("Disconnect"));
  ASSERT_TRUE(recorder_->WaitFor([&] { return !Logs().empty(); }, std::chrono::seconds(20)));
  EXPECT_EQ(Stages(), (Strings{"disconnecting", "disconnected"}));
  EXPECT_EQ(Logs(), (Strings{"VPN tunnel disconnected."}));
  summary = runtimeInfo(&ready);
  EXPECT_TRUE(ready);
  EXPECT_EQ(summary.find("cleanup"), std::string::npos) << summary;
  Sh("rm -rf /usr/libexec/tessaryvpn/sing-box /usr/libexec/tessaryvpn/xray "
     "/usr/libexec/tessaryvpn/geoip.dat /usr/libexec/tessaryvpn/geosite.dat");
}

TEST_F(ServiceWorkers, AnEngineThatDiesIsNoticedByThePollAndTheKillSwitchStays) {
  InstallOpenVpnStandIn();
  Start();
  // Another user holds a password prompt nobody answers open with more
  // Connect calls than the bus lets the service await replies for: what is
  // past that user's share is answered at once, and root is never refused.
  constexpr int kFlood = 200;
  constexpr int kUserShare = 8;  // checks the service takes from one user at once
  SilentPrompt prompt;
  ASSERT_TRUE(HoldSilentPrompt("Connect", "", &prompt, kFlood))
      << prompt.failure << Sh(std::string("cat ") + kCallerOutput).out;
  const std::string tooMany = std::string(linux_service::kErrorTooManyRequests) + "\n";
  auto refusedAtOnce = [&] {
    const std::string out = Sh(std::string("cat ") + kCallerOutput).out;
    int refused = 0;
    for (size_t at = out.find(tooMany); at != std::string::npos; at = out.find(tooMany, at + 1)) {
      ++refused;
    }
    return refused;
  };
  EXPECT_TRUE(
      WaitUntil([&] { return refusedAtOnce() == kFlood - kUserShare; }, std::chrono::seconds(20)))
      << Sh(std::string("cat ") + kCallerOutput).out;
  ASSERT_TRUE(CallOk(
      "Connect", Profile("office", "openVpn", "client\ndev tun\nremote 203.0.113.7 1194\n", true)));
  ASSERT_TRUE(recorder_->WaitFor([&] { return Logs().size() >= 3; }, std::chrono::seconds(30)));
  EXPECT_EQ(Stages(), (Strings{"preparing", "connecting", "connected"}));
  EXPECT_EQ(Logs(), (Strings{"Preparing OpenVPN tunnel.", "Kill switch active for this tunnel.",
                             "OpenVPN tunnel connected."}));
  EXPECT_EQ(Sh("nft list table inet tessaryvpn >/dev/null").status, 0);
  EXPECT_LT(SnapshotMillis(bus_), 500);
  recorder_->Clear();
  ASSERT_EQ(Sh("kill -KILL $(cat /run/tessaryvpn/openvpn.pid)").status, 0);
  // OpenVPN's device goes with its process; the stand-in's is persistent and
  // would stand in the way of the next test's connect.
  ASSERT_EQ(Sh("ip link del tun-tessaryvpn").status, 0);
  // The one-second poll notices it, undelayed by the prompt.
  ASSERT_TRUE(recorder_->WaitFor([&] { return !Logs().empty(); }, std::chrono::milliseconds(1500)));
  EXPECT_EQ(Stages(), (Strings{"error"}));
  EXPECT_EQ(Logs(), (Strings{"The active VPN engine stopped unexpectedly."}));
  EXPECT_EQ(recorder_->Strings("LogEmitted", "level"), (Strings{"error"}));
  GVariant* snapshot = Dict("GetConnectionSnapshot");
  ASSERT_NE(snapshot, nullptr);
  EXPECT_EQ(DictString(snapshot, "activeProfileId"), "office");
  EXPECT_EQ(DictString(snapshot, "lastError"), "OpenVPN stopped unexpectedly.");
  g_variant_unref(snapshot);
  // Traffic stays blocked until the user disconnects.
  EXPECT_EQ(Sh("nft list table inet tessaryvpn >/dev/null").status, 0);
  GVariant* info = Dict("GetRuntimeInfo");
  ASSERT_NE(info, nullptr);
  const std::string summary = DictString(info, "summary");
  EXPECT_NE(summary.find("; cleanup repair required"), std::string::npos) << summary;
  g_variant_unref(info);

  recorder_->Clear();
  ASSERT_TRUE(CallOk("Disconnect"));
  ASSERT_TRUE(recorder_->WaitFor([&] { return !Logs().empty(); }, std::chrono::seconds(20)));
  EXPECT_EQ(Stages(), (Strings{"disconnecting", "disconnected"}));
  EXPECT_NE(Sh("nft list table inet tessaryvpn >/dev/null 2>&1").status, 0);

  // The tunnel lost under an engine that lives on and ignores SIGTERM: its
  // stop takes the whole grace, during which calls are answered and a Connect
  // finds the slot taken; then the loss is reported for what it is.
  ASSERT_EQ(Sh("echo ignoreterm >/run/standin/mode && rm -f /run/standin/terms").status, 0);
  ASSERT_TRUE(CallOk(
      "Connect", Profile("office", "openVpn", "client\ndev tun\nremote 203.0.113.7 1194\n", true)));
  ASSERT_TRUE(recorder_->WaitFor(
      [&] {
        const Strings logs = Logs();
        return !logs.empty() && logs.back() == "OpenVPN tunnel connected.";
      },
      std::chrono::seconds(30)));
  const int engine = atoi(Sh("cat /run/tessaryvpn/openvpn.pid").out.c_str());
  ASSERT_GT(engine, 0);
  recorder_->Clear();
  ASSERT_EQ(Sh("ip link del tun-tessaryvpn").status, 0);
  ASSERT_TRUE(WaitUntil([] { return Sh("test -s /run/standin/terms").status == 0; },
                        std::chrono::seconds(5)));
  EXPECT_LT(SnapshotMillis(bus_), 500);
  EXPECT_EQ(CallError("Connect", Profile("second", "openVpn",
                                         "client\ndev tun\nremote 203.0.113.7 1194\n", true)),
            linux_service::kErrorBusy);
  EXPECT_EQ(Stages(), Strings{});
  ASSERT_TRUE(recorder_->WaitFor([&] { return !Logs().empty(); }, std::chrono::seconds(20)));
  EXPECT_EQ(Stages(), (Strings{"error"}));
  EXPECT_EQ(Logs(), (Strings{"The VPN tunnel stopped carrying traffic."}));
  snapshot = Dict("GetConnectionSnapshot");
  ASSERT_NE(snapshot, nullptr);
  EXPECT_EQ(DictString(snapshot, "lastError"),
            "The OpenVPN tunnel interface tun-tessaryvpn disappeared; traffic no longer goes "
            "through the tunnel.");
  g_variant_unref(snapshot);
  EXPECT_EQ(Sh("nft list table inet tessaryvpn >/dev/null").status, 0);
  EXPECT_NE(kill(engine, 0), 0) << "the engine outlived its stop";
  ASSERT_EQ(Sh("echo ok >/run/standin/mode").status, 0);
  recorder_->Clear();
  ASSERT_TRUE(CallOk("Disconnect"));
  ASSERT_TRUE(recorder_->WaitFor([&] { return !Logs().empty(); }, std::chrono::seconds(20)));
  EXPECT_EQ(Stages(), (Strings{"disconnecting", "disconnected"}));

  // The prompt is still open: SIGTERM ends the service at once all the same,
  // and the waiting caller learns why.
  const gint64 begin = g_get_monotonic_time();
  EXPECT_EQ(StopService(pid_, SIGTERM), 0);
  pid_ = -1;
  EXPECT_LT(g_get_monotonic_time() - begin, 3 * G_USEC_PER_SEC);
  EXPECT_TRUE(WaitUntil(
      [] {
        return Sh(std::string("cat ") + kCallerOutput)
                   .out.find(std::string(linux_service::kErrorShuttingDown) + "\n") !=
               std::string::npos;
      },
      std::chrono::seconds(5)))
      << Sh(std::string("cat ") + kCallerOutput).out;
  EXPECT_EQ(refusedAtOnce(), kFlood - kUserShare);
  RestoreOpenVpn();
}

TEST_F(ServiceWorkers, AKillSwitchThatCannotBeBuiltDoesNotFailTheConnection) {
  InstallOpenVpnStandIn();
  Start();
  // No address to allow: the server's name does not resolve, and the
  // sandbox's resolver never answers for it.
  const std::string unresolvable = "client\ndev tun\nremote vpn.example.invalid 1194\n";

  // Overtaken while that name is still being looked up: the Disconnect ends
  // it within seconds and the tunnel is never reported up.
  ASSERT_TRUE(CallOk("Connect", Profile("office", "openVpn", unresolvable, true)));
  ASSERT_TRUE(WaitUntil([] { return Sh("test -d /sys/class/net/tun-tessaryvpn").status == 0; },
                        std::chrono::seconds(10)));
  // The start sees the tunnel on its next half-second pass; the lookup that
  // follows waits up to 10 s.
  recorder_->WaitFor([] { return false; }, std::chrono::seconds(2));
  const gint64 begin = g_get_monotonic_time();
  ASSERT_TRUE(CallOk("Disconnect"));
  ASSERT_TRUE(WaitForStage("disconnected", 5));
  EXPECT_LT(g_get_monotonic_time() - begin, 5 * G_USEC_PER_SEC);
  // The log entry follows the stage; then a moment for any stray one.
  ASSERT_TRUE(recorder_->WaitFor([&] { return Logs().size() >= 2; }, std::chrono::seconds(5)));
  recorder_->WaitFor([] { return false; }, std::chrono::milliseconds(500));
  EXPECT_EQ(Stages(), (Strings{"preparing", "connecting", "disconnecting", "disconnected"}));
  EXPECT_EQ(Logs(), (Strings{"Preparing OpenVPN tunnel.", "VPN tunnel disconnected."}));
  EXPECT_NE(Sh("nft list table inet tessaryvpn >/dev/null 2>&1").status, 0);
  recorder_->Clear();

  ASSERT_TRUE(CallOk("Connect", Profile("office", "openVpn", unresolvable, true)));
  ASSERT_TRUE(recorder_->WaitFor([&] { return Logs().size() >= 3; }, std::chrono::seconds(30)));
  EXPECT_EQ(Stages(), (Strings{"preparing", "connecting", "connected"}));
  const Strings logs = Logs();
  const Strings levels = recorder_->Strings("LogEmitted", "level");
  ASSERT_EQ(logs.size(), 3u);
  EXPECT_EQ(logs[0], "Preparing OpenVPN tunnel.");
  EXPECT_EQ(logs[1].rfind("Kill switch could not be applied: ", 0), 0u) << logs[1];
  EXPECT_GT(logs[1].size(), std::string("Kill switch could not be applied: ").size());
  EXPECT_EQ(levels[1], "warning");
  EXPECT_EQ(logs[2], "OpenVPN tunnel connected.");
  EXPECT_NE(Sh("nft list table inet tessaryvpn >/dev/null 2>&1").status, 0);
  ASSERT_TRUE(CallOk("Disconnect"));
  ASSERT_TRUE(WaitForStage("disconnected"));
  RestoreOpenVpn();
}

// The whole road with the real engine: wg-quick through wireguard-go to a
// peer in its own namespace, DNS through the real systemd-resolved.
TEST_F(ServiceWorkers, WireGuardConnectsAndDisconnectsThroughTheWorkers) {
  const char* peers = "$TESSARY_SOURCE_DIR/tests/sandbox/peers";
  ASSERT_EQ(Sh(std::string(peers) + " wireguard /run/sandbox >/run/sandbox/peers.log 2>&1").status,
            0)
      << Sh("cat /run/sandbox/peers.log").out;
  const std::string config = Sh("cat /run/sandbox/wireguard.conf").out;
  ASSERT_FALSE(config.empty());
  Start();

  const gint64 before = g_get_real_time() / 1000;
  ASSERT_TRUE(CallOk("Connect", Profile("home", "wireGuard", config)));
  ASSERT_TRUE(recorder_->WaitFor(
      [&] {
        const Strings stages = Stages();
        return !stages.empty() && (stages.back() == "connected" || stages.back() == "error");
      },
      std::chrono::seconds(30)));
  GVariant* snapshot = Dict("GetConnectionSnapshot");
  ASSERT_NE(snapshot, nullptr);
  EXPECT_EQ(DictString(snapshot, "stage"), "connected") << DictString(snapshot, "lastError");
  gint64 connectedAt = 0;
  EXPECT_TRUE(g_variant_lookup(snapshot, "connectedAtEpochMillis", "x", &connectedAt));
  EXPECT_GE(connectedAt, before);
  EXPECT_LE(connectedAt, g_get_real_time() / 1000);
  g_variant_unref(snapshot);
  EXPECT_EQ(Stages(), (Strings{"preparing", "connecting", "connected"}));
  // The log entry follows the snapshot it reports on.
  recorder_->WaitFor([&] { return Logs().size() >= 2; }, std::chrono::seconds(5));
  EXPECT_EQ(Logs(), (Strings{"Preparing WireGuard tunnel.", "WireGuard tunnel connected."}));
  EXPECT_EQ(Sh("test -d /sys/class/net/tessaryvpn").status, 0);

  recorder_->Clear();
  ASSERT_TRUE(CallOk("Disconnect"));
  ASSERT_TRUE(WaitForStage("disconnected", 30));
  EXPECT_EQ(Stages(), (Strings{"disconnecting", "disconnected"}));
  recorder_->WaitFor([&] { return !Logs().empty(); }, std::chrono::seconds(5));
  EXPECT_EQ(Logs(), (Strings{"VPN tunnel disconnected."}));
  EXPECT_NE(Sh("test -d /sys/class/net/tessaryvpn").status, 0);
  EXPECT_EQ(Sh("ls -A /run/tessaryvpn").out, "");
}

}  // namespace
}  // namespace tessary::test

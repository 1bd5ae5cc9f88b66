// The service core's pure pieces: the checks a Connect makes before anything
// changes (and that every refusal wipes the profile), the typed reads of the
// profile dictionary, and the journal priority of each log level.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "common/constants.h"
#include "service/service.h"

namespace tessary::linux_service {
namespace {

constexpr char kSecret[] =
    "[Interface]\nPrivateKey = SECRET-SECRET-SECRET-SECRET-SECRET-SECRET=\n"
    "Address = 198.51.100.2/32\n";

ProfileValidation Accept(const std::string&, const std::string&, const std::string&) {
  return {true, ""};
}
ProfileValidation Refuse(const std::string&, const std::string&, const std::string&) {
  return {false, "The profile identifier is invalid."};
}

TEST(AdmitConnect, EveryRefusalWipesTheConfigurationInCheckOrder) {
  struct Case {
    const char* label;
    bool valid;
    bool available;
    int32_t workers;
    const char* errorName;
    std::string message;
  };
  const std::string wireGuard = EngineName(EngineForProtocol("wireGuard"));
  const Case cases[] = {
      // Validation comes first, even while a worker runs and the engine is missing.
      {"invalid while busy", false, false, 1, kErrorInvalidProfile,
       "The profile identifier is invalid."},
      // Availability before Busy.
      {"missing while busy", true, false, 1, kErrorRuntimeUnavailable,
       wireGuard + " runtime is missing. Repair the TessaryVPN installation."},
      {"missing", true, false, 0, kErrorRuntimeUnavailable,
       wireGuard + " runtime is missing. Repair the TessaryVPN installation."},
      {"busy", true, true, 1, kErrorBusy, "Another VPN engine operation is already in progress."},
      {"busy with two workers", true, true, 2, kErrorBusy,
       "Another VPN engine operation is already in progress."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::string rawConfig = kSecret;
    std::atomic<int32_t> workers{c.workers};
    bool availabilityAsked = false;
    const ConnectAdmission admission = AdmitConnect(
        "profile-1", "wireGuard", &rawConfig, c.valid ? Accept : Refuse,
        [&](EngineKind) {
          availabilityAsked = true;
          return c.available;
        },
        &workers);
    EXPECT_FALSE(admission.accepted);
    EXPECT_STREQ(admission.errorName, c.errorName);
    EXPECT_EQ(admission.message, c.message);
    EXPECT_TRUE(rawConfig.empty());
    EXPECT_EQ(availabilityAsked, c.valid);
    // A refusal never touches the reservation.
    EXPECT_EQ(workers.load(), c.workers);
  }
}

TEST(AdmitConnect, AcceptanceReservesTheSlotAndKeepsTheConfiguration) {
  std::string rawConfig = kSecret;
  std::atomic<int32_t> workers{0};
  EngineKind asked = kUnsupported;
  const ConnectAdmission admission = AdmitConnect(
      "profile-1", "wireGuard", &rawConfig, Accept,
      [&](EngineKind kind) {
        asked = kind;
        return true;
      },
      &workers);
  EXPECT_TRUE(admission.accepted);
  EXPECT_EQ(admission.kind, EngineForProtocol("wireGuard"));
  EXPECT_EQ(asked, admission.kind);
  EXPECT_EQ(rawConfig, kSecret);
  EXPECT_EQ(workers.load(), 1);

  // The slot is taken now: the next one is Busy and wiped.
  std::string second = kSecret;
  const ConnectAdmission busy = AdmitConnect(
      "profile-2", "wireGuard", &second, Accept, [](EngineKind) { return true; }, &workers);
  EXPECT_FALSE(busy.accepted);
  EXPECT_STREQ(busy.errorName, kErrorBusy);
  EXPECT_TRUE(second.empty());
  EXPECT_EQ(workers.load(), 1);
}

TEST(AdmitConnect, TheRealValidationRefusesAndWipes) {
  const std::pair<std::string, std::string> profiles[] = {
      {"", "wireGuard"},                // no identifier
      {"profile-1", "carrier-pigeon"},  // no engine for it
  };
  for (const auto& [id, protocol] : profiles) {
    SCOPED_TRACE(id + "/" + protocol);
    std::string rawConfig = kSecret;
    std::atomic<int32_t> workers{0};
    const ConnectAdmission admission = AdmitConnect(
        id, protocol, &rawConfig, ValidateProfile, [](EngineKind) { return true; }, &workers);
    EXPECT_FALSE(admission.accepted);
    EXPECT_STREQ(admission.errorName, kErrorInvalidProfile);
    EXPECT_FALSE(admission.message.empty());
    EXPECT_TRUE(rawConfig.empty());
    EXPECT_EQ(workers.load(), 0);
  }
}

TEST(AdmitConnect, AProfileTheRealValidationAcceptsMeetsAvailabilityThenBusy) {
  const std::string profile =
      "[Interface]\nPrivateKey = yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk=\n"
      "Address = 198.51.100.2/32\nDNS = 198.51.100.1\n\n[Peer]\n"
      "PublicKey = xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=\n"
      "Endpoint = 192.0.2.2:51820\nAllowedIPs = 0.0.0.0/0, ::/0\n";
  ASSERT_TRUE(ValidateProfile("home", "wireGuard", profile).valid);

  std::string rawConfig = profile;
  std::atomic<int32_t> workers{0};
  ConnectAdmission admission = AdmitConnect(
      "home", "wireGuard", &rawConfig, ValidateProfile, [](EngineKind) { return false; }, &workers);
  EXPECT_STREQ(admission.errorName, kErrorRuntimeUnavailable);
  EXPECT_EQ(admission.message, "WireGuard runtime is missing. Repair the TessaryVPN installation.");
  EXPECT_TRUE(rawConfig.empty());

  rawConfig = profile;
  workers = 1;
  admission = AdmitConnect(
      "home", "wireGuard", &rawConfig, ValidateProfile, [](EngineKind) { return true; }, &workers);
  EXPECT_STREQ(admission.errorName, kErrorBusy);
  EXPECT_TRUE(rawConfig.empty());

  rawConfig = profile;
  workers = 0;
  admission = AdmitConnect(
      "home", "wireGuard", &rawConfig, ValidateProfile, [](EngineKind) { return true; }, &workers);
  EXPECT_TRUE(admission.accepted);
  EXPECT_EQ(admission.kind, kWireGuard);
  EXPECT_EQ(rawConfig, profile);
}

TEST(LogSeverity, EachLevelKeepsItsJournalPriorityAndNoneIsFatal) {
  const struct {
    const char* level;
    GLogLevelFlags flags;
    const char* priority;
  } cases[] = {
      {"info", G_LOG_LEVEL_MESSAGE, "6"},
      {"warning", G_LOG_LEVEL_WARNING, "4"},
      {"error", G_LOG_LEVEL_CRITICAL, "3"},
  };
  for (const auto& c : cases) {
    const LogSeverity severity = LogSeverityFor(c.level);
    EXPECT_EQ(severity.flags, c.flags) << c.level;
    EXPECT_STREQ(severity.priority, c.priority) << c.level;
  }
}

TEST(ProfileLookup, KeysOfAnotherTypeCountAsAbsent) {
  GVariant* profile = g_variant_ref_sink(g_variant_parse(
      G_VARIANT_TYPE_VARDICT,
      "{'id': <'p1'>, 'protocol': <int32 3>, 'rawConfig': <'a\\nb'>, 'killSwitch': <'true'>, "
      "'other': <true>}",
      nullptr, nullptr, nullptr));
  ASSERT_NE(profile, nullptr);
  EXPECT_EQ(LookupString(profile, "id"), "p1");
  EXPECT_EQ(LookupString(profile, "protocol"), "");
  EXPECT_EQ(LookupString(profile, "rawConfig"), "a\nb");
  EXPECT_EQ(LookupString(profile, "missing"), "");
  EXPECT_FALSE(LookupBoolean(profile, "killSwitch", false));
  EXPECT_TRUE(LookupBoolean(profile, "killSwitch", true));
  EXPECT_TRUE(LookupBoolean(profile, "other", false));
  EXPECT_FALSE(LookupBoolean(profile, "absent", false));
  g_variant_unref(profile);

  GVariant* on = g_variant_ref_sink(
      g_variant_parse(G_VARIANT_TYPE_VARDICT, "{'killSwitch': <true>}", nullptr, nullptr, nullptr));
  EXPECT_TRUE(LookupBoolean(on, "killSwitch", false));
  g_variant_unref(on);
}

}  // namespace
}  // namespace tessary::linux_service

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

TEST(ProfileBounds, ExtraKeysAndBytesBeyondALargestProfileAreRefused) {
  // n extra boolean keys beside a configuration of `configBytes`.
  auto build = [](int extraKeys, size_t configBytes, size_t idBytes) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&builder, "{sv}", "id",
                          g_variant_new_take_string(g_strnfill(idBytes, 'i')));
    g_variant_builder_add(&builder, "{sv}", "protocol", g_variant_new_string("wireGuard"));
    g_variant_builder_add(&builder, "{sv}", "rawConfig",
                          g_variant_new_take_string(g_strnfill(configBytes, 'c')));
    g_variant_builder_add(&builder, "{sv}", "killSwitch", g_variant_new_boolean(TRUE));
    for (int i = 0; i < extraKeys; ++i) {
      g_autofree gchar* key = g_strdup_printf("k%d", i);
      g_variant_builder_add(&builder, "{sv}", key, g_variant_new_boolean(TRUE));
    }
    return g_variant_ref_sink(g_variant_builder_end(&builder));
  };
  const struct {
    const char* label;
    int extraKeys;
    size_t configBytes;
    size_t idBytes;
    bool within;
  } cases[] = {
      {"a plain profile", 0, 400, 8, true},
      {"the largest configuration", 0, kMaxConfigBytes, 256, true},
      {"a client's own keys", kMaxProfileEntries - 4, 400, 8, true},
      {"one key too many", kMaxProfileEntries - 3, 400, 8, false},
      {"a hundred thousand keys", 100000, 0, 0, false},
      {"a configuration far past the limit", 0, kMaxProfileBytes, 8, false},
      {"the bytes in the identifier", 0, 400, kMaxProfileBytes, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    GVariant* profile = build(c.extraKeys, c.configBytes, c.idBytes);
    EXPECT_EQ(ProfileWithinBounds(profile), c.within);
    g_variant_unref(profile);
  }
}

TEST(CheckLimits, NoCallerOrUserFillsWhatRootNeeds) {
  const struct {
    const char* label;
    int64_t uid;
    CheckCounts counts;
    bool fits;
  } cases[] = {
      {"a first check", 1000, {0, 0, 0, 0}, true},
      {"a caller at its cap", 1000, {kMaxChecksPerCaller, 4, 4, 0}, false},
      {"a user at its cap on another connection", 1000, {0, kMaxChecksPerUser, 8, 0}, false},
      {"all other users at theirs", 1000, {0, 0, kMaxChecksOfOthers, 0}, false},
      // Root is counted apart: nothing others hold refuses it.
      {"root while others are full", 0, {0, 0, kMaxChecksOfOthers, 0}, true},
      {"root at its own share", 0, {0, 0, 0, kMaxChecksOfRoot}, false},
      {"root's connection at its cap", 0, {kMaxChecksPerCaller, 0, 0, 4}, false},
      {"a user while root is full", 1000, {0, 0, 0, kMaxChecksOfRoot}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(CheckFitsLimits(c.uid, c.counts), c.fits);
  }
}

}  // namespace
}  // namespace tessary::linux_service

// The test world itself: a test that trusts the sandbox must be able to rely
// on it being private and complete.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/constants.h"
#include "tests/sandbox/sandbox_util.h"

namespace tessary::test {
namespace {

TEST(SandboxHarness, IsPrivateAndHasTheProjectInstalled) {
  RequireSandbox();
  // Only loopback exists in a fresh network namespace.
  CommandResult links = Sh("ls /sys/class/net");
  EXPECT_EQ(links.out, "lo\n");
  // /run is the sandbox's own tmpfs.
  CommandResult fs = Sh("stat -f -c %T /run");
  EXPECT_EQ(fs.out, "tmpfs\n");
  // The build is installed at its fixed paths in the /usr overlay.
  struct stat st {};
  EXPECT_EQ(stat(linux_service::kServiceBinary, &st), 0);
  EXPECT_EQ(stat(linux_service::kDnsHelper, &st), 0);
  EXPECT_EQ(stat(linux_service::kPolkitPolicy, &st), 0);
  EXPECT_EQ(stat(linux_service::kDbusPolicy, &st), 0);
}

TEST(SandboxHarness, PrivateBusWithPolkit) {
  RequireSandbox();
  CommandResult ping = Sh(
      "gdbus call --system -d org.freedesktop.PolicyKit1 -o /org/freedesktop/PolicyKit1/Authority "
      "-m org.freedesktop.DBus.Peer.Ping");
  EXPECT_EQ(ping.status, 0) << ping.err;
  // polkitd sees the project's action.
  CommandResult action = Sh("pkaction --action-id org.tessaryvpn.manage --verbose");
  EXPECT_EQ(action.status, 0) << action.err;
  EXPECT_NE(action.out.find("implicit active:   yes"), std::string::npos) << action.out;
}

TEST(SandboxHarness, OverlayChangesStayInside) {
  RequireSandbox();
  CommandResult rm = Sh("rm /usr/bin/timeout && test ! -e /usr/bin/timeout");
  EXPECT_EQ(rm.status, 0) << rm.err;
}

// A checkout under /tmp must survive the sandbox's private /tmp: its files,
// the working directory and the enter script's own helpers stay reachable,
// and nothing else of the outer /tmp shows.
TEST(SandboxHarness, ACheckoutUnderTmpStaysReachable) {
  RequireSandbox();
  const CommandResult result =
      Sh("set -e\n"
         "rm -rf /tmp/checkout && mkdir -p /tmp/checkout/tests/sandbox\n"
         "cp \"$TESSARY_SOURCE_DIR/tests/sandbox/enter\" /tmp/checkout/tests/sandbox/\n"
         "echo notes > /tmp/checkout/README && touch /tmp/outer-only\n"
         "cd /tmp/checkout\n"
         "tests/sandbox/enter --no-bus -- sh -c 'cat /tmp/checkout/README; pwd; ls /tmp'\n");
  Sh("rm -rf /tmp/checkout /tmp/outer-only");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "notes\n/tmp/checkout\ncheckout\n");
}

}  // namespace
}  // namespace tessary::test

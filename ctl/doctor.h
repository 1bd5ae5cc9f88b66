// Installation diagnostics of `tessaryvpnctl doctor`: one line per check of
// the packaged files, the distribution tools, the running service and the
// leak-protection table, then a summary.
#pragma once

#include <ostream>

namespace tessary::linux_service {

// Writes the whole report to `out`, line by line as each check completes, and
// returns 0 when no check failed and 1 otherwise (warnings do not count). It
// only reads: files, two read-only service methods, whether systemd-resolved
// runs or is enabled, and, as root, two nft listings. It never stops early.
int RunDoctor(std::ostream& out);

// The same report on standard output.
int RunDoctor();

}  // namespace tessary::linux_service

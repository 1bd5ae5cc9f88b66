// PLACEHOLDER: replaced by the service core work.
#pragma once

namespace tessary::linux_service {
int RunService();
}

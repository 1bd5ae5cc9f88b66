// PLACEHOLDER: replaced by the service core work.
#include "service/service.h"

namespace tessary::linux_service {
int RunService() { return 1; }
}

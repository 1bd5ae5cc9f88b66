#include "service/service.h"

int main() { return tessary::linux_service::RunService(); }

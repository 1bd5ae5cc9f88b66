// What the units holding the engines' profile rules share with the dispatch in
// config_validation.cc. Not for callers outside validation.
#pragma once

#include <string>

#include "service/config_validation.h"

namespace tessary::linux_service {

inline ProfileValidation Invalid(const std::string& message) { return {false, message}; }

}  // namespace tessary::linux_service

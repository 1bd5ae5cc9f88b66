// Byte-level text helpers every reader of profile text shares. They work in
// the POSIX locale whatever locale the process runs in, so a profile reads the
// same under any user's settings.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace tessary::linux_service {

// The bytes isspace() accepts in the POSIX locale.
bool IsSpace(char c);

// Lowercase changes only A to Z; Trim drops the IsSpace bytes from both ends.
std::string Lowercase(std::string text);
std::string Trim(std::string_view text);

// True when |label| equals one of |labels| exactly.
bool LabelIn(const std::string& label, std::initializer_list<const char*> labels);

}  // namespace tessary::linux_service

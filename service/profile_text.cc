#include "service/profile_text.h"

namespace tessary::linux_service {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string Lowercase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string Trim(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsSpace(text[begin])) ++begin;
  while (end > begin && IsSpace(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

bool LabelIn(const std::string& label, std::initializer_list<const char*> labels) {
  for (const char* candidate : labels) {
    if (label == candidate) return true;
  }
  return false;
}

}  // namespace tessary::linux_service

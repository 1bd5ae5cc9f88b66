// Wiping secrets (private keys, profile text) from memory this program owns.
// explicit_bzero, unlike memset or std::fill on memory about to be freed, is
// never dropped by the optimizer as a dead store.
#pragma once

#include <string.h>

#include <cstddef>
#include <string>

namespace tessary::linux_service {

inline void SecureClear(void* data, std::size_t size) noexcept {
  if (data != nullptr && size != 0) explicit_bzero(data, size);
}

// Zeroes the text's characters, empties it and releases its spare capacity.
inline void SecureClear(std::string* text) noexcept {
  if (text == nullptr) return;
  SecureClear(text->data(), text->size());
  text->clear();
  text->shrink_to_fit();
}

}  // namespace tessary::linux_service

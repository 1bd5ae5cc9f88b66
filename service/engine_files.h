// Internal to the engine runtime: the file tests its units share, and the
// private runtime files (mode 0600 in a 0700 directory) the engines run from.
#pragma once

#include <glib.h>
#include <unistd.h>

#include <string>

namespace tessary::linux_service {

bool IsExecutable(const char* path);
bool InterfacePresent(const char* sysfsPath);
// A symbolic link does not count: the engines must not be pointed elsewhere.
bool IsRegularFile(const char* path);
std::string ErrnoText(int error);
bool IsRegularDescriptor(int fd);

// Calls visit(line) for each "\n"-separated line; a final newline does not
// start another line. Stops early when visit returns false.
template <typename Visit>
void ForEachLine(const std::string& text, Visit visit) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (!visit(text.substr(start, end - start))) return;
    start = end + 1;
  }
}

// A descriptor that is closed on every path out of its scope; -1 is none.
using Descriptor = int;
inline void CloseDescriptor(Descriptor fd) { close(fd); }
G_DEFINE_AUTO_CLEANUP_FREE_FUNC(Descriptor, CloseDescriptor, -1)

// Writes `content` to `path` in the private runtime directory, creating the
// directory; never follows a link nor waits on a FIFO planted there.
bool WritePrivateFile(const char* path, const std::string& content, std::string* error);
// Overwrites the file with zeros, then removes it; an absent file counts as
// removed, and anything but a regular file is refused.
bool SecureRemoveFile(const char* path, std::string* error);

}  // namespace tessary::linux_service

// The file tests the engine runtime's units share, and its private files.
#include "service/engine_files.h"

#include <fcntl.h>
#include <glib/gstdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "common/constants.h"

namespace tessary::linux_service {

bool IsExecutable(const char* path) { return g_file_test(path, G_FILE_TEST_IS_EXECUTABLE); }

bool InterfacePresent(const char* sysfsPath) { return g_file_test(sysfsPath, G_FILE_TEST_IS_DIR); }

// A symbolic link does not count: the engines must not be pointed elsewhere.
bool IsRegularFile(const char* path) {
  struct stat st {};
  return lstat(path, &st) == 0 && S_ISREG(st.st_mode);
}

std::string ErrnoText(int error) { return g_strerror(error); }

bool IsRegularDescriptor(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// ---- private runtime files -------------------------------------------------

bool WritePrivateFile(const char* path, const std::string& content, std::string* error) {
  if (g_mkdir_with_parents(kRuntimeDirectory, 0700) != 0) {
    *error = "Unable to create the private runtime directory: " + ErrnoText(errno);
    return false;
  }
  if (chmod(kRuntimeDirectory, 0700) != 0) {
    *error = "Unable to secure the private runtime directory: " + ErrnoText(errno);
    return false;
  }
  // O_NONBLOCK: a FIFO planted at the path must fail the open rather than
  // wait forever for a reader. It has no effect on the regular file we write.
  g_auto(Descriptor) fd =
      open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) {
    *error = "Unable to create the private VPN configuration: " + ErrnoText(errno);
    return false;
  }
  if (!IsRegularDescriptor(fd)) {
    // Not ours to unlink: whatever sits there is left for the removal to report.
    *error = "Private runtime data is not a regular file.";
    return false;
  }
  auto fail = [&](const char* text, int cause) {
    *error = text + ErrnoText(cause);
    unlink(path);
    return false;
  };
  if (fchmod(fd, 0600) != 0) {
    return fail("Unable to secure the private VPN configuration: ", errno);
  }
  size_t done = 0;
  while (done < content.size()) {
    ssize_t written = write(fd, content.data() + done, content.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      // A zero-length write sets no errno; name the disk as the likely cause.
      return fail("Unable to write the private VPN configuration: ", written < 0 ? errno : ENOSPC);
    }
    done += static_cast<size_t>(written);
  }
  if (fsync(fd) != 0) {
    return fail("Unable to persist the private VPN configuration: ", errno);
  }
  return true;
}

bool SecureRemoveFile(const char* path, std::string* error) {
  g_auto(Descriptor) fd = open(path, O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    *error = "Unable to open private runtime data for removal: " + ErrnoText(errno);
    return false;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "Private runtime data is not a regular file.";
    return false;
  }
  static const char zeros[4096] = {};
  off_t offset = 0;
  while (offset < st.st_size) {
    size_t piece = static_cast<size_t>(std::min<off_t>(st.st_size - offset, sizeof zeros));
    ssize_t written = pwrite(fd, zeros, piece, offset);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      *error = "Unable to clear private runtime data.";
      return false;
    }
    offset += written;
  }
  fsync(fd);
  if (unlink(path) != 0 && errno != ENOENT) {
    *error = "Unable to remove private runtime data: " + ErrnoText(errno);
    return false;
  }
  return true;
}

}  // namespace tessary::linux_service

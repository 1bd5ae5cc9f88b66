// Stand-ins for the AmneziaWG tools, which are not packaged here. Built three
// times: TESSARY_STANDIN_AWG_QUICK, TESSARY_STANDIN_AWG or neither
// (amneziawg-go).
//   awg-quick up|down FILE   records its command line, PATH and
//                            WG_QUICK_USERSPACE_IMPLEMENTATION in
//                            /run/tessaryvpn-standin/awg-quick.log, copies FILE
//                            without the AmneziaWG Interface keys into a private
//                            directory under the same base name (so the
//                            interface name stays the same) and runs the real
//                            /usr/bin/wg-quick on the copy, exiting with its status
//   awg ...                  runs /usr/bin/wg
//   amneziawg-go IFACE       records its command line in amneziawg-go.log and
//                            runs /usr/bin/wireguard-go
// Like the engine stand-ins they refuse to run unless /run/tessaryvpn-standin
// exists, which only tests/standins/install-engines creates, inside the sandbox.
#include <fcntl.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr char kControlDirectory[] = "/run/tessaryvpn-standin";

#if defined(TESSARY_STANDIN_AWG_QUICK)
constexpr char kTool[] = "awg-quick";
#elif defined(TESSARY_STANDIN_AWG)
constexpr char kTool[] = "awg";
#else
constexpr char kTool[] = "amneziawg-go";
#endif

// The AmneziaWG Interface keys, lower case.
constexpr const char* kAmneziaKeys[] = {
    "jc",
    "jmin",
    "jmax",
    "s1",
    "s2",
    "s3",
    "s4",
    "h1",
    "h2",
    "h3",
    "h4",
    "i1",
    "i2",
    "i3",
    "i4",
    "i5",
    "headerprotectionkey",
    "contentpaddingaddition",
    "rekeyaftertime",
    "rekeytimeout",
    "rejectaftertime",
    "keepalivetimeout",
    "maxhandshakeattempts",
    "randomtrailers",
    "disablecookies",
};

bool IsAmneziaKey(const std::string& key) {
  for (const char* candidate : kAmneziaKeys) {
    if (key == candidate) return true;
  }
  return false;
}

std::string Lower(std::string text) {
  for (char& c : text) c = g_ascii_tolower(c);
  return text;
}

std::string Trim(const std::string& text) {
  g_autofree gchar* copy = g_strdup(text.c_str());
  return g_strstrip(copy);
}

void Record(int argc, char** argv, bool environment) {
  FILE* log = fopen((std::string(kControlDirectory) + "/" + kTool + ".log").c_str(), "a");
  if (!log) return;
  fprintf(log, "argv=");
  for (int i = 0; i < argc; ++i) fprintf(log, "%s%s", i ? " " : "", argv[i]);
  fprintf(log, "\n");
  if (environment) {
    for (const char* name : {"PATH", "WG_QUICK_USERSPACE_IMPLEMENTATION"}) {
      const char* value = getenv(name);
      fprintf(log, "%s=%s\n", name, value ? value : "<unset>");
    }
  }
  fclose(log);
}

// The configuration without AmneziaWG keys in its Interface section; every
// other line is kept as written.
std::string StripAmneziaKeys(const std::string& config) {
  std::string out;
  bool inInterface = false;
  gchar** lines = g_strsplit(config.c_str(), "\n", -1);
  for (gchar** line = lines; *line; ++line) {
    const std::string trimmed = Trim(*line);
    bool keep = true;
    if (!trimmed.empty() && trimmed[0] == '[') {
      const auto close = trimmed.find(']');
      inInterface =
          close != std::string::npos && Lower(Trim(trimmed.substr(1, close - 1))) == "interface";
    } else if (inInterface) {
      const auto equals = trimmed.find('=');
      keep = equals == std::string::npos || !IsAmneziaKey(Lower(Trim(trimmed.substr(0, equals))));
    }
    if (keep) {
      out += *line;
      if (*(line + 1)) out += "\n";
    }
  }
  g_strfreev(lines);
  return out;
}

int RunAndWait(const char* const* argv) {
  const pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) {
    execv(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return 1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

int AwgQuick(int argc, char** argv) {
  if (argc != 3 || (strcmp(argv[1], "up") != 0 && strcmp(argv[1], "down") != 0)) {
    fprintf(stderr, "usage: awg-quick up|down CONFIG_FILE\n");
    return 1;
  }
  g_autofree gchar* text = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(argv[2], &text, &length, nullptr)) {
    fprintf(stderr, "awg-quick stand-in: cannot read %s\n", argv[2]);
    return 1;
  }
  const std::string stripped = StripAmneziaKeys(std::string(text, length));
  memset(text, 0, length);

  std::string directory = std::string(kControlDirectory) + "/awg-quick-copy.XXXXXX";
  if (!g_mkdtemp_full(directory.data(), 0700)) return 1;
  g_autofree gchar* base = g_path_get_basename(argv[2]);
  const std::string copy = directory + "/" + base;
  int status = 1;
  const int fd = g_open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    const bool written =
        write(fd, stripped.data(), stripped.size()) == static_cast<ssize_t>(stripped.size());
    close(fd);
    if (written) {
      const char* const quick[] = {"/usr/bin/wg-quick", argv[1], copy.c_str(), nullptr};
      status = RunAndWait(quick);
    }
  }
  g_unlink(copy.c_str());
  g_rmdir(directory.c_str());
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (!g_file_test(kControlDirectory, G_FILE_TEST_IS_DIR)) {
    fprintf(stderr, "%s stand-in: %s is missing; refusing to touch this machine's network.\n",
            kTool, kControlDirectory);
    return 2;
  }
  if (strcmp(kTool, "awg-quick") == 0) {
    Record(argc, argv, true);
    return AwgQuick(argc, argv);
  }
  const bool userspace = strcmp(kTool, "amneziawg-go") == 0;
  if (userspace) Record(argc, argv, false);
  const char* real = userspace ? "/usr/bin/wireguard-go" : "/usr/bin/wg";
  argv[0] = const_cast<char*>(real);
  execv(real, argv);
  fprintf(stderr, "%s stand-in: cannot run %s: %s\n", kTool, real, strerror(errno));
  return 127;
}

#include "platform/desktop.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>

extern char** environ;

namespace kestrel::platform {

namespace {

bool set(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

bool onPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string_view rest = path ? path : "/usr/bin:/bin";
  for (;;) {
    std::size_t colon = rest.find(':');
    std::string_view dir = rest.substr(0, colon);
    // An empty entry is the current folder, as the shell reads it.
    std::string candidate(dir.empty() ? std::string_view(".") : dir);
    candidate += '/';
    candidate += program;
    if (::access(candidate.c_str(), X_OK) == 0) return true;
    if (colon == std::string_view::npos) return false;
    rest.remove_prefix(colon + 1);
  }
}

}  // namespace

bool desktopPresent() { return set("DISPLAY") || set("WAYLAND_DISPLAY"); }

bool openInBrowser(const std::string& url) {
  if (!onPath("xdg-open")) return false;
  // A shell in between puts xdg-open in the background and ends at once: it is
  // reaped here, and the browser never becomes a child this process must wait for.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  // The signals the server blocks for its signalfd must not stay blocked in the browser.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  char sh[] = "/bin/sh", c[] = "-c", script[] = "xdg-open \"$1\" &", name[] = "kestrel-open";
  std::string target = url;
  char* argv[] = {sh, c, script, name, target.data(), nullptr};
  pid_t pid = 0;
  int rc = posix_spawn(&pid, sh, &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) return false;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace kestrel::platform

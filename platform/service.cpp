#include "platform/service.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace kestrel::platform {

namespace {

constexpr char kUnitPath[] = "/etc/systemd/system/kestrel.service";

bool hasControl(std::string_view s) {
  for (char c : s) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return true;
  }
  return false;
}

bool validAccount(std::string_view name) {
  if (name.empty() || name.front() == '-' || name == "." || name == "..") return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

// Inside ExecStart's double quotes systemd undoes C escapes, then '%'
// starts a specifier and '$' a variable; each needs its own escape.
std::string quoteExecPath(std::string_view path) {
  std::string out = "\"";
  for (char c : path) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '%': out += "%%"; break;
      case '$': out += "$$"; break;
      default: out += c;
    }
  }
  out += '"';
  return out;
}

// Environment="NAME=value": inside the quotes systemd undoes C escapes and
// expands '%' specifiers; '$' means nothing there.
std::string environmentLine(std::string_view name, std::string_view value) {
  std::string out = "Environment=\"";
  out += name;
  out += '=';
  for (char c : value) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '%': out += "%%"; break;
      default: out += c;
    }
  }
  out += "\"\n";
  return out;
}

bool validOptionalPath(std::string_view path) { return path.empty() || (path.front() == '/' && !hasControl(path)); }

std::string unquoteExecPath(std::string_view v) {
  std::string out;
  if (v.empty() || v.front() != '"') {
    auto end = v.find_first_of(" \t");
    v = v.substr(0, end);
    for (std::size_t i = 0; i < v.size(); ++i) {
      if ((v[i] == '%' || v[i] == '$') && i + 1 < v.size() && v[i + 1] == v[i]) ++i;
      out += v[i];
    }
    return out;
  }
  for (std::size_t i = 1; i < v.size(); ++i) {
    char c = v[i];
    if (c == '"') break;
    if (c == '\\' && i + 1 < v.size()) {
      c = v[++i];
    } else if ((c == '%' || c == '$') && i + 1 < v.size() && v[i + 1] == c) {
      ++i;
    }
    out += c;
  }
  return out;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

}  // namespace

ServiceNotifier::ServiceNotifier() {
  if (const char* name = std::getenv("NOTIFY_SOCKET")) socketName_ = name;
}

ServiceNotifier::ServiceNotifier(std::string socketName) : socketName_(std::move(socketName)) {}

bool ServiceNotifier::send(std::string_view message) {
  if (!enabled()) return true;
  struct sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  socklen_t length = 0;
  if (socketName_.front() == '/') {
    if (socketName_.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, socketName_.data(), socketName_.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socketName_.size() + 1);
  } else if (socketName_.front() == '@') {
    // Abstract names start with NUL and are exactly as long as given.
    if (socketName_.size() > sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path + 1, socketName_.data() + 1, socketName_.size() - 1);
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socketName_.size());
  } else {
    return false;
  }

  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ssize_t sent;
  do {
    sent = ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&addr), length);
  } while (sent < 0 && errno == EINTR);
  ::close(fd);
  return sent == static_cast<ssize_t>(message.size());
}

bool ServiceNotifier::ready() { return send("READY=1\nSTATUS=Running"); }

bool ServiceNotifier::stopping() { return send("STOPPING=1\nSTATUS=Stop pending"); }

bool ServiceNotifier::stopped() { return send("STATUS=Stopped"); }

bool ServiceNotifier::status(std::string_view text) {
  // A line break would start a field of its own.
  std::string message = "STATUS=";
  for (char c : text) message += (c == '\n' || c == '\r') ? ' ' : c;
  return send(message);
}

bool ServiceNotifier::extendTimeout(std::chrono::milliseconds ms) {
  auto usec = std::chrono::duration_cast<std::chrono::microseconds>(ms).count();
  if (usec < 0) usec = 0;
  return send("EXTEND_TIMEOUT_USEC=" + std::to_string(usec));
}

std::string buildServiceUnit(const ServiceUnitOptions& options) {
  const std::string& path = options.programPath;
  if (path.empty() || path.front() != '/' || hasControl(path)) return {};
  if (!options.account.empty() && !validAccount(options.account)) return {};
  if (!validOptionalPath(options.settingsPath) || !validOptionalPath(options.odbcIni)) return {};

  std::string unit;
  unit += "[Unit]\n";
  unit += "Description=Kestrel FTP server\n";
  unit += "Documentation=man:kestrel(8)\n";
  unit += "Wants=network-online.target\n";
  unit += "After=network-online.target\n";
  if (options.startType == ServiceStartType::kDisabled) unit += "RefuseManualStart=yes\n";
  unit += "\n[Service]\n";
  unit += "Type=notify\n";
  unit += "ExecStart=" + quoteExecPath(path) + " -s\n";
  if (!options.account.empty()) unit += "User=" + options.account + "\n";
  if (!options.settingsPath.empty()) unit += environmentLine("KESTREL_SETTINGS", options.settingsPath);
  if (!options.odbcIni.empty()) unit += environmentLine("ODBCINI", options.odbcIni);
  // Port 21 without root; the rest keeps a compromised server away from the system.
  unit += "AmbientCapabilities=CAP_NET_BIND_SERVICE\n";
  unit += "LimitNOFILE=65536\n";
  unit += "NoNewPrivileges=yes\n";
  unit += "ProtectSystem=full\n";
  unit += "PrivateTmp=yes\n";
  unit += "Restart=on-failure\n";
  unit += "\n[Install]\n";
  if (options.startType == ServiceStartType::kAutomatic) {
    unit += "WantedBy=multi-user.target\n";
  }
  return unit;
}

std::optional<ServiceUnitOptions> parseServiceUnit(std::string_view text) {
  ServiceUnitOptions options;
  options.startType = ServiceStartType::kManual;
  bool refuseStart = false;
  bool wanted = false;
  bool haveExec = false;
  std::string_view section;
  while (!text.empty()) {
    auto nl = text.find('\n');
    std::string_view line = trim(text.substr(0, nl));
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    if (line.front() == '[') {
      section = line;
      continue;
    }
    auto eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = trim(line.substr(0, eq));
    std::string_view value = trim(line.substr(eq + 1));
    if (section == "[Unit]" && key == "RefuseManualStart") {
      refuseStart = value == "yes" || value == "true" || value == "1" || value == "on";
    } else if (section == "[Service]" && key == "ExecStart") {
      options.programPath = unquoteExecPath(value);
      haveExec = true;
    } else if (section == "[Service]" && key == "User") {
      options.account = std::string(value);
    } else if (section == "[Install]" && key == "WantedBy" && !value.empty()) {
      wanted = true;
    }
  }
  if (!haveExec) return std::nullopt;
  if (refuseStart) {
    options.startType = ServiceStartType::kDisabled;
  } else if (wanted) {
    options.startType = ServiceStartType::kAutomatic;
  }
  return options;
}

std::string serviceUnitPath() { return kUnitPath; }

Status enableServiceUnit(const std::string& unitPath, bool automatic) {
  ::chmod(unitPath.c_str(), 0644);
  auto slash = unitPath.rfind('/');
  std::string dir = slash == std::string::npos ? "." : unitPath.substr(0, slash);
  std::string name = slash == std::string::npos ? unitPath : unitPath.substr(slash + 1);
  std::string wants = dir + "/multi-user.target.wants";
  std::string link = wants + "/" + name;
  ::unlink(link.c_str());
  if (!automatic) return Status::success();
  ::mkdir(wants.c_str(), 0755);
  if (::symlink(unitPath.c_str(), link.c_str()) != 0) return Status::fromErrno("symlink");
  return Status::success();
}

}  // namespace kestrel::platform

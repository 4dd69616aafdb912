// Platform failures travel as values; errno becomes one in a single place.
#pragma once
#include <string>
#include <utility>

namespace kestrel::platform {

struct Status {
  int code = 0;          // errno value, 0 on success
  std::string message;   // "what: strerror" for logs and the operator

  bool ok() const { return code == 0; }
  static Status success() { return {}; }
  // Captures errno right away: call it before anything else can change it.
  static Status fromErrno(const char* what);
  static Status fromCode(int code, const char* what);
};

template <typename T>
struct Result {
  T value{};
  Status status;
  bool ok() const { return status.ok(); }
};

}  // namespace kestrel::platform

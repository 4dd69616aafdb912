#include "platform/faults.h"

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/mutex.h"

namespace kestrel::platform {

namespace {

struct Fault {
  int errnoValue = 0;
  int remaining = 0;  // < 0: without end
};

Mutex gFaultsMutex;
Fault gFaults[static_cast<int>(FaultPoint::kCount)] GUARDED_BY(gFaultsMutex);

struct Named {
  const char* name;
  int value;
};
constexpr Named kPoints[] = {{"accept", static_cast<int>(FaultPoint::Accept)},
                             {"epoll-create", static_cast<int>(FaultPoint::EpollCreate)},
                             {"eventfd", static_cast<int>(FaultPoint::EventFd)},
                             {"file-open", static_cast<int>(FaultPoint::FileOpen)},
                             {"file-write", static_cast<int>(FaultPoint::FileWrite)},
                             {"database-lost", static_cast<int>(FaultPoint::DatabaseLost)}};
constexpr Named kErrors[] = {{"EMFILE", EMFILE}, {"ENFILE", ENFILE}, {"ENOSPC", ENOSPC},
                             {"EIO", EIO},       {"EDQUOT", EDQUOT}, {"ENOMEM", ENOMEM}};

int lookup(const Named* table, std::size_t count, const std::string& name) {
  for (std::size_t i = 0; i < count; ++i)
    if (name == table[i].name) return table[i].value;
  return -1;
}

}  // namespace

namespace detail {

std::atomic<bool> gFaultsArmed{false};

int takeFault(FaultPoint point) {
  MutexLock lock(gFaultsMutex);
  Fault& f = gFaults[static_cast<int>(point)];
  if (f.remaining == 0) return 0;
  if (f.remaining > 0) --f.remaining;
  return f.errnoValue;
}

}  // namespace detail

void armFault(FaultPoint point, int errnoValue, int times) {
  MutexLock lock(gFaultsMutex);
  gFaults[static_cast<int>(point)] = {errnoValue, times};
  detail::gFaultsArmed.store(true);
}

void disarmFaults() {
  MutexLock lock(gFaultsMutex);
  for (Fault& f : gFaults) f = {};
  detail::gFaultsArmed.store(false);
}

bool armFaultsFromText(const std::string& text) {
  struct Parsed {
    int point, errnoValue, times;
  };
  std::vector<Parsed> parsed;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t comma = std::min(text.find(',', start), text.size());
    std::string item = text.substr(start, comma - start);
    start = comma + 1;
    std::size_t eq = item.find('=');
    if (eq == std::string::npos) return false;
    std::string error = item.substr(eq + 1);
    int times = -1;
    if (std::size_t star = error.find('*'); star != std::string::npos) {
      char* end = nullptr;
      times = static_cast<int>(std::strtol(error.c_str() + star + 1, &end, 10));
      if (*end != '\0' || times <= 0) return false;
      error.resize(star);
    }
    int point = lookup(kPoints, std::size(kPoints), item.substr(0, eq));
    int value = lookup(kErrors, std::size(kErrors), error);
    if (point < 0 || value < 0) return false;
    parsed.push_back({point, value, times});
  }
  for (const Parsed& p : parsed) armFault(static_cast<FaultPoint>(p.point), p.errnoValue, p.times);
  return true;
}

}  // namespace kestrel::platform

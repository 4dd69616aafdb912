// Failures injected at the door to the operating system, so tests can make
// accept, epoll_create1, eventfd, open and write fail (EMFILE, ENOSPC, EIO)
// and the database connection drop, without root and without filling a disk.
// Unarmed, a fault point costs one relaxed atomic load.
// Process-wide on purpose: a fault point sits at the system call itself, in
// every layer's door, and runApplication arms the table once from
// KESTREL_FAULTS; tests reach a point without the code under test knowing.
#pragma once
#include <atomic>
#include <string>

namespace kestrel::platform {

enum class FaultPoint { Accept, EpollCreate, EventFd, FileOpen, FileWrite, DatabaseLost, kCount };

namespace detail {
extern std::atomic<bool> gFaultsArmed;
int takeFault(FaultPoint point);
}  // namespace detail

// The errno a call at this point must fail with, or 0 to go ahead.
inline int injectedFault(FaultPoint point) {
  if (!detail::gFaultsArmed.load(std::memory_order_relaxed)) return 0;
  return detail::takeFault(point);
}

// Makes the next `times` calls at the point fail with errnoValue (times < 0:
// every call until disarmed).
void armFault(FaultPoint point, int errnoValue, int times = -1);
void disarmFaults();

// Arms faults from text such as "file-write=ENOSPC,accept=EMFILE*3" (the
// KESTREL_FAULTS environment variable of the test harness). Returns false,
// arming nothing, when the text is malformed.
bool armFaultsFromText(const std::string& text);

}  // namespace kestrel::platform

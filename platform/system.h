// Randomness and facts about the machine, for the console's secrets and its
// About box; the allocator's settings for a long-running server.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrel::platform {

// bytes random bytes from the kernel, as lower-case hex. Aborts when the
// kernel has no randomness to give: without it there are no secrets either.
std::string randomHex(std::size_t bytes);

// Installed memory in kilobytes; 0 when the kernel does not say.
std::uint64_t totalMemoryKilobytes();

// Keeps memory freed after a large result (a long listing's rows, the
// database driver's copies) for the next one instead of returning it to the
// kernel at once: faulting it in again cost more than the listing itself.
void keepFreedMemoryForReuse();

}  // namespace kestrel::platform

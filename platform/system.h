// Randomness and facts about the machine, for the console's secrets and its About box.
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

}  // namespace kestrel::platform

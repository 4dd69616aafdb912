// Controls of the stand-in driver manager the serialiser's tests load in place of
// unixODBC (fake_driver_manager.cpp).
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <type_traits>

// Looked up with dlsym in the instance the serialiser loaded.
extern "C" {
// Calls of the named entry point since the last reset.
int fake_dm_calls(const char* name);
// The arguments of the named entry point's last call as words (see argumentWord);
// returns how many there were, copying at most `room`.
int fake_dm_last_arguments(const char* name, std::uint64_t* words, int room);
// Threads inside the stand-in now, and the most there have been since the last reset.
int fake_dm_inside();
int fake_dm_max_inside();
void fake_dm_reset();
// When on, SQLTransact calls SQLGetInfo by name through the process's global scope,
// as unixODBC's SQLTransact does through its PLT.
void fake_dm_reenter_on_transact(int on);
}

// How both sides of a call note an argument, to compare what was sent and received.
template <class T>
std::uint64_t argumentWord(T value) {
  if constexpr (std::is_pointer_v<T>) {
    return reinterpret_cast<std::uintptr_t>(value);
  } else {
    return static_cast<std::uint64_t>(value);
  }
}

// How the serialiser's tests call entry points.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "sqlserial/entry_points.h"
#include "sqlserial/tests/fake_driver_manager.h"

inline SQLCHAR* sqlText(const char* text) {
  return reinterpret_cast<SQLCHAR*>(const_cast<char*>(text));
}

// Calls visit(name, std::type_identity<function pointer type>{}) for every export.
template <class Visit>
void forEachEntryPoint(Visit&& visit) {
#define KESTREL_VISIT(name) visit(#name, std::type_identity<decltype(&::name)>{});
  KESTREL_ODBC_ENTRY_POINTS(KESTREL_VISIT)
#undef KESTREL_VISIT
}

constexpr std::size_t kScratchBytes = 64 * 16;

// Calls `function` with a different value in every position: integers 100, 101, ...
// and pointers to distinct, zeroed bytes of `scratch` (64 per position), so that a
// swapped, dropped or altered argument shows in what the driver manager received.
template <class... Params>
SQLRETURN callWithDistinctArguments(SQLRETURN (*function)(Params...), std::byte* scratch,
                                    std::vector<std::uint64_t>& words) {
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    auto make = [scratch]<class T>(std::size_t position) -> T {
      if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<T>(scratch + 64 * position);
      } else {
        return static_cast<T>(100 + position);
      }
    };
    std::tuple<Params...> args{make.template operator()<Params>(I)...};
    words = {argumentWord(std::get<I>(args))...};
    return std::apply(function, args);
  }
  (std::index_sequence_for<Params...>{});
}

// Runs `call` on a thread of its own. A call that never returns means a lock left
// held, which would hang every later test: the whole test program stops with a message.
inline SQLRETURN callOnAnotherThread(std::function<SQLRETURN()> call) {
  std::packaged_task<SQLRETURN()> task(std::move(call));
  auto result = task.get_future();
  std::thread runner(std::move(task));
  if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    std::fputs("an ODBC call never returned: the serialiser's lock is stuck\n", stderr);
    std::_Exit(1);
  }
  runner.join();
  return result.get();
}

// Loading and unloading the serialiser, and what it does when it has no usable driver
// manager. This program does not link the serialiser: every test loads a fresh copy,
// so each binds its driver manager anew.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <string>

#include "sqlserial/tests/calls.h"

namespace {

bool isLoaded(const char* path) {
  void* library = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (library == nullptr) {
    dlerror();
    return false;
  }
  dlclose(library);
  return true;
}

void* loadSerialiser(const char* driverManager) {
  setenv("KESTREL_ODBC_DRIVER_MANAGER", driverManager, 1);
  return dlopen(KESTREL_SQLSERIAL_PATH, RTLD_NOW | RTLD_LOCAL);
}

TEST(SerialiserLoading, LoadingAndUnloadingWithoutACallLeavesNothingBehind) {
  ASSERT_FALSE(isLoaded(KESTREL_SQLSERIAL_PATH));
  void* serialiser = loadSerialiser(KESTREL_FAKE_DM_PATH);
  ASSERT_NE(serialiser, nullptr) << dlerror();
  EXPECT_FALSE(isLoaded(KESTREL_FAKE_DM_PATH)) << "driver manager loaded before any call";
  EXPECT_EQ(dlclose(serialiser), 0);
  EXPECT_FALSE(isLoaded(KESTREL_SQLSERIAL_PATH));
}

TEST(SerialiserLoading, UnloadsAfterUse) {
  ASSERT_FALSE(isLoaded(KESTREL_SQLSERIAL_PATH));
  void* serialiser = loadSerialiser(KESTREL_FAKE_DM_PATH);
  ASSERT_NE(serialiser, nullptr) << dlerror();
  const auto fetch = reinterpret_cast<decltype(&::SQLFetch)>(dlsym(serialiser, "SQLFetch"));
  ASSERT_NE(fetch, nullptr);
  EXPECT_EQ(fetch(SQL_NULL_HSTMT), SQL_NO_DATA_FOUND);
  EXPECT_EQ(dlclose(serialiser), 0);
  EXPECT_FALSE(isLoaded(KESTREL_SQLSERIAL_PATH));
}

struct UnusableCase {
  const char* name;
  const char* driverManager;
};

void PrintTo(const UnusableCase& unusable, std::ostream* out) { *out << unusable.driverManager; }

class UnusableDriverManager : public ::testing::TestWithParam<UnusableCase> {};

TEST_P(UnusableDriverManager, EveryCallAnswersErrorWithoutCrashing) {
  ASSERT_FALSE(isLoaded(KESTREL_SQLSERIAL_PATH));
  void* serialiser = loadSerialiser(GetParam().driverManager);
  ASSERT_NE(serialiser, nullptr) << dlerror();
  const auto fetch = reinterpret_cast<decltype(&::SQLFetch)>(dlsym(serialiser, "SQLFetch"));
  ASSERT_NE(fetch, nullptr);
  EXPECT_EQ(fetch(SQL_NULL_HSTMT), SQL_ERROR);
  EXPECT_EQ(dlerror(), nullptr) << "the serialiser's failed look-ups leaked into dlerror()";

  std::array<std::byte, kScratchBytes> scratch{};
  std::vector<std::uint64_t> sent;
  int calls = 0;
  forEachEntryPoint([&]<class Fn>(const char* name, std::type_identity<Fn>) {
    const auto function = reinterpret_cast<Fn>(dlsym(serialiser, name));
    ASSERT_NE(function, nullptr) << name;
    EXPECT_EQ(callWithDistinctArguments(function, scratch.data(), sent), SQL_ERROR) << name;
    ++calls;
  });
  EXPECT_EQ(calls, 54);
  EXPECT_EQ(dlclose(serialiser), 0);
  // A driver manager that gave us nothing, even ourselves, must not keep us loaded.
  EXPECT_FALSE(isLoaded(KESTREL_SQLSERIAL_PATH));
}

// Each leaves the serialiser nothing to forward to.
const UnusableCase kUnusable[] = {
    {"Missing", "/nonexistent/libodbc.so.2"},
    {"WithoutEntryPoints", "libm.so.6"},
    {"ThisLibrary", KESTREL_SQLSERIAL_PATH},  // forwarding to ourselves would never end
};

INSTANTIATE_TEST_SUITE_P(SerialiserLoading, UnusableDriverManager, ::testing::ValuesIn(kUnusable),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// The serialiser as the server uses it: linked into the program, so that its exports
// are what SQL* names resolve to, forwarding to a stand-in driver manager that
// records what reaches it.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>

#include "sqlserial/tests/calls.h"
#include "sqlserial/tests/fake_driver_manager.h"

namespace {

using namespace std::chrono_literals;

// Handles are opaque to the serialiser and never read by the stand-in.
SQLHSTMT fakeHandle(std::uintptr_t value) { return reinterpret_cast<SQLHSTMT>(value); }

template <class Fn>
Fn lookUp(void* library, const char* name) {
  return reinterpret_cast<Fn>(dlsym(library, name));
}

class SerialisedCalls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Before the first call: the serialiser binds its driver manager only once.
    setenv("KESTREL_ODBC_DRIVER_MANAGER", KESTREL_FAKE_DM_PATH, 1);
    // The same path yields the very instance the serialiser will load.
    fake_ = dlopen(KESTREL_FAKE_DM_PATH, RTLD_NOW | RTLD_LOCAL);
  }

  void SetUp() override {
    ASSERT_NE(fake_, nullptr) << dlerror();
    calls_ = lookUp<decltype(&fake_dm_calls)>(fake_, "fake_dm_calls");
    lastArguments_ = lookUp<decltype(&fake_dm_last_arguments)>(fake_, "fake_dm_last_arguments");
    inside_ = lookUp<decltype(&fake_dm_inside)>(fake_, "fake_dm_inside");
    maxInside_ = lookUp<decltype(&fake_dm_max_inside)>(fake_, "fake_dm_max_inside");
    reenterOnTransact_ =
        lookUp<decltype(&fake_dm_reenter_on_transact)>(fake_, "fake_dm_reenter_on_transact");
    lookUp<decltype(&fake_dm_reset)>(fake_, "fake_dm_reset")();
  }

  // Starts a 50 ms SQLExecDirect and, once it is inside the driver manager, `second`
  // on another thread; the stand-in must never have seen both at once.
  void expectSecondWaitsForFirst(const std::function<SQLRETURN()>& second) {
    std::thread first([] { SQLExecDirect(fakeHandle(0x100), sqlText("select 1"), SQL_NTS); });
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (inside_() == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    const bool firstWasInside = inside_() == 1;
    std::thread other([&] { second(); });
    first.join();
    other.join();
    EXPECT_TRUE(firstWasInside);
    EXPECT_EQ(maxInside_(), 1);
  }

  static inline void* fake_ = nullptr;
  decltype(&fake_dm_calls) calls_ = nullptr;
  decltype(&fake_dm_last_arguments) lastArguments_ = nullptr;
  decltype(&fake_dm_inside) inside_ = nullptr;
  decltype(&fake_dm_max_inside) maxInside_ = nullptr;
  decltype(&fake_dm_reenter_on_transact) reenterOnTransact_ = nullptr;
};

TEST_F(SerialisedCalls, EveryExportReachesItsOwnTargetWithItsArgumentsAndResult) {
  void* serialiser = dlopen(KESTREL_SQLSERIAL_PATH, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(serialiser, nullptr);
  std::array<std::byte, kScratchBytes> scratch{};
  std::map<std::string, std::vector<std::uint64_t>> sent;

  forEachEntryPoint([&]<class Fn>(const std::string& name, std::type_identity<Fn>) {
    // What the program's own SQL* calls bind to.
    void* exported = dlsym(RTLD_DEFAULT, name.c_str());
    ASSERT_NE(exported, nullptr) << name;
    EXPECT_EQ(exported, dlsym(serialiser, name.c_str())) << name << " is not the serialiser's";
    const SQLRETURN expected = name == "SQLFetch" ? SQL_NO_DATA_FOUND : SQL_SUCCESS;
    EXPECT_EQ(callWithDistinctArguments(reinterpret_cast<Fn>(exported), scratch.data(), sent[name]),
              expected)
        << name;
  });

  ASSERT_EQ(sent.size(), 54u);
  for (const auto& [name, words] : sent) {
    EXPECT_EQ(calls_(name.c_str()), 1) << name;
    std::vector<std::uint64_t> received(16);
    received.resize(lastArguments_(name.c_str(), received.data(), 16));
    EXPECT_EQ(received, words) << name;
  }
  dlclose(serialiser);
}

TEST_F(SerialisedCalls, TwoStatementsAtOnceRunOneAfterTheOther) {
  expectSecondWaitsForFirst(
      [] { return SQLExecDirect(fakeHandle(0x200), sqlText("select 2"), SQL_NTS); });
  EXPECT_EQ(calls_("SQLExecDirect"), 2);
}

TEST_F(SerialisedCalls, DifferentFunctionsShareOneLock) {
  expectSecondWaitsForFirst([] { return SQLFetch(fakeHandle(0x200)); });
  EXPECT_EQ(calls_("SQLFetch"), 1);
}

TEST_F(SerialisedCalls, ReturnCodesPassThroughUnchanged) {
  for (const SQLRETURN code : {SQL_SUCCESS, SQL_SUCCESS_WITH_INFO, SQL_NO_DATA_FOUND, SQL_ERROR,
                               SQL_INVALID_HANDLE, SQL_STILL_EXECUTING, SQL_NEED_DATA}) {
    const std::string statement = "rc=" + std::to_string(code);
    EXPECT_EQ(SQLExecDirect(fakeHandle(0x100), sqlText(statement.c_str()), SQL_NTS), code);
  }
  EXPECT_EQ(SQLExecDirect(fakeHandle(0x100), sqlText("fail"), SQL_NTS), SQL_ERROR);
  EXPECT_EQ(SQLExecDirect(fakeHandle(0x100), sqlText("nodata"), SQL_NTS), SQL_NO_DATA_FOUND);
  EXPECT_EQ(SQLFetch(fakeHandle(0x100)), SQL_NO_DATA_FOUND);
}

TEST_F(SerialisedCalls, FailedCallsReleaseTheLock) {
  EXPECT_EQ(SQLExecDirect(fakeHandle(0x100), sqlText("fail"), SQL_NTS), SQL_ERROR);
  EXPECT_EQ(callOnAnotherThread(
                [] { return SQLExecDirect(fakeHandle(0x200), sqlText("nodata"), SQL_NTS); }),
            SQL_NO_DATA_FOUND);
  // The thread that ended its result set is gone; a lock it kept would block us for good.
  EXPECT_EQ(callOnAnotherThread([] { return SQLFetch(fakeHandle(0x300)); }), SQL_NO_DATA_FOUND);
}

// unixODBC's SQLTransact calls SQLGetInfo by name, which in the server resolves to our
// export; the thread already holds the lock and must be let in again.
TEST_F(SerialisedCalls, DriverManagerCallingBackOnTheSameThreadDoesNotDeadlock) {
  reenterOnTransact_(1);
  EXPECT_EQ(callOnAnotherThread([] {
              return SQLTransact(SQL_NULL_HENV, reinterpret_cast<SQLHDBC>(0x400), SQL_COMMIT);
            }),
            SQL_SUCCESS);
  EXPECT_EQ(calls_("SQLGetInfo"), 1);
  // And it was let go entirely: another thread gets in.
  EXPECT_EQ(callOnAnotherThread([] { return SQLFetch(fakeHandle(0x300)); }), SQL_NO_DATA_FOUND);
}

}  // namespace

#include "platform/instance_guard.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include <gtest/gtest.h>

namespace kestrel::platform {
namespace {

namespace fs = std::filesystem;

class InstanceGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kestrel-guard-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    settings_ = (dir_ / "not yet" / "Kestrel.ini").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs body in a child process and returns its exit code: the lock is per
  // open file, so another process is the honest test of "second instance".
  static int inChild(const std::function<int()>& body) {
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  static int childAcquire(const std::string& settings) {
    return inChild([&] {
      Status failure;
      auto guard = InstanceGuard::acquire(settings, &failure);
      if (guard) return 0;
      return failure.code == EWOULDBLOCK ? 1 : 2;
    });
  }

  static std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  fs::path dir_;
  std::string settings_;
};

TEST_F(InstanceGuardTest, SecondInstanceIsRefusedUntilTheFirstReleases) {
  auto guard = InstanceGuard::acquire(settings_);
  ASSERT_TRUE(guard.has_value());
  EXPECT_EQ(childAcquire(settings_), 1);

  Status failure;
  EXPECT_FALSE(InstanceGuard::acquire(settings_, &failure).has_value());
  EXPECT_EQ(failure.code, EWOULDBLOCK);

  // Moving the guard keeps the lock; only its destruction gives it up.
  std::optional<InstanceGuard> moved = std::move(guard);
  guard.reset();
  EXPECT_EQ(childAcquire(settings_), 1);
  moved.reset();
  EXPECT_EQ(childAcquire(settings_), 0);
}

// Regression: a child forked just before release (say, to start a browser)
// shares the lock's descriptor and kept the store locked after we let go.
TEST_F(InstanceGuardTest, ReleaseHoldsEvenWhileAForkedChildLives) {
  auto guard = InstanceGuard::acquire(settings_);
  ASSERT_TRUE(guard.has_value());
  int gate[2];
  ASSERT_EQ(::pipe(gate), 0);
  pid_t child = ::fork();
  if (child == 0) {
    ::close(gate[1]);
    char c;
    while (::read(gate[0], &c, 1) > 0) {
    }
    ::_exit(0);
  }
  ::close(gate[0]);
  guard.reset();
  EXPECT_EQ(childAcquire(settings_), 0);
  ::close(gate[1]);
  ::waitpid(child, nullptr, 0);
}

TEST_F(InstanceGuardTest, OtherSettingsFilesDoNotCollide) {
  auto first = InstanceGuard::acquire(settings_);
  auto second = InstanceGuard::acquire((dir_ / "other.ini").string());
  EXPECT_TRUE(first.has_value());
  EXPECT_TRUE(second.has_value());
}

TEST_F(InstanceGuardTest, PidAndConsoleAddressRoundTrip) {
  EXPECT_EQ(InstanceGuard::runningConsoleAddress(settings_), "");
  {
    auto guard = InstanceGuard::acquire(settings_);
    ASSERT_TRUE(guard.has_value());
    EXPECT_EQ(readAll(InstanceGuard::lockPath(settings_)), std::to_string(::getpid()) + "\n");
    ASSERT_TRUE(guard->publishConsoleAddress("http://127.0.0.1:8021/").ok());
    EXPECT_EQ(InstanceGuard::runningConsoleAddress(settings_), "http://127.0.0.1:8021/");
    struct stat st{};
    ASSERT_EQ(::stat(InstanceGuard::consolePath(settings_).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(inChild([&] {
                return InstanceGuard::runningConsoleAddress(settings_) == "http://127.0.0.1:8021/"
                           ? 0 : 1;
              }),
              0);
  }
  EXPECT_EQ(InstanceGuard::runningConsoleAddress(settings_), "");
}

TEST_F(InstanceGuardTest, StaleAddressOfADeadHolderIsWithdrawn) {
  fs::create_directories(fs::path(settings_).parent_path());
  std::ofstream(InstanceGuard::consolePath(settings_)) << "http://127.0.0.1:1/\n";
  auto guard = InstanceGuard::acquire(settings_);
  ASSERT_TRUE(guard.has_value());
  EXPECT_EQ(InstanceGuard::runningConsoleAddress(settings_), "");
}

TEST_F(InstanceGuardTest, SecondInstanceAsksTheHolderToShow) {
  auto guard = InstanceGuard::acquire(settings_);
  ASSERT_TRUE(guard.has_value());
  EXPECT_EQ(inChild([&] { return InstanceGuard::askRunningToShow(settings_) ? 0 : 1; }), 0);

  sigset_t show;
  sigemptyset(&show);
  sigaddset(&show, InstanceGuard::kShowSignal);
  struct timespec wait{5, 0};
  EXPECT_EQ(::sigtimedwait(&show, nullptr, &wait), InstanceGuard::kShowSignal);
}

// Regression: the pid in a lock file nobody holds belongs to a dead holder,
// and signalling it could hit an unrelated process.
TEST_F(InstanceGuardTest, NobodyIsSignalledWhenTheStoreIsNotHeld) {
  EXPECT_FALSE(InstanceGuard::askRunningToShow(settings_));
  { auto guard = InstanceGuard::acquire(settings_); }
  std::ofstream(InstanceGuard::lockPath(settings_), std::ios::trunc) << ::getpid() << "\n";
  EXPECT_FALSE(InstanceGuard::askRunningToShow(settings_));
}

}  // namespace
}  // namespace kestrel::platform

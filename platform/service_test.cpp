#include "platform/service.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

namespace kestrel::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A stand-in for the service manager's end of the notify socket.
class NotifyReceiver {
 public:
  // name: a path, or an abstract name starting with '@'.
  explicit NotifyReceiver(const std::string& name) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, name.data(), name.size());
    if (name[0] == '@') addr.sun_path[0] = '\0';
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() +
                                              (name[0] == '@' ? 0 : 1));
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), length) == 0;
    struct timeval tv{2, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~NotifyReceiver() { ::close(fd_); }
  bool bound() const { return bound_; }
  std::string next() {
    char buffer[4096];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    return n < 0 ? "<nothing>" : std::string(buffer, static_cast<std::size_t>(n));
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

class ServiceNotifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kestrel-notify-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    ::unsetenv("NOTIFY_SOCKET");
    fs::remove_all(dir_);
  }
  fs::path dir_;
};

TEST_F(ServiceNotifierTest, WithoutSocketEveryReportSucceedsQuietly) {
  ::unsetenv("NOTIFY_SOCKET");
  ServiceNotifier notifier;
  EXPECT_FALSE(notifier.enabled());
  EXPECT_TRUE(notifier.ready());
  EXPECT_TRUE(notifier.stopping());
  EXPECT_TRUE(notifier.extendTimeout(10000ms));
  EXPECT_TRUE(notifier.stopped());
}

TEST_F(ServiceNotifierTest, SendsTheExactDatagramsToAPathSocket) {
  std::string path = (dir_ / "notify").string();
  NotifyReceiver manager(path);
  ASSERT_TRUE(manager.bound());
  ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
  ServiceNotifier notifier;
  ASSERT_TRUE(notifier.enabled());

  ASSERT_TRUE(notifier.ready());
  EXPECT_EQ(manager.next(), "READY=1\nSTATUS=Running");
  ASSERT_TRUE(notifier.stopping());
  EXPECT_EQ(manager.next(), "STOPPING=1\nSTATUS=Stop pending");
  ASSERT_TRUE(notifier.extendTimeout(10000ms));
  EXPECT_EQ(manager.next(), "EXTEND_TIMEOUT_USEC=10000000");
  ASSERT_TRUE(notifier.status("3 users\nREADY=1"));
  EXPECT_EQ(manager.next(), "STATUS=3 users READY=1");
  ASSERT_TRUE(notifier.stopped());
  EXPECT_EQ(manager.next(), "STATUS=Stopped");
}

TEST_F(ServiceNotifierTest, AbstractSocketNamesWork) {
  std::string name = "@kestrel-notify-test-" + std::to_string(::getpid());
  NotifyReceiver manager(name);
  ASSERT_TRUE(manager.bound());
  ServiceNotifier notifier(name);
  ASSERT_TRUE(notifier.ready());
  EXPECT_EQ(manager.next(), "READY=1\nSTATUS=Running");
}

TEST_F(ServiceNotifierTest, UnreachableSocketReportsFailure) {
  EXPECT_FALSE(ServiceNotifier((dir_ / "absent").string()).ready());
  EXPECT_FALSE(ServiceNotifier("relative/notify").ready());
  EXPECT_FALSE(ServiceNotifier("/" + std::string(200, 'x')).ready());
}

TEST(ServiceUnitTest, AutomaticRunsAtBootUnderTheAccount) {
  std::string unit = buildServiceUnit({ServiceStartType::kAutomatic, "kestrel", "/usr/bin/kestrel",
                                       "/var/lib/kestrel/Kestrel.ini", "/var/lib/kestrel/odbc.ini"});
  EXPECT_EQ(unit,
            "[Unit]\n"
            "Description=Kestrel FTP server\n"
            "Documentation=man:kestrel(8)\n"
            "Wants=network-online.target\n"
            "After=network-online.target\n"
            "\n[Service]\n"
            "Type=notify\n"
            "ExecStart=\"/usr/bin/kestrel\" -s\n"
            "User=kestrel\n"
            "Environment=\"KESTREL_SETTINGS=/var/lib/kestrel/Kestrel.ini\"\n"
            "Environment=\"ODBCINI=/var/lib/kestrel/odbc.ini\"\n"
            "AmbientCapabilities=CAP_NET_BIND_SERVICE\n"
            "LimitNOFILE=65536\n"
            "NoNewPrivileges=yes\n"
            "ProtectSystem=full\n"
            "PrivateTmp=yes\n"
            "Restart=on-failure\n"
            "\n[Install]\n"
            "WantedBy=multi-user.target\n");
}

// A settings path chosen by the operator must stay one environment value:
// a quote or a '%' left bare would end it early or be expanded by systemd.
TEST(ServiceUnitTest, EnvironmentValuesAreQuotedForSystemd) {
  std::string unit = buildServiceUnit({ServiceStartType::kManual, "", "/usr/bin/kestrel",
                                       "/home/a b/\"x\" 100%\\K.ini", "/home/a b/$HOME.ini"});
  EXPECT_NE(unit.find("Environment=\"KESTREL_SETTINGS=/home/a b/\\\"x\\\" 100%%\\\\K.ini\"\n"),
            std::string::npos)
      << unit;
  EXPECT_NE(unit.find("Environment=\"ODBCINI=/home/a b/$HOME.ini\"\n"), std::string::npos) << unit;
  std::string bare = buildServiceUnit({ServiceStartType::kManual, "", "/usr/bin/kestrel", "", ""});
  EXPECT_EQ(bare.find("Environment="), std::string::npos);
  EXPECT_EQ(buildServiceUnit({ServiceStartType::kManual, "", "/bin/k", "relative.ini", ""}), "");
  EXPECT_EQ(buildServiceUnit({ServiceStartType::kManual, "", "/bin/k", "/a.ini\nUser=root", ""}), "");
  EXPECT_EQ(buildServiceUnit({ServiceStartType::kManual, "", "/bin/k", "", "/x\rExecStartPre=/bin/sh"}), "");
}

TEST(ServiceUnitTest, ManualAndDisabledAreNeverWanted) {
  std::string manual = buildServiceUnit({ServiceStartType::kManual, "", "/opt/kestrel", "", ""});
  EXPECT_EQ(manual.find("WantedBy"), std::string::npos);
  EXPECT_EQ(manual.find("RefuseManualStart"), std::string::npos);
  EXPECT_EQ(manual.find("User="), std::string::npos);
  EXPECT_NE(manual.find("ExecStart=\"/opt/kestrel\" -s\n"), std::string::npos);

  std::string disabled = buildServiceUnit({ServiceStartType::kDisabled, "", "/opt/kestrel", "", ""});
  EXPECT_EQ(disabled.find("WantedBy"), std::string::npos);
  EXPECT_NE(disabled.find("[Unit]\n"), std::string::npos);
  EXPECT_LT(disabled.find("RefuseManualStart=yes\n"), disabled.find("[Service]"));
}

TEST(ServiceUnitTest, ReadsBackWhatItWrote) {
  for (auto type : {ServiceStartType::kAutomatic, ServiceStartType::kManual,
                    ServiceStartType::kDisabled}) {
    ServiceUnitOptions options{type, "nobody", "/srv/my \"ftp\" 100%/$HOME\\kestrel", "/srv/k.ini", ""};
    std::string unit = buildServiceUnit(options);
    EXPECT_NE(unit.find("ExecStart=\"/srv/my \\\"ftp\\\" 100%%/$$HOME\\\\kestrel\" -s\n"),
              std::string::npos);
    auto back = parseServiceUnit(unit);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->startType, type);
    EXPECT_EQ(back->account, "nobody");
    EXPECT_EQ(back->programPath, options.programPath);
  }
  EXPECT_FALSE(parseServiceUnit("[Unit]\nDescription=x\n").has_value());
}

TEST(ServiceUnitTest, RefusesWhatCouldBreakTheUnit) {
  EXPECT_EQ(buildServiceUnit({ServiceStartType::kManual, "", "kestrel", "", ""}), "");
  EXPECT_EQ(buildServiceUnit({ServiceStartType::kManual, "", "/bin/k\nUser=root", "", ""}), "");
  EXPECT_EQ(buildServiceUnit({ServiceStartType::kManual, "a b", "/bin/kestrel", "", ""}), "");
  EXPECT_EQ(buildServiceUnit({ServiceStartType::kManual, "x\nExecStartPre=/bin/sh", "/bin/k", "", ""}), "");
  EXPECT_EQ(buildServiceUnit({ServiceStartType::kManual, "-x", "/bin/kestrel", "", ""}), "");
  EXPECT_EQ(buildServiceUnit({ServiceStartType::kManual, "%u", "/bin/kestrel", "", ""}), "");
  EXPECT_EQ(serviceUnitPath(), "/etc/systemd/system/kestrel.service");
}

// A scratch directory standing in for /etc/systemd/system.
class UnitDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kestrel-unit-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    unit_ = dir_ + "/kestrel.service";
    link_ = dir_ + "/multi-user.target.wants/kestrel.service";
    std::ofstream(unit_) << "[Service]\n";
    fs::permissions(unit_, fs::perms::owner_read | fs::perms::owner_write);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string dir_, unit_, link_;
};

TEST_F(UnitDirectory, AutomaticIsEnabledBesideTheUnitAndReadableToAll) {
  ASSERT_TRUE(enableServiceUnit(unit_, true).ok());
  EXPECT_TRUE(fs::is_symlink(link_));
  EXPECT_EQ(fs::read_symlink(link_), unit_);
  EXPECT_NE(fs::status(unit_).permissions() & fs::perms::others_read, fs::perms::none);
  // Enabling twice replaces the link instead of failing on it.
  EXPECT_TRUE(enableServiceUnit(unit_, true).ok());
  EXPECT_TRUE(fs::is_symlink(link_));
}

TEST_F(UnitDirectory, ManualOrDisabledRemovesTheLink) {
  ASSERT_TRUE(enableServiceUnit(unit_, true).ok());
  EXPECT_TRUE(enableServiceUnit(unit_, false).ok());
  EXPECT_FALSE(fs::exists(fs::symlink_status(link_)));
  EXPECT_TRUE(enableServiceUnit(unit_, false).ok());  // nothing to remove is no failure
}

TEST_F(UnitDirectory, ALinkThatCannotBeMadeIsReported) {
  // A plain file where the wants directory belongs.
  std::ofstream(dir_ + "/multi-user.target.wants") << "";
  Status status = enableServiceUnit(unit_, true);
  EXPECT_FALSE(status.ok());
  EXPECT_NE(status.message.find("symlink"), std::string::npos);
}

}  // namespace
}  // namespace kestrel::platform

#include "platform/settings.h"
#include "platform/private_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace kestrel::platform {
namespace {

namespace fs = std::filesystem;
namespace ks = kestrel::settings;

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kestrel-settings-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    path_ = (dir_ / "Larkspur Systems" / "Kestrel.ini").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  void writeFile(const std::string& text) {
    fs::create_directories(fs::path(path_).parent_path());
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << text;
  }
  std::string fileText() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  fs::path dir_;
  std::string path_;
};

TEST_F(SettingsTest, AbsentFileYieldsDefaultsAndReadingCreatesNothing) {
  Settings s(path_);
  EXPECT_EQ(s.read(ks::kDatabase), "Kestrel");
  EXPECT_EQ(s.read(ks::kDbLogin), "Admin");
  EXPECT_EQ(s.read(ks::kDbPassword), "");
  EXPECT_EQ(s.read(ks::kPort), 21);
  EXPECT_EQ(s.read(ks::kTimeout), 600);
  EXPECT_EQ(s.read(ks::kRefOtherWrite), 0);
  EXPECT_EQ(s.read(ks::kRefOtherExecute), 1);
  EXPECT_EQ(s.read(ks::kFileInfo[6]), 200);
  EXPECT_EQ(s.read(ks::kConsolePort), 8021);
  EXPECT_EQ(s.read(ks::kConsoleAddress), "127.0.0.1");
  for (int action = 0; action <= ks::kLogActionCount; ++action) {
    EXPECT_EQ(s.read(ks::kLogSwitches[action]), 0) << action;
  }
  EXPECT_STREQ(ks::kLogSwitches[12].name, "LogDELETE");
  EXPECT_TRUE(s.readSection(ks::kDockStateSection).empty());
  EXPECT_FALSE(fs::exists(fs::path(path_).parent_path()));
}

TEST_F(SettingsTest, NamesCompareWithoutCaseButSectionsStayApart) {
  writeFile("[settings]\nlookup=1\n[POSITION]\nvsplit=321\n");
  Settings s(path_);
  EXPECT_EQ(s.read(ks::kLookup), 1);
  EXPECT_EQ(s.readInt("SETTINGS", "LOOKUP", 7), 1);
  EXPECT_EQ(s.read(ks::kVSplit), 321);
  EXPECT_EQ(s.readInt("Position", "Lookup", 7), 7);

  // Updating in another spelling changes the one value, not a second copy.
  ASSERT_TRUE(s.writeInt("SETTINGS", "LOOKUP", 0));
  EXPECT_EQ(fileText(), "[settings]\nlookup=0\n[POSITION]\nvsplit=321\n");
}

TEST_F(SettingsTest, WriteKeepsOtherSectionsValuesAndComments) {
  writeFile(
      "; written by hand\n"
      "[Settings]\n"
      "# the data source\n"
      "Database=Sales\n"
      "Timeout=300\n"
      "Timeout=999\n"
      "\n"
      "; trailing note\n"
      "[Position]\n"
      "VSplit=150\n"
      "not a value line\n");
  Settings s(path_);
  EXPECT_EQ(s.read(ks::kTimeout), 300);  // the first of two wins
  ASSERT_TRUE(s.write(ks::kTimeout, 120));
  ASSERT_TRUE(s.write(ks::kMail, "root@example.org"));
  ASSERT_TRUE(s.write(ks::kConsolePort, 9000));
  EXPECT_EQ(fileText(),
            "; written by hand\n"
            "[Settings]\n"
            "# the data source\n"
            "Database=Sales\n"
            "Timeout=120\n"
            "Timeout=999\n"
            "Mail=root@example.org\n"
            "\n"
            "; trailing note\n"
            "[Position]\n"
            "VSplit=150\n"
            "not a value line\n"
            "\n"
            "[Console]\n"
            "Port=9000\n");
  EXPECT_EQ(s.read(ks::kDatabase), "Sales");
  EXPECT_EQ(s.read(ks::kTimeout), 120);
}

TEST_F(SettingsTest, ValueWithEqualsAndSemicolonRoundTrips) {
  Settings s(path_);
  ASSERT_TRUE(s.write(ks::kDbPassword, "  a=b;c=d ; #e  "));
  EXPECT_EQ(s.read(ks::kDbPassword), "a=b;c=d ; #e");
  EXPECT_EQ(Settings(path_).read(ks::kDbPassword), "a=b;c=d ; #e");
}

TEST_F(SettingsTest, LineBreaksCannotInjectAValue) {
  Settings s(path_);
  EXPECT_FALSE(s.write(ks::kMail, "x@y\nPort=2121"));
  EXPECT_FALSE(s.write(ks::kMail, "x@y\r[Console]"));
  EXPECT_FALSE(s.write(ks::kMail, std::string("x\0Port=1", 8)));
  EXPECT_EQ(s.lastError().code, EINVAL);
  EXPECT_FALSE(fs::exists(path_));

  ASSERT_TRUE(s.write(ks::kMail, "a@b"));
  const std::string before = fileText();
  EXPECT_FALSE(s.write(ks::kMail, "evil\nPort=2121"));
  EXPECT_FALSE(s.writeText("Settings", "Po=rt", "1"));
  EXPECT_FALSE(s.writeText("Settings", "", "1"));
  EXPECT_FALSE(s.writeText("Settings", "[Console]", "1"));
  EXPECT_FALSE(s.writeText("Sett]ings", "Port", "1"));
  EXPECT_FALSE(s.writeText("Settings", "Po\nrt", "1"));
  EXPECT_EQ(fileText(), before);
  EXPECT_EQ(s.read(ks::kPort), 21);
  EXPECT_EQ(s.read(ks::kMail), "a@b");
}

TEST_F(SettingsTest, IntegerThatDoesNotParseYieldsDefault) {
  writeFile(
      "[Settings]\nTimeout=abc\nPort=12abc\nRefRate=\nLookup=99999999999\n"
      "VSplit=x\n[Position]\nVSplit= 42 \nFileInfo0=-5\nFileInfo1=+7\nFileInfo2=0x10\n");
  Settings s(path_);
  EXPECT_EQ(s.read(ks::kTimeout), 600);
  EXPECT_EQ(s.read(ks::kPort), 21);
  EXPECT_EQ(s.read(ks::kRefRate), 0);
  EXPECT_EQ(s.read(ks::kLookup), 0);
  EXPECT_EQ(s.read(ks::kVSplit), 42);
  EXPECT_EQ(s.read(ks::kFileInfo[0]), -5);
  EXPECT_EQ(s.read(ks::kFileInfo[1]), 7);
  EXPECT_EQ(s.read(ks::kFileInfo[2]), 100);
  EXPECT_EQ(s.readText("Settings", "RefRate", "unset"), "");
}

TEST_F(SettingsTest, FileIsPrivateWhateverTheUmask) {
  writeFile("[Settings]\nPort=21\n");
  ::chmod(path_.c_str(), 0644);
  mode_t old = ::umask(0);
  Settings s(path_);
  bool ok = s.write(ks::kConsolePassword, "secret");
  ::umask(old);
  ASSERT_TRUE(ok);
  struct stat st{};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  // A fresh store under a umask that takes the owner's bits: the directories
  // and the file still come out usable and private.
  std::string fresh = (dir_ / "a" / "b" / "Kestrel.ini").string();
  old = ::umask(0277);
  ok = Settings(fresh).write(ks::kConsolePassword, "secret");
  ::umask(old);
  ASSERT_TRUE(ok);
  ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_EQ(::stat((dir_ / "a" / "b").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  // No temporary files are left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "a" / "b"), fs::directory_iterator()), 1);
}

TEST_F(SettingsTest, WholeSectionIsReplacedAndReadBackInOrder) {
  writeFile("[DockState]\n; bars\nBar0=old\nStale=1\n[Settings]\nPort=2121\n");
  Settings s(path_);
  SectionValues bars{{"Bar0", "visible=1;x=10"}, {"Bar1", "visible=0"}};
  ASSERT_TRUE(s.writeSection("dockstate", bars));
  EXPECT_EQ(s.readSection(ks::kDockStateSection), bars);
  EXPECT_EQ(fileText(),
            "[DockState]\n; bars\nBar0=visible=1;x=10\nBar1=visible=0\n[Settings]\nPort=2121\n");
  EXPECT_FALSE(s.writeSection("DockState", {{"A", "1"}, {"a", "2"}}));
  EXPECT_EQ(s.read(ks::kPort), 2121);
}

// Edits that keep the inode and size, in quick succession: on file systems
// with coarse timestamps these share a stamp, and only the racy-window rule
// keeps the parsed copy from going stale.
TEST_F(SettingsTest, EditInPlaceIsSeenByTheNextRead) {
  Settings s(path_);
  for (int timeout = 100; timeout < 300; ++timeout) {
    writeFile("[Settings]\nTimeout=" + std::to_string(timeout) + "\n");
    ASSERT_EQ(s.read(ks::kTimeout), timeout);
  }
  // Another writer of the same store is seen as well.
  ASSERT_TRUE(Settings(path_).write(ks::kTimeout, 300));
  EXPECT_EQ(s.read(ks::kTimeout), 300);
}

TEST_F(SettingsTest, ConcurrentReadersNeverSeeTornOrOlderValues) {
  Settings s(path_);
  const std::string a(200, 'a');
  const std::string b(200, 'b');
  ASSERT_TRUE(s.writeText("Settings", "Text", a));
  ASSERT_TRUE(s.writeInt("Settings", "Counter", 0));
  constexpr int kWrites = 150;
  std::atomic<bool> done{false};
  std::atomic<int> faults{0};

  std::vector<std::thread> readers;
  for (int r = 0; r < 4; ++r) {
    readers.emplace_back([&] {
      int last = 0;
      while (!done.load()) {
        std::string text = s.readText("Settings", "Text", "");
        if (text != a && text != b) ++faults;
        int counter = s.readInt("Settings", "Counter", -1);
        if (counter < last) ++faults;
        last = counter;
        if (s.read(ks::kTimeout) != 600) ++faults;
      }
    });
  }
  for (int i = 1; i <= kWrites; ++i) {
    ASSERT_TRUE(s.writeText("Settings", "Text", i % 2 ? b : a));
    ASSERT_TRUE(s.writeInt("Settings", "Counter", i));
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(faults.load(), 0);
  EXPECT_EQ(s.readInt("Settings", "Counter", -1), kWrites);
}

TEST_F(SettingsTest, RestrictToOwnerTightensAHandWrittenFile) {
  writeFile("[Console]\nPassword=abc\n");
  ASSERT_EQ(::chmod(path_.c_str(), 0664), 0);
  auto changed = restrictToOwner(path_);
  ASSERT_TRUE(changed.ok()) << changed.status.message;
  EXPECT_TRUE(changed.value);
  struct stat st{};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(restrictToOwner(path_).value);  // already private: nothing to do
  EXPECT_EQ(fileText(), "[Console]\nPassword=abc\n");

  // A link is not followed: its target belongs to someone else.
  std::string target = (dir_ / "target.ini").string();
  std::ofstream(target) << "x";
  ASSERT_EQ(::chmod(target.c_str(), 0644), 0);
  std::string link = (dir_ / "link.ini").string();
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  auto viaLink = restrictToOwner(link);
  EXPECT_TRUE(viaLink.ok() && !viaLink.value);
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  auto missing = restrictToOwner((dir_ / "none.ini").string());
  EXPECT_TRUE(missing.ok() && !missing.value);
}

TEST(SettingsPathTest, EnvironmentChoosesTheFile) {
  auto saved = [](const char* name) -> std::optional<std::string> {
    const char* v = std::getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
  };
  auto restore = [](const char* name, const std::optional<std::string>& v) {
    if (v) ::setenv(name, v->c_str(), 1); else ::unsetenv(name);
  };
  auto oldSettings = saved("KESTREL_SETTINGS");
  auto oldXdg = saved("XDG_CONFIG_HOME");
  auto oldHome = saved("HOME");

  ::setenv("KESTREL_SETTINGS", "/tmp/elsewhere.ini", 1);
  ::setenv("XDG_CONFIG_HOME", "/xdg", 1);
  EXPECT_EQ(Settings::defaultPath(), "/tmp/elsewhere.ini");
  ::unsetenv("KESTREL_SETTINGS");
  EXPECT_EQ(Settings::defaultPath(), "/xdg/Larkspur Systems/Kestrel.ini");
  ::setenv("XDG_CONFIG_HOME", "relative", 1);
  ::setenv("HOME", "/home/ftpadmin", 1);
  EXPECT_EQ(Settings::defaultPath(), "/home/ftpadmin/.config/Larkspur Systems/Kestrel.ini");
  ::unsetenv("XDG_CONFIG_HOME");
  ::unsetenv("HOME");
  std::string fallback = Settings::defaultPath();
  EXPECT_NE(fallback.find("/.config/Larkspur Systems/Kestrel.ini"), std::string::npos);

  restore("KESTREL_SETTINGS", oldSettings);
  restore("XDG_CONFIG_HOME", oldXdg);
  restore("HOME", oldHome);
}

}  // namespace
}  // namespace kestrel::platform

#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "platform/faults.h"

namespace kestrel::platform {
namespace {

namespace fs = std::filesystem;

class Folder : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kestrel-files-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    disarmFaults();
    fs::remove_all(dir_);
  }
  std::string write(const std::string& name, const std::string& text) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path) << text;
    return path;
  }
  std::string read(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string dir_;
};

// A link planted where a client's file is expected must never be opened,
// created or truncated through.
TEST_F(Folder, LinksAreNeitherReadNorWrittenThrough) {
  std::string outside = write("outside.txt", "secret");
  fs::create_symlink(outside, dir_ + "/trap.txt");
  fs::create_symlink(dir_ + "/nowhere.txt", dir_ + "/dangling.txt");
  EXPECT_EQ(File::openRead(dir_ + "/trap.txt").status.code, ELOOP);
  EXPECT_FALSE(File::createWrite(dir_ + "/trap.txt").ok());
  EXPECT_FALSE(File::createWrite(dir_ + "/dangling.txt").ok());
  EXPECT_EQ(read(outside), "secret");
  EXPECT_FALSE(fs::exists(dir_ + "/nowhere.txt"));

  auto entry = statEntry(dir_ + "/trap.txt");
  ASSERT_TRUE(entry);
  EXPECT_TRUE(entry->symlink);
  EXPECT_FALSE(entry->regular);
  auto listing = listDirectory(dir_);
  ASSERT_TRUE(listing.ok());
  for (const FileInfo& info : listing.value) EXPECT_EQ(info.symlink, info.name != "outside.txt") << info.name;
}

// A FIFO would block the thread that opens it for reading.
TEST_F(Folder, OpeningAFifoForReadingFailsAtOnce) {
  ASSERT_EQ(::mkfifo((dir_ + "/pipe").c_str(), 0644), 0);
  EXPECT_FALSE(File::openRead(dir_ + "/pipe").ok());
}

TEST_F(Folder, UploadTemporariesAreNewHiddenAndRecognised) {
  std::string first, second;
  auto a = File::createUploadTemporary(dir_, first);
  auto b = File::createUploadTemporary(dir_, second);
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_NE(first, second);
  std::string name = fs::path(first).filename();
  EXPECT_TRUE(isUploadTemporary(name));
  EXPECT_EQ(name[0], '.');
  // Ours, in flight: never stale. A dead process's: stale.
  EXPECT_FALSE(isStaleUploadTemporary(dir_, name));
  write(".kestrel-upload.999999999.0badf00d", "partial");
  EXPECT_TRUE(isStaleUploadTemporary(dir_, ".kestrel-upload.999999999.0badf00d"));
  EXPECT_FALSE(isUploadTemporary("kestrel-upload.1.2"));

  write("target", "old");
  ASSERT_TRUE(a.value.writeAll("new", 3));
  a.value.close();
  ASSERT_TRUE(replacePath(first, dir_ + "/target").ok());
  EXPECT_EQ(read(dir_ + "/target"), "new");
}

TEST_F(Folder, InjectedFaultsFailTheirCallsAndRunOut) {
  ASSERT_TRUE(armFaultsFromText("file-write=ENOSPC*1,file-open=EMFILE*1"));
  std::string path;
  auto refused = File::createUploadTemporary(dir_, path);
  EXPECT_EQ(refused.status.code, EMFILE);
  auto file = File::createUploadTemporary(dir_, path);
  ASSERT_TRUE(file.ok());
  errno = 0;
  EXPECT_FALSE(file.value.writeAll("x", 1));
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_TRUE(file.value.writeAll("x", 1));

  for (const char* bad : {"file-write", "file-write=EWHAT", "nothing=EIO", "accept=EIO*0", "accept=EIO*x"})
    EXPECT_FALSE(armFaultsFromText(bad)) << bad;
}

}  // namespace
}  // namespace kestrel::platform

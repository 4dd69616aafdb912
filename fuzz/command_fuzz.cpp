// Fuzzes the command reader and dispatcher of one control connection: every
// input is the byte stream a client sends after the greeting. The session runs
// on a real SQLite data source in a throw-away folder, so handlers that reach
// the database do real work; the peer end of a socketpair swallows replies.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "ftp/extensions.h"
#include "ftp/session.h"
#include "ftp/utf8.h"
#include "platform/event_loop.h"
#include "platform/settings.h"
#include "store/accounts.h"
#include "store/counters.h"
#include "store/db/database.h"
#include "store/tree.h"

namespace {

using namespace kestrel;

class FuzzHost : public ftp::SessionHost {
 public:
  explicit FuzzHost(const std::string& settingsPath) : settings_(settingsPath) {}
  platform::EventLoop& loop() override { return loop_; }
  void postToMain(Message) override {}
  void requestQuit() override {}
  const void* connectionKey() const override { return this; }
  const platform::Settings& settings() const override { return settings_; }

 private:
  platform::EventLoop loop_;
  platform::Settings settings_;
};

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  char buf[256];
  while (std::fgets(buf, sizeof buf, pipe)) out += buf;
  if (::pclose(pipe) != 0) {
    std::fprintf(stderr, "command failed: %s\n%s", command.c_str(), out.c_str());
    std::abort();
  }
  return out;
}

std::int64_t gDomain = 0;
// The fuzzer's process-wide objects, as runApplication makes them.
std::unique_ptr<store::Database> gDatabase;
std::unique_ptr<store::SharedRecordSets> gRecordSets;
std::unique_ptr<ftp::SessionShared> gShared;
std::unique_ptr<FuzzHost> gHost;

// A fresh data source with one named account, so PASS can succeed and the
// logged-in handlers run too.
void openDataSource() {
  const char* base = std::getenv("TMPDIR");
  std::string dir = std::string(base && *base ? base : "/tmp") + "/kestrel-fuzz-XXXXXX";
  if (!::mkdtemp(dir.data())) std::abort();
  const std::string tmp = dir;
  ::setenv("ODBCINI", (tmp + "/odbc.ini").c_str(), 1);
  // A private driver list: the system one may turn on a driver log in /tmp,
  // and drivers must stay loaded for the leak report to name them.
  ::setenv("ODBCSYSINI", tmp.c_str(), 1);
  run("sed -e 's/CommLog=1/CommLog=0/' -e '/^\\[/a DontDLClose=1' /etc/odbcinst.ini > " + tmp + "/odbcinst.ini");
  ::setenv("KESTREL_SETTINGS", (tmp + "/Kestrel.ini").c_str(), 1);
  const char* source = std::getenv("KESTREL_SOURCE_DIR");
  const std::string root = source ? source : KESTREL_SOURCE_DIR;
  run(root + "/db/create-datasource sqlite " + tmp + "/kestrel.db KestrelFuzz 2>&1");
  FILE* ini = std::fopen((tmp + "/Kestrel.ini").c_str(), "w");
  if (!ini) std::abort();
  std::fprintf(ini, "[Settings]\nDatabase=KestrelFuzz\nTimeout=600\n");
  std::fclose(ini);

  gDatabase = store::Database::open("DSN=KestrelFuzz;UID=;PWD=");
  store::Database& db = *gDatabase;
  gRecordSets = std::make_unique<store::SharedRecordSets>(db);
  db.lendRecordSets(gRecordSets.get());
  gShared = std::make_unique<ftp::SessionShared>(db);
  store::ensureDomain(db, "Default");
  gDomain = std::stoll(db.query("SELECT id FROM home WHERE name='Default'").at(0).at(0).text);
  const std::string d = std::to_string(gDomain);
  const std::string group = db.query("SELECT id FROM groups WHERE name='system' AND domain=" + d).at(0).at(0).text;
  const std::string anonRoot =
      db.query("SELECT \"root directory\" FROM users WHERE login='anonymous' AND domain=" + d).at(0).at(0).text;
  // The named account shares the anonymous root, which gets a folder on disk.
  db.execute("UPDATE files SET path='" + tmp + "', \"user execute\"=1, \"other execute\"=1, \"other read\"=1 "
             "WHERE id=" + anonRoot);
  db.execute("INSERT INTO users (login, password, \"group\", domain, \"max users\", \"root directory\", "
             "\"start directory\", deleteownfiles, overwriteownfiles, renameownfiles) VALUES "
             "('fuzz', 'fuzz', " + group + ", " + d + ", 1000000, " + anonRoot + ", '/', 1, 1, 1)");
  gHost = std::make_unique<FuzzHost>(tmp + "/Kestrel.ini");
  gHost->loop().adoptCurrentThread();
}

void drain(int fd) {
  char buf[4096];
  while (::recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  try {
    openDataSource();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fuzz set-up failed: %s\n", e.what());
    std::abort();
  }
  return 0;
}

// The extension commands' argument parsers on their own: every input is
// also an argument of EPRT, EPSV and OPTS MLST, and a name in UTF-8.
void parseArguments(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  ftp::ExtendedPort port = ftp::parseExtendedPort(text);
  if (port.outcome == ftp::ExtendedPort::Outcome::Ok && (port.port < 1 || port.port > 65535)) std::abort();
  ftp::parsePassiveRequest(text);
  unsigned facts = ftp::parseFactList(text);
  if (facts & ~ftp::kAllFacts) std::abort();
  ftp::formatFacts({(facts & 1) != 0, static_cast<std::int64_t>(size), static_cast<std::time_t>(size) * 86400, "r", 1},
                   facts);
  // Whatever the reader keeps must be well-formed UTF-8.
  ftp::Utf8Assembler reader;
  std::string kept;
  for (unsigned char b : text) {
    if (b < 0x80) reader.interrupt();
    else if (reader.take(b) == ftp::Utf8Assembler::Step::Complete) kept += reader.character();
  }
  if (!ftp::isValidUtf8(kept)) std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  parseArguments(data, size);
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  {
    ftp::SessionParams params{gDomain, "127.0.0.1", 40000, "", "127.0.0.1", nullptr, gShared.get()};
    ftp::CUserSocket session(*gHost, platform::Fd(fds[0]), params);
    // Small slices, so replies never fill the socket buffer unread.
    const char* bytes = reinterpret_cast<const char*>(data);
    for (std::size_t off = 0; off < size; off += 64) {
      session.feed(bytes + off, std::min<std::size_t>(64, size - off));
      drain(fds[1]);
    }
  }
  drain(fds[1]);
  ::close(fds[1]);
  return 0;
}

// The per-user settings store: one INI file with sections, and the named
// values the program keeps in it with their defaults.
//
// File format, as this store reads and writes it:
//   [Section]          a section header; blanks around the name are ignored
//   Name=Value         a value: the name is everything before the first '=',
//                      the value everything after it ('=' and ';' included);
//                      blanks (space, tab) around both are trimmed
//   ; text  or  # text a comment line, kept as it is
// Section and value names compare without regard to ASCII case. When a name
// appears twice, the first one counts. Lines this store does not understand
// are kept untouched on write.
//
// Values are single lines: a write whose value holds CR, LF or NUL is refused
// (returns false, the file is unchanged), so no value can smuggle in a key of
// its own. Names may not hold control characters; section names may not hold
// '[' or ']', value names may not hold '=' nor start with ';', '#' or '['.
// Leading and trailing blanks of a value do not survive a round trip.
//
// Every read looks at the file again, so a value written by the console takes
// effect for the next connection; an unchanged file (same inode, size, mtime
// and ctime, and not modified within the last two seconds) is served from a
// parsed copy. Reading never creates the file. A write re-reads the file,
// changes only the value(s) asked for, and replaces the file atomically with a
// new one of mode 0600, creating missing directories (mode 0700). A symbolic
// link at the path is replaced by the new file. One process writes a store at
// a time (the instance guard sees to that); readers may be anywhere.
#pragma once
#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/mutex.h"
#include "platform/status.h"

namespace kestrel::settings {

inline constexpr char kSettingsSection[] = "Settings";
inline constexpr char kPositionSection[] = "Position";
inline constexpr char kWindowPosSection[] = "WindowPos";
inline constexpr char kDockStateSection[] = "DockState";
inline constexpr char kConsoleSection[] = "Console";

struct IntSetting {
  const char* section;
  const char* name;
  int def;
};

struct TextSetting {
  const char* section;
  const char* name;
  const char* def;
};

// Section Settings.
inline constexpr TextSetting kDatabase{kSettingsSection, "Database", "Kestrel"};
inline constexpr TextSetting kDbLogin{kSettingsSection, "DBLogin", "Admin"};
inline constexpr TextSetting kDbPassword{kSettingsSection, "DBPassword", ""};
inline constexpr TextSetting kMail{kSettingsSection, "Mail", "ftpadmin@localhost"};
inline constexpr IntSetting kPort{kSettingsSection, "Port", 21};
// Local addresses the FTP listener binds, separated by commas; empty = every interface.
inline constexpr TextSetting kListenAddress{kSettingsSection, "ListenAddress", ""};
inline constexpr IntSetting kTimeout{kSettingsSection, "Timeout", 600};
// Explicit FTPS: PEM files of the certificate (chain) and its key; empty = no TLS.
inline constexpr TextSetting kTlsCertificate{kSettingsSection, "TLSCertificate", ""};
inline constexpr TextSetting kTlsKey{kSettingsSection, "TLSKey", ""};
// 0 optional, 1 named users must be on TLS before logging in, 2 everyone.
inline constexpr IntSetting kTlsRequired{kSettingsSection, "TLSRequired", 0};
inline constexpr IntSetting kLookup{kSettingsSection, "Lookup", 0};
inline constexpr IntSetting kRefRate{kSettingsSection, "RefRate", 0};
inline constexpr IntSetting kRefNewOwner{kSettingsSection, "RefNewOwner", 1};
inline constexpr IntSetting kRefHidden{kSettingsSection, "RefHidden", 0};
inline constexpr IntSetting kRefSystem{kSettingsSection, "RefSystem", 0};
inline constexpr IntSetting kRefPurge{kSettingsSection, "RefPurge", 1};
inline constexpr IntSetting kRefAddNew{kSettingsSection, "RefAddNew", 1};
inline constexpr IntSetting kRefUserRead{kSettingsSection, "RefUserRead", 1};
inline constexpr IntSetting kRefUserWrite{kSettingsSection, "RefUserWrite", 1};
inline constexpr IntSetting kRefUserExecute{kSettingsSection, "RefUserExecute", 1};
inline constexpr IntSetting kRefGroupRead{kSettingsSection, "RefGroupRead", 1};
inline constexpr IntSetting kRefGroupWrite{kSettingsSection, "RefGroupWrite", 1};
inline constexpr IntSetting kRefGroupExecute{kSettingsSection, "RefGroupExecute", 1};
inline constexpr IntSetting kRefOtherRead{kSettingsSection, "RefOtherRead", 1};
inline constexpr IntSetting kRefOtherWrite{kSettingsSection, "RefOtherWrite", 0};
inline constexpr IntSetting kRefOtherExecute{kSettingsSection, "RefOtherExecute", 1};

// Activity-log switches, indexed by action id 1..12. Entry 0 has an empty
// name, which never matches a value, so reading it always yields 0.
inline constexpr int kLogActionCount = 12;
inline constexpr std::array<IntSetting, kLogActionCount + 1> kLogSwitches{{
    {kSettingsSection, "", 0},
    {kSettingsSection, "LogUPLOAD", 0},
    {kSettingsSection, "LogDOWNLOAD", 0},
    {kSettingsSection, "LogLOGIN", 0},
    {kSettingsSection, "LogLOGOUT", 0},
    {kSettingsSection, "LogCHMOD", 0},
    {kSettingsSection, "LogCHGRP", 0},
    {kSettingsSection, "LogCHOWN", 0},
    {kSettingsSection, "LogKICK", 0},
    {kSettingsSection, "LogCONSOLE", 0},
    {kSettingsSection, "LogUMSG", 0},
    {kSettingsSection, "LogRENAME", 0},
    {kSettingsSection, "LogDELETE", 0},
}};

// Section Position: pane and column widths in pixels.
inline constexpr IntSetting kVSplit{kPositionSection, "VSplit", 200};
inline constexpr std::array<IntSetting, 7> kFileInfo{{
    {kPositionSection, "FileInfo0", 110},
    {kPositionSection, "FileInfo1", 60},
    {kPositionSection, "FileInfo2", 100},
    {kPositionSection, "FileInfo3", 50},
    {kPositionSection, "FileInfo4", 70},
    {kPositionSection, "FileInfo5", 70},
    {kPositionSection, "FileInfo6", 200},
}};
inline constexpr std::array<IntSetting, 3> kGroupInfo{{
    {kPositionSection, "GroupInfo0", 80},
    {kPositionSection, "GroupInfo1", 80},
    {kPositionSection, "GroupInfo2", 80},
}};
inline constexpr std::array<IntSetting, 3> kUserInfo{{
    {kPositionSection, "UserInfo0", 80},
    {kPositionSection, "UserInfo1", 80},
    {kPositionSection, "UserInfo2", 80},
}};

// Section WindowPos: non-zero means "start the splash here".
inline constexpr IntSetting kMainFrameX{kWindowPosSection, "MainFrameX", 0};
inline constexpr IntSetting kMainFrameY{kWindowPosSection, "MainFrameY", 0};

// Section Console: the web console's own listener and password. An empty
// password means none has been generated yet.
inline constexpr TextSetting kConsoleAddress{kConsoleSection, "Address", "127.0.0.1"};
inline constexpr IntSetting kConsolePort{kConsoleSection, "Port", 8021};
inline constexpr TextSetting kConsolePassword{kConsoleSection, "Password", ""};
// 1: the console serves HTTPS with Settings\TLSCertificate and TLSKey.
inline constexpr IntSetting kConsoleTls{kConsoleSection, "TLS", 0};

}  // namespace kestrel::settings

namespace kestrel::platform {

using SectionValues = std::vector<std::pair<std::string, std::string>>;

// Creates the missing directories above path (mode 0700).
Status makeParentDirectories(const std::string& path);
// Replaces path with a new file of mode 0600 holding content: a temporary
// file beside it is written, flushed and renamed over it, so a reader sees
// the old file or the new one, never half of one.
Status writePrivateFileAtomically(const std::string& path, std::string_view content);

class Settings {
 public:
  // $KESTREL_SETTINGS when set; else $XDG_CONFIG_HOME/Larkspur Systems/Kestrel.ini
  // when that variable holds an absolute path; else the same below
  // $HOME/.config (the account's home from the password database when HOME is
  // unset, as for a service running as root). Empty when nothing is known.
  static std::string defaultPath();

  explicit Settings(std::string path);
  ~Settings();
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;

  const std::string& path() const { return path_; }

  // A value that is absent, unreadable or not a whole decimal int yields def.
  int readInt(std::string_view section, std::string_view name, int def) const;
  // An absent value yields def; a present empty value yields "".
  std::string readText(std::string_view section, std::string_view name,
                       std::string_view def) const;
  // Every value of a section in file order (first of each name only); empty
  // when the section is absent.
  SectionValues readSection(std::string_view section) const;

  // False when the name or value is refused or the file cannot be replaced;
  // lastError() then tells why.
  bool writeInt(std::string_view section, std::string_view name, int value);
  bool writeText(std::string_view section, std::string_view name, std::string_view value);
  // Replaces every value of the section with these (comments in it stay).
  // Names must be distinct without regard to case.
  bool writeSection(std::string_view section, const SectionValues& values);

  int read(const settings::IntSetting& s) const { return readInt(s.section, s.name, s.def); }
  std::string read(const settings::TextSetting& s) const {
    return readText(s.section, s.name, s.def);
  }
  bool write(const settings::IntSetting& s, int value) {
    return writeInt(s.section, s.name, value);
  }
  bool write(const settings::TextSetting& s, std::string_view value) {
    return writeText(s.section, s.name, value);
  }

  // Why the last write failed; success() when it did not.
  Status lastError() const;

 private:
  struct Document;
  struct FileStamp {
    bool exists = false;
    unsigned long long dev = 0, ino = 0;
    long long size = 0;
    long long mtimeNs = 0, ctimeNs = 0;
    bool operator==(const FileStamp&) const = default;
  };

  std::shared_ptr<const Document> current() const;
  bool update(std::string_view section, const SectionValues& values, bool wholeSection);

  const std::string path_;
  mutable Mutex fileMutex_;
  mutable std::shared_ptr<const Document> cache_ GUARDED_BY(fileMutex_);
  mutable FileStamp cacheStamp_ GUARDED_BY(fileMutex_);
  mutable bool cacheTrusted_ GUARDED_BY(fileMutex_) = false;
  Status lastError_ GUARDED_BY(fileMutex_);
};

}  // namespace kestrel::platform

#include "store/index_files.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>
#include <set>

#include "platform/files.h"
#include "store/records.h"
#include "store/reports.h"
#include "store/tree.h"

namespace kestrel::store {

namespace {

constexpr std::size_t kLongDescriptionBytes = 255;
constexpr std::size_t kDescriptIonText = 127;
// Far beyond any real catalogue; keeps a stray huge file from filling memory.
constexpr std::size_t kDescriptIonFileLimit = 16 << 20;

std::string id(std::int64_t value) { return std::to_string(value); }

// The row of a directory, or nullopt for a link (it stands for its target
// and has nothing below it) or anything else. A directory with an empty Path
// has no physical directory: its own work is passed over, its subdirectories
// are not.
std::optional<FileRecord> directoryRow(Database& db, std::int64_t directoryId) {
  CDBFile row(db);
  row.setFilter("id=" + id(directoryId));
  row.open();
  if (row.isEmpty()) return std::nullopt;
  const FileRecord& r = row.row();
  if (!r.directory || r.link != 0) return std::nullopt;
  return r;
}

std::vector<FileRecord> rowsUnder(Database& db, std::int64_t parent, const char* sort) {
  CDBFile rows(db);
  rows.setFilter("parent=" + id(parent));
  rows.setSort(sort);
  rows.open();
  return rows.rows();
}

void indexDirectory(Database& db, std::int64_t directoryId, const IndexOptions& options, std::time_t now,
                    const std::string& header, const std::string& footer, std::set<std::int64_t>& done,
                    IndexOutcome& outcome) {
  // Each directory once, so that a Parent loop in the data cannot recurse without end.
  if (!done.insert(directoryId).second) return;
  auto directory = directoryRow(db, directoryId);
  if (!directory) return;
  std::vector<FileRecord> rows = rowsUnder(db, directoryId, "directory,name,id");

  if (!directory->path.empty()) {
    std::vector<IndexEntry> entries;
    entries.reserve(rows.size());
    for (const FileRecord& r : rows) entries.push_back({r.name, r.modified, r.title});
    std::string text = formatIndex(directory->title, buildVirtualPath(db, directoryId), now, header, footer, entries,
                                   options.skipBlank);
    auto path = platform::childPath(directory->path, "index.txt");
    // A directory where the file cannot be created is skipped without a word.
    if (path && writeTextFile(*path, text)) outcome.written.push_back(*path);
    else outcome.failed.push_back(path.value_or(directory->path));
  }

  if (!options.subdirectories) return;
  for (const FileRecord& r : rows)
    if (r.directory) indexDirectory(db, r.id, options, now, header, footer, done, outcome);
}

// ---------------------------------------------------------------- descriptions

// At most `limit` bytes of a regular file; nullopt when it cannot be opened.
std::optional<std::string> readStart(const std::string& path, std::size_t limit) {
  auto file = platform::File::openRead(path);
  if (!file.ok()) return std::nullopt;
  std::string text;
  char buffer[4096];
  while (text.size() < limit) {
    long n = file.value.read(buffer, std::min(sizeof buffer, limit - text.size()));
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

// Files are single-byte text of any code page, the columns UTF-8: keep valid
// UTF-8 (dropping a sequence the byte limit cut in half), else read the bytes
// as Latin-1, so that no engine refuses the value.
std::string columnText(std::string text) {
  auto sequenceLength = [](unsigned char c) {
    return c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  };
  std::size_t i = 0;
  bool valid = true;
  while (i < text.size()) {
    int n = sequenceLength(static_cast<unsigned char>(text[i]));
    if (n == 0) {
      valid = false;
      break;
    }
    std::size_t k = 1;
    for (; k < static_cast<std::size_t>(n) && i + k < text.size(); ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) break;
    if (k < static_cast<std::size_t>(n)) {
      if (i + k == text.size()) {
        text.resize(i);  // cut at the end
        break;
      }
      valid = false;
      break;
    }
    i += n;
  }
  if (valid) return text;
  std::string latin;
  for (unsigned char c : text) {
    if (c < 0x80) {
      latin += static_cast<char>(c);
    } else {
      latin += static_cast<char>(0xC0 | (c >> 6));
      latin += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return latin;
}

// The long description from "<base>.txt" or "<base>.doc" beside the entry.
std::string longDescription(const std::string& dir, const std::string& name, const DescriptionOptions& options) {
  auto dot = name.rfind('.');
  std::string base = dot == std::string::npos ? name : name.substr(0, dot);
  std::optional<std::string> text;
  if (options.txt)
    if (auto path = platform::childPath(dir, base + ".txt")) text = readStart(*path, kLongDescriptionBytes);
  if (!text && options.doc)
    if (auto path = platform::childPath(dir, base + ".doc")) text = readStart(*path, kLongDescriptionBytes);
  if (!text) return {};
  std::string value = text->substr(0, text->find('\0'));
  std::size_t start = 0;
  while (start < value.size() && std::isspace(static_cast<unsigned char>(value[start]))) ++start;
  return columnText(value.substr(start));
}

// Fills the columns of the rows of one physical directory, saving each row as
// soon as a column changes.
void describeRows(CDBFile& rows, const std::string& dir, const DescriptionOptions& options,
                  DescriptionOutcome& outcome) {
  std::optional<std::string> descriptIon;
  auto catalogue = platform::childPath(dir, "descript.ion");
  if (options.descriptIon && catalogue) descriptIon = readStart(*catalogue, kDescriptIonFileLimit);
  // The catalogue is read as a NUL-terminated text: a NUL ends it.
  if (descriptIon) descriptIon->resize(std::min(descriptIon->size(), descriptIon->find('\0')));

  for (; !rows.atEnd(); rows.moveNext()) {
    rows.edit();
    FileRecord& r = rows.row();
    if ((!options.blankOnly || r.description.empty()) && (options.txt || options.doc)) {
      std::string text = longDescription(dir, r.name, options);
      if (!text.empty()) {
        r.description = text;
        rows.update();
        rows.edit();
        ++outcome.descriptions;
      }
    }
    if (!options.blankOnly || r.title.empty()) {
      bool titled = false;
      if (descriptIon) {
        std::string text = lookUpDescriptIon(*descriptIon, r.name);
        if (!text.empty()) {
          r.title = text;
          rows.update();
          rows.edit();
          titled = true;
        }
      }
      if (options.firstLine && !r.description.empty()) {
        // Files written here end their lines in LF alone, so a line ends at either.
        r.title = r.description.substr(0, r.description.find_first_of("\r\n"));
        rows.update();
        rows.edit();
        titled = true;
      }
      if (titled) ++outcome.titles;
    }
    rows.cancelUpdate();
  }
}

void describeDirectory(Database& db, std::int64_t directoryId, const DescriptionOptions& options,
                       std::set<std::int64_t>& done, DescriptionOutcome& outcome) {
  if (!done.insert(directoryId).second) return;
  auto directory = directoryRow(db, directoryId);
  if (!directory) return;
  CDBFile rows(db);
  rows.setFilter("parent=" + id(directoryId));
  rows.setSort("id");
  rows.open();
  if (!directory->path.empty()) {
    ++outcome.directories;
    describeRows(rows, directory->path, options, outcome);
  }

  if (!options.subdirectories) return;
  for (const FileRecord& r : rows.rows())
    if (r.directory) describeDirectory(db, r.id, options, done, outcome);
}

}  // namespace

std::string formatIndex(const std::string& title, const std::string& virtualPath, std::time_t now,
                        const std::string& header, const std::string& footer,
                        const std::vector<IndexEntry>& entries, bool skipBlank) {
  std::string out;
  auto line = [&out](const std::string& text) { out += text + "\r\n"; };
  line("**");
  line("**     Index of: " + title);
  line("**     Found in: " + virtualPath);
  // The long date the index has always carried: weekday, month, day, year.
  line("** Last updated: " + formatLocalTime(now, "%A, %B %d, %Y %X %Z"));
  line("**");
  out += header;
  line("**");
  line("** Filename        Date   Description");
  line(std::string(61, '*'));
  for (const IndexEntry& e : entries) {
    if (skipBlank && e.title.empty()) continue;
    std::string date = formatLocalTime(e.modified, "%y%m%d");
    char head[32];
    std::snprintf(head, sizeof head, " %6s ", date.c_str());
    std::string name = e.name;
    if (name.size() < 18) name.resize(18, ' ');
    line(name + head + e.title);
  }
  out += footer;
  line("**");
  return out;
}

IndexOutcome createIndex(Database& db, std::int64_t directoryId, const IndexOptions& options, std::time_t now) {
  IndexOutcome outcome;
  CDBFile start(db);
  start.setFilter("id=" + id(directoryId));
  start.open();
  if (start.isEmpty()) return outcome;
  // Header and footer are read once, from the start directory's domain.
  CDBHome home(db);
  home.setFilter("id=" + id(start.row().domain));
  home.open();
  std::string header = home.isEmpty() ? std::string() : home.row().textHeader;
  std::string footer = home.isEmpty() ? std::string() : home.row().textFooter;
  std::set<std::int64_t> done;
  indexDirectory(db, directoryId, options, now, header, footer, done, outcome);
  return outcome;
}

bool isDirectoryEntry(Database& db, std::int64_t directoryId) { return directoryRow(db, directoryId).has_value(); }

DescriptionOutcome addDescriptions(Database& db, std::int64_t directoryId, const DescriptionOptions& options) {
  DescriptionOutcome outcome;
  std::set<std::int64_t> done;
  describeDirectory(db, directoryId, options, done, outcome);
  return outcome;
}

std::string lookUpDescriptIon(const std::string& fileText, const std::string& name) {
  const std::size_t n = name.size();
  std::size_t start = 0;
  while (start <= fileText.size()) {
    std::size_t end = fileText.find('\n', start);
    if (end == std::string::npos) end = fileText.size();
    if (end - start >= n && strncasecmp(fileText.c_str() + start, name.c_str(), n) == 0) {
      // One separator is skipped unchecked; the text stays within its line.
      std::string text;
      for (std::size_t i = start + n + 1; i < end && text.size() < kDescriptIonText; ++i) {
        unsigned char c = static_cast<unsigned char>(fileText[i]);
        if (c < 32 || c > 127) break;
        text += static_cast<char>(c);
      }
      return text;
    }
    if (end == fileText.size()) break;
    start = end + 1;
  }
  return {};
}

}  // namespace kestrel::store

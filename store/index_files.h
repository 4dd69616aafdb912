// The two batch jobs the console runs on a directory of the tree: index
// files ("index.txt" in each physical directory) and descriptions filled in
// from files beside the entries.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "store/db/database.h"

namespace kestrel::store {

// Whether the row is a directory the two jobs can start from: a directory
// row that is not a link.
bool isDirectoryEntry(Database& db, std::int64_t directoryId);

struct IndexOptions {
  bool skipBlank = false;
  bool subdirectories = true;
};

struct IndexOutcome {
  std::vector<std::string> written;  // physical paths of the index files written
  std::vector<std::string> failed;   // index files that could not be written
};

// Writes "index.txt" into the directory and, with the option, below it.
// Rows without a physical directory (links, empty Path) are passed over.
// `now` is the time printed as "Last updated". Throws DbError.
IndexOutcome createIndex(Database& db, std::int64_t directoryId, const IndexOptions& options, std::time_t now);

// The text of one index file; header and footer are written as stored.
struct IndexEntry {
  std::string name;
  std::int64_t modified = 0;
  std::string title;
};
std::string formatIndex(const std::string& title, const std::string& virtualPath, std::time_t now,
                        const std::string& header, const std::string& footer,
                        const std::vector<IndexEntry>& entries, bool skipBlank);

struct DescriptionOptions {
  bool blankOnly = true;
  bool subdirectories = false;
  bool txt = false;
  bool doc = false;
  bool descriptIon = false;
  bool firstLine = false;
  bool anySource() const { return txt || doc || descriptIon || firstLine; }
};

struct DescriptionOutcome {
  int directories = 0;   // directories whose rows were walked
  int descriptions = 0;  // rows given a Description
  int titles = 0;        // rows given a Title
};

// Fills Description and Title of the rows below the directory. Rows are saved
// one at a time, so an interrupted job keeps what it saved. Throws DbError.
DescriptionOutcome addDescriptions(Database& db, std::int64_t directoryId, const DescriptionOptions& options);

// The text a "descript.ion" file holds for a name: the first line that begins
// with the name (without regard to case), from one character after it, up to
// 127 printable characters. Empty when no line matches.
std::string lookUpDescriptIon(const std::string& fileText, const std::string& name);

}  // namespace kestrel::store

// The console's file list and file property sheet: the files of one
// directory, their order, and the changes the operator makes to them.
#pragma once
#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/records.h"

namespace kestrel::store {

// Stored query comment dir: files with the owner's login and the group's name.
struct CommentDirRecord {
  static constexpr const char* kSource = "comment dir";
  static constexpr const char* kKey = "id";
  I id = 0, size = 0;
  std::string login, title;
  I modified = 0;
  std::string name, groupName;
  bool directory = false;
  bool groupExecute = false, groupRead = false, groupWrite = false;
  bool otherExecute = false, otherRead = false, otherWrite = false;
  I parent = 0;
  bool userExecute = false, userRead = false, userWrite = false;
  static const std::vector<Field<CommentDirRecord>>& fields() {
    using R = CommentDirRecord;
    static const std::vector<Field<R>> f = {
        {"id", FT::Long, &R::id},
        {"size", FT::Long, &R::size},
        {"login", FT::Text, &R::login},
        {"title", FT::Text, &R::title},
        {"modified", FT::DateTime, &R::modified},
        {"files.name", FT::Text, &R::name},
        {"groups.name", FT::Text, &R::groupName},
        {"directory", FT::Boolean, &R::directory},
        {"group execute", FT::Boolean, &R::groupExecute},
        {"group read", FT::Boolean, &R::groupRead},
        {"group write", FT::Boolean, &R::groupWrite},
        {"other execute", FT::Boolean, &R::otherExecute},
        {"other read", FT::Boolean, &R::otherRead},
        {"other write", FT::Boolean, &R::otherWrite},
        {"parent", FT::Long, &R::parent},
        {"user execute", FT::Boolean, &R::userExecute},
        {"user read", FT::Boolean, &R::userRead},
        {"user write", FT::Boolean, &R::userWrite}};
    return f;
  }
  static const std::map<std::string, std::string>& aliases() {
    static const std::map<std::string, std::string> a = {{"files.name", "\"files.name\""},
                                                         {"groups.name", "\"groups.name\""}};
    return a;
  }
};
using CDBCommentDir = RecordSet<CommentDirRecord>;

enum class FileSortKey { Name, Size, Date, Group, Owner, Comment };

// "name", "size", "date", "group", "owner" or "comment" (any case).
std::optional<FileSortKey> parseFileSortKey(std::string_view text);

// The files (not directories) of a directory in the given order.
std::vector<CommentDirRecord> loadFileList(Database& db, std::int64_t directoryId, FileSortKey key,
                                           bool reverse);
void sortFileList(std::vector<CommentDirRecord>& rows, FileSortKey key, bool reverse);

// "rw/r-/--": read and write of owner, group and other.
std::string consoleFlags(const CommentDirRecord& row);
// Modified as the list shows it ("%x %X"); empty for an unknown time.
std::string listDate(std::time_t when);
// A time as the property sheet shows it ("Tuesday, March 4, 2025 09:05:01").
std::string sheetDate(std::time_t when);

// The rows of `ids` that are files of `directoryId`, in id order; nullopt
// when any id is not one of them, so that a request naming a stranger
// changes nothing.
std::optional<std::vector<FileRecord>> filesOfDirectory(Database& db, std::int64_t directoryId,
                                                        const std::vector<std::int64_t>& ids);

// Each bit: set, clear, or leave (nullopt). Order as kPermissionBits.
using PermissionChange = std::array<std::optional<bool>, 9>;

void setOwner(Database& db, const std::vector<std::int64_t>& ids, std::int64_t userId);
void setGroup(Database& db, const std::vector<std::int64_t>& ids, std::int64_t groupId);
void setPermissions(Database& db, const std::vector<std::int64_t>& ids, const PermissionChange& change);

// Deletes the file rows and then, when asked, their physical files (parent
// Path and Name); a file that cannot be removed stays on disk.
void deleteFiles(Database& db, const FileRecord& directory, const std::vector<FileRecord>& files,
                 bool deletePhysicalFiles);

// Saving the file sheet of an existing row.
enum class SheetOutcome { Saved, NotFound, BlankName, NameTaken, InvalidName, RenameFailed };
// `edited` carries the sheet's Name, Path, Title, Description, nine bits,
// UserID and GroupID; the rest of the row is left as stored. A plain file
// whose Name changes is renamed on disk first and renamed back when the row
// cannot be written.
SheetOutcome saveFileSheet(Database& db, std::int64_t id, const FileRecord& edited);

// The file sheet's "Type:" line.
std::string entryType(const FileRecord& row);

}  // namespace kestrel::store

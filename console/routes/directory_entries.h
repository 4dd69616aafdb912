// What the two halves of the Directories window share: node names, the
// file property sheet and the deleting dialog. Main loop only.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "console/routes/api.h"
#include "store/file_list.h"
#include "store/records.h"

namespace kestrel::console::directories {

using store::Database;
using store::FileRecord;

// The system's own texts.
inline constexpr const char* kSelectDirectoryOrUser = "Select a directory or user to attach to.";
inline constexpr const char* kCantDelete = "Can't delete that.";
inline constexpr const char* kEntryExists = "Entry already exists.";
inline constexpr const char* kPathInUse = "Directory already in use in the database.";
inline constexpr const char* kPathMissing = "Path does not exist.  Create?";
inline constexpr const char* kCreatePathFailed = "Unable to create path.";
inline constexpr const char* kNotADirectory = "The path does not refer to a directory.";
inline constexpr const char* kCreateLink = "Create a link?";
inline constexpr const char* kDeleteLink = "Really delete the link?";
inline constexpr const char* kDeletingTree = "Deleting directory or directories";
inline constexpr const char* kDeletingFiles = "Delete file(s).";
inline constexpr const char* kReallySure = "Are you really sure?";
inline constexpr const char* kDeletePhysical = "&Delete physical files";
inline constexpr const char* kDeleteRoot = "Cannot delete the root directory of the domain.";
inline constexpr const char* kLinksInUse =
    "The following directory or directories are in use in the directory selected for deletion.  Delete the links?";
inline constexpr const char* kBlankName = "File name cannot be blank.";
inline constexpr const char* kNameTaken = "Unable to rename.  An entry by this name exists.";
inline constexpr const char* kInvalidName = "Invalid file name";
inline constexpr const char* kRenameFailed = "Unable to rename the file.";
// Our own: the tree must stay a tree, and a root stays where its user finds it.
inline constexpr const char* kMoveIntoItself = "A directory cannot be moved below itself or one of its subdirectories.";
inline constexpr const char* kMoveRoot = "A root directory cannot be moved.";
inline constexpr const char* kRelativePath = "The path must be absolute.";
inline constexpr const char* kNoSuchUser = "No such user in this domain.";
inline constexpr const char* kNoSuchGroup = "No such group in this domain.";

inline constexpr std::size_t kTextLimit = 255;
inline constexpr std::size_t kTitleLimit = 100;

enum class Kind { Domain = 0, Group = 1, User = 2, Directory = 3, Link = 4 };
inline constexpr const char* kKindNames[] = {"domain", "group", "user", "directory", "link"};
inline constexpr int kKindImages[] = {3, 5, 9, 1, 11};
inline constexpr const char* kAccessClasses[] = {"user", "group", "other"};
inline constexpr const char* kAccessKinds[] = {"read", "write", "execute"};

struct Node {
  Kind kind;
  std::int64_t id;
};

std::optional<std::int64_t> parseId(const std::string& text);

std::optional<Node> parseNode(const std::string& text);

Json nodeJson(Kind kind, std::int64_t id, const std::string& label);

// The operator's Yes/OK to question `index`; nullopt when not yet asked.
std::optional<bool> agreed(const ApiRequest& request, std::size_t index);

ApiResponse deletingDialog(const char* text);

// Texts count characters, not bytes; a cut never splits one.
std::string cutText(const std::string& text, std::size_t limit);

bool readRow(Database& db, std::int64_t id, FileRecord& row);

// The Files row a user or directory node stands for (a user: its root);
// links and other kinds stand for none.
std::optional<FileRecord> attachPoint(Database& db, const std::optional<Node>& node);

// Reads an access object into a three-state change; false on a malformed one.
bool readAccess(const Json& access, store::PermissionChange& change);

Json accessJson(const FileRecord& row);

// Copies the sheet's fields from the request into the row; a response when
// one of them is refused.
std::optional<ApiResponse> applySheet(const ApiRequest& request, Database& db, FileRecord& row);

Json sheetJson(Database& db, const FileRecord& row);

// Every route needs the data source but the picker.
Handler withDatabase(std::function<ApiResponse(const ApiRequest&, Database&)> body);

// The id captured by a route pattern.
std::int64_t capturedId(const ApiRequest& request);

}  // namespace kestrel::console::directories

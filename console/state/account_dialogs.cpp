#include "console/state/account_dialogs.h"

#include "store/account_queries.h"

namespace kestrel::console {

using store::AccountNotice;

namespace {

constexpr char kDeleteDomainQuestion[] =
    "EXTREME WARNING! This will delete all database records related to the domain.  Physical files will not be "
    "deleted.  Are you really sure?";
constexpr char kDeleteGroupsQuestion[] =
    "Caution: this will change all files and users that use the group.  Continue?";
constexpr char kDeleteGroupQuestion[] =
    "Deleting group.  Users will be assigned to the system group. Are you sure you want to do this?";
constexpr char kDeleteUserQuestion[] =
    "Deleting User.  File records will be deleted, but the files will be left and must be deleted manually.  Are "
    "you sure you want to do this?";

DialogMessage refusal(std::string text) { return {std::move(text), "exclamation", {"OK"}, ""}; }

// The texts of one kind of deletion in the two windows.
struct DeletionTexts {
  const char* nothingSelected;
  const char* oneAtATime;
  const char* missing;
  const char* listQuestion;
  std::vector<std::string> listButtons;
  const char* listRefusal;
  const char* domainsQuestion;
  const char* domainsRefusal;
};

const DeletionTexts kGroupDeletion{"No group selected.",
                                  "The Domains window deletes one group at a time.",
                                  "No such group.",
                                  kDeleteGroupsQuestion,
                                  {"OK", "Cancel"},
                                  "Cannot delete the 'system' group.",
                                  kDeleteGroupQuestion,
                                  "Can't delete the system group."};
const DeletionTexts kUserDeletion{"No user selected.",
                                 "The Domains window deletes one user at a time.",
                                 "No such user.",
                                 kDeleteUserQuestion,
                                 {"Yes", "No"},
                                 "Cannot delete the 'anonymous' user.",
                                 kDeleteUserQuestion,
                                 "Can't delete the anonymous user."};

AccountAnswer badInput(std::string text, bool missing = false) {
  AccountAnswer out;
  out.badInput = std::move(text);
  out.missing = missing;
  return out;
}

AccountAnswer asking(const char* text, std::vector<std::string> buttons) {
  AccountAnswer out;
  out.question = DialogMessage{text, "question", std::move(buttons), ""};
  return out;
}

// The two windows' deletions differ in order: the Domains window refuses a
// protected row before it asks, a list window asks once and then refuses
// row by row.
template <class Row, class Find, class Protected, class Remove>
AccountAnswer deleteSelection(const std::vector<std::int64_t>& ids, AccountWindow from,
                              store::Confirmation confirmed, const DeletionTexts& texts, Find find,
                              Protected isProtected, Remove remove) {
  if (ids.empty()) return badInput(texts.nothingSelected);
  AccountAnswer out;
  if (from == AccountWindow::Domains) {
    if (ids.size() != 1) return badInput(texts.oneAtATime);
    std::optional<Row> row = find(ids[0]);
    if (!row) return badInput(texts.missing, true);
    if (isProtected(*row)) {
      out.messages.push_back(refusal(texts.domainsRefusal));
      return out;
    }
    if (!confirmed) return asking(texts.domainsQuestion, {"Yes", "No"});
    if (!*confirmed) return out;
    remove(*row);
    out.changed = true;
    out.removed.push_back(row->id);
    return out;
  }
  if (!confirmed) return asking(texts.listQuestion, texts.listButtons);
  if (!*confirmed) return out;
  for (std::int64_t id : ids) {
    std::optional<Row> row = find(id);
    if (!row) continue;  // already gone
    if (isProtected(*row)) {
      out.messages.push_back(refusal(texts.listRefusal));
      continue;
    }
    remove(*row);
    out.changed = true;
    out.removed.push_back(row->id);
  }
  return out;
}

}  // namespace

std::string noticeText(const store::AccountNote& note) {
  switch (note.notice) {
    case AccountNotice::None: return {};
    case AccountNotice::DefaultDomainFixed: return "The name and IP may not be set for the default domain.";
    case AccountNotice::DomainExists: return "A domain by the name '" + note.subject + "' already exists.";
    case AccountNotice::CannotDeleteDefaultDomain: return "Cannot delete the default domain.";
    case AccountNotice::DeleteDomain: return kDeleteDomainQuestion;
    case AccountNotice::GroupExists: return "Group already exists.";
    case AccountNotice::SystemGroupRename: return "Warning! The 'system' group may not have its name changed.";
    case AccountNotice::GroupBlank: return "The group name cannot be blank.";
    case AccountNotice::GroupNameTaken: return "A group by this name already exists.";
    case AccountNotice::UserExists: return "A user by this name already exists.";
    case AccountNotice::AnonymousRename: return "You cannot change the name of the 'anonymous' user.";
    case AccountNotice::BlankLogin: return kBlankEntry;
    case AccountNotice::NoMoveBetweenDomains: return "Users may not be moved between domains.";
    case AccountNotice::NoSuchDomain: return "No such domain.";
    case AccountNotice::NoSuchGroup: return "No such group.";
    case AccountNotice::NoSuchUser: return "No such user.";
    case AccountNotice::UnknownSiteCommand: return "Unknown SITE command.";
    case AccountNotice::GroupOutsideDomain: return "The group is not a group of the user's domain.";
  }
  return {};
}

AccountAnswer dialogAnswer(const store::AccountOutcome& outcome) {
  AccountAnswer out;
  out.changed = outcome.changed;
  out.id = outcome.id;
  out.removed = outcome.removed;
  for (const store::AccountNote& note : outcome.notes) out.messages.push_back(refusal(noticeText(note)));
  if (outcome.question) {
    // The one question a rule asks itself is the domain's deletion; No is its safe default.
    out.question = DialogMessage{noticeText(*outcome.question), "question", {"Yes", "No"}, "No"};
  }
  out.badInput = noticeText({outcome.badInput, {}});
  out.missing = outcome.missing;
  return out;
}

AccountAnswer deleteGroups(store::Database& db, const std::vector<std::int64_t>& groupIds, AccountWindow from,
                           store::Confirmation confirmed) {
  // From the Domains window the files keep their group.
  auto files = from == AccountWindow::List ? store::FileGroups::ToSystemGroup : store::FileGroups::Keep;
  return deleteSelection<store::GroupRecord>(
      groupIds, from, confirmed, kGroupDeletion, [&](std::int64_t id) { return store::groupById(db, id); },
      store::protectedGroup, [&](const store::GroupRecord& g) { store::removeGroup(db, g, files); });
}

AccountAnswer deleteUsers(store::Database& db, const std::vector<std::int64_t>& userIds, AccountWindow from,
                          store::Confirmation confirmed) {
  return deleteSelection<store::UserRecord>(
      userIds, from, confirmed, kUserDeletion, [&](std::int64_t id) { return store::userById(db, id); },
      store::protectedUser, [&](const store::UserRecord& u) { store::removeUser(db, u); });
}

AccountAnswer editUser(store::Database& db, std::int64_t userId, const store::UserRecord& sheet,
                       AccountWindow from) {
  return dialogAnswer(store::editUser(db, userId, sheet, from == AccountWindow::List));
}

}  // namespace kestrel::console

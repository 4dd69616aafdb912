// The account dialogs: what the operator reads when an account rule refuses,
// warns or asks, and the deletions whose order and texts differ between the
// Users or Groups window and the Domains window. The rules are store/'s.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/accounts.h"

namespace kestrel::console {

// The user sheet's text for a login that is, or normalises to, nothing.
inline constexpr char kBlankEntry[] = "Entry may not be blank";

// The console window an operation comes from where the two differ in texts
// and checks: the Users or Groups window, or the Domains window (the tree).
enum class AccountWindow { List, Domains };

struct DialogMessage {
  std::string text;
  std::string icon = "stop";  // stop, exclamation, question, information
  std::vector<std::string> buttons = {"OK"};
  std::string defaultButton;  // empty: the first button
};

// An account operation as the console shows it.
struct AccountAnswer {
  bool changed = false;
  std::int64_t id = 0;
  std::vector<std::int64_t> removed;
  std::vector<DialogMessage> messages;
  std::optional<DialogMessage> question;
  std::string badInput;
  bool missing = false;
};

// The text of a rule's note.
std::string noticeText(const store::AccountNote& note);
AccountAnswer dialogAnswer(const store::AccountOutcome& outcome);

// From a list window several at once; from the Domains window exactly one.
AccountAnswer deleteGroups(store::Database& db, const std::vector<std::int64_t>& groupIds, AccountWindow from,
                           store::Confirmation confirmed);
AccountAnswer deleteUsers(store::Database& db, const std::vector<std::int64_t>& userIds, AccountWindow from,
                          store::Confirmation confirmed);
// Only the list window keeps "anonymous" from being renamed.
AccountAnswer editUser(store::Database& db, std::int64_t userId, const store::UserRecord& sheet, AccountWindow from);

}  // namespace kestrel::console

// What the account routes share: reading a property sheet from a request,
// the refusal that carries its answer, and how an outcome is answered.
// Main loop only.
#pragma once
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <set>
#include <string_view>

#include "console/routes/api.h"
#include "console/state/account_dialogs.h"
#include "platform/settings.h"
#include "store/account_queries.h"
#include "store/account_records.h"
#include "store/accounts.h"
#include "store/reports.h"

namespace kestrel::console::accounts {

using store::AccountOutcome;
using store::Database;
using store::kSiteCommandLimit;

inline constexpr char kInvalidFilter[] = "Invalid filter format.";
inline constexpr long long kMaxCounter = 2147483647;  // the columns are 32-bit

inline const char* const kUserPages[] = {"Connection", "File Limits", "Accounting", "Login Message", "   Notes     "};
inline const char* const kGroupPages[] = {"  General  ", "SITE Commands"};
inline const char* const kDomainPages[] = {"General", "MOTD", "Text Index", "Blocking"};
inline const char* const kFilterNotes[] = {"* = Any value", "nnn = Exact value", "nnn-nnn = Range"};

// A request that cannot go on; carries its answer.
struct Refusal {
  ApiResponse response;
};

[[noreturn]] inline void refuse(ApiResponse response) { throw Refusal{std::move(response)}; }

inline std::int64_t pathId(const ApiRequest& req, std::size_t index = 0) {
  std::int64_t id = 0;
  const std::string& text = req.captures.at(index);
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (ec != std::errc() || end != text.data() + text.size()) refuse(notFound());
  return id;
}

inline std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Reads a sheet's fields from a JSON body as the property pages check them:
// an absent field keeps its value; a value out of bounds is answered with
// the framework's text and the page to keep open.
class SheetReader {
 public:
  explicit SheetReader(const Json& body) : body_(body) {
    if (!body_.is_object()) refuse(badRequest("The request body must be a JSON object."));
  }
  void page(const char* title) { page_ = title; }

  bool has(const char* key) const { return body_.contains(key) && !body_.at(key).is_null(); }

  void text(const char* key, std::string& into, std::size_t limit) {
    if (!has(key)) return;
    const Json& v = body_.at(key);
    if (!v.is_string()) refuse(badRequest(std::string("\"") + key + "\" must be text."));
    std::string value = v.get<std::string>();
    if (characterCount(value) > limit) fail(key, "Enter no more than " + std::to_string(limit) + " characters.");
    into = std::move(value);
  }

  template <class T>
  void integer(const char* key, T& into, long long lo, long long hi) {
    if (!has(key)) return;
    const Json& v = body_.at(key);
    long long value = 0;
    bool ok = false;
    if (v.is_number_integer()) {
      if (v.is_number_unsigned() && v.get<unsigned long long>() > static_cast<unsigned long long>(hi)) {
        value = hi + 1;  // out of range below
      } else {
        value = v.get<long long>();
      }
      ok = true;
    } else if (v.is_string()) {
      std::string s = v.get<std::string>();
      std::size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
      if (a != std::string::npos) {
        const char* first = s.data() + a;
        const char* last = s.data() + b + 1;
        if (*first == '+') ++first;
        auto [end, ec] = std::from_chars(first, last, value);
        if (ec == std::errc::result_out_of_range) value = hi + 1, ok = true;
        else ok = ec == std::errc() && end == last;
      }
    } else if (!v.is_number()) {
      refuse(badRequest(std::string("\"") + key + "\" must be a number."));
    }
    if (!ok) fail(key, "Please enter an integer.");
    if (value < lo || value > hi)
      fail(key, "Please enter an integer between " + std::to_string(lo) + " and " + std::to_string(hi) + ".");
    into = static_cast<T>(value);
  }

  void flag(const char* key, bool& into) {
    if (!has(key)) return;
    const Json& v = body_.at(key);
    if (v.is_boolean()) into = v.get<bool>();
    else if (v.is_number_integer() && (v.get<long long>() == 0 || v.get<long long>() == 1)) into = v.get<long long>();
    else refuse(badRequest(std::string("\"") + key + "\" must be true or false."));
  }

  // An id the request must carry (a domain, a group).
  std::int64_t requiredId(const char* key) {
    std::int64_t id = -1;
    if (has(key)) {
      const Json& v = body_.at(key);
      if (v.is_number_integer() && !v.is_number_unsigned()) id = v.get<std::int64_t>();
      else if (v.is_number_unsigned() && v.get<std::uint64_t>() <= kMaxCounter) id = v.get<std::int64_t>();
    }
    if (id < 0) refuse(badRequest(std::string("\"") + key + "\" must name a row by its id."));
    return id;
  }

  [[noreturn]] void fail(const char* key, const std::string& text) {
    ApiResponse r = message(text, "exclamation", 422);
    r.body["page"] = page_;
    r.body["field"] = key;
    refuse(std::move(r));
  }

 private:
  const Json& body_;
  std::string page_;
};

inline AccountWindow windowOf(const ApiRequest& req) {
  std::string view = req.text("view", "list");
  if (view == "domains") return AccountWindow::Domains;
  if (view == "list" || view == "users" || view == "groups") return AccountWindow::List;
  refuse(badRequest("\"view\" is \"domains\", \"users\" or \"groups\"."));
}

inline store::Confirmation confirmation(const ApiRequest& req) {
  auto answer = req.answer(0);
  if (!answer) return std::nullopt;
  std::string a = lower(*answer);
  return a == "yes" || a == "ok";
}

inline Json messagesJson(const std::vector<DialogMessage>& messages) {
  Json list = Json::array();
  for (const auto& m : messages) list.push_back({{"text", m.text}, {"icon", m.icon}, {"buttons", m.buttons}});
  return list;
}

// An outcome as the console's answer; what is the operation's subject ("domain",
// "group", "user") and action name the event every console receives.
inline ApiResponse answerOutcome(const AccountAnswer& out, ConsoleContext& ctx, const char* what, const char* action) {
  if (!out.badInput.empty()) return out.missing ? notFound(out.badInput) : badRequest(out.badInput);
  if (out.question) {
    ApiResponse r = question(out.question->text, out.question->buttons, out.question->icon, 0);
    if (!out.question->defaultButton.empty()) r.body["question"]["default"] = out.question->defaultButton;
    return r;
  }
  if (!out.changed && !out.messages.empty()) {
    const auto& first = out.messages.front();
    ApiResponse r = message(first.text, first.icon, 409, first.buttons);
    r.body["messages"] = messagesJson(out.messages);
    return r;
  }
  Json body = {{"changed", out.changed}, {"messages", messagesJson(out.messages)}, {"removed", out.removed}};
  if (out.id) body["id"] = out.id;
  if (out.changed) {
    Json ids = out.removed.empty() ? Json::array({out.id}) : Json(out.removed);
    ctx.events.publish("frame", "accounts", {{"what", what}, {"action", action}, {"ids", ids}});
  }
  return ok(body);
}

inline ApiResponse answerOutcome(const AccountOutcome& out, ConsoleContext& ctx, const char* what, const char* action) {
  return answerOutcome(dialogAnswer(out), ctx, what, action);
}

inline std::vector<std::int64_t> idList(const ApiRequest& req) {
  if (!req.body.contains("ids") || !req.body.at("ids").is_array())
    refuse(badRequest("\"ids\" must list the selected rows."));
  std::vector<std::int64_t> ids;
  for (const Json& v : req.body.at("ids")) {
    if (!v.is_number_integer()) refuse(badRequest("\"ids\" must list the selected rows."));
    ids.push_back(v.get<std::int64_t>());
  }
  return ids;
}

inline std::optional<std::int64_t> queryId(const ApiRequest& req, const char* key) {
  std::string text = req.text(key);
  if (text.empty()) return std::nullopt;
  std::int64_t id = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (ec != std::errc() || end != text.data() + text.size()) refuse(badRequest(std::string("\"") + key + "\" must be an id."));
  return id;
}

// --- lookups ------------------------------------------------------------------

inline std::string domainName(Database& db, std::int64_t id) {
  auto home = store::domainById(db, id);
  return home ? home->name : "";
}

inline Json groupChoices(Database& db, std::int64_t domainId) {
  Json list = Json::array();
  for (const auto& g : store::groupsOfDomain(db, domainId))
    list.push_back({{"id", g.id}, {"name", g.name}, {"comment", g.comment}});
  return list;
}

using AccountHandler = std::function<ApiResponse(const ApiRequest&, ConsoleContext&, Database&)>;

inline store::HomeRecord loadDomain(Database& db, std::int64_t id) {
  auto home = store::domainById(db, id);
  if (!home) refuse(notFound("No such domain."));
  return *home;
}

inline Handler guarded(AccountHandler handler) {
  return [handler = std::move(handler)](const ApiRequest& req, ConsoleContext& ctx) -> ApiResponse {
    Database* db = ctx.database;
    if (!db) return databaseMissing();
    try {
      return handler(req, ctx, *db);
    } catch (const Refusal& r) {
      return r.response;
    }
  };
}

void registerDomainRoutes(ApiRoutes& routes);

}  // namespace kestrel::console::accounts

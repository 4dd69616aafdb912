#include "store/db/dialect.h"

#include <cctype>

#include "store/db/database.h"

namespace kestrel::store {

namespace {

bool isWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Copies a '...' literal (with doubled quotes) starting at i; returns the index after it.
std::size_t copyLiteral(std::string_view sql, std::size_t i, std::string& out) {
  out += sql[i++];
  while (i < sql.size()) {
    char c = sql[i++];
    out += c;
    if (c == '\'') {
      if (i < sql.size() && sql[i] == '\'') {
        out += sql[i++];
        continue;
      }
      break;
    }
  }
  return i;
}

}  // namespace

std::string rewriteForEngine(std::string_view sql, Engine) {
  // Both engines take the same rewrite: names are stored in lower case, so a
  // quoted name is lower-cased too; booleans are stored as 0/1.
  std::string out;
  out.reserve(sql.size() + 16);
  std::size_t i = 0;
  bool expectStar = false;  // just saw DELETE
  while (i < sql.size()) {
    char c = sql[i];
    if (c == '\'') {
      i = copyLiteral(sql, i, out);
      expectStar = false;
      continue;
    }
    if (c == '`' || c == '[' || c == '"') {
      char close = c == '[' ? ']' : c;
      std::size_t end = sql.find(close, i + 1);
      if (end == std::string_view::npos) end = sql.size();
      out += '"';
      out += lower(sql.substr(i + 1, end - i - 1));
      out += '"';
      i = end < sql.size() ? end + 1 : end;
      expectStar = false;
      continue;
    }
    if (isWordChar(c)) {
      std::size_t start = i;
      while (i < sql.size() && isWordChar(sql[i])) ++i;
      std::string word = lower(sql.substr(start, i - start));
      bool qualified = (start > 0 && sql[start - 1] == '.') || (i < sql.size() && sql[i] == '.');
      if (!qualified && word == "yes") out += '1';
      else if (!qualified && word == "no") out += '0';
      else out.append(sql.substr(start, i - start));
      expectStar = word == "delete";
      continue;
    }
    if (c == '*' && expectStar) {
      // "delete * from": the star is dropped.
      ++i;
      while (i < sql.size() && sql[i] == ' ') ++i;
      expectStar = false;
      continue;
    }
    if (!std::isspace(static_cast<unsigned char>(c))) expectStar = false;
    out += c;
    ++i;
  }
  return out;
}

std::string applyAliases(std::string_view sql, const std::map<std::string, std::string>& aliases) {
  if (aliases.empty()) return std::string(sql);
  std::string out;
  std::size_t i = 0;
  while (i < sql.size()) {
    char c = sql[i];
    if (c == '\'') {
      i = copyLiteral(sql, i, out);
      continue;
    }
    if (isWordChar(c) || c == '[' || c == '`') {
      // Collect a chain of names joined by dots, each plain, [bracketed] or `quoted`.
      std::size_t start = i;
      std::string key;
      for (;;) {
        if (i < sql.size() && (sql[i] == '[' || sql[i] == '`')) {
          char close = sql[i] == '[' ? ']' : '`';
          std::size_t end = sql.find(close, i + 1);
          if (end == std::string_view::npos) {
            i = sql.size();
            break;
          }
          key += lower(sql.substr(i + 1, end - i - 1));
          i = end + 1;
        } else {
          std::size_t w = i;
          while (i < sql.size() && isWordChar(sql[i])) ++i;
          key += lower(sql.substr(w, i - w));
        }
        if (i + 1 < sql.size() && sql[i] == '.' &&
            (isWordChar(sql[i + 1]) || sql[i + 1] == '[' || sql[i + 1] == '`')) {
          key += '.';
          ++i;
          continue;
        }
        break;
      }
      auto it = aliases.find(key);
      if (it != aliases.end()) out += it->second;
      else out.append(sql.substr(start, i - start));
      continue;
    }
    out += c;
    ++i;
  }
  return out;
}

}  // namespace kestrel::store

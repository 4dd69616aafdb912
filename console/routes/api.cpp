#include "console/routes/api.h"

#include <charconv>

namespace kestrel::console {

std::string ApiRequest::text(const std::string& name, const std::string& fallback) const {
  if (body.is_object()) {
    auto it = body.find(name);
    if (it != body.end() && !it->is_null()) {
      if (it->is_string()) return it->get<std::string>();
      if (it->is_boolean()) return it->get<bool>() ? "1" : "0";
      return it->dump();
    }
  }
  auto q = query.find(name);
  return q == query.end() ? fallback : q->second;
}

std::optional<long long> ApiRequest::integer(const std::string& name) const {
  if (body.is_object()) {
    auto it = body.find(name);
    if (it != body.end()) {
      if (it->is_number_integer()) return it->get<long long>();
      if (it->is_boolean()) return it->get<bool>() ? 1 : 0;
      if (!it->is_string()) return std::nullopt;
    }
  }
  std::string value = text(name, "");
  if (value.empty()) return std::nullopt;
  long long result = 0;
  auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), result);
  if (error != std::errc() || end != value.data() + value.size()) return std::nullopt;
  return result;
}

bool ApiRequest::flag(const std::string& name, bool fallback) const {
  std::string value = text(name, "");
  if (value.empty()) return fallback;
  return value == "1" || value == "true" || value == "yes";
}

std::optional<std::string> ApiRequest::answer(std::size_t index) const {
  if (body.is_object()) {
    auto answers = body.find("answers");
    if (answers != body.end() && answers->is_array() && index < answers->size() && (*answers)[index].is_string())
      return (*answers)[index].get<std::string>();
    auto single = body.find("answer");
    if (index == 0 && single != body.end() && single->is_string()) return single->get<std::string>();
  }
  return std::nullopt;
}

ApiResponse ok(Json body) {
  ApiResponse response;
  response.body = std::move(body);
  return response;
}

ApiResponse question(const std::string& text, std::vector<std::string> buttons, const std::string& icon,
                     std::size_t index) {
  ApiResponse response;
  response.status = 409;
  response.body = {{"question", {{"text", text}, {"buttons", buttons}, {"icon", icon}, {"index", index}}}};
  return response;
}

ApiResponse message(const std::string& text, const std::string& icon, int status, std::vector<std::string> buttons) {
  ApiResponse response;
  response.status = status;
  response.body = {{"message", {{"text", text}, {"buttons", buttons}, {"icon", icon}}}};
  return response;
}

std::size_t characterCount(const std::string& text) {
  std::size_t count = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++count;
  return count;
}

ApiResponse badRequest(const std::string& text) {
  ApiResponse response;
  response.status = 400;
  response.body = {{"error", text}};
  return response;
}

ApiResponse notFound(const std::string& text) {
  ApiResponse response;
  response.status = 404;
  response.body = {{"error", text}};
  return response;
}

ApiResponse textResponse(std::string text, std::string fileName) {
  ApiResponse response;
  response.text = std::move(text);
  response.fileName = std::move(fileName);
  return response;
}

ApiResponse databaseMissing() { return message("Missing or invalid database", "stop", 503); }

}  // namespace kestrel::console

// Statements and filters are written one way throughout the program:
// back-quoted or bracketed names, the words yes/no for booleans,
// "delete * from". This rewrites them for the engine in use, never touching
// the inside of a string literal.
#pragma once
#include <map>
#include <string>
#include <string_view>

namespace kestrel::store {

enum class Engine;

std::string rewriteForEngine(std::string_view sql, Engine engine);

// Replaces whole identifier chains (such as files.name or [Files].[Name],
// compared without regard to case) by the given text, outside literals.
// Record sets over views use it to reach the views' qualified column names.
std::string applyAliases(std::string_view sql, const std::map<std::string, std::string>& aliases);

}  // namespace kestrel::store

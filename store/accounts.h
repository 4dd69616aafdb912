// Rules that keep domains, groups and users whole.
#pragma once
#include <cstdint>
#include <string>

#include "store/database.h"

namespace kestrel::store {

// Creates the domain with its members when no domain of that name exists.
bool ensureDomain(Database& db, const std::string& name);
// Creates the "system" group and the "anonymous" user with its root where missing.
void ensureDomainMembers(Database& db, std::int64_t domainId);
// Adds a user's root directory row and returns its id.
std::int64_t createRootDirectory(Database& db, std::int64_t domainId, std::int64_t groupId, std::int64_t userId,
                                 bool otherAccess);
// Lower case, then the leading run of [a-z0-9_].
std::string normaliseName(const std::string& name);

}  // namespace kestrel::store

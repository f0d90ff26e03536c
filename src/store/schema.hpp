// The store's tables and how an older file is brought up to date. The schema version is
// the file's user_version; each migration takes a file from the version before it to its
// own, and a new version is one more entry at the end of the list.
#pragma once

#include <span>

#include "store/sqlite.hpp"

namespace selvarn::store::schema {

struct Migration {
  int version;
  const char* sql;
};

// Marks the file as ours (PRAGMA application_id): "SELV".
inline constexpr int kApplicationId = 0x53454C56;

// The migrations of this version of the program, oldest first.
std::span<const Migration> Migrations();

// steps is never empty. Refuses (75) a file of another program and one whose version is newer than
// the last step, writing nothing: run before anything that could change the file.
void Check(sql::Database& db, std::span<const Migration> steps);

// As Check, and refuses a file below the last version too: for a reader that may not
// bring it up to date.
void CheckCurrent(sql::Database& db, std::span<const Migration> steps);

// Brings the file up to the last version in steps, all in one transaction: a failing
// step leaves the file as it was. Refuses what Check refuses.
void Migrate(sql::Database& db, std::span<const Migration> steps);

}  // namespace selvarn::store::schema

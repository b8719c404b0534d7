// The database's structure against what a run makes: the database's dialect
// and page size, the eighteen tables (and no other user object), each
// column's definition, the primary keys and the ten indexes with their
// state. The expected side is the builder's table and index definitions.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "firebird/ib.h"
#include "verify/verify.h"

namespace qv::verify {

struct Structure {
  std::vector<Difference> differences;
  // The columns each user table of the database has (upper case).
  std::map<std::string, std::set<std::string>> columns;
};

// Reads the database's catalogue through `db` (connected).
Structure compare_structure(fb::IBDatabase& db);

}  // namespace qv::verify

// Creation of the destination database, its tables and its indexes, logged
// to the run's status log.
#pragma once

#include <string>
#include <string_view>

#include "run/context.h"

namespace qv::builder {

// Removes an earlier database of the name `dbname` (unless something else
// has it open), then creates the database, every table of the schema in
// order, and the indexes. False when the database was not created (the
// log says why).
bool create_database(RunContext& run, const std::string& dbname);
// Creates the table `name` of the schema ("CARRIER_4").
void create_table(RunContext& run, std::string_view name);
// Creates every index of the schema.
void create_indexes(RunContext& run);

}  // namespace qv::builder

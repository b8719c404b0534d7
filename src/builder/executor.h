// Runs one DDL statement through the data module's statement component, in a
// transaction of its own that is committed at once.
#pragma once

#include <string>
#include <vector>

#include "run/context.h"

namespace qv::builder {

// Logs `log_line` to the run's log, then sends `lines` as one statement
// through IBSQL1 on IBDatabase2 and commits IBTransaction1. Errors of the
// engine pass through.
void execute_statement(RunContext& run, const std::string& log_line, const std::vector<std::string>& lines);

}  // namespace qv::builder

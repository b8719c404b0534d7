// The login of a run on a database server, as Firebird's own tools take it:
// ISC_USER and ISC_PASSWORD from the environment, else asked on the
// terminal (the password without echo). Never from the command line.
#pragma once

#include <optional>
#include <string>

#include "datamodule/datamodule.h"

namespace qv::cli {

// The destination for --server HOST[/PORT] --server-dir DIR --wire-crypt
// (required, enabled or disabled); nullopt after a refusal said on stderr.
std::optional<ServerDestination> server_destination(const std::string& host, const std::string& directory,
                                                    const std::string& wire_crypt);

// Turns the terminal's echo back on when a password prompt turned it off.
// Safe in a signal handler.
void restore_terminal();

}  // namespace qv::cli

// Destination database client layer: connection, transaction, statement and
// table, on a Firebird 3 engine running embedded in this process (SQL dialect
// 1, character set NONE). Text is UTF-8 in the program and reaches the
// database as Windows-1252 bytes. Each object has a header of its own; the
// rest of the program includes them all through this one.
#pragma once

#include "firebird/error.h"
#include "firebird/database.h"
#include "firebird/transaction.h"
#include "firebird/statement.h"
#include "firebird/table.h"
#include "firebird/typed_reader.h"
#include "firebird/engine_process.h"

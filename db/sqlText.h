#pragma once

#include "sqlDataStruct.h"

#include <string>

// Pieces of SQL text built from names and values. Doubling the quote
// character keeps a name or value inside its quotes, so operator input can
// never end a literal and append a statement; texts without quotes come out
// unchanged.
namespace sqlText {

std::string doubled(const std::string &text, char quote);
// "name", for a name that may hold anything.
std::string quotedIdentifier(const std::string &name);
// 'value', for a text value or a table name that SQLite reads as one.
std::string quotedLiteral(const std::string &value);
// A column name bare when it is a plain identifier, quoted otherwise.
std::string columnIdentifier(const std::string &name);
// An item as a value: its double when set, else its int when set, else its
// text quoted.
std::string itemValue(const ColumnItem &item);

} // namespace sqlText

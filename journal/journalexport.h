#pragma once

#include "journalreader.h"

#include <cstdint>
#include <string>

namespace vyxjournal {

enum class ExportFormat { Csv, Json };

// Writes every record that `filter` selects, newest first, into `path`: one record at a time, so
// a journal of any length is exported whole. The file is written beside the target for its owner
// only and renamed over it at the end, so a failed export leaves no half file. The number of
// records written, or -1 with the reason in error.
//
// CSV: one header line, every cell quoted; a cell that a spreadsheet would read as a formula
// (starting with = + - @, tab or carriage return) gets a leading '. JSON: an array of the records
// with the members the Journal view reads.
int64_t exportJournal(Reader &reader, const Filter &filter, ExportFormat format, const std::string &path,
                      std::string &error);

// One CSV cell as written above.
std::string csvCell(const std::string &text);

} // namespace vyxjournal

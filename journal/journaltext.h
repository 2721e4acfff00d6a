#pragma once

#include <string>
#include <utility>
#include <vector>

// What a journal record may hold of the texts it is given: the same rules for every program that
// writes the journal.
namespace vyxjournal {

using Arguments = std::vector<std::pair<std::string, std::string>>;

// Cut at kMaxTextLength bytes, never inside a UTF-8 sequence, with a mark saying how much went.
std::string cutText(const std::string &text);
// True for an argument name that is never written (secrets and file contents), in any case.
bool isWithheld(const std::string &name);
// The arguments as written: a JSON object text without withheld names (at every depth) and with
// long strings cut. "{}" when the text is not a JSON object.
std::string cleanArguments(const std::string &jsonObject);
// Name and value pairs as a JSON object text (not cleaned yet).
std::string argumentsJson(const Arguments &arguments);

} // namespace vyxjournal

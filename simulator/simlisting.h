#pragma once
// "ls -l" answers in the long format of GNU ls (C locale), computed from the sandbox, so that
// clients meet the text a real server's ls prints.
#include "simsandbox.h"

#include <ctime>
#include <string>

// clientPath "" or "." is the top of the file tree; a file gives its one line. showAll adds the
// entries whose names start with a dot, and "." and "..". now decides between the clock time
// (files of the last six months) and the year.
SimResult simLongListing(const SimSandbox &sandbox, const std::string &clientPath, bool showAll,
                         std::time_t now);

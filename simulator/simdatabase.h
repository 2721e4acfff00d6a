#pragma once
// The configuration database the simulator starts with when its sandbox has none: an SQLite file,
// as a real server keeps, filled with deterministic rows to the size asked for.
#include <cstdint>
#include <string>

// Writes it at `path` (replacing nothing: written aside, then renamed), `size` bytes rounded down
// to whole pages of 4096 bytes and never below two pages. False with the reason in error.
bool simWriteInitialDatabase(const std::string &path, uint32_t size, std::string &error);

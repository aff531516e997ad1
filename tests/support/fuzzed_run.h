#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Checks shared by the fuzzers and the seeded property tests. Each takes an
// arbitrary byte string, turns it into a command line (and, for a run, a
// firmware whose every reply comes from the bytes), runs the real code and
// returns a description of the first broken rule, or "" when all held.

// The command line alone through ParseCommand.
std::string CheckCommandLine(const std::uint8_t* data, std::size_t size);

// A whole RunCommand over a firmware that says whatever the bytes say.
std::string CheckRun(const std::uint8_t* data, std::size_t size);

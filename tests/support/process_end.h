#pragma once

#include <functional>
#include <string>
#include <vector>

// Thrown by the tests' EndProcess, so a test sees the status of a run that
// would have ended the process.
struct ProcessEnded {
    int status;
};

// What a piece of code printed and the status it ended with.
struct Outcome {
    int status;
    std::vector<std::string> lines;
};

// Runs body with standard output captured. The status is body's result, or
// the status passed to EndProcess if it ended the process.
Outcome Capture(const std::function<int()>& body);

// The exact lines of the usage exit with the given status, final empty line
// included.
std::vector<std::string> UsageExitLines(int status);

#include "tests/support/process_end.h"

#include <iostream>
#include <sstream>

#include "cli/end_process.h"

void EndProcess(int status)
{
    std::cout.flush();
    throw ProcessEnded{status};
}

namespace {

// Puts std::cout back even when the body throws.
class CoutRedirect {
public:
    explicit CoutRedirect(std::streambuf* target) : saved_(std::cout.rdbuf(target)) {}
    ~CoutRedirect() { std::cout.rdbuf(saved_); }
    CoutRedirect(const CoutRedirect&) = delete;
    CoutRedirect& operator=(const CoutRedirect&) = delete;

private:
    std::streambuf* saved_;
};

}  // namespace

Outcome Capture(const std::function<int()>& body)
{
    std::ostringstream text;
    Outcome outcome{0, {}};
    {
        CoutRedirect redirect(text.rdbuf());
        try {
            outcome.status = body();
        } catch (const ProcessEnded& ended) {
            outcome.status = ended.status;
        }
    }
    std::istringstream lines(text.str());
    for (std::string line; std::getline(lines, line);) {
        outcome.lines.push_back(line);
    }
    return outcome;
}

std::vector<std::string> UsageExitLines(int status)
{
    return {
        "====================",
        "Tralvane_V1.01",
        "====================",
        "Vorlix.exe <-Command> <...>",
        "-set <n>: Setting battery stop charging value to 80 or 100",
        "-get : Getting battery stop charging value",
        "Example: ",
        "  Vorlix.exe -set 80",
        "  Vorlix.exe -set 100",
        "  Vorlix.exe -get ",
        "Return_Code =" + std::to_string(status),
        "",
    };
}

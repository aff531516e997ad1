#pragma once

#include <cstdint>
#include <string>

// The argument count (program name included) and the wide argument strings,
// exactly as the wide entry point receives them.
struct CommandArgs {
    int count;
    const wchar_t* const* strings;
};

enum class CommandKind { None, Set, Get };

struct Command {
    CommandKind kind;
    std::uint8_t stopValue;  // 100 or 80 for a set command
};

// The last command ParseCommand accepted; the success line depends on it.
extern Command lastCommand;

// Returns a set command with 100 or 80, or a get command; anything else ends
// the process through ExitWithUsage(EXIT_USAGE).
Command ParseCommand(const CommandArgs& args);

void PrintUsage();

// Prints the usage, "Return_Code =<code>" and an empty line, then ends the
// process with that status.
[[noreturn]] void ExitWithUsage(int code);

// Leading white space, an optional sign, then decimal digits up to the first
// non-digit; no digits gives 0. Out-of-range values saturate to the limits of
// int, so no long digit string can wrap around to a valid value.
int ReadDecimal(const wchar_t* text);

// The command word as narrow text with A-Z lowered. Anything outside ASCII
// becomes '?', so no look-alike character can turn into an ASCII letter.
std::string NarrowCommandWord(const wchar_t* text);

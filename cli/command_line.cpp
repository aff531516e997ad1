#include "cli/command_line.h"

#include <climits>
#include <iostream>

#include "cli/end_process.h"
#include "cli/exit_codes.h"

Command lastCommand{CommandKind::None, 0};

namespace {

// From the project version, the one place it is written; printed as a number.
constexpr double VERSION = VORLIX_VERSION;

bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

bool IsDigit(wchar_t c)
{
    return c >= L'0' && c <= L'9';
}

}  // namespace

int ReadDecimal(const wchar_t* text)
{
    if (text == nullptr) {
        return 0;
    }
    const wchar_t* p = text;
    while (IsBlank(*p)) {
        ++p;
    }
    bool negative = false;
    if (*p == L'+' || *p == L'-') {
        negative = *p == L'-';
        ++p;
    }
    // Stop accumulating once past the range of int: the value saturates
    // there, and the magnitude can never overflow.
    constexpr long long LIMIT = static_cast<long long>(INT_MAX) + 1;
    long long magnitude = 0;
    for (; IsDigit(*p); ++p) {
        if (magnitude <= LIMIT) {
            magnitude = magnitude * 10 + (*p - L'0');
        }
    }
    if (negative) {
        return magnitude >= LIMIT ? INT_MIN : static_cast<int>(-magnitude);
    }
    return magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
}

std::string NarrowCommandWord(const wchar_t* text)
{
    std::string word;
    for (const wchar_t* p = text; p != nullptr && *p != L'\0'; ++p) {
        const wchar_t c = *p;
        if (c >= L'A' && c <= L'Z') {
            word += static_cast<char>(c - L'A' + 'a');
        } else if (static_cast<std::uint32_t>(c) < 0x80) {
            word += static_cast<char>(c);
        } else {
            word += '?';
        }
    }
    return word;
}

Command ParseCommand(const CommandArgs& args)
{
    if (args.count < 2) {
        ExitWithUsage(EXIT_USAGE);
    }
    const std::string word = NarrowCommandWord(args.strings[1]);
    if (word == "-set" && args.count == 3) {
        const int value = ReadDecimal(args.strings[2]);
        if (value != 100 && value != 80) {
            ExitWithUsage(EXIT_USAGE);
        }
        lastCommand = Command{CommandKind::Set, static_cast<std::uint8_t>(value)};
        return lastCommand;
    }
    if (word == "-get" && args.count == 2) {
        lastCommand = Command{CommandKind::Get, 0};
        return lastCommand;
    }
    ExitWithUsage(EXIT_USAGE);
}

void PrintUsage()
{
    std::cout << "====================" << std::endl;
    std::cout << "Tralvane_V" << VERSION << std::endl;
    std::cout << "====================" << std::endl;
    std::cout << "Vorlix.exe <-Command> <...>" << std::endl;
    std::cout << "-set <n>: Setting battery stop charging value to 80 or 100" << std::endl;
    std::cout << "-get : Getting battery stop charging value" << std::endl;
    std::cout << "Example: " << std::endl;
    std::cout << "  Vorlix.exe -set 80" << std::endl;
    std::cout << "  Vorlix.exe -set 100" << std::endl;
    std::cout << "  Vorlix.exe -get " << std::endl;
}

void ExitWithUsage(int code)
{
    PrintUsage();
    std::cout << "Return_Code =" << code << std::endl;
    std::cout << std::endl;
    EndProcess(code);
}

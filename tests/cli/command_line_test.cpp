#include "cli/command_line.h"

#include <climits>

#include <gtest/gtest.h>

#include "cli/exit_codes.h"
#include "tests/support/fuzzed_run.h"
#include "tests/support/generated_inputs.h"
#include "tests/support/process_end.h"
#include "tests/support/scripted_firmware.h"

namespace {

TEST(ReadDecimal, ReadsLikeTheCLibraryAndSaturates)
{
    const struct {
        const wchar_t* text;
        int value;
    } cases[] = {
        {L"80", 80},
        {L"0100", 100},
        {L" \t\n\v\f\r80", 80},
        {L"+80", 80},
        {L"-80", -80},
        {L"80%", 80},
        {L"8 0", 8},
        {L"- 80", 0},
        {L"abc", 0},
        {L"", 0},
        {L"2147483647", INT_MAX},
        {L"2147483648", INT_MAX},
        {L"-2147483648", INT_MIN},
        {L"-2147483649", INT_MIN},
        // Would wrap to 80 and 100 in 32-bit arithmetic.
        {L"4294967376", INT_MAX},
        {L"-4294967216", INT_MIN},
        {L"99999999999999999999999999999999999999980", INT_MAX},
        {L"\x0660\x0668", 0},  // digits of another script are not digits
        {nullptr, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ReadDecimal(c.text), c.value) << (c.text ? "" : "(null)");
    }
}

TEST(NarrowCommandWord, LowersOnlyAsciiAndNeverMakesAsciiFromOtherCharacters)
{
    const struct {
        const wchar_t* text;
        const char* word;
    } cases[] = {
        {L"-SET", "-set"},
        {L"-GeT", "-get"},
        {L"-set\x00C9", "-set?"},
        {L"\xFF0D\xFF53\xFF45\xFF54", "????"},  // fullwidth "-set"
        {L"-s\x0435t", "-s?t"},                   // Cyrillic small ie
        {L"-\x212A", "-?"},                       // Kelvin sign lowers to k elsewhere
        {L"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NarrowCommandWord(c.text), c.word);
    }
}

TEST(ParseCommand, AcceptsTheValidForms)
{
    const struct {
        std::vector<std::wstring> words;
        CommandKind kind;
        int stopValue;
    } cases[] = {
        {{L"-set", L"80"}, CommandKind::Set, 80},
        {{L"-set", L"100"}, CommandKind::Set, 100},
        {{L"-SET", L"80"}, CommandKind::Set, 80},
        {{L"-Set", L"0100"}, CommandKind::Set, 100},
        {{L"-set", L"80%"}, CommandKind::Set, 80},
        {{L"-set", L"+80"}, CommandKind::Set, 80},
        {{L"-set", L" 100"}, CommandKind::Set, 100},
        {{L"-get"}, CommandKind::Get, 0},
        {{L"-Get"}, CommandKind::Get, 0},
        {{L"-GET"}, CommandKind::Get, 0},
    };
    for (const auto& c : cases) {
        const Args args(c.words);
        Command command{CommandKind::None, 0};
        const Outcome outcome = Capture([&] {
            command = ParseCommand(args.get());
            return 0;
        });
        EXPECT_EQ(outcome.status, 0) << testing::PrintToString(c.words);
        EXPECT_TRUE(outcome.lines.empty()) << testing::PrintToString(c.words);
        EXPECT_EQ(command.kind, c.kind) << testing::PrintToString(c.words);
        if (c.kind == CommandKind::Set) {
            EXPECT_EQ(command.stopValue, c.stopValue) << testing::PrintToString(c.words);
        }
        EXPECT_EQ(lastCommand.kind, c.kind);
    }
}

TEST(ParseCommand, EveryOtherFormEndsWithTheUsageExit)
{
    const std::vector<std::vector<std::wstring>> cases = {
        {},
        {L"-set"},
        {L"-set", L"85"},
        {L"-set", L"90"},
        {L"-set", L"abc"},
        {L"-set", L"-80"},
        {L"-set", L""},
        {L"-set", L"4294967376"},
        {L"-set", L"-4294967216"},
        {L"-set", L"80", L"now"},
        {L"-get", L"now"},
        {L"-get", L"80"},
        {L" -set", L"80"},
        {L"-set ", L"80"},
        {L"set", L"80"},
        {L"/set", L"80"},
        {L"\xFF0D\xFF53\xFF45\xFF54", L"80"},
        {L"-g\x0435t"},
        {L"80"},
        {L""},
    };
    for (const auto& words : cases) {
        const Args args(words);
        const Outcome outcome = Capture([&] {
            ParseCommand(args.get());
            return 0;
        });
        EXPECT_EQ(outcome.status, EXIT_USAGE) << testing::PrintToString(words);
        EXPECT_EQ(outcome.lines, UsageExitLines(EXIT_USAGE)) << testing::PrintToString(words);
    }
}

TEST(ExitWithUsage, PrintsTheUsageTheCodeAndAnEmptyLine)
{
    for (const int code : {EXIT_USAGE, 7}) {
        const Outcome outcome = Capture([&]() -> int { ExitWithUsage(code); });
        EXPECT_EQ(outcome.status, code);
        EXPECT_EQ(outcome.lines, UsageExitLines(code));
    }
}

}  // namespace

namespace {

TEST(ParseCommand, AgreesWithTheRulesOnGeneratedCommandLines)
{
    EXPECT_EQ(CheckGeneratedInputs(CheckCommandLine, 20000, 1, 64), "");
}

}  // namespace

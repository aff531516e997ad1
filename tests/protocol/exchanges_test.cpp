#include <map>

#include <gtest/gtest.h>

#include "cli/exit_codes.h"
#include "protocol/protocol.h"
#include "tests/support/process_end.h"
#include "tests/support/scripted_firmware.h"

namespace {

// A whole request image from its non-zero bytes.
MailboxBuffer Image(const std::map<std::size_t, std::uint8_t>& bytes)
{
    MailboxBuffer image{};
    for (const auto& [offset, value] : bytes) {
        image[offset] = value;
    }
    return image;
}

const MailboxBuffer READ_REQUEST =
    Image({{0, 0x30}, {2, 0x01}, {4, 0x0E}, {8, 0x80}, {9, 0x06}, {10, 0x29}});

MailboxBuffer SetRequest(std::uint8_t companion, std::uint8_t stopValue)
{
    return Image({{0, 0x65}, {2, 0x04}, {8, 0x01}, {9, companion}, {10, stopValue}, {11, 0xAA}});
}

// A busy reply that also scribbles over the bytes the requests carry, so a
// request that is not rebuilt from scratch shows up.
const Reply SCRIBBLED_BUSY{0x01, 0xEE, 0xEE};

TEST(ExchangeReadStopValue, SendsTheReadRequestUntilCompleted)
{
    ScriptedFirmware firmware({SCRIBBLED_BUSY, SCRIBBLED_BUSY, Done(80)});
    ASSERT_TRUE(ExchangeReadStopValue(firmware));
    EXPECT_EQ(firmware.operations, "WIRWIRWIR");
    EXPECT_EQ(firmware.requests, std::vector<MailboxBuffer>(3, READ_REQUEST));
    EXPECT_EQ(mailboxBuffer[OFFSET_REPORTED_VALUE], 80);
}

TEST(ExchangeReadStopValue, GivesUpAfterTheLastAllowedAttempt)
{
    ScriptedFirmware firmware({SCRIBBLED_BUSY});
    EXPECT_FALSE(ExchangeReadStopValue(firmware));
    EXPECT_EQ(firmware.requests, std::vector<MailboxBuffer>(MAX_EXCHANGE_ATTEMPTS, READ_REQUEST));

    // Completing on the very last attempt still counts.
    std::vector<Reply> lastChance(MAX_EXCHANGE_ATTEMPTS - 1, SCRIBBLED_BUSY);
    lastChance.push_back(Done(100));
    ScriptedFirmware lateFirmware(lastChance);
    EXPECT_TRUE(ExchangeReadStopValue(lateFirmware));
    EXPECT_EQ(lateFirmware.requests.size(), static_cast<std::size_t>(MAX_EXCHANGE_ATTEMPTS));
}

TEST(ExchangeReadStopValue, TreatsAnEmptyReadAsNotCompleted)
{
    // A mailbox whose reads obtain nothing leaves the buffer zeroed.
    ScriptedFirmware firmware({});
    EXPECT_FALSE(ExchangeReadStopValue(firmware));
    EXPECT_EQ(firmware.requests.size(), static_cast<std::size_t>(MAX_EXCHANGE_ATTEMPTS));
}

TEST(ExchangeSetStopValue, BuildsTheSetRequestForEachCommand)
{
    const struct {
        std::vector<std::wstring> words;
        std::uint8_t currentStopValue;
        MailboxBuffer request;
    } cases[] = {
        {{L"-set", L"80"}, 100, SetRequest(0x4B, 80)},
        {{L"-set", L"100"}, 80, SetRequest(0x5F, 100)},
        // A get writes back what the machine reports.
        {{L"-get"}, 100, SetRequest(0x5F, 100)},
        {{L"-get"}, 80, SetRequest(0x4B, 80)},
        {{L"-get"}, 0, SetRequest(0x00, 0)},
        {{L"-get"}, 7, SetRequest(0x00, 7)},
    };
    for (const auto& c : cases) {
        currentStopValue = c.currentStopValue;
        ScriptedFirmware firmware({SCRIBBLED_BUSY, Done(c.request[OFFSET_STOP_VALUE])});
        const Args args(c.words);
        ASSERT_TRUE(ExchangeSetStopValue(firmware, args.get()));
        EXPECT_EQ(firmware.requests, std::vector<MailboxBuffer>(2, c.request))
            << testing::PrintToString(c.words) << " with current value " << int{c.currentStopValue};
    }
}

TEST(ExchangeSetStopValue, GivesUpAfterTheLastAllowedAttempt)
{
    ScriptedFirmware firmware({SCRIBBLED_BUSY});
    const Args args({L"-set", L"100"});
    EXPECT_FALSE(ExchangeSetStopValue(firmware, args.get()));
    EXPECT_EQ(firmware.requests, std::vector<MailboxBuffer>(MAX_EXCHANGE_ATTEMPTS, SetRequest(0x5F, 100)));
}

TEST(ExchangeSetStopValue, EndsWithTheUsageExitBeforeSendingABadCommand)
{
    ScriptedFirmware firmware({Done(80)});
    const Args args({L"-set", L"85"});
    const Outcome outcome = Capture([&] { return ExchangeSetStopValue(firmware, args.get()) ? 0 : -1; });
    EXPECT_EQ(outcome.status, EXIT_USAGE);
    EXPECT_EQ(outcome.lines, UsageExitLines(EXIT_USAGE));
    EXPECT_EQ(firmware.operations, "");
}

}  // namespace

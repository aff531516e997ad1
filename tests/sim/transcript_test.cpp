#include "sim/transcript.h"

#include <gtest/gtest.h>

namespace {

Wag1 ReadReply()
{
    Wag1 wag1{};
    const std::uint8_t head[] = {0x30, 0x00, 0x01, 0x00, 0x0E, 0x00, 0x80, 0x00, 0x80, 0x64, 0x29};
    std::copy(std::begin(head), std::end(head), wag1.begin());
    return wag1;
}

Wag1 Full()
{
    Wag1 wag1{};
    for (std::size_t i = 0; i < WAG1_SIZE; ++i) {
        wag1[i] = static_cast<std::uint8_t>(i % 255 + 1);
    }
    return wag1;
}

TEST(FormatBytes, ShowsBytesUpToTheLastNonzeroOne)
{
    EXPECT_EQ(FormatBytes(Wag1{}), "[256 zero bytes]");
    EXPECT_EQ(FormatBytes(ReadReply()), "30 00 01 00 0e 00 80 00 80 64 29 [+245 zero bytes]");

    Wag1 last{};
    last[255] = 0x01;
    std::string expected;
    for (int i = 0; i < 255; ++i) {
        expected += "00 ";
    }
    EXPECT_EQ(FormatBytes(last), expected + "01");

    const std::string full = FormatBytes(Full());
    EXPECT_EQ(full.size(), 256u * 3 - 1);
    EXPECT_EQ(full.substr(0, 9), "01 02 03 ");
    EXPECT_EQ(full.substr(full.size() - 6), " ff 01");
}

TEST(ParseBytes, ReadsBackWhatFormatBytesWrote)
{
    Wag1 last{};
    last[255] = 0x01;
    for (const Wag1& wag1 : {Wag1{}, ReadReply(), last, Full()}) {
        Wag1 parsed{};
        parsed.fill(0x5A);
        ASSERT_TRUE(ParseBytes(FormatBytes(wag1), parsed)) << FormatBytes(wag1);
        EXPECT_EQ(parsed, wag1);
    }
}

TEST(ParseBytes, RefusesTextThatIsNoMailbox)
{
    const char* cases[] = {
        "",
        "30 00 01",                               // neither 256 bytes nor a zero tail
        "30 00 01 [+250 zero bytes]",             // tail does not make 256
        "30 00 00 [+253 zero bytes]",             // tail would start earlier
        "30 0g [+254 zero bytes]",                // not hex
        "30 0E [+254 zero bytes]",                // written in lower case only
        "30 [+255 zero bytes] 01",                // something after the tail
        "[255 zero bytes]",
    };
    for (const char* text : cases) {
        Wag1 parsed{};
        EXPECT_FALSE(ParseBytes(text, parsed)) << text;
    }
}

TEST(Transcript, EntriesShowRequestAndReplyUnderTheirWrite)
{
    const InvokeResult result{Answer::Completed, "read: completed, stop value 100"};
    Wag1 request = ReadReply();
    request[6] = 0;
    request[9] = 0x06;
    EXPECT_EQ(TranscriptWrite(2, request) + TranscriptInvoke("Mailbox_0", result, ReadReply()),
              "write 2    30 00 01 00 0e 00 00 00 80 06 29 [+245 zero bytes]\n"
              "  invoke   Mailbox_0: read: completed, stop value 100\n"
              "  reply    30 00 01 00 0e 00 80 00 80 64 29 [+245 zero bytes]\n");
}

TEST(Counts, ListEveryCallInAFixedOrder)
{
    CallCounts counts{};
    for (std::size_t i = 0; i < WMI_CALL_KINDS; ++i) {
        counts[i] = static_cast<long>(i * 10 + 1);
    }
    EXPECT_EQ(FormatCounts(counts),
              "ConnectServer 1\nSetBlanket 11\nExecQuery 21\nNext 31\nGet 41\nPut 51\nPutInstance 61\n"
              "GetObject 71\nGetMethod 81\nSpawnInstance 91\nExecMethod 101\n");
    EXPECT_EQ(TranscriptCounts(counts),
              "# calls: ConnectServer 1, SetBlanket 11, ExecQuery 21, Next 31, Get 41, Put 51, PutInstance 61, "
              "GetObject 71, GetMethod 81, SpawnInstance 91, ExecMethod 101\n");
}

}  // namespace

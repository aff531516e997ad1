#include "sim/firmware.h"

#include <gtest/gtest.h>

#include <initializer_list>

namespace {

// Requests written out byte by byte, as the program is meant to send them.
Wag1 Bytes(std::initializer_list<std::uint8_t> head)
{
    Wag1 wag1{};
    std::size_t i = 0;
    for (const std::uint8_t byte : head) {
        wag1[i++] = byte;
    }
    return wag1;
}

Wag1 ReadRequest()
{
    return Bytes({0x30, 0x00, 0x01, 0x00, 0x0E, 0x00, 0x00, 0x00, 0x80, 0x06, 0x29});
}

Wag1 SetRequest(std::uint8_t companion, std::uint8_t value)
{
    return Bytes({0x65, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, companion, value, 0xAA});
}

Firmware WithScenario(const std::string& text, std::uint8_t stopValue = DEFAULT_STOP_VALUE)
{
    Firmware firmware;
    firmware.stopValue = stopValue;
    EXPECT_EQ(ParseScenario(text, firmware.scenario), "");
    return firmware;
}

// Replies of a run of fresh requests of one kind: the reported byte, or -1
// for a reply without completion.
std::vector<int> Replies(Firmware& firmware, const Wag1& request, std::size_t offset, int count)
{
    std::vector<int> replies;
    for (int i = 0; i < count; ++i) {
        Wag1 wag1 = request;
        const InvokeResult result = Invoke(firmware, wag1);
        replies.push_back(result.answer == Answer::Completed ? wag1[offset] : -1);
    }
    return replies;
}

TEST(Invoke, ReadReportsStopValueAndLeavesEveryOtherByte)
{
    Firmware firmware;
    firmware.stopValue = 80;
    Wag1 wag1 = ReadRequest();
    EXPECT_EQ(Invoke(firmware, wag1).answer, Answer::Completed);
    Wag1 expected = ReadRequest();
    expected[6] = 0x80;
    expected[9] = 80;
    EXPECT_EQ(wag1, expected);
}

TEST(Invoke, SetStoresSupportedValuesAndRepliesWithValueInForce)
{
    struct Case {
        std::uint8_t companion, value, before, after;
    };
    const Case cases[] = {
        {0x4B, 80, 100, 80},   // -set 80
        {0x5F, 100, 80, 100},  // -set 100
        {0x5F, 80, 100, 100},  // companion of the other setting: refused
        {0x00, 7, 80, 80},     // -get on a machine reporting 7 writes 7 back
        {0x00, 0, 100, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "companion " << int{c.companion} << " value " << int{c.value});
        Firmware firmware;
        firmware.stopValue = c.before;
        Wag1 wag1 = SetRequest(c.companion, c.value);
        EXPECT_EQ(Invoke(firmware, wag1).answer, Answer::Completed);
        EXPECT_EQ(firmware.stopValue, c.after);
        Wag1 expected = SetRequest(c.companion, c.value);
        expected[6] = 0x80;
        expected[10] = c.after;
        EXPECT_EQ(wag1, expected);
    }
}

TEST(Invoke, MalformedRequestIsLeftAsItIsWithoutCompletion)
{
    struct Case {
        const char* what;
        Wag1 wag1;
        const char* note;
    };
    std::vector<Case> cases = {
        {"all zero, as after the first write", Wag1{}, "unknown command word 0x0000"},
        {"unknown command", Bytes({0x31, 0x00, 0x01}), "unknown command word 0x0031"},
    };
    const auto changed = [](Wag1 wag1, std::size_t offset, std::uint8_t value) {
        wag1[offset] = value;
        return wag1;
    };
    cases.push_back({"read, byte 7 set", changed(ReadRequest(), 7, 1), "byte 7 is 0x01, a read request has 0x00"});
    cases.push_back({"read, byte 10 wrong", changed(ReadRequest(), 10, 0x28), "byte 10 is 0x28"});
    cases.push_back({"read, stray byte at the end", changed(ReadRequest(), 255, 0xFF), "byte 255 is 0xff"});
    cases.push_back({"read, pending status", changed(ReadRequest(), 6, 0x01), "byte 6 is 0x01"});
    cases.push_back({"set, parameter word", changed(SetRequest(0x4B, 80), 4, 0x0E), "byte 4 is 0x0e"});
    cases.push_back({"set, no marker", changed(SetRequest(0x4B, 80), 11, 0), "byte 11 is 0x00, a set request has 0xaa"});
    cases.push_back({"set, byte 12 set", changed(SetRequest(0x4B, 80), 12, 0xAA), "byte 12 is 0xaa"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Firmware firmware;
        firmware.stopValue = 90;
        Wag1 wag1 = c.wag1;
        const InvokeResult result = Invoke(firmware, wag1);
        EXPECT_EQ(result.answer, Answer::Malformed);
        EXPECT_NE(result.note.find(c.note), std::string::npos) << result.note;
        EXPECT_EQ(wag1, c.wag1);
        EXPECT_EQ(firmware.stopValue, 90);
    }
}

// With two method instances the second MyFn1 finds the first one's reply.
TEST(Invoke, CompletedReplyIsNotProcessedAgain)
{
    Firmware firmware = WithScenario("confirms 7");
    Wag1 wag1 = SetRequest(0x4B, 80);
    ASSERT_EQ(Invoke(firmware, wag1).answer, Answer::Completed);
    const Wag1 reply = wag1;
    EXPECT_EQ(Invoke(firmware, wag1).answer, Answer::AlreadyAnswered);
    EXPECT_EQ(wag1, reply);
    EXPECT_EQ(firmware.stopValue, 7);
}

TEST(Invoke, BusyScenariosHoldBackCompletion)
{
    struct Case {
        const char* scenario;
        std::vector<int> reads;  // -1: pending
        std::vector<int> sets;
    };
    const Case cases[] = {
        {"", {80, 80}, {80, 80}},
        {"busy 2", {-1, -1, 80, -1, -1, 80}, {-1, -1, 80, -1}},
        {"busy 1 sets", {80, 80}, {-1, 80, -1, 80}},
        {"busy 1 reads", {-1, 80, -1}, {80, 80}},
        {"busy forever", std::vector<int>(40, -1), std::vector<int>(40, -1)},
        {"busy forever sets", {80, 80, 80}, std::vector<int>(40, -1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        Firmware firmware = WithScenario(c.scenario, 80);
        EXPECT_EQ(Replies(firmware, ReadRequest(), 9, static_cast<int>(c.reads.size())), c.reads);
        firmware.pendingGiven = 0;
        EXPECT_EQ(Replies(firmware, SetRequest(0x4B, 80), 10, static_cast<int>(c.sets.size())), c.sets);
    }
}

TEST(Invoke, PendingReplyCarriesItsOwnStatusAndNoValue)
{
    Firmware firmware = WithScenario("busy 1");
    Wag1 wag1 = ReadRequest();
    EXPECT_EQ(Invoke(firmware, wag1).answer, Answer::Pending);
    Wag1 expected = ReadRequest();
    expected[6] = REPLY_PENDING;
    EXPECT_EQ(wag1, expected);
}

TEST(Invoke, ScenarioValuesComeFirstThenTheFirmwaresOwn)
{
    Firmware reads = WithScenario("reads 7 9", 80);
    EXPECT_EQ(Replies(reads, ReadRequest(), 9, 4), (std::vector<int>{7, 9, 80, 80}));

    Firmware cycling = WithScenario("reads 100 80 ...", 90);
    EXPECT_EQ(Replies(cycling, ReadRequest(), 9, 5), (std::vector<int>{100, 80, 100, 80, 100}));

    Firmware confirms = WithScenario("confirms 100 7", 100);
    EXPECT_EQ(Replies(confirms, SetRequest(0x4B, 80), 10, 3), (std::vector<int>{100, 7, 80}));

    // A confirmed value is the one in force afterwards: the next read, and
    // the next run through the state file, report it.
    Firmware other = WithScenario("confirms 7", 100);
    EXPECT_EQ(Replies(other, SetRequest(0x4B, 80), 10, 1), (std::vector<int>{7}));
    EXPECT_EQ(other.stopValue, 7);
    EXPECT_EQ(Replies(other, ReadRequest(), 9, 1), (std::vector<int>{7}));
}

TEST(ParseScenario, ReadsEveryDirective)
{
    Scenario scenario;
    const std::string text = "# a bad day\n"
                             "busy 3 sets   # slow writes\n"
                             "\n"
                             "reads 100 80 ...\n"
                             "confirms 0 255\n"
                             "instances MyWMIARGClass1 0\n"
                             "instances mywmimethodclass 2\n"
                             "wag1 longs 128\n"
                             "fail connect 0x8004100E\n"
                             "fail query MyWMIMethodClass 1 first 2\n";
    ASSERT_EQ(ParseScenario(text, scenario), "");
    EXPECT_EQ(scenario.busyReplies, 3);
    EXPECT_FALSE(scenario.neverCompletes);
    EXPECT_EQ(scenario.busyFor, RequestFilter::Set);
    EXPECT_EQ(scenario.reads.values, (std::vector<std::uint8_t>{100, 80}));
    EXPECT_TRUE(scenario.reads.repeat);
    EXPECT_EQ(scenario.confirms.values, (std::vector<std::uint8_t>{0, 255}));
    EXPECT_FALSE(scenario.confirms.repeat);
    EXPECT_EQ(scenario.argInstances, 0);
    EXPECT_EQ(scenario.methodInstances, 2);
    EXPECT_EQ(scenario.wag1Type, Wag1Type::Longs);
    EXPECT_EQ(scenario.wag1Size, 128u);
    EXPECT_EQ(scenario.connectFailure, 0x8004100Eu);
    ASSERT_EQ(scenario.queryFailures.size(), 1u);
    EXPECT_EQ(scenario.queryFailures[0].hresult, 1u);
    EXPECT_EQ(scenario.queryFailures[0].times, 2);
}

TEST(ParseScenario, NamesTheLineAndTheFault)
{
    const std::pair<const char*, const char*> cases[] = {
        {"bussy 2", "line 1: unknown directive 'bussy'"},
        {"\n\nbusy two", "line 3: 'two' is neither a count up to 1000 nor 'forever'"},
        {"busy 2 writes", "line 1: 'writes' is neither 'reads' nor 'sets'"},
        {"reads 80 256", "line 1: '256' is not a value from 0 to 255"},
        {"reads", "line 1: reads needs at least one value"},
        {"confirms ...", "line 1: '...' is not a value from 0 to 255"},
        {"reads 80 ... 100", "line 1: '...' is not a value from 0 to 255"},
        {"instances MyWMIARGClass2 1", "line 1: the firmware has no class 'MyWMIARGClass2'"},
        {"instances MyWMIARGClass1 9", "line 1: instances takes a class name and a count from 0 to 8"},
        {"wag1 bytes", "line 1: wag1 takes 'bytes <count>', 'longs <count>', 'text' or 'null'"},
        {"fail connect 0x1", "line 1: '0x1' is not a failure HRESULT (0x80000000 to 0xffffffff)"},
        {"fail connect 0x100000000", "line 1: '0x100000000' is not a failure HRESULT (0x80000000 to 0xffffffff)"},
        {"fail query MyWMIARGClass1 0", "line 1: '0' is not a nonzero HRESULT"},
        {"fail query MyWMIARGClass1 0x80041010 last 2", "line 1: a query failure ends in 'first <count>' or nothing"},
        {"fail disk", "line 1: fail takes 'connect <hresult>' or 'query <class> <hresult> [first <count>]'"},
    };
    for (const auto& [text, problem] : cases) {
        Scenario scenario;
        EXPECT_EQ(ParseScenario(text, scenario), problem) << text;
    }
}

TEST(ParseStopValue, TakesADecimalByteOnly)
{
    const std::pair<const char*, int> cases[] = {
        {"80\n", 80}, {"100", 100}, {"0", 0}, {"255\r\n", 255}, {"256", -1}, {"", -1},
        {"abc", -1},  {"0x50", -1}, {"-1", -1}, {" 80", -1},   {"8 0", -1},
    };
    for (const auto& [text, expected] : cases) {
        std::uint8_t value = 42;
        const bool ok = ParseStopValue(text, value);
        EXPECT_EQ(ok ? int{value} : -1, expected) << '"' << text << '"';
    }
}

TEST(QueriedClass, AcceptsOnlySelectStarFromOneClass)
{
    const std::pair<const char*, const char*> cases[] = {
        {"Select * From MyWMIARGClass1", "MyWMIARGClass1"},
        {"SELECT  *\tfrom MyWMIMethodClass ", "MyWMIMethodClass"},
        {"Select WAG1 From MyWMIARGClass1", ""},
        {"Select * From MyWMIARGClass1 Where Active = TRUE", ""},
        {"Select * MyWMIARGClass1", ""},
        {"", ""},
    };
    for (const auto& [query, className] : cases) {
        EXPECT_EQ(QueriedClass(query), className) << query;
    }
}

TEST(TakeQueryFailure, FailsTheNamedClassAsOftenAsAsked)
{
    Scenario scenario;
    ASSERT_EQ(ParseScenario("fail query MyWMIARGClass1 0x80041010 first 2\n"
                            "fail query MyWMIMethodClass 0x80041001\n",
                            scenario),
              "");
    std::vector<std::uint32_t> arg;
    std::vector<std::uint32_t> method;
    for (int i = 0; i < 3; ++i) {
        arg.push_back(TakeQueryFailure(scenario, "mywmiargclass1"));
        method.push_back(TakeQueryFailure(scenario, "MyWMIMethodClass"));
    }
    EXPECT_EQ(arg, (std::vector<std::uint32_t>{0x80041010, 0x80041010, 0}));
    EXPECT_EQ(method, (std::vector<std::uint32_t>{0x80041001, 0x80041001, 0x80041001}));
    EXPECT_EQ(TakeQueryFailure(scenario, "Win32_Battery"), 0u);
}

}  // namespace

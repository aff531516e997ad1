#pragma once

// The simulated firmware behind the WMI mailbox: its charge-stop value, the
// fault scenario it plays and how it answers each MyFn1 call. Nothing here
// knows COM, so the firmware's behaviour is tested natively.
//
// The request layouts are written out here on purpose rather than taken from
// the program's own headers: a firmware that shared the program's constants
// would agree with any mistake in them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr std::size_t WAG1_SIZE = 256;
using Wag1 = std::array<std::uint8_t, WAG1_SIZE>;

// Reply status byte (offset 6) values.
constexpr std::uint8_t REPLY_DONE = 0x80;
constexpr std::uint8_t REPLY_PENDING = 0x01;

constexpr std::uint8_t DEFAULT_STOP_VALUE = 100;

// HRESULTs the simulator hands back; the same numbers as the platform's.
constexpr std::uint32_t HRESULT_WBEM_E_FAILED = 0x80041001;
constexpr std::uint32_t HRESULT_WBEM_E_INVALID_NAMESPACE = 0x8004100E;

// Replays a list of reply values before falling back to the firmware's real
// one; with repeat the list starts over instead.
struct ValueList {
    std::vector<std::uint8_t> values;
    bool repeat = false;
};

enum class RequestFilter { Any, Read, Set };

// How WAG1 is presented to Get: the right shape is an array of 256 bytes.
enum class Wag1Type { Bytes, Longs, Text, Null };

struct QueryFailure {
    std::string className;  // as written in the scenario; matched ignoring case
    std::uint32_t hresult = 0;
    int times = -1;          // how many queries fail before they work again; -1 for all
};

struct Scenario {
    int busyReplies = 0;  // pending replies before each request completes
    bool neverCompletes = false;
    RequestFilter busyFor = RequestFilter::Any;
    ValueList reads;     // byte 9 of completed read replies
    ValueList confirms;  // byte 10 of completed set replies
    int argInstances = 1;
    int methodInstances = 1;
    Wag1Type wag1Type = Wag1Type::Bytes;
    std::size_t wag1Size = WAG1_SIZE;
    std::uint32_t connectFailure = 0;  // 0: ConnectServer works
    std::vector<QueryFailure> queryFailures;
};

// Reads the scenario file's text (format in sim/README.md). Returns an empty
// string, or "line N: what is wrong" and leaves the scenario half-filled.
std::string ParseScenario(const std::string& text, Scenario& scenario);

// The content of the state file: the stop value in decimal. False for
// anything else, so a damaged file is noticed rather than read as 100.
bool ParseStopValue(const std::string& text, std::uint8_t& value);

struct Firmware {
    Scenario scenario;
    std::uint8_t stopValue = DEFAULT_STOP_VALUE;
    int pendingGiven = 0;  // pending replies already given to the current request
    std::size_t readsUsed = 0;
    std::size_t confirmsUsed = 0;
};

enum class Answer { Completed, Pending, AlreadyAnswered, Malformed };

struct InvokeResult {
    Answer answer;
    std::string note;  // for the transcript: what the firmware made of the request
};

// One MyFn1 call: processes the request held in wag1 and leaves the reply in
// its place. A completed set may change firmware.stopValue.
InvokeResult Invoke(Firmware& firmware, Wag1& wag1);

// The class named by a WQL query of the form "select * from <class>", any
// case and spacing; empty for anything else.
std::string QueriedClass(const std::string& query);

bool EqualIgnoringCase(const std::string& a, const std::string& b);

// Finds the scenario's failure for a query of className, and uses it up once.
// Returns 0 when the query is to work.
std::uint32_t TakeQueryFailure(Scenario& scenario, const std::string& className);

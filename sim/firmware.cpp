#include "sim/firmware.h"

#include <cctype>
#include <sstream>

namespace {

constexpr std::size_t STATUS_OFFSET = 6;

enum class RequestKind { None, Read, Set };

// Every byte a request fixes; the others must be zero. The set request's
// bytes 9 and 10 carry the companion and stop values and are checked apart.
struct Template {
    const char* name;
    std::uint8_t bytes[12];
    bool free[12];
};

constexpr Template READ_REQUEST = {
    "read request",
    {0x30, 0x00, 0x01, 0x00, 0x0E, 0x00, 0x00, 0x00, 0x80, 0x06, 0x29, 0x00},
    {},
};
constexpr Template SET_REQUEST = {
    "set request",
    {0x65, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0xAA},
    {false, false, false, false, false, false, false, false, false, true, true, false},
};

std::string Hex(unsigned value, int digits)
{
    std::string text = "0x";
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
        text += "0123456789abcdef"[(value >> shift) & 0xF];
    }
    return text;
}

// Empty when wag1 holds the request the template describes; otherwise names
// the first byte that is off.
std::string Mismatch(const Wag1& wag1, const Template& request)
{
    for (std::size_t i = 0; i < WAG1_SIZE; ++i) {
        const bool fixed = i >= sizeof request.bytes || !request.free[i];
        const std::uint8_t expected = i < sizeof request.bytes ? request.bytes[i] : 0;
        if (fixed && wag1[i] != expected) {
            return "byte " + std::to_string(i) + " is " + Hex(wag1[i], 2) + ", a " + request.name + " has " +
                   Hex(expected, 2);
        }
    }
    return {};
}

RequestKind Classify(const Wag1& wag1, std::string& problem)
{
    const unsigned command = wag1[0] | (wag1[1] << 8);
    const Template* request = command == 0x0030 ? &READ_REQUEST : command == 0x0065 ? &SET_REQUEST : nullptr;
    if (request == nullptr) {
        problem = "unknown command word " + Hex(command, 4);
        return RequestKind::None;
    }
    problem = Mismatch(wag1, *request);
    if (!problem.empty()) {
        return RequestKind::None;
    }
    return request == &READ_REQUEST ? RequestKind::Read : RequestKind::Set;
}

bool BusyApplies(RequestFilter filter, RequestKind kind)
{
    return filter == RequestFilter::Any || (filter == RequestFilter::Read && kind == RequestKind::Read) ||
           (filter == RequestFilter::Set && kind == RequestKind::Set);
}

bool NextListed(const ValueList& list, std::size_t& used, std::uint8_t& value)
{
    if (list.values.empty()) {
        return false;
    }
    if (used >= list.values.size()) {
        if (!list.repeat) {
            return false;
        }
        used = 0;
    }
    value = list.values[used++];
    return true;
}

// The firmware knows two settings, each with its companion value.
bool SupportedSetting(std::uint8_t stopValue, std::uint8_t companion)
{
    return (stopValue == 100 && companion == 0x5F) || (stopValue == 80 && companion == 0x4B);
}

InvokeResult AnswerRead(Firmware& firmware, Wag1& wag1)
{
    std::uint8_t reported = firmware.stopValue;
    std::string note = "read: completed, stop value " + std::to_string(firmware.stopValue);
    if (NextListed(firmware.scenario.reads, firmware.readsUsed, reported)) {
        note = "read: completed, reports " + std::to_string(reported) + " (scenario; stop value " +
               std::to_string(firmware.stopValue) + ")";
    }
    wag1[STATUS_OFFSET] = REPLY_DONE;
    wag1[9] = reported;
    return {Answer::Completed, note};
}

InvokeResult AnswerSet(Firmware& firmware, Wag1& wag1)
{
    const std::uint8_t requested = wag1[10];
    const std::uint8_t companion = wag1[9];
    std::string note = "set " + std::to_string(requested) + ": completed, ";
    if (SupportedSetting(requested, companion)) {
        firmware.stopValue = requested;
    } else {
        note += "unsupported with companion " + Hex(companion, 2) + ", ";
    }
    // A scenario's confirmation stands for a firmware that put another value
    // in force, so that value is also what the next run reads.
    std::uint8_t confirmed = 0;
    if (NextListed(firmware.scenario.confirms, firmware.confirmsUsed, confirmed)) {
        firmware.stopValue = confirmed;
        note += "confirms " + std::to_string(confirmed) + " (scenario)";
    } else {
        note += "stop value " + std::to_string(firmware.stopValue) + " in force";
    }
    wag1[STATUS_OFFSET] = REPLY_DONE;
    wag1[10] = firmware.stopValue;
    return {Answer::Completed, note};
}

bool ReadNumber(const std::string& word, unsigned long long limit, unsigned long long& value)
{
    if (word.empty()) {
        return false;
    }
    const bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
    const std::string digits = hex ? word.substr(2) : word;
    value = 0;
    for (const char c : digits) {
        const int digit = std::isdigit(static_cast<unsigned char>(c))  ? c - '0'
                          : hex && std::isxdigit(static_cast<unsigned char>(c)) ? std::tolower(c) - 'a' + 10
                                                                                : -1;
        if (digit < 0) {
            return false;
        }
        value = value * (hex ? 16 : 10) + static_cast<unsigned>(digit);
        if (value > limit) {
            return false;
        }
    }
    return true;
}

std::string ParseValueList(const std::vector<std::string>& words, ValueList& list)
{
    list = ValueList{};
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (words[i] == "..." && i + 1 == words.size() && i > 1) {
            list.repeat = true;
            continue;
        }
        unsigned long long value = 0;
        if (!ReadNumber(words[i], 255, value)) {
            return "'" + words[i] + "' is not a value from 0 to 255";
        }
        list.values.push_back(static_cast<std::uint8_t>(value));
    }
    if (list.values.empty()) {
        return words[0] + " needs at least one value";
    }
    return {};
}

std::string ParseBusy(const std::vector<std::string>& words, Scenario& scenario)
{
    if (words.size() < 2 || words.size() > 3) {
        return "busy takes a count or 'forever', then optionally 'reads' or 'sets'";
    }
    unsigned long long count = 0;
    scenario.neverCompletes = words[1] == "forever";
    if (!scenario.neverCompletes && !ReadNumber(words[1], 1000, count)) {
        return "'" + words[1] + "' is neither a count up to 1000 nor 'forever'";
    }
    scenario.busyReplies = static_cast<int>(count);
    scenario.busyFor = RequestFilter::Any;
    if (words.size() == 3) {
        if (words[2] == "reads") {
            scenario.busyFor = RequestFilter::Read;
        } else if (words[2] == "sets") {
            scenario.busyFor = RequestFilter::Set;
        } else {
            return "'" + words[2] + "' is neither 'reads' nor 'sets'";
        }
    }
    return {};
}

std::string ParseInstances(const std::vector<std::string>& words, Scenario& scenario)
{
    unsigned long long count = 0;
    if (words.size() != 3 || !ReadNumber(words[2], 8, count)) {
        return "instances takes a class name and a count from 0 to 8";
    }
    if (EqualIgnoringCase(words[1], "MyWMIARGClass1")) {
        scenario.argInstances = static_cast<int>(count);
    } else if (EqualIgnoringCase(words[1], "MyWMIMethodClass")) {
        scenario.methodInstances = static_cast<int>(count);
    } else {
        return "the firmware has no class '" + words[1] + "'";
    }
    return {};
}

std::string ParseWag1(const std::vector<std::string>& words, Scenario& scenario)
{
    unsigned long long size = 0;
    if (words.size() == 3 && (words[1] == "bytes" || words[1] == "longs") && ReadNumber(words[2], 4096, size)) {
        scenario.wag1Type = words[1] == "bytes" ? Wag1Type::Bytes : Wag1Type::Longs;
        scenario.wag1Size = static_cast<std::size_t>(size);
        return {};
    }
    if (words.size() == 2 && (words[1] == "text" || words[1] == "null")) {
        scenario.wag1Type = words[1] == "text" ? Wag1Type::Text : Wag1Type::Null;
        return {};
    }
    return "wag1 takes 'bytes <count>', 'longs <count>', 'text' or 'null'";
}

std::string ParseFail(const std::vector<std::string>& words, Scenario& scenario)
{
    unsigned long long hresult = 0;
    if (words.size() == 3 && words[1] == "connect") {
        // The connection fails only for an HRESULT that says so.
        if (!ReadNumber(words[2], 0xFFFFFFFF, hresult) || hresult < 0x80000000) {
            return "'" + words[2] + "' is not a failure HRESULT (0x80000000 to 0xffffffff)";
        }
        scenario.connectFailure = static_cast<std::uint32_t>(hresult);
        return {};
    }
    if ((words.size() == 4 || words.size() == 6) && words[1] == "query") {
        // Success codes other than S_OK are allowed: the program must treat
        // them as failures too.
        if (!ReadNumber(words[3], 0xFFFFFFFF, hresult) || hresult == 0) {
            return "'" + words[3] + "' is not a nonzero HRESULT";
        }
        QueryFailure failure{words[2], static_cast<std::uint32_t>(hresult), -1};
        if (words.size() == 6) {
            unsigned long long times = 0;
            if (words[4] != "first" || !ReadNumber(words[5], 100000, times) || times == 0) {
                return "a query failure ends in 'first <count>' or nothing";
            }
            failure.times = static_cast<int>(times);
        }
        scenario.queryFailures.push_back(failure);
        return {};
    }
    return "fail takes 'connect <hresult>' or 'query <class> <hresult> [first <count>]'";
}

std::string ParseLine(const std::vector<std::string>& words, Scenario& scenario)
{
    const std::string& directive = words[0];
    if (directive == "busy") {
        return ParseBusy(words, scenario);
    }
    if (directive == "reads") {
        return ParseValueList(words, scenario.reads);
    }
    if (directive == "confirms") {
        return ParseValueList(words, scenario.confirms);
    }
    if (directive == "instances") {
        return ParseInstances(words, scenario);
    }
    if (directive == "wag1") {
        return ParseWag1(words, scenario);
    }
    if (directive == "fail") {
        return ParseFail(words, scenario);
    }
    return "unknown directive '" + directive + "'";
}

}  // namespace

bool EqualIgnoringCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string ParseScenario(const std::string& text, Scenario& scenario)
{
    std::istringstream lines(text);
    std::size_t number = 0;
    for (std::string raw; std::getline(lines, raw);) {
        ++number;
        const std::size_t comment = raw.find('#');
        std::istringstream wordStream(raw.substr(0, comment));
        std::vector<std::string> words;
        for (std::string word; wordStream >> word;) {
            words.push_back(word);
        }
        if (words.empty()) {
            continue;
        }
        const std::string problem = ParseLine(words, scenario);
        if (!problem.empty()) {
            return "line " + std::to_string(number) + ": " + problem;
        }
    }
    return {};
}

bool ParseStopValue(const std::string& text, std::uint8_t& value)
{
    std::size_t end = text.size();
    while (end > 0 && std::isspace(static_cast<unsigned char>(text[end - 1]))) {
        --end;
    }
    const std::string digits = text.substr(0, end);
    unsigned long long number = 0;
    // Decimal only: ReadNumber would also take "0x64".
    if (digits.find_first_not_of("0123456789") != std::string::npos || !ReadNumber(digits, 255, number)) {
        return false;
    }
    value = static_cast<std::uint8_t>(number);
    return true;
}

InvokeResult Invoke(Firmware& firmware, Wag1& wag1)
{
    // A second MyFn1 on the same mailbox (one per method instance) finds the
    // reply of the first and must leave it for the program to read.
    if (wag1[STATUS_OFFSET] == REPLY_DONE) {
        return {Answer::AlreadyAnswered, "already answered (status 0x80), left as it is"};
    }
    std::string problem;
    const RequestKind kind = Classify(wag1, problem);
    if (kind == RequestKind::None) {
        return {Answer::Malformed, "malformed, left as it is: " + problem};
    }

    const Scenario& scenario = firmware.scenario;
    const char* name = kind == RequestKind::Read ? "read" : "set";
    if (BusyApplies(scenario.busyFor, kind) &&
        (scenario.neverCompletes || firmware.pendingGiven < scenario.busyReplies)) {
        ++firmware.pendingGiven;
        wag1[STATUS_OFFSET] = REPLY_PENDING;
        const std::string count =
            scenario.neverCompletes
                ? std::string("never completes")
                : std::to_string(firmware.pendingGiven) + " of " + std::to_string(scenario.busyReplies);
        return {Answer::Pending, std::string(name) + ": pending (" + count + ")"};
    }
    firmware.pendingGiven = 0;
    return kind == RequestKind::Read ? AnswerRead(firmware, wag1) : AnswerSet(firmware, wag1);
}

std::string QueriedClass(const std::string& query)
{
    std::istringstream words(query);
    std::string select, star, from, className, rest;
    if (!(words >> select >> star >> from >> className) || words >> rest) {
        return {};
    }
    if (!EqualIgnoringCase(select, "select") || star != "*" || !EqualIgnoringCase(from, "from")) {
        return {};
    }
    return className;
}

std::uint32_t TakeQueryFailure(Scenario& scenario, const std::string& className)
{
    for (QueryFailure& failure : scenario.queryFailures) {
        if (failure.times != 0 && EqualIgnoringCase(failure.className, className)) {
            if (failure.times > 0) {
                --failure.times;
            }
            return failure.hresult;
        }
    }
    return 0;
}

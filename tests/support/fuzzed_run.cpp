#include "tests/support/fuzzed_run.h"

#include <optional>
#include <sstream>
#include <vector>

#include "cli/exit_codes.h"
#include "protocol/protocol.h"
#include "tests/support/process_end.h"
#include "tests/support/scripted_firmware.h"

namespace {

// Hands out the input a byte at a time; zeros once it runs dry.
struct ByteSource {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t next = 0;

    bool Empty() const { return next >= size; }
    std::uint8_t Byte() { return next < size ? data[next++] : 0; }
};

// Argument lists worth reaching often; the raw form covers everything else.
const std::vector<std::vector<std::wstring>>& CommonArgs()
{
    static const std::vector<std::vector<std::wstring>> common = {
        {L"-set", L"80"}, {L"-set", L"100"}, {L"-get"}, {L"-SET", L"0100"}, {L"-Get"},
        {L"-set", L"85"}, {L"-set"},         {},        {L"-get", L"x"},    {L"-set", L"4294967376"},
    };
    return common;
}

std::vector<std::wstring> ArgsFrom(ByteSource& in)
{
    const std::uint8_t selector = in.Byte();
    if (selector < 0xC0) {
        return CommonArgs()[selector % CommonArgs().size()];
    }
    std::vector<std::wstring> words(in.Byte() % 5);
    for (std::wstring& word : words) {
        word.resize(in.Byte() % 12);
        for (wchar_t& c : word) {
            // Mostly ASCII, so the interesting words are reachable, but any
            // 16-bit unit can turn up.
            const std::uint8_t low = in.Byte();
            const std::uint8_t high = (low & 0x80) ? in.Byte() : 0;
            c = static_cast<wchar_t>(high << 8 | low);
            if (c == 0) {
                c = L' ';
            }
        }
    }
    return words;
}

// What the command line must mean, worked out from the text alone: the word
// is -set or -get in ASCII letters of either case, and a set's value is an
// optional '+', then decimal digits that spell 80 or 100 once leading zeros
// are dropped, after optional leading white space; anything may follow.
struct Expected {
    bool valid;
    CommandKind kind;
    std::uint8_t stopValue;
};

bool WordIs(const std::wstring& word, const char* lower)
{
    std::size_t i = 0;
    for (; lower[i] != '\0'; ++i) {
        if (i >= word.size()) {
            return false;
        }
        wchar_t c = word[i];
        if (c >= L'A' && c <= L'Z') {
            c = c - L'A' + L'a';
        }
        if (c != static_cast<wchar_t>(lower[i])) {
            return false;
        }
    }
    return i == word.size();
}

std::optional<int> StandardValue(const std::wstring& text)
{
    std::size_t i = text.find_first_not_of(L" \t\n\v\f\r");
    if (i == std::wstring::npos) {
        return std::nullopt;
    }
    if (text[i] == L'-') {
        return std::nullopt;  // never 80 or 100
    }
    if (text[i] == L'+') {
        ++i;
    }
    std::wstring digits;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        digits += text[i];
    }
    const std::size_t firstNonZero = digits.find_first_not_of(L'0');
    const std::wstring significant = firstNonZero == std::wstring::npos ? L"" : digits.substr(firstNonZero);
    if (significant == L"80") {
        return 80;
    }
    if (significant == L"100") {
        return 100;
    }
    return std::nullopt;
}

Expected ExpectedCommand(const std::vector<std::wstring>& words)
{
    if (words.size() == 2 && WordIs(words[0], "-set")) {
        if (const std::optional<int> value = StandardValue(words[1])) {
            return {true, CommandKind::Set, static_cast<std::uint8_t>(*value)};
        }
    }
    if (words.size() == 1 && WordIs(words[0], "-get")) {
        return {true, CommandKind::Get, 0};
    }
    return {false, CommandKind::None, 0};
}

std::uint8_t Companion(std::uint8_t stopValue)
{
    return stopValue == 100 ? 0x5F : stopValue == 80 ? 0x4B : 0;
}

MailboxBuffer ReadRequest()
{
    MailboxBuffer request{};
    request[0] = 0x30;
    request[2] = 0x01;
    request[4] = 0x0E;
    request[8] = 0x80;
    request[9] = 0x06;
    request[10] = 0x29;
    return request;
}

MailboxBuffer SetRequest(std::uint8_t stopValue)
{
    MailboxBuffer request{};
    request[0] = 0x65;
    request[2] = 0x04;
    request[8] = 0x01;
    request[9] = Companion(stopValue);
    request[10] = stopValue;
    request[11] = 0xAA;
    return request;
}

// Fills every reply from the input. Values lean towards 80 and 100 so that
// agreement, and with it the set path, is reached often.
class FuzzedFirmware : public FirmwareMailbox {
public:
    explicit FuzzedFirmware(ByteSource& in) : in_(in) {}

    void WriteMailbox(const MailboxBuffer& buffer) override
    {
        operations += 'W';
        wag1_ = buffer;
    }

    void InvokeMailbox() override
    {
        operations += 'I';
        requests.push_back(wag1_);
        if (in_.Empty()) {
            wag1_.fill(0);  // the firmware has gone silent
        } else {
            const std::uint8_t status = in_.Byte();
            const std::uint8_t byte9 = in_.Byte();
            const std::uint8_t byte10 = in_.Byte();
            // Most replies repeat the previous values, so runs of agreeing
            // replies, on any value, are common.
            const bool repeat = (status & 0x30) != 0;
            if (!repeat) {
                value9_ = Lean(byte9);
                value10_ = Lean(byte10);
            }
            wag1_.fill(in_.Byte());
            wag1_[OFFSET_STATUS_BYTE] = (status & 0x03) != 0 ? STATUS_DONE : status;
            wag1_[9] = value9_;
            wag1_[10] = value10_;
        }
        replies.push_back(wag1_);
    }

    void ReadMailbox(MailboxBuffer& buffer) override
    {
        operations += 'R';
        buffer = wag1_;
    }

    std::vector<MailboxBuffer> requests;
    std::vector<MailboxBuffer> replies;
    std::string operations;

private:
    // A small alphabet makes agreement on 80, 100 and other values likely.
    static std::uint8_t Lean(std::uint8_t b)
    {
        switch (b & 0x03) {
        case 0:
            return 80;
        case 1:
            return 100;
        case 2:
            return (b & 0x04) ? 7 : 0;
        default:
            return b;
        }
    }

    ByteSource& in_;
    MailboxBuffer wag1_{};
    std::uint8_t value9_ = 0;
    std::uint8_t value10_ = 0;
};

std::string Describe(const std::vector<std::wstring>& words, const Outcome& outcome)
{
    std::ostringstream text;
    text << "args:";
    for (const std::wstring& word : words) {
        text << " [";
        for (const wchar_t c : word) {
            text << (c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
        }
        text << "]";
    }
    text << " status " << outcome.status << ", lines:";
    for (const std::string& line : outcome.lines) {
        text << " \"" << line << "\"";
    }
    return text.str();
}

bool Completes(const MailboxBuffer& reply)
{
    return reply[OFFSET_STATUS_BYTE] == STATUS_DONE;
}

// The requests and replies of the completed exchanges, in order.
struct Completed {
    bool isRead;
    std::uint8_t value;  // byte 9 of a read reply, byte 10 of a set reply
};

}  // namespace

std::string CheckCommandLine(const std::uint8_t* data, std::size_t size)
{
    ByteSource in{data, size};
    const std::vector<std::wstring> words = ArgsFrom(in);
    const Args args(words);
    const Expected expected = ExpectedCommand(words);
    Command command{CommandKind::None, 0};
    const Outcome outcome = Capture([&] {
        command = ParseCommand(args.get());
        return 0;
    });
    if (!expected.valid) {
        if (outcome.status != EXIT_USAGE || outcome.lines != UsageExitLines(EXIT_USAGE)) {
            return "invalid command line not refused with the usage exit; " + Describe(words, outcome);
        }
        return "";
    }
    if (outcome.status != 0 || !outcome.lines.empty() || command.kind != expected.kind ||
        (expected.kind == CommandKind::Set && command.stopValue != expected.stopValue)) {
        return "valid command line not parsed as expected; " + Describe(words, outcome);
    }
    return "";
}

std::string CheckRun(const std::uint8_t* data, std::size_t size)
{
    ByteSource in{data, size};
    const std::vector<std::wstring> words = ArgsFrom(in);
    const Args args(words);
    const Expected expected = ExpectedCommand(words);
    FuzzedFirmware firmware(in);
    const Outcome outcome = Capture([&] { return RunCommand(firmware, args.get()); });
    const std::string where = "; " + Describe(words, outcome);

    // Bounded: never more transactions than the bounds allow, each one whole.
    const std::size_t transactions = firmware.requests.size();
    if (transactions > static_cast<std::size_t>(MAX_RUN_PASSES) * 6 * MAX_EXCHANGE_ATTEMPTS) {
        return "more transactions than the bounds allow" + where;
    }
    std::string wholeTransactions;
    for (std::size_t i = 0; i < transactions; ++i) {
        wholeTransactions += "WIR";
    }
    if (firmware.operations != wholeTransactions) {
        return "mailbox operations out of order: " + firmware.operations + where;
    }

    // Every request has one of the two shapes, with the value it must carry.
    std::vector<Completed> completed;
    std::uint8_t lastProbe = 0;
    for (std::size_t i = 0; i < transactions; ++i) {
        const MailboxBuffer& request = firmware.requests[i];
        const MailboxBuffer& reply = firmware.replies[i];
        const bool isRead = request == ReadRequest();
        if (!isRead) {
            if (!expected.valid) {
                return "set request sent for an invalid command line" + where;
            }
            const std::uint8_t value = expected.kind == CommandKind::Set ? expected.stopValue : lastProbe;
            if (request != SetRequest(value)) {
                return "set request #" + std::to_string(i) + " malformed" + where;
            }
        }
        if (Completes(reply)) {
            completed.push_back({isRead, isRead ? reply[9] : reply[10]});
            if (isRead) {
                lastProbe = reply[9];
            }
        }
    }

    // Exactly one outcome, with its status, and only when the firmware's
    // replies bear it out.
    const auto lastThree = [&](bool reads) -> std::optional<std::uint8_t> {
        if (completed.size() < 3) {
            return std::nullopt;
        }
        const Completed* tail = &completed[completed.size() - 3];
        for (int i = 0; i < 3; ++i) {
            if (tail[i].isRead != reads || tail[i].value != tail[0].value) {
                return std::nullopt;
            }
        }
        return tail[0].value;
    };
    const auto lastSilent = [&] {
        if (transactions < static_cast<std::size_t>(MAX_EXCHANGE_ATTEMPTS)) {
            return false;
        }
        for (std::size_t i = transactions - MAX_EXCHANGE_ATTEMPTS; i < transactions; ++i) {
            if (Completes(firmware.replies[i])) {
                return false;
            }
        }
        return true;
    };
    const auto single = [&](const std::string& line) {
        return outcome.lines == std::vector<std::string>{line};
    };
    switch (outcome.status) {
    case EXIT_OK: {
        if (!expected.valid) {
            return "success for an invalid command line" + where;
        }
        const std::optional<std::uint8_t> confirmed = lastThree(false);
        if (!confirmed) {
            return "success without three agreeing confirmations" + where;
        }
        if (expected.kind == CommandKind::Set) {
            if (*confirmed != expected.stopValue ||
                !single("Set " + std::to_string(expected.stopValue) + " successfully.")) {
                return "set reported without the firmware confirming the requested value" + where;
            }
        } else if (!single("Get " + std::to_string(lastProbe) + " successfully.")) {
            return "get reported a value the firmware did not report" + where;
        } else if ((lastProbe == 80 || lastProbe == 100) && *confirmed != 80 && *confirmed != 100) {
            return "get accepted a non-standard confirmation of a standard value" + where;
        }
        return "";
    }
    case EXIT_USAGE:
        if (expected.valid || outcome.lines != UsageExitLines(EXIT_USAGE) || !lastThree(true)) {
            return "usage exit out of place" + where;
        }
        return "";
    case EXIT_NO_ANSWER:
        if (!single("Firmware did not answer the request.") || !lastSilent()) {
            return "no-answer verdict while the firmware answered" + where;
        }
        return "";
    case EXIT_NO_AGREEMENT:
        if (!single("Firmware replies did not agree.")) {
            return "disagreement verdict with the wrong lines" + where;
        }
        return "";
    case EXIT_SET_REFUSED: {
        const std::optional<std::uint8_t> confirmed = lastThree(false);
        if (!expected.valid || expected.kind != CommandKind::Set || !confirmed ||
            *confirmed == expected.stopValue ||
            !single("Set " + std::to_string(expected.stopValue) + " failed: firmware reports " +
                    std::to_string(*confirmed) + ".")) {
            return "refusal verdict not borne out by the confirmations" + where;
        }
        return "";
    }
    default:
        return "unexpected exit status" + where;
    }
}

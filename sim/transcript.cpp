#include "sim/transcript.h"

#include <sstream>

namespace {

constexpr const char* CALL_NAMES[WMI_CALL_KINDS] = {
    "ConnectServer", "SetBlanket", "ExecQuery", "Next",          "Get",        "Put",
    "PutInstance",   "GetObject",  "GetMethod", "SpawnInstance", "ExecMethod",
};

bool ReadHexByte(const std::string& word, std::uint8_t& value)
{
    if (word.size() != 2) {
        return false;
    }
    unsigned number = 0;
    for (const char c : word) {
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) {
            return false;
        }
        number = number * 16 + static_cast<unsigned>(digit);
    }
    value = static_cast<std::uint8_t>(number);
    return true;
}

}  // namespace

std::string FormatBytes(const Wag1& wag1)
{
    std::size_t used = WAG1_SIZE;
    while (used > 0 && wag1[used - 1] == 0) {
        --used;
    }
    if (used == 0) {
        return "[256 zero bytes]";
    }
    std::string text;
    for (std::size_t i = 0; i < used; ++i) {
        if (i > 0) {
            text += ' ';
        }
        text += "0123456789abcdef"[wag1[i] >> 4];
        text += "0123456789abcdef"[wag1[i] & 0xF];
    }
    if (used < WAG1_SIZE) {
        text += " [+" + std::to_string(WAG1_SIZE - used) + " zero bytes]";
    }
    return text;
}

bool ParseBytes(const std::string& text, Wag1& wag1)
{
    if (text == "[256 zero bytes]") {
        wag1.fill(0);
        return true;
    }
    std::istringstream words(text);
    std::size_t count = 0;
    Wag1 parsed{};
    for (std::string word; words >> word;) {
        if (word.rfind("[+", 0) == 0) {
            std::string zero, bytes, extra;
            const bool tailRight = (words >> zero >> bytes) && zero == "zero" && bytes == "bytes]" && !(words >> extra);
            // FormatBytes stops at the last nonzero byte, so the run of zeros
            // it names is the whole rest of the mailbox.
            const bool countRight = count > 0 && parsed[count - 1] != 0 &&
                                    word == "[+" + std::to_string(WAG1_SIZE - count);
            if (!tailRight || !countRight) {
                return false;
            }
            wag1 = parsed;
            return true;
        }
        if (count == WAG1_SIZE || !ReadHexByte(word, parsed[count])) {
            return false;
        }
        ++count;
    }
    if (count != WAG1_SIZE) {
        return false;
    }
    wag1 = parsed;
    return true;
}

std::string TranscriptHeader(std::uint8_t stopValue, const std::string& scenarioName)
{
    return "# vorlix-sim transcript. Stop value at start: " + std::to_string(stopValue) +
           "; scenario: " + scenarioName +
           "\n# write N: WAG1 as PutInstance stored it; invoke: what MyFn1 made of it; reply: WAG1 after it\n";
}

std::string TranscriptWrite(int number, const Wag1& received)
{
    // Numbers padded to four places keep the bytes of most runs aligned.
    std::string label = "write " + std::to_string(number);
    label.resize(label.size() < 10 ? 10 : label.size(), ' ');
    return label + " " + FormatBytes(received) + "\n";
}

std::string TranscriptInvoke(const std::string& instanceName, const InvokeResult& result, const Wag1& reply)
{
    return "  invoke   " + instanceName + ": " + result.note + "\n  reply    " + FormatBytes(reply) + "\n";
}

std::string TranscriptRejectedInvoke(const std::string& why)
{
    return "  invoke   refused: " + why + "\n";
}

std::string FormatCounts(const CallCounts& counts)
{
    std::string text;
    for (std::size_t i = 0; i < WMI_CALL_KINDS; ++i) {
        text += std::string(CALL_NAMES[i]) + " " + std::to_string(counts[i]) + "\n";
    }
    return text;
}

std::string TranscriptCounts(const CallCounts& counts)
{
    std::string text = "# calls:";
    for (std::size_t i = 0; i < WMI_CALL_KINDS; ++i) {
        text += std::string(i == 0 ? " " : ", ") + CALL_NAMES[i] + " " + std::to_string(counts[i]);
    }
    return text + "\n";
}

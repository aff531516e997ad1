#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "cli/command_line.h"

// The firmware's WAG1 property, mirrored byte for byte. 16-bit words are
// little-endian; the offsets below name the bytes the program writes or reads.
constexpr std::size_t MAILBOX_SIZE = 256;
using MailboxBuffer = std::array<std::uint8_t, MAILBOX_SIZE>;

constexpr std::size_t OFFSET_COMMAND_WORD = 0;
constexpr std::size_t OFFSET_SUB_COMMAND_WORD = 2;
constexpr std::size_t OFFSET_PARAMETER_WORD = 4;
constexpr std::size_t OFFSET_STATUS_BYTE = 6;
constexpr std::size_t OFFSET_BYTE_8 = 8;
constexpr std::size_t OFFSET_COMPANION_VALUE = 9;  // set request
constexpr std::size_t OFFSET_REPORTED_VALUE = 9;   // read reply
constexpr std::size_t OFFSET_STOP_VALUE = 10;      // set request and reply
constexpr std::size_t OFFSET_REQUEST_MARKER = 11;

constexpr std::uint16_t READ_COMMAND_WORD = 0x0030;
constexpr std::uint16_t READ_SUB_COMMAND_WORD = 0x0001;
constexpr std::uint16_t READ_PARAMETER_WORD = 0x000E;
constexpr std::uint16_t SET_COMMAND_WORD = 0x0065;
constexpr std::uint16_t SET_SUB_COMMAND_WORD = 0x0004;
constexpr std::uint8_t REQUEST_MARKER = 0xAA;

// The only status that ends an exchange; anything else means "ask again".
constexpr std::uint8_t STATUS_DONE = 0x80;

// Without these bounds a machine whose firmware never completes or never
// agrees would spin at full CPU forever.
constexpr int MAX_EXCHANGE_ATTEMPTS = 16;
constexpr int MAX_RUN_PASSES = 8;

// The one seam to the firmware, so the protocol never names WMI and can be
// driven by a scripted double in tests. A failure shows only in the buffer:
// ReadMailbox zeroes it before copying, so a failed read is a reply without
// STATUS_DONE.
class FirmwareMailbox {
public:
    virtual ~FirmwareMailbox() = default;
    virtual void WriteMailbox(const MailboxBuffer& buffer) = 0;
    virtual void InvokeMailbox() = 0;
    virtual void ReadMailbox(MailboxBuffer& buffer) = 0;
};

// Process-wide state. Every exchange builds its request in mailboxBuffer and
// the reply overwrites it in place.
extern MailboxBuffer mailboxBuffer;
extern std::uint8_t probeValues[3];
extern std::uint8_t currentStopValue;
extern std::uint8_t confirmValues[3];

void BuildReadStopValueRequest();
void BuildSetStopValueRequest(std::uint8_t stopValue);

// Each returns true once a reply carries STATUS_DONE, false when
// MAX_EXCHANGE_ATTEMPTS transactions brought none.
bool ExchangeReadStopValue(FirmwareMailbox& mailbox);
bool ExchangeSetStopValue(FirmwareMailbox& mailbox, const CommandArgs& args);

// Three set exchanges; false when one of them got no answer.
bool ApplyCommand(FirmwareMailbox& mailbox, const CommandArgs& args);
void ReportSuccess();

// The whole run; returns the process exit status after printing exactly one
// outcome line. May end the process through ExitWithUsage instead.
int RunCommand(FirmwareMailbox& mailbox, const CommandArgs& args);

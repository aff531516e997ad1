#include "protocol/protocol.h"

MailboxBuffer mailboxBuffer{};

namespace {

void PutWord(std::size_t offset, std::uint16_t value)
{
    mailboxBuffer[offset] = static_cast<std::uint8_t>(value & 0xFF);
    mailboxBuffer[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

// The firmware wants a second value beside the stop value; it knows only
// these two pairs, and any other stop value goes with 0.
std::uint8_t CompanionValue(std::uint8_t stopValue)
{
    switch (stopValue) {
    case 100:
        return 0x5F;
    case 80:
        return 0x4B;
    default:
        return 0;
    }
}

// One transaction; true when the reply says the request was completed.
bool Transact(FirmwareMailbox& mailbox)
{
    mailbox.WriteMailbox(mailboxBuffer);
    mailbox.InvokeMailbox();
    mailbox.ReadMailbox(mailboxBuffer);
    return mailboxBuffer[OFFSET_STATUS_BYTE] == STATUS_DONE;
}

}  // namespace

void BuildReadStopValueRequest()
{
    mailboxBuffer.fill(0);
    PutWord(OFFSET_COMMAND_WORD, READ_COMMAND_WORD);
    PutWord(OFFSET_SUB_COMMAND_WORD, READ_SUB_COMMAND_WORD);
    PutWord(OFFSET_PARAMETER_WORD, READ_PARAMETER_WORD);
    mailboxBuffer[OFFSET_BYTE_8] = 0x80;
    mailboxBuffer[9] = 0x06;
    mailboxBuffer[10] = 0x29;
}

void BuildSetStopValueRequest(std::uint8_t stopValue)
{
    mailboxBuffer.fill(0);
    PutWord(OFFSET_COMMAND_WORD, SET_COMMAND_WORD);
    PutWord(OFFSET_SUB_COMMAND_WORD, SET_SUB_COMMAND_WORD);
    mailboxBuffer[OFFSET_BYTE_8] = 0x01;
    mailboxBuffer[OFFSET_COMPANION_VALUE] = CompanionValue(stopValue);
    mailboxBuffer[OFFSET_STOP_VALUE] = stopValue;
    mailboxBuffer[OFFSET_REQUEST_MARKER] = REQUEST_MARKER;
}

bool ExchangeReadStopValue(FirmwareMailbox& mailbox)
{
    for (int attempt = 0; attempt < MAX_EXCHANGE_ATTEMPTS; ++attempt) {
        BuildReadStopValueRequest();
        if (Transact(mailbox)) {
            return true;
        }
    }
    return false;
}

bool ExchangeSetStopValue(FirmwareMailbox& mailbox, const CommandArgs& args)
{
    for (int attempt = 0; attempt < MAX_EXCHANGE_ATTEMPTS; ++attempt) {
        // Parsed here rather than at start-up, so a bad command line is only
        // reported once the firmware has answered the reads.
        const Command command = ParseCommand(args);
        // A get writes back the value the machine already reports.
        BuildSetStopValueRequest(command.kind == CommandKind::Set ? command.stopValue : currentStopValue);
        if (Transact(mailbox)) {
            return true;
        }
    }
    return false;
}

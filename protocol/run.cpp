#include <iostream>

#include "cli/exit_codes.h"
#include "protocol/protocol.h"

std::uint8_t probeValues[3];
std::uint8_t currentStopValue;
std::uint8_t confirmValues[3];

namespace {

constexpr const char* NO_ANSWER_LINE = "Firmware did not answer the request.";

bool Unanimous(const std::uint8_t (&values)[3])
{
    return values[0] == values[1] && values[1] == values[2];
}

bool IsStandardStopValue(std::uint8_t value)
{
    return value == 100 || value == 80;
}

// Only ever compares the replies of the current pass.
bool ConfirmationsAccepted()
{
    if (!Unanimous(confirmValues)) {
        return false;
    }
    // A set counts only when the firmware confirms the very value asked for.
    if (lastCommand.kind == CommandKind::Set) {
        return confirmValues[0] == lastCommand.stopValue;
    }
    // A machine that reported 100 or 80 must confirm one of those; one that
    // reported something else need only be consistent.
    return !IsStandardStopValue(probeValues[0]) || IsStandardStopValue(confirmValues[0]);
}

int Fail(const char* line, int status)
{
    std::cout << line << std::endl;
    return status;
}

}  // namespace

bool ApplyCommand(FirmwareMailbox& mailbox, const CommandArgs& args)
{
    currentStopValue = probeValues[0];
    for (std::uint8_t& confirmValue : confirmValues) {
        if (!ExchangeSetStopValue(mailbox, args)) {
            return false;
        }
        confirmValue = mailboxBuffer[OFFSET_STOP_VALUE];
    }
    return true;
}

void ReportSuccess()
{
    if (lastCommand.kind == CommandKind::Set) {
        std::cout << "Set " << unsigned{confirmValues[0]} << " successfully." << std::endl;
    } else if (lastCommand.kind == CommandKind::Get) {
        std::cout << "Get " << unsigned{currentStopValue} << " successfully." << std::endl;
    }
}

int RunCommand(FirmwareMailbox& mailbox, const CommandArgs& args)
{
    bool lastPassRefused = false;
    for (int pass = 0; pass < MAX_RUN_PASSES; ++pass) {
        lastPassRefused = false;
        for (std::uint8_t& probeValue : probeValues) {
            if (!ExchangeReadStopValue(mailbox)) {
                return Fail(NO_ANSWER_LINE, EXIT_NO_ANSWER);
            }
            probeValue = mailboxBuffer[OFFSET_REPORTED_VALUE];
        }
        if (!Unanimous(probeValues)) {
            continue;
        }
        if (!ApplyCommand(mailbox, args)) {
            return Fail(NO_ANSWER_LINE, EXIT_NO_ANSWER);
        }
        if (ConfirmationsAccepted()) {
            ReportSuccess();
            return EXIT_OK;
        }
        // An unaccepted but unanimous set can only name another value.
        lastPassRefused = lastCommand.kind == CommandKind::Set && Unanimous(confirmValues);
    }
    if (lastPassRefused) {
        std::cout << "Set " << unsigned{lastCommand.stopValue} << " failed: firmware reports "
                  << unsigned{confirmValues[0]} << "." << std::endl;
        return EXIT_SET_REFUSED;
    }
    return Fail("Firmware replies did not agree.", EXIT_NO_AGREEMENT);
}

#include <gtest/gtest.h>

#include "cli/exit_codes.h"
#include "protocol/protocol.h"
#include "tests/support/fuzzed_run.h"
#include "tests/support/generated_inputs.h"
#include "tests/support/process_end.h"
#include "tests/support/scripted_firmware.h"

namespace {

std::vector<Reply> Times(int count, const std::vector<Reply>& replies)
{
    std::vector<Reply> all;
    for (int i = 0; i < count; ++i) {
        all.insert(all.end(), replies.begin(), replies.end());
    }
    return all;
}

std::vector<Reply> operator+(std::vector<Reply> first, const std::vector<Reply>& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

std::string Times(int count, const std::string& text)
{
    std::string all;
    for (int i = 0; i < count; ++i) {
        all += text;
    }
    return all;
}

Reply Confirm(std::uint8_t value)
{
    return Reply{STATUS_DONE, 0, value};
}

// The requests as read by a person: "R" for a read, "S<value>" for a set.
std::string Summary(const std::vector<MailboxBuffer>& requests)
{
    std::string summary;
    for (const MailboxBuffer& request : requests) {
        if (request[OFFSET_COMMAND_WORD] == 0x30) {
            summary += "R ";
        } else {
            summary += "S" + std::to_string(request[OFFSET_STOP_VALUE]) + " ";
        }
    }
    return summary;
}

const std::vector<Reply> PROBES_100 = {Done(100), Done(100), Done(100)};
const std::vector<Reply> PROBES_80 = {Done(80), Done(80), Done(80)};
const std::vector<Reply> PROBES_SPLIT = {Done(100), Done(80), Done(100)};
const std::string PASS_R = "R R R ";

struct RunCase {
    const char* name;
    std::vector<std::wstring> words;
    std::vector<Reply> script;
    int status;
    std::vector<std::string> lines;
    std::string requests;
};

TEST(RunCommand, ReachesTheRightVerdict)
{
    const std::string SET_FAILS = Times(MAX_RUN_PASSES, PASS_R + "S100 S100 S100 ");
    const RunCase cases[] = {
        {"set 80", {L"-set", L"80"}, PROBES_100 + Times(3, {Done(80)}), EXIT_OK,
         {"Set 80 successfully."}, PASS_R + "S80 S80 S80 "},
        {"set 100", {L"-set", L"100"}, PROBES_80 + Times(3, {Done(100)}), EXIT_OK,
         {"Set 100 successfully."}, PASS_R + "S100 S100 S100 "},
        {"get writes back what it reads", {L"-get"}, PROBES_80 + Times(3, {Done(80)}), EXIT_OK,
         {"Get 80 successfully."}, PASS_R + "S80 S80 S80 "},
        {"get on another value", {L"-get"}, Times(3, {Done(0)}) + Times(3, {Confirm(7)}), EXIT_OK,
         {"Get 0 successfully."}, PASS_R + "S0 S0 S0 "},
        {"probes disagree, then agree", {L"-set", L"80"}, PROBES_SPLIT + PROBES_100 + Times(3, {Done(80)}),
         EXIT_OK, {"Set 80 successfully."}, PASS_R + PASS_R + "S80 S80 S80 "},
        {"confirmations disagree, then agree", {L"-set", L"80"},
         PROBES_100 + std::vector<Reply>{Confirm(80), Confirm(80), Confirm(100)} + PROBES_100 +
             Times(3, {Confirm(80)}),
         EXIT_OK, {"Set 80 successfully."}, Times(2, PASS_R + "S80 S80 S80 ")},
        {"get needs a standard confirmation after a standard probe", {L"-get"},
         PROBES_100 + Times(3, {Confirm(7)}) + PROBES_100 + Times(3, {Confirm(100)}), EXIT_OK,
         {"Get 100 successfully."}, Times(2, PASS_R + "S100 S100 S100 ")},
        {"set confirmed as another value is refused", {L"-set", L"100"},
         Times(MAX_RUN_PASSES, Times(3, {Done(0)}) + Times(3, {Confirm(7)})), EXIT_SET_REFUSED,
         {"Set 100 failed: firmware reports 7."}, SET_FAILS},
        {"set 80 on a firmware that keeps 100", {L"-set", L"80"}, {Done(100)}, EXIT_SET_REFUSED,
         {"Set 80 failed: firmware reports 100."}, Times(MAX_RUN_PASSES, PASS_R + "S80 S80 S80 ")},
        {"refusals, then disagreement in the last pass", {L"-set", L"80"},
         Times(MAX_RUN_PASSES - 1, PROBES_100 + Times(3, {Confirm(100)})) + PROBES_SPLIT,
         EXIT_NO_AGREEMENT, {"Firmware replies did not agree."},
         Times(MAX_RUN_PASSES - 1, PASS_R + "S80 S80 S80 ") + PASS_R},
        {"get never confirmed", {L"-get"}, Times(MAX_RUN_PASSES, PROBES_80 + Times(3, {Confirm(7)})),
         EXIT_NO_AGREEMENT, {"Firmware replies did not agree."},
         Times(MAX_RUN_PASSES, PASS_R + "S80 S80 S80 ")},
        {"probes never agree", {L"-set", L"80"}, Times(MAX_RUN_PASSES, PROBES_SPLIT), EXIT_NO_AGREEMENT,
         {"Firmware replies did not agree."}, Times(MAX_RUN_PASSES, PASS_R)},
        {"no firmware", {L"-set", L"80"}, {}, EXIT_NO_ANSWER, {"Firmware did not answer the request."},
         Times(MAX_EXCHANGE_ATTEMPTS, "R ")},
        {"set never completes", {L"-set", L"80"}, PROBES_100 + std::vector<Reply>{Busy()}, EXIT_NO_ANSWER,
         {"Firmware did not answer the request."}, PASS_R + Times(MAX_EXCHANGE_ATTEMPTS, "S80 ")},
        {"usage only once the probes agree", {}, PROBES_SPLIT + PROBES_80, EXIT_USAGE,
         UsageExitLines(EXIT_USAGE), PASS_R + PASS_R},
        {"bad value", {L"-set", L"85"}, {Done(80)}, EXIT_USAGE, UsageExitLines(EXIT_USAGE), PASS_R},
        {"no argument while the probes never agree", {}, Times(MAX_RUN_PASSES, PROBES_SPLIT),
         EXIT_NO_AGREEMENT, {"Firmware replies did not agree."}, Times(MAX_RUN_PASSES, PASS_R)},
    };
    for (const RunCase& c : cases) {
        ScriptedFirmware firmware(c.script);
        const Args args(c.words);
        const Outcome outcome = Capture([&] { return RunCommand(firmware, args.get()); });
        EXPECT_EQ(outcome.status, c.status) << c.name;
        EXPECT_EQ(outcome.lines, c.lines) << c.name;
        EXPECT_EQ(Summary(firmware.requests), c.requests) << c.name;
        EXPECT_EQ(firmware.operations, Times(static_cast<int>(firmware.requests.size()), "WIR")) << c.name;
    }
}

}  // namespace

namespace {

TEST(RunCommand, KeepsItsPromisesOverGeneratedFirmware)
{
    EXPECT_EQ(CheckGeneratedInputs(CheckRun, 5000, 1, 200), "");
    // Long inputs reach the later passes and the run's bound.
    EXPECT_EQ(CheckGeneratedInputs(CheckRun, 300, 2, 4000), "");
}

}  // namespace

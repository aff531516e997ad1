#include <gtest/gtest.h>

#include "cli/exit_codes.h"
#include "protocol/protocol.h"
#include "tests/support/process_end.h"
#include "tests/support/scripted_firmware.h"

namespace {

TEST(RunCommand, SetsEighty)
{
    ScriptedFirmware firmware({Done(100), Done(100), Done(100), Done(80)});
    const Args args({L"-set", L"80"});
    const Outcome outcome = Capture([&] { return RunCommand(firmware, args.get()); });
    EXPECT_EQ(outcome.status, EXIT_OK);
    EXPECT_EQ(outcome.lines, std::vector<std::string>{"Set 80 successfully."});
}

}  // namespace

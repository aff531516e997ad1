#include "cli/command_line.h"

#include <gtest/gtest.h>

#include "cli/exit_codes.h"
#include "tests/support/process_end.h"
#include "tests/support/scripted_firmware.h"

namespace {

TEST(ParseCommand, AcceptsSet80)
{
    const Args args({L"-set", L"80"});
    const Command command = ParseCommand(args.get());
    EXPECT_EQ(command.kind, CommandKind::Set);
    EXPECT_EQ(command.stopValue, 80);
}

}  // namespace

#include <gtest/gtest.h>

#include "protocol/protocol.h"
#include "tests/support/scripted_firmware.h"

namespace {

TEST(ExchangeReadStopValue, SendsOneRequestWhenCompleted)
{
    ScriptedFirmware firmware({Done(80)});
    EXPECT_TRUE(ExchangeReadStopValue(firmware));
    EXPECT_EQ(firmware.operations, "WIR");
}

}  // namespace

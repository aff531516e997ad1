#pragma once

// What the simulator writes down for a person debugging a firmware: the
// mailbox bytes in hex, and how often each WMI call was made in a run.

#include <array>
#include <cstddef>
#include <string>

#include "sim/firmware.h"

// The bytes up to the last nonzero one, then "[+N zero bytes]"; an all-zero
// mailbox is "[256 zero bytes]".
std::string FormatBytes(const Wag1& wag1);

// Turns a FormatBytes line back into the mailbox; false if it is not one.
bool ParseBytes(const std::string& text, Wag1& wag1);

// One transcript entry each; every entry ends in a newline.
std::string TranscriptHeader(std::uint8_t stopValue, const std::string& scenarioName);
std::string TranscriptWrite(int number, const Wag1& received);
std::string TranscriptInvoke(const std::string& instanceName, const InvokeResult& result, const Wag1& reply);
std::string TranscriptRejectedInvoke(const std::string& why);

// The WMI calls counted per run, in the order they are written out.
enum class WmiCall {
    ConnectServer,
    SetBlanket,
    ExecQuery,
    Next,
    Get,
    Put,
    PutInstance,
    GetObject,
    GetMethod,
    SpawnInstance,
    ExecMethod,
    Count_
};
constexpr std::size_t WMI_CALL_KINDS = static_cast<std::size_t>(WmiCall::Count_);
using CallCounts = std::array<long, WMI_CALL_KINDS>;

// The counts file: "<call> <count>" a line, every call listed.
std::string FormatCounts(const CallCounts& counts);

// The transcript's closing line with the same counts.
std::string TranscriptCounts(const CallCounts& counts);

#pragma once

#include <objbase.h>

#include "cli/command_line.h"

// The COM runtime calls the program makes, gathered so that tests can stand
// in for the system's.
struct ComRuntime {
    decltype(&::CoInitializeEx) CoInitializeEx;
    decltype(&::CoInitializeSecurity) CoInitializeSecurity;
    decltype(&::CoCreateInstance) CoCreateInstance;
    decltype(&::CoSetProxyBlanket) CoSetProxyBlanket;
    decltype(&::CoUninitialize) CoUninitialize;
};

// The system's own COM runtime.
extern const ComRuntime systemComRuntime;

// Opens COM and the WMI connection to ROOT\WMI, clears the firmware mailbox,
// runs the command and tears everything down again. Returns the process exit
// status: RunCommand's, or EXIT_SETUP_FAILED after printing why the set-up
// failed. A usage exit ends the process inside, without the teardown.
int ProgramMain(const ComRuntime& com, const CommandArgs& args);

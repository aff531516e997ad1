#pragma once

// Flushes standard output and ends the process with the given status. Kept in
// its own translation unit so that tests can link a version that returns
// control to the test instead.
[[noreturn]] void EndProcess(int status);

#pragma once

// Scripts read these; they never change meaning.
constexpr int EXIT_OK = 0;
constexpr int EXIT_SETUP_FAILED = 1;   // COM or the WMI connection could not be set up
constexpr int EXIT_NO_ANSWER = 2;      // the firmware never completed a request
constexpr int EXIT_NO_AGREEMENT = 3;   // the firmware's replies never agreed
constexpr int EXIT_SET_REFUSED = 4;    // the firmware kept confirming another value
constexpr int EXIT_USAGE = 255;        // the command line is not a valid command

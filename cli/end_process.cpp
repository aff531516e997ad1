#include "cli/end_process.h"

#include <cstdlib>
#include <iostream>

void EndProcess(int status)
{
    std::cout.flush();
    std::exit(status);
}

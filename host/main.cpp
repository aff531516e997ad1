#include "cli/command_line.h"
#include "host/program.h"

int wmain(int argc, wchar_t* argv[])
{
    return ProgramMain(systemComRuntime, CommandArgs{argc, argv});
}

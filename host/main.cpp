#include <windows.h>

#include "cli/command_line.h"
#include "host/program.h"

int wmain(int argc, wchar_t* argv[])
{
    // An elevated program must never load a DLL planted in its own folder or
    // the current directory. Should the call be unavailable, the imports are
    // all KnownDLLs and COM loads its servers by full path, so go on.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    return ProgramMain(systemComRuntime, CommandArgs{argc, argv});
}

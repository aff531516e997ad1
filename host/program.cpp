#include "host/program.h"

#include <wbemidl.h>

#include <cstdint>
#include <iostream>

#include "cli/exit_codes.h"
#include "host/com_holders.h"
#include "host/wmi_mailbox.h"
#include "protocol/protocol.h"

const ComRuntime systemComRuntime = {
    ::CoInitializeEx, ::CoInitializeSecurity, ::CoCreateInstance, ::CoSetProxyBlanket, ::CoUninitialize,
};

namespace {

// Held for the whole run. Members go in reverse order when the set-up fails
// half-way: the services before the locator that made them.
struct WmiConnection {
    ComRef<IWbemLocator> locator;
    ComRef<IWbemServices> services;
};

int SetupFailed(const char* text, HRESULT hr)
{
    std::cout << text << std::hex << static_cast<std::uint32_t>(hr) << std::dec << std::endl;
    return EXIT_SETUP_FAILED;
}

// Everything between COM's initialisation and its end.
int RunWithCom(const ComRuntime& com, const CommandArgs& args)
{
    HRESULT hr = com.CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                          RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    if (FAILED(hr)) {
        return SetupFailed("Failed to initialize security. Error code = 0x", hr);
    }

    WmiConnection connection;
    hr = com.CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                              connection.locator.put_void());
    if (FAILED(hr)) {
        return SetupFailed("Failed to create IWbemLocator object. Err code = 0x", hr);
    }

    // Should the string not be had, ConnectServer refuses the null namespace
    // and that is reported like any failed connection.
    const Bstr wmiNamespace(L"ROOT\\WMI");
    hr = connection.locator->ConnectServer(wmiNamespace.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                           connection.services.put());
    if (FAILED(hr)) {
        return SetupFailed("Could not connect. Error code = 0x", hr);
    }

    hr = com.CoSetProxyBlanket(connection.services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                               RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    if (FAILED(hr)) {
        return SetupFailed("Could not set proxy blanket. Error code = 0x", hr);
    }

    WmiMailbox mailbox(connection.services.get());
    // The mailbox is cleared before the first request, so nothing an earlier
    // run left in WAG1 can pass for a reply.
    mailboxBuffer.fill(0);
    mailbox.WriteMailbox(mailboxBuffer);

    const int status = RunCommand(mailbox, args);

    // The locator goes first, then the services it handed out.
    connection.locator.reset();
    connection.services.reset();
    return status;
}

}  // namespace

int ProgramMain(const ComRuntime& com, const CommandArgs& args)
{
    const HRESULT hr = com.CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        return SetupFailed("Failed to initialize COM library. Error code = 0x", hr);
    }
    const int status = RunWithCom(com, args);
    com.CoUninitialize();
    return status;
}

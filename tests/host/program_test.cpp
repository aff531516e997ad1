#include "host/program.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "cli/exit_codes.h"
#include "tests/host/fake_wmi.h"
#include "tests/support/process_end.h"
#include "tests/support/scripted_firmware.h"

namespace {

using Calls = std::vector<std::string>;

// What the fake COM runtime answers, and the locator it hands out.
struct FakeCom {
    HRESULT initializeResult = S_OK;
    HRESULT securityResult = S_OK;
    HRESULT createResult = S_OK;
    HRESULT blanketResult = S_OK;
    ComRef<FakeLocator> locator;
};

FakeCom* fakeCom = nullptr;

std::string Pointer(const void* p)
{
    return p == nullptr ? "null" : "set";
}

HRESULT WINAPI FakeCoInitializeEx(LPVOID reserved, DWORD model)
{
    wmiCalls.push_back("CoInitializeEx(" + Pointer(reserved) + ", " + std::to_string(model) + ")");
    return fakeCom->initializeResult;
}

HRESULT WINAPI FakeCoInitializeSecurity(PSECURITY_DESCRIPTOR descriptor, LONG authServices,
                                        SOLE_AUTHENTICATION_SERVICE* services, void* reserved1, DWORD authnLevel,
                                        DWORD impLevel, void* authList, DWORD capabilities, void* reserved3)
{
    wmiCalls.push_back("CoInitializeSecurity(" + Pointer(descriptor) + ", " + std::to_string(authServices) + ", " +
                       Pointer(services) + ", " + Pointer(reserved1) + ", " + std::to_string(authnLevel) + ", " +
                       std::to_string(impLevel) + ", " + Pointer(authList) + ", " + std::to_string(capabilities) +
                       ", " + Pointer(reserved3) + ")");
    return fakeCom->securityResult;
}

HRESULT WINAPI FakeCoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object)
{
    wmiCalls.push_back(std::string("CoCreateInstance(") +
                       (IsEqualCLSID(clsid, CLSID_WbemLocator) ? "WbemLocator" : "other class") + ", " +
                       Pointer(outer) + ", " + std::to_string(context) + ", " +
                       (IsEqualIID(iid, IID_IWbemLocator) ? "IWbemLocator" : "other interface") + ")");
    if (FAILED(fakeCom->createResult)) {
        return fakeCom->createResult;
    }
    fakeCom->locator->AddRef();
    *object = static_cast<IWbemLocator*>(fakeCom->locator.get());
    return fakeCom->createResult;
}

HRESULT WINAPI FakeCoSetProxyBlanket(IUnknown* proxy, DWORD authnService, DWORD authzService, OLECHAR* principal,
                                     DWORD authnLevel, DWORD impLevel, RPC_AUTH_IDENTITY_HANDLE identity,
                                     DWORD capabilities)
{
    const bool onServices = proxy == static_cast<IWbemServices*>(fakeCom->locator->services.get());
    wmiCalls.push_back(std::string("CoSetProxyBlanket(") + (onServices ? "services" : "other") + ", " +
                       std::to_string(authnService) + ", " + std::to_string(authzService) + ", " +
                       Pointer(principal) + ", " + std::to_string(authnLevel) + ", " + std::to_string(impLevel) +
                       ", " + Pointer(identity) + ", " + std::to_string(capabilities) + ")");
    return fakeCom->blanketResult;
}

void WINAPI FakeCoUninitialize()
{
    wmiCalls.push_back("CoUninitialize()");
}

const ComRuntime FAKE_COM_RUNTIME = {
    FakeCoInitializeEx, FakeCoInitializeSecurity, FakeCoCreateInstance, FakeCoSetProxyBlanket, FakeCoUninitialize,
};

const char* const INITIALIZE = "CoInitializeEx(null, 0)";
const char* const SECURITY = "CoInitializeSecurity(null, -1, null, null, 0, 3, null, 0, null)";
const char* const CREATE = "CoCreateInstance(WbemLocator, null, 1, IWbemLocator)";
const char* const CONNECT = "ConnectServer(ROOT\\WMI, null, null, null, 0, null, null)";
const char* const BLANKET = "CoSetProxyBlanket(services, 10, 0, null, 3, 3, null, 0)";
const char* const UNINITIALIZE = "CoUninitialize()";

// Only the set-up and teardown calls, without the mailbox traffic between.
Calls ComCalls()
{
    Calls calls;
    std::copy_if(wmiCalls.begin(), wmiCalls.end(), std::back_inserter(calls), [](const std::string& call) {
        return call.rfind("Co", 0) == 0 || call.rfind("ConnectServer", 0) == 0 || call.rfind("locator.", 0) == 0 ||
               call.rfind("services.", 0) == 0;
    });
    return calls;
}

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { ExpectAllReleased(); }

    // A fresh COM runtime whose locator connects to an empty WMI.
    void Reset()
    {
        com = FakeCom{};
        fakesBefore = liveFakes;
        com.locator = Adopt(new FakeLocator());
        com.locator->services = Adopt(new FakeServices());
        com.locator->logReleases = true;
        com.locator->services->logReleases = true;
        services().methodClass = MakeMethodClass();
        fakeCom = &com;
        wmiCalls.clear();
    }

    // The program let go of everything it obtained.
    void ExpectAllReleased()
    {
        EXPECT_EQ(com.locator->refs, 1u);
        EXPECT_EQ(services().refs, 1u);
        // locator, services, method class, input signature and the instances
        int fakes = fakesBefore + 4;
        for (const auto& query : services().queries) {
            fakes += static_cast<int>(query.second.instances.size());
        }
        EXPECT_EQ(liveFakes, fakes);
        com.locator->logReleases = false;
        services().logReleases = false;
        fakeCom = nullptr;
    }

    FakeServices& services() { return *com.locator->services.get(); }

    // A firmware with one mailbox instance and one method instance that
    // answers every request, currently holding stopValue.
    void InstallFirmware(std::uint8_t value)
    {
        stopValue = value;
        services().queries[L"Select * From MyWMIARGClass1"].instances.push_back(
            MakeArgInstance("arg1", ByteArray(MAILBOX_SIZE, 0x55)));
        services().queries[L"Select * From MyWMIMethodClass"].instances.push_back(
            MakeMethodInstance("method1", L"\\\\.\\ROOT\\WMI:MyWMIMethodClass.InstanceName=\"0\""));
        FakeObject* arg = services().queries[L"Select * From MyWMIARGClass1"].instances.back().get();
        services().onExecMethod = [this, arg] { AnswerLikeFirmware(*arg, stopValue); };
    }

    Outcome Run(const std::vector<std::wstring>& words)
    {
        const Args args(words);
        return Capture([&] { return ProgramMain(FAKE_COM_RUNTIME, args.get()); });
    }

    FakeCom com;
    std::uint8_t stopValue = 0;
    int fakesBefore = 0;
};

// Each set-up step failing in turn: its own line, status 1, and only what the
// steps before it set up is undone, services before locator.
TEST_F(ProgramTest, EachFailingSetUpStepPrintsItsLineAndUndoesTheStepsBefore)
{
    struct Case {
        const char* name;
        HRESULT FakeCom::*result;  // null: the locator's ConnectServer
        HRESULT code;
        const char* line;
        Calls calls;
    };
    const Case cases[] = {
        {"COM", &FakeCom::initializeResult, RPC_E_CHANGED_MODE, "Failed to initialize COM library. Error code = 0x80010106",
         {INITIALIZE}},
        {"security", &FakeCom::securityResult, RPC_E_TOO_LATE, "Failed to initialize security. Error code = 0x80010119",
         {INITIALIZE, SECURITY, UNINITIALIZE}},
        {"locator", &FakeCom::createResult, REGDB_E_CLASSNOTREG,
         "Failed to create IWbemLocator object. Err code = 0x80040154", {INITIALIZE, SECURITY, CREATE, UNINITIALIZE}},
        {"connect", nullptr, Hr(WBEM_E_INVALID_NAMESPACE), "Could not connect. Error code = 0x8004100e",
         {INITIALIZE, SECURITY, CREATE, CONNECT, "locator.Release", UNINITIALIZE}},
        {"blanket", &FakeCom::blanketResult, E_ACCESSDENIED, "Could not set proxy blanket. Error code = 0x80070005",
         {INITIALIZE, SECURITY, CREATE, CONNECT, BLANKET, "services.Release", "locator.Release", UNINITIALIZE}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        InstallFirmware(100);
        if (c.result != nullptr) {
            com.*c.result = c.code;
        } else {
            com.locator->connectResult = c.code;
        }

        const Outcome outcome = Run({L"-set", L"80"});

        EXPECT_EQ(outcome.status, EXIT_SETUP_FAILED);
        EXPECT_EQ(outcome.lines, std::vector<std::string>{c.line});
        EXPECT_EQ(wmiCalls, c.calls);
        EXPECT_EQ(stopValue, 100);
        ExpectAllReleased();
    }
}

// Only a negative HRESULT stops the set-up; success codes such as S_FALSE
// (COM already open on this thread) let it carry on.
TEST_F(ProgramTest, SuccessCodesDoNotStopTheSetUp)
{
    com.initializeResult = S_FALSE;
    com.securityResult = S_FALSE;
    com.createResult = S_FALSE;
    com.locator->connectResult = Hr(WBEM_S_FALSE);
    com.blanketResult = S_FALSE;
    InstallFirmware(100);

    const Outcome outcome = Run({L"-get"});

    EXPECT_EQ(outcome.status, EXIT_OK);
    EXPECT_EQ(outcome.lines, std::vector<std::string>{"Get 100 successfully."});
    EXPECT_EQ(ComCalls().back(), UNINITIALIZE);
}

TEST_F(ProgramTest, ClearsTheMailboxFirstThenRunsTheCommandThenTearsDown)
{
    InstallFirmware(100);

    const Outcome outcome = Run({L"-set", L"80"});

    EXPECT_EQ(outcome.status, EXIT_OK);
    EXPECT_EQ(outcome.lines, std::vector<std::string>{"Set 80 successfully."});
    EXPECT_EQ(stopValue, 80);
    EXPECT_EQ(ComCalls(), (Calls{INITIALIZE, SECURITY, CREATE, CONNECT, BLANKET, "locator.Release",
                                 "services.Release", UNINITIALIZE}));

    // Right after the set-up: a write of 256 zero bytes with no invoke, then
    // the first read request.
    const auto traffic = std::find(wmiCalls.begin(), wmiCalls.end(), BLANKET) + 1;
    ASSERT_GE(wmiCalls.end() - traffic, 7);
    EXPECT_EQ(Calls(traffic, traffic + 7), (Calls{
                                               "ExecQuery(WQL, Select * From MyWMIARGClass1, 0x30, context=null)",
                                               "Next(INFINITE, 1) -> arg1",
                                               "arg1.Get(WAG1, 0, type=null, flavor=null)",
                                               "arg1.Put(WAG1, 0, UI1[256], 0)",
                                               "PutInstance(arg1, 1, context=null, result=null)",
                                               "Next(INFINITE, 1) -> none",
                                               "ExecQuery(WQL, Select * From MyWMIARGClass1, 0x30, context=null)",
                                           }));
    ASSERT_GE(services().committed.size(), 2u);
    EXPECT_EQ(services().committed[0], MailboxBuffer{});
    EXPECT_EQ(services().committed[1][OFFSET_COMMAND_WORD], READ_COMMAND_WORD);
}

// RunCommand's status becomes the process's, after the teardown.
TEST_F(ProgramTest, PassesTheRunsStatusThroughAfterTheTeardown)
{
    struct Case {
        const char* name;
        bool firmware;
        std::vector<std::wstring> words;
        int status;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"get", true, {L"-get"}, EXIT_OK, {"Get 100 successfully."}},
        {"no firmware", false, {L"-set", L"100"}, EXIT_NO_ANSWER, {"Firmware did not answer the request."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        services().queries[L"Select * From MyWMIARGClass1"];
        services().queries[L"Select * From MyWMIMethodClass"];
        if (c.firmware) {
            InstallFirmware(100);
        }

        const Outcome outcome = Run(c.words);

        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.lines, c.lines);
        const Calls calls = ComCalls();
        EXPECT_EQ(Calls(calls.end() - 3, calls.end()), (Calls{"locator.Release", "services.Release", UNINITIALIZE}));
        ExpectAllReleased();
    }
}

// A bad command line ends the process from inside the run: no teardown and
// COM is left as it is.
TEST_F(ProgramTest, TheUsageExitSkipsTheTeardown)
{
    InstallFirmware(80);

    const Outcome outcome = Run({L"-set", L"85"});

    EXPECT_EQ(outcome.status, EXIT_USAGE);
    ASSERT_GE(outcome.lines.size(), 2u);
    EXPECT_EQ(outcome.lines[outcome.lines.size() - 2], "Return_Code =255");
    EXPECT_EQ(std::count(wmiCalls.begin(), wmiCalls.end(), UNINITIALIZE), 0);
    EXPECT_EQ(stopValue, 80);
}

}  // namespace

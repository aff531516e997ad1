// The real Vorlix.exe, run against the simulated firmware: for each scenario,
// the exact lines printed, the exit status, the bytes the firmware received
// and the value it keeps. One process drives every run, so Wine starts once.
//
// Arguments: the path of Vorlix.exe and a directory to work in. The Wine
// prefix must have the simulator registered as the WMI locator.

#include <windows.h>
#include <wbemidl.h>

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sim/firmware.h"
#include "sim/transcript.h"
#include "tests/support/process_end.h"

namespace {

std::string programPath;
std::string workDirectory;

// Wine shows the Unix root as drive Z:.
std::string WindowsPath(const std::string& path)
{
    if (path.empty() || path[0] != '/') {
        return path;
    }
    std::string windows = "Z:" + path;
    for (char& c : windows) {
        if (c == '/') {
            c = '\\';
        }
    }
    return windows;
}

std::wstring Widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

void SetEnvironment(const char* name, const std::string& value)
{
    SetEnvironmentVariableA(name, value.empty() ? nullptr : value.c_str());
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

bool ReadFileText(const std::string& path, std::string& text)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    std::ostringstream content;
    content << file.rdbuf();
    text = content.str();
    return true;
}

void WriteFileText(const std::string& path, const std::string& text)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    ASSERT_TRUE(file.good()) << path;
}

struct Outcome {
    int status = -1;
    std::vector<std::string> lines;
};

Outcome RunProgram(const std::vector<std::string>& args)
{
    Outcome run;
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        ADD_FAILURE() << "CreatePipe failed";
        return run;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring commandLine = L"\"" + Widen(programPath) + L"\"";
    for (const std::string& arg : args) {
        commandLine += L" \"" + Widen(arg) + L"\"";
    }
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                        &startup, &process);
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        ADD_FAILURE() << "cannot start " << programPath;
        return run;
    }
    std::string output;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        output.append(chunk, got);
    }
    CloseHandle(readEnd);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    run.status = static_cast<int>(status);
    run.lines = Lines(output);
    return run;
}

// The requests as the firmware expects them, written out byte by byte.
Wag1 Head(std::initializer_list<std::uint8_t> head)
{
    Wag1 wag1{};
    std::copy(head.begin(), head.end(), wag1.begin());
    return wag1;
}

// Short names for the mailbox contents the program writes: Z for the zero
// write, R for a read request, S<value> for a set request. Anything else is
// shown in full.
std::string Token(const Wag1& wag1)
{
    const std::pair<const char*, Wag1> known[] = {
        {"Z", Wag1{}},
        {"R", Head({0x30, 0x00, 0x01, 0x00, 0x0E, 0x00, 0x00, 0x00, 0x80, 0x06, 0x29})},
        {"S80", Head({0x65, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x4B, 0x50, 0xAA})},
        {"S100", Head({0x65, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x5F, 0x64, 0xAA})},
        {"S7", Head({0x65, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x07, 0xAA})},
    };
    for (const auto& [name, bytes] : known) {
        if (wag1 == bytes) {
            return name;
        }
    }
    return "<" + FormatBytes(wag1) + ">";
}

// "R R R S80" becomes "R*3 S80".
std::string Compress(const std::vector<std::string>& tokens)
{
    std::string text;
    for (std::size_t i = 0; i < tokens.size();) {
        std::size_t run = 1;
        while (i + run < tokens.size() && tokens[i + run] == tokens[i]) {
            ++run;
        }
        text += (text.empty() ? "" : " ") + tokens[i] + (run > 1 ? "*" + std::to_string(run) : "");
        i += run;
    }
    return text;
}

std::string Repeat(const std::string& group, int times)
{
    std::string text;
    for (int i = 0; i < times; ++i) {
        text += (i == 0 ? "" : " ") + group;
    }
    return text;
}

// What the transcript says the firmware went through.
struct Traffic {
    std::string writes;  // compressed tokens of every PutInstance
    int invokes = 0;
};

Traffic ReadTranscript(const std::string& path)
{
    Traffic traffic;
    std::string text;
    if (!ReadFileText(path, text)) {
        ADD_FAILURE() << "no transcript at " << path;
        return traffic;
    }
    std::vector<std::string> tokens;
    for (const std::string& line : Lines(text)) {
        if (line.rfind("write ", 0) == 0) {
            std::istringstream fields(line);
            std::string word;
            int number = 0;
            std::string bytes;
            fields >> word >> number >> std::ws;
            std::getline(fields, bytes);
            Wag1 wag1{};
            if (!ParseBytes(bytes, wag1)) {
                ADD_FAILURE() << "transcript line not understood: " << line;
            }
            tokens.push_back(Token(wag1));
        } else if (line.rfind("  invoke ", 0) == 0) {
            ++traffic.invokes;
        }
    }
    traffic.writes = Compress(tokens);
    return traffic;
}

// Per-case files; the simulator finds them through its environment.
struct CaseFiles {
    std::string directory;
    std::string stopValue() const { return directory + "\\stop-value"; }
    std::string scenario() const { return directory + "\\scenario"; }
    std::string transcript() const { return directory + "\\transcript"; }
    std::string counts() const { return directory + "\\counts"; }
};

CaseFiles PrepareCase(const std::string& name, const std::string& scenario, int startValue)
{
    CaseFiles files{workDirectory + "\\" + name};
    CreateDirectoryA(workDirectory.c_str(), nullptr);
    CreateDirectoryA(files.directory.c_str(), nullptr);
    for (const std::string& old : {files.stopValue(), files.scenario(), files.transcript(), files.counts()}) {
        DeleteFileA(old.c_str());
    }
    if (startValue >= 0) {
        WriteFileText(files.stopValue(), std::to_string(startValue) + "\n");
    }
    if (!scenario.empty()) {
        WriteFileText(files.scenario(), scenario);
    }
    SetEnvironment("VORLIX_SIM_DIR", files.directory);
    SetEnvironment("VORLIX_SIM_SCENARIO", scenario.empty() ? "" : files.scenario());
    SetEnvironment("VORLIX_SIM_TRANSCRIPT", files.transcript());
    return files;
}

// -1 when the firmware never wrote its state file.
int StoredValue(const CaseFiles& files)
{
    std::string text;
    std::uint8_t value = 0;
    if (!ReadFileText(files.stopValue(), text)) {
        return -1;
    }
    EXPECT_TRUE(ParseStopValue(text, value)) << text;
    return value;
}

const std::vector<std::string> USAGE_EXIT = UsageExitLines(255);

const std::vector<std::string> NO_ANSWER = {"Firmware did not answer the request."};
const std::vector<std::string> NO_AGREEMENT = {"Firmware replies did not agree."};

struct Case {
    const char* name;
    const char* scenario;  // scenario file text; empty for a healthy firmware
    int startValue;        // state file before the run; -1 for none
    std::vector<std::string> args;
    std::vector<std::string> lines;
    int status;
    std::string writes;  // what PutInstance delivered, in Token names
    int invokes;         // MyFn1 calls that reached the firmware
    int finalValue;      // state file after the run; -1 for none
};

const Case CASES[] = {
    // Healthy firmware.
    {"Set80", "", 100, {"-set", "80"}, {"Set 80 successfully."}, 0, "Z R*3 S80*3", 6, 80},
    {"Set100", "", 80, {"-set", "100"}, {"Set 100 successfully."}, 0, "Z R*3 S100*3", 6, 100},
    {"SetAgain", "", 80, {"-set", "80"}, {"Set 80 successfully."}, 0, "Z R*3 S80*3", 6, 80},
    {"Get", "", 80, {"-get"}, {"Get 80 successfully."}, 0, "Z R*3 S80*3", 6, 80},
    {"GetFresh", "", -1, {"-GET"}, {"Get 100 successfully."}, 0, "Z R*3 S100*3", 6, -1},
    // A get writes back an odd value; the firmware refuses it and keeps 7.
    {"GetOddValue", "", 7, {"-get"}, {"Get 7 successfully."}, 0, "Z R*3 S7*3", 6, 7},

    // Completions that take several attempts, up to the program's bound.
    {"Busy2", "busy 2", 100, {"-set", "80"}, {"Set 80 successfully."}, 0, "Z R*9 S80*9", 18, 80},
    {"Busy15Reads", "busy 15 reads", 80, {"-get"}, {"Get 80 successfully."}, 0, "Z R*48 S80*3", 51, 80},
    {"NeverCompletes", "busy forever", 100, {"-set", "80"}, NO_ANSWER, 2, "Z R*16", 16, 100},
    {"Busy16Sets", "busy 16 sets", 100, {"-set", "80"}, NO_ANSWER, 2, "Z R*3 S80*16", 19, 100},

    // Replies that disagree, for a while or for good.
    {"ProbesDisagreeOnce", "reads 100 80 100", 100, {"-set", "80"}, {"Set 80 successfully."}, 0,
     "Z R*6 S80*3", 9, 80},
    {"ProbesNeverAgree", "reads 100 80 ...", 100, {"-set", "80"}, NO_AGREEMENT, 3, "Z R*24", 24, 100},
    {"ConfirmsNeverAgree", "confirms 80 100 ...", 100, {"-set", "80"}, NO_AGREEMENT, 3,
     "Z " + Repeat("R*3 S80*3", 8), 48, 100},
    {"ConfirmsOtherValueOnce", "confirms 7 7 7", 100, {"-set", "80"}, {"Set 80 successfully."}, 0,
     "Z R*3 S80*3 R*3 S80*3", 12, 80},
    {"SetRefused", "confirms 100 ...", 100, {"-set", "80"}, {"Set 80 failed: firmware reports 100."}, 4,
     "Z " + Repeat("R*3 S80*3", 8), 48, 100},

    // WMI trouble. A mailbox that cannot be used is never written, and the
    // firmware is invoked on an empty mailbox.
    {"Wag1Short", "wag1 bytes 128", 100, {"-set", "80"}, NO_ANSWER, 2, "", 16, 100},
    {"Wag1OfLongs", "wag1 longs 256", 100, {"-set", "80"}, NO_ANSWER, 2, "", 16, 100},
    {"Wag1Text", "wag1 text", 100, {"-get"}, NO_ANSWER, 2, "", 16, 100},
    {"NoMailboxInstance", "instances MyWMIARGClass1 0", 100, {"-set", "80"}, NO_ANSWER, 2, "", 16, 100},
    {"NoMethodInstance", "instances MyWMIMethodClass 0", 100, {"-set", "80"}, NO_ANSWER, 2, "Z R*16", 0, 100},
    // The second MyFn1 of each transaction finds the reply and leaves it.
    {"TwoMethodInstances", "instances MyWMIMethodClass 2", 100, {"-set", "80"}, {"Set 80 successfully."}, 0,
     "Z R*3 S80*3", 12, 80},
    {"MailboxQueryFails", "fail query MyWMIARGClass1 0x80041010", 100, {"-set", "80"}, NO_ANSWER, 2, "", 16, 100},
    // The zero write and the first request are lost; the retry carries on.
    {"MailboxQueryFailsTwice", "fail query MyWMIARGClass1 0x80041010 first 2", 100, {"-set", "80"},
     {"Set 80 successfully."}, 0, "R*3 S80*3", 7, 80},
    // WBEM_S_FALSE is no failure to WMI, but it is to the program.
    {"MethodQuerySucceedsOddly", "fail query MyWMIMethodClass 1 first 1", 100, {"-set", "80"},
     {"Set 80 successfully."}, 0, "Z R*4 S80*3", 6, 80},
    {"ConnectFails", "fail connect 0x80041003", 100, {"-set", "80"}, {"Could not connect. Error code = 0x80041003"},
     1, "", 0, 100},
    // A scenario with a typo must not quietly play a healthy firmware.
    {"ScenarioTypo", "bussy 2", 100, {"-set", "80"}, {"Could not connect. Error code = 0x80041001"}, 1, "", 0, 100},

    // The command line is only looked at once the reads are done.
    {"BadValue", "", 100, {"-set", "85"}, USAGE_EXIT, 255, "Z R*3", 3, 100},
    {"NoArguments", "", 100, {}, USAGE_EXIT, 255, "Z R*3", 3, 100},
};

class EndToEnd : public testing::TestWithParam<Case> {};

TEST_P(EndToEnd, PrintsExitsAndTalksToTheFirmwareAsExpected)
{
    const Case& c = GetParam();
    const CaseFiles files = PrepareCase(c.name, c.scenario, c.startValue);
    const Outcome run = RunProgram(c.args);
    EXPECT_EQ(run.lines, c.lines);
    EXPECT_EQ(run.status, c.status);
    const Traffic traffic = ReadTranscript(files.transcript());
    EXPECT_EQ(traffic.writes, c.writes);
    EXPECT_EQ(traffic.invokes, c.invokes);
    EXPECT_EQ(StoredValue(files), c.finalValue);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, EndToEnd, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(Firmware, KeepsTheValueFromOneRunToTheNext)
{
    const CaseFiles files = PrepareCase("Sequence", "", -1);
    const Outcome set = RunProgram({"-set", "80"});
    const Outcome get = RunProgram({"-get"});
    EXPECT_EQ(set.lines, std::vector<std::string>{"Set 80 successfully."});
    EXPECT_EQ(get.lines, std::vector<std::string>{"Get 80 successfully."});
    EXPECT_EQ(get.status, 0);
    EXPECT_EQ(ReadTranscript(files.transcript()).writes, "Z R*3 S80*3");
}

// WMI calls by name, as the simulator counts them.
using WmiCalls = std::map<std::string, int>;

void AddCalls(WmiCalls& total, const WmiCalls& step, int times)
{
    for (const auto& [name, count] : step) {
        total[name] += count * times;
    }
}

// Each mailbox operation runs its own query and walks the instances, one
// here, to the Next that finds no more.
const WmiCalls CONNECTION = {{"ConnectServer", 1}, {"SetBlanket", 1}};
const WmiCalls WRITE = {{"ExecQuery", 1}, {"Next", 2}, {"Get", 1}, {"Put", 1}, {"PutInstance", 1}};
const WmiCalls INVOKE = {{"ExecQuery", 1},  {"Next", 2},          {"Get", 1}, {"GetObject", 1},
                         {"GetMethod", 1},  {"SpawnInstance", 1}, {"Put", 1}, {"ExecMethod", 1}};
const WmiCalls READ = {{"ExecQuery", 1}, {"Next", 2}, {"Get", 1}};

WmiCalls ReadCounts(const CaseFiles& files)
{
    WmiCalls calls;
    std::string text;
    if (!ReadFileText(files.counts(), text)) {
        ADD_FAILURE() << "no counts at " << files.counts();
        return calls;
    }
    for (const std::string& line : Lines(text)) {
        std::istringstream fields(line);
        std::string name;
        int count = 0;
        if (!(fields >> name >> count) || calls.count(name) != 0) {
            ADD_FAILURE() << "counts line not understood: " << line;
        }
        calls[name] = count;
    }
    return calls;
}

// A healthy run costs the connection, the zero write and six transactions
// (three reads, three sets) of a write, an invoke and a read: not one call
// more, whichever the command.
TEST(Firmware, HealthyRunsMakeExactlyTheRequiredWmiCalls)
{
    WmiCalls required = CONNECTION;
    AddCalls(required, WRITE, 1);
    for (const WmiCalls& operation : {WRITE, INVOKE, READ}) {
        AddCalls(required, operation, 6);
    }
    const std::pair<std::vector<std::string>, int> runs[] = {
        {{"-set", "80"}, 100},
        {{"-set", "100"}, 80},
        {{"-get"}, 80},
    };
    for (const auto& [args, startValue] : runs) {
        SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
        const CaseFiles files = PrepareCase("Counts", "", startValue);
        ASSERT_EQ(RunProgram(args).status, 0);
        EXPECT_EQ(ReadCounts(files), required);
    }
}

// Vorlix only ever asks for ROOT\WMI; this also shows that the locator in
// this prefix is the simulator, since Wine's own would serve ROOT\CIMV2.
TEST(Locator, ServesRootWmiOnly)
{
    PrepareCase("Locator", "", -1);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    IWbemLocator* locator = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                               reinterpret_cast<void**>(&locator)),
              S_OK);
    const std::pair<const wchar_t*, HRESULT> cases[] = {
        {L"ROOT\\WMI", S_OK},
        {L"root\\wmi", S_OK},
        {L"ROOT\\CIMV2", static_cast<HRESULT>(HRESULT_WBEM_E_INVALID_NAMESPACE)},
        {L"ROOT", static_cast<HRESULT>(HRESULT_WBEM_E_INVALID_NAMESPACE)},
    };
    for (const auto& [name, expected] : cases) {
        BSTR resource = SysAllocString(name);
        IWbemServices* services = nullptr;
        EXPECT_EQ(locator->ConnectServer(resource, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services),
                  expected);
        EXPECT_EQ(services != nullptr, expected == S_OK);
        if (services != nullptr) {
            services->Release();
        }
        SysFreeString(resource);
    }
    locator->Release();
    CoUninitialize();
}

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <Vorlix.exe> <work directory>\n", argv[0]);
        return 2;
    }
    programPath = WindowsPath(argv[1]);
    workDirectory = WindowsPath(argv[2]);
    return RUN_ALL_TESTS();
}

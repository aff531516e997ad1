// The simulated firmware as an in-process COM server. Registered as the WMI
// locator's InprocServer32 in a private Wine prefix, it stands in for WMI
// itself: the program connects to ROOT\WMI here and finds the firmware's two
// classes. Only the calls the program makes do anything; every other method
// answers WBEM_E_NOT_SUPPORTED or E_NOTIMPL.
//
// Everything runs on the caller's thread: the program is single-threaded.

#include <windows.h>
#include <wbemidl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/firmware.h"
#include "sim/transcript.h"

namespace {

LONG liveObjects = 0;
LONG serverLocks = 0;

// The simulated machine, loaded at the first ConnectServer of a process.
bool started = false;
std::string startError;
Firmware firmware;
Wag1 mailbox{};
CallCounts counts{};
std::wstring stateDirectory;
HANDLE transcript = INVALID_HANDLE_VALUE;
int writesSeen = 0;

constexpr const wchar_t* DEFAULT_STATE_DIRECTORY = L"C:\\vorlix-sim";
constexpr const wchar_t* ARG_CLASS = L"MyWMIARGClass1";
constexpr const wchar_t* METHOD_CLASS = L"MyWMIMethodClass";

// Lets the services tell their own objects from anything else handed in.
// {5B0D3E4A-8C1F-4F7B-9E2A-6C3D1A0B7E51}
const IID IID_SimObject = {0x5b0d3e4a, 0x8c1f, 0x4f7b, {0x9e, 0x2a, 0x6c, 0x3d, 0x1a, 0x0b, 0x7e, 0x51}};

// WMI's status enumeration holds HRESULTs as unsigned numbers.
constexpr HRESULT Hr(WBEMSTATUS status)
{
    return static_cast<HRESULT>(status);
}

void Count(WmiCall call)
{
    ++counts[static_cast<std::size_t>(call)];
}

// Names from the program are only ever compared with ASCII names.
std::string Narrow(const wchar_t* text)
{
    std::string narrow;
    for (const wchar_t* p = text; p != nullptr && *p != L'\0'; ++p) {
        narrow += *p < 0x80 ? static_cast<char>(*p) : '?';
    }
    return narrow;
}

std::string Narrow(const std::wstring& text)
{
    return Narrow(text.c_str());
}

bool NameIs(const wchar_t* name, const wchar_t* expected)
{
    return name != nullptr && EqualIgnoringCase(Narrow(name), Narrow(expected));
}

std::wstring Environment(const wchar_t* name)
{
    wchar_t value[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(value, length) : std::wstring();
}

bool ReadTextFile(const std::wstring& path, std::string& text)
{
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    text.clear();
    char chunk[4096];
    DWORD got = 0;
    bool ok = true;
    while ((ok = (ReadFile(file, chunk, sizeof chunk, &got, nullptr) != 0)) && got > 0) {
        text.append(chunk, got);
    }
    CloseHandle(file);
    return ok;
}

void Append(HANDLE file, const std::string& text)
{
    DWORD written = 0;
    if (file != INVALID_HANDLE_VALUE) {
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
}

// Written whole each time; the file is a few bytes.
bool WriteTextFile(const std::wstring& path, const std::string& text)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != 0 &&
                    written == text.size();
    return CloseHandle(file) != 0 && ok;
}

void Complain(const std::string& text)
{
    // Nothing is left to tell if stderr itself fails.
    static_cast<void>(std::fprintf(stderr, "vorlix-sim: %s\n", text.c_str()));
    static_cast<void>(std::fflush(stderr));
}

std::wstring StateFile()
{
    return stateDirectory + L"\\stop-value";
}

// Loads the state file, the scenario and opens the transcript. An unreadable
// state or scenario fails the connection: a simulator that quietly fell back
// to a healthy firmware would make a fault test pass for the wrong reason.
void Start()
{
    started = true;
    stateDirectory = Environment(L"VORLIX_SIM_DIR");
    if (stateDirectory.empty()) {
        stateDirectory = DEFAULT_STATE_DIRECTORY;
    }
    CreateDirectoryW(stateDirectory.c_str(), nullptr);

    std::string text;
    if (ReadTextFile(StateFile(), text) && !ParseStopValue(text, firmware.stopValue)) {
        startError = Narrow(StateFile()) + ": not a stop value from 0 to 255";
    }
    const std::wstring scenarioFile = Environment(L"VORLIX_SIM_SCENARIO");
    if (!scenarioFile.empty() && startError.empty()) {
        if (!ReadTextFile(scenarioFile, text)) {
            startError = Narrow(scenarioFile) + ": cannot be read";
        } else {
            const std::string problem = ParseScenario(text, firmware.scenario);
            if (!problem.empty()) {
                startError = Narrow(scenarioFile) + ": " + problem;
            }
        }
    }
    if (!startError.empty()) {
        Complain(startError);
    }

    const std::wstring transcriptFile = Environment(L"VORLIX_SIM_TRANSCRIPT");
    if (!transcriptFile.empty()) {
        transcript = CreateFileW(transcriptFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        if (transcript == INVALID_HANDLE_VALUE) {
            Complain(Narrow(transcriptFile) + ": cannot be written");
        }
        Append(transcript, TranscriptHeader(firmware.stopValue,
                                            scenarioFile.empty() ? "none (healthy firmware)" : Narrow(scenarioFile)));
    }
}

// At the end of the process, when the counts of the run are complete.
void Finish()
{
    if (!started) {
        return;
    }
    Append(transcript, TranscriptCounts(counts));
    if (transcript != INVALID_HANDLE_VALUE) {
        CloseHandle(transcript);
        transcript = INVALID_HANDLE_VALUE;
    }
    if (!WriteTextFile(stateDirectory + L"\\counts", FormatCounts(counts))) {
        Complain(Narrow(stateDirectory) + "\\counts: cannot be written");
    }
}

std::wstring InstanceName(int index)
{
    return L"Mailbox_" + std::to_wstring(index);
}

std::wstring InstancePath(const wchar_t* className, int index)
{
    return std::wstring(L"\\\\.\\ROOT\\WMI:") + className + L".InstanceName=\"" + InstanceName(index) + L"\"";
}

// ---------------------------------------------------------------------------

class RefCounted {
public:
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;

protected:
    RefCounted() { InterlockedIncrement(&liveObjects); }
    virtual ~RefCounted() { InterlockedDecrement(&liveObjects); }

    ULONG AddReference() { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
    ULONG DropReference()
    {
        const LONG left = InterlockedDecrement(&references_);
        if (left == 0) {
            delete this;
        }
        return static_cast<ULONG>(left);
    }

private:
    LONG references_ = 1;
};

template <typename Interface>
HRESULT HandOut(Interface* object, void** out)
{
    object->AddRef();
    *out = object;
    return S_OK;
}

enum class ObjectKind { ArgInstance, MethodInstance, MethodClass, InSignature, InParameters, OutParameters };

// Every WMI object the simulator hands out: instances, the method class, and
// the method's parameter objects. What it answers depends on its kind.
class SimObject final : public IWbemClassObject, RefCounted {
public:
    SimObject(ObjectKind kind, std::wstring path) : kind_(kind), path_(std::move(path)) {}

    ObjectKind kind() const { return kind_; }
    const Wag1& wag1() const { return wag1_; }
    void setWag1(const Wag1& bytes) { wag1_ = bytes; }
    const std::wstring& path() const { return path_; }
    const std::wstring& index() const { return index_; }
    bool hasIndex() const { return hasIndex_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override
    {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (riid == IID_IUnknown || riid == IID_IWbemClassObject || riid == IID_SimObject) {
            return HandOut(static_cast<IWbemClassObject*>(this), out);
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
    ULONG STDMETHODCALLTYPE Release() override { return DropReference(); }

    HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE* type, LONG* flavor) override;
    HRESULT STDMETHODCALLTYPE Put(LPCWSTR name, LONG, VARIANT* value, CIMTYPE) override;
    HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR name, LONG, IWbemClassObject** in, IWbemClassObject** out) override;
    HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject** instance) override;

    HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override { return Hr(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return Hr(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) override { return Hr(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override { return Hr(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override { return Hr(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE EndEnumeration() override { return Hr(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override
    {
        return Hr(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject**) override { return Hr(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override { return Hr(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override { return Hr(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override { return Hr(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override { return Hr(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override { return Hr(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override
    {
        return Hr(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return Hr(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override { return Hr(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) override
    {
        return Hr(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override { return Hr(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override
    {
        return Hr(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override { return Hr(WBEM_E_NOT_SUPPORTED); }

private:
    ObjectKind kind_;
    std::wstring path_;
    Wag1 wag1_{};  // an instance's own copy, sent to the firmware by PutInstance
    std::wstring index_;
    bool hasIndex_ = false;
};

// WAG1 the way the scenario presents it; a healthy firmware gives 256 bytes.
HRESULT Wag1Variant(const Wag1& bytes, VARIANT& value)
{
    const Scenario& scenario = firmware.scenario;
    if (scenario.wag1Type == Wag1Type::Null) {
        V_VT(&value) = VT_NULL;
        return S_OK;
    }
    if (scenario.wag1Type == Wag1Type::Text) {
        V_VT(&value) = VT_BSTR;
        V_BSTR(&value) = SysAllocString(L"WAG1");
        return V_BSTR(&value) != nullptr ? S_OK : Hr(WBEM_E_OUT_OF_MEMORY);
    }
    const bool longs = scenario.wag1Type == Wag1Type::Longs;
    SAFEARRAY* array = SafeArrayCreateVector(longs ? VT_I4 : VT_UI1, 0, static_cast<ULONG>(scenario.wag1Size));
    if (array == nullptr) {
        return Hr(WBEM_E_OUT_OF_MEMORY);
    }
    void* data = nullptr;
    SafeArrayAccessData(array, &data);
    for (std::size_t i = 0; i < scenario.wag1Size && i < WAG1_SIZE; ++i) {
        if (longs) {
            static_cast<LONG*>(data)[i] = bytes[i];
        } else {
            static_cast<BYTE*>(data)[i] = bytes[i];
        }
    }
    SafeArrayUnaccessData(array);
    V_VT(&value) = VT_ARRAY | (longs ? VT_I4 : VT_UI1);
    V_ARRAY(&value) = array;
    return S_OK;
}

HRESULT TextVariant(const std::wstring& text, VARIANT& value)
{
    V_VT(&value) = VT_BSTR;
    V_BSTR(&value) = SysAllocString(text.c_str());
    return V_BSTR(&value) != nullptr ? S_OK : Hr(WBEM_E_OUT_OF_MEMORY);
}

HRESULT STDMETHODCALLTYPE SimObject::Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE* type, LONG* flavor)
{
    Count(WmiCall::Get);
    if (name == nullptr) {
        return Hr(WBEM_E_INVALID_PARAMETER);
    }
    const bool instance = kind_ == ObjectKind::ArgInstance || kind_ == ObjectKind::MethodInstance;
    const bool isWag1 = kind_ == ObjectKind::ArgInstance && NameIs(name, L"WAG1");
    const bool isPath = instance && NameIs(name, L"__Path");
    const bool isIndex = (kind_ == ObjectKind::InParameters || kind_ == ObjectKind::InSignature) && NameIs(name, L"Indx");
    if (!isWag1 && !isPath && !isIndex) {
        return Hr(WBEM_E_NOT_FOUND);
    }
    if (type != nullptr) {
        *type = isWag1 ? (CIM_UINT8 | CIM_FLAG_ARRAY) : CIM_STRING;
    }
    if (flavor != nullptr) {
        *flavor = isPath ? WBEM_FLAVOR_ORIGIN_SYSTEM : WBEM_FLAVOR_ORIGIN_PROPAGATED;
    }
    if (value == nullptr) {
        return S_OK;
    }
    VariantInit(value);
    if (isWag1) {
        return Wag1Variant(wag1_, *value);
    }
    if (isPath) {
        return TextVariant(path_, *value);
    }
    if (!hasIndex_) {
        V_VT(value) = VT_NULL;
        return S_OK;
    }
    return TextVariant(index_, *value);
}

HRESULT STDMETHODCALLTYPE SimObject::Put(LPCWSTR name, LONG, VARIANT* value, CIMTYPE)
{
    Count(WmiCall::Put);
    if (name == nullptr || value == nullptr) {
        return Hr(WBEM_E_INVALID_PARAMETER);
    }
    if (kind_ == ObjectKind::ArgInstance && NameIs(name, L"WAG1")) {
        if (V_VT(value) != (VT_ARRAY | VT_UI1) || V_ARRAY(value) == nullptr || SafeArrayGetDim(V_ARRAY(value)) != 1) {
            return Hr(WBEM_E_TYPE_MISMATCH);
        }
        SAFEARRAY* array = V_ARRAY(value);
        LONG lower = 0;
        LONG upper = -1;
        SafeArrayGetLBound(array, 1, &lower);
        SafeArrayGetUBound(array, 1, &upper);
        const std::size_t size = upper >= lower ? static_cast<std::size_t>(upper - lower + 1) : 0;
        void* data = nullptr;
        if (FAILED(SafeArrayAccessData(array, &data))) {
            return Hr(WBEM_E_FAILED);
        }
        // The property takes the array as given; what a short array leaves
        // uncovered is zero.
        wag1_.fill(0);
        std::memcpy(wag1_.data(), data, size < WAG1_SIZE ? size : WAG1_SIZE);
        SafeArrayUnaccessData(array);
        return S_OK;
    }
    if (kind_ == ObjectKind::InParameters && NameIs(name, L"Indx")) {
        if (V_VT(value) == VT_NULL) {
            hasIndex_ = false;
            return S_OK;
        }
        if (V_VT(value) != VT_BSTR) {
            return Hr(WBEM_E_TYPE_MISMATCH);
        }
        index_ = V_BSTR(value) != nullptr ? V_BSTR(value) : L"";
        hasIndex_ = true;
        return S_OK;
    }
    return kind_ == ObjectKind::ArgInstance || kind_ == ObjectKind::InParameters ? Hr(WBEM_E_NOT_FOUND)
                                                                                  : Hr(WBEM_E_NOT_SUPPORTED);
}

HRESULT STDMETHODCALLTYPE SimObject::GetMethod(LPCWSTR name, LONG, IWbemClassObject** in, IWbemClassObject** out)
{
    Count(WmiCall::GetMethod);
    if (kind_ != ObjectKind::MethodClass) {
        return Hr(WBEM_E_NOT_SUPPORTED);
    }
    if (!NameIs(name, L"MyFn1")) {
        return Hr(WBEM_E_NOT_FOUND);
    }
    if (in != nullptr) {
        *in = new SimObject(ObjectKind::InSignature, L"__PARAMETERS");
    }
    if (out != nullptr) {
        *out = new SimObject(ObjectKind::OutParameters, L"__PARAMETERS");
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE SimObject::SpawnInstance(LONG, IWbemClassObject** instance)
{
    Count(WmiCall::SpawnInstance);
    if (instance == nullptr) {
        return Hr(WBEM_E_INVALID_PARAMETER);
    }
    *instance = nullptr;
    if (kind_ != ObjectKind::InSignature) {
        return Hr(WBEM_E_NOT_SUPPORTED);
    }
    *instance = new SimObject(ObjectKind::InParameters, L"__PARAMETERS");
    return S_OK;
}

// ---------------------------------------------------------------------------

// A forward-only walk over the instances a query found.
class Enumerator final : public IEnumWbemClassObject, RefCounted {
public:
    explicit Enumerator(std::vector<SimObject*> objects) : objects_(std::move(objects)) {}
    ~Enumerator() override
    {
        for (SimObject* object : objects_) {
            object->Release();
        }
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override
    {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (riid == IID_IUnknown || riid == IID_IEnumWbemClassObject) {
            return HandOut(static_cast<IEnumWbemClassObject*>(this), out);
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
    ULONG STDMETHODCALLTYPE Release() override { return DropReference(); }

    HRESULT STDMETHODCALLTYPE Next(LONG, ULONG count, IWbemClassObject** objects, ULONG* returned) override
    {
        Count(WmiCall::Next);
        if (objects == nullptr || returned == nullptr) {
            return Hr(WBEM_E_INVALID_PARAMETER);
        }
        *returned = 0;
        while (*returned < count && next_ < objects_.size()) {
            SimObject* object = objects_[next_++];
            object->AddRef();
            objects[(*returned)++] = object;
        }
        return *returned == count ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE Reset() override { return Hr(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return Hr(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject**) override { return Hr(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG) override { return Hr(WBEM_E_NOT_SUPPORTED); }

private:
    std::vector<SimObject*> objects_;
    std::size_t next_ = 0;
};

// ---------------------------------------------------------------------------

SimObject* OwnObject(IWbemClassObject* object)
{
    if (object == nullptr) {
        return nullptr;
    }
    void* own = nullptr;
    if (FAILED(object->QueryInterface(IID_SimObject, &own))) {
        return nullptr;
    }
    // The reference QueryInterface added is dropped at once: the caller
    // holds the object for the length of the call.
    static_cast<SimObject*>(own)->Release();
    return static_cast<SimObject*>(own);
}

std::vector<SimObject*> Instances(bool arg)
{
    const wchar_t* className = arg ? ARG_CLASS : METHOD_CLASS;
    const int count = arg ? firmware.scenario.argInstances : firmware.scenario.methodInstances;
    std::vector<SimObject*> instances;
    for (int i = 0; i < count; ++i) {
        SimObject* instance = new SimObject(arg ? ObjectKind::ArgInstance : ObjectKind::MethodInstance,
                                            InstancePath(className, i));
        instance->setWag1(mailbox);
        instances.push_back(instance);
    }
    return instances;
}

// ROOT\WMI of the simulated machine, and the security blanket the program
// sets on it (which has nothing to secure here).
class Services final : public IWbemServices, public IClientSecurity, RefCounted {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override
    {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (riid == IID_IUnknown || riid == IID_IWbemServices) {
            return HandOut(static_cast<IWbemServices*>(this), out);
        }
        if (riid == IID_IClientSecurity) {
            return HandOut(static_cast<IClientSecurity*>(this), out);
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
    ULONG STDMETHODCALLTYPE Release() override { return DropReference(); }

    HRESULT STDMETHODCALLTYPE SetBlanket(IUnknown*, DWORD, DWORD, OLECHAR*, DWORD, DWORD, void*, DWORD) override
    {
        Count(WmiCall::SetBlanket);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryBlanket(IUnknown*, DWORD*, DWORD*, OLECHAR**, DWORD*, DWORD*, void**,
                                           DWORD*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CopyProxy(IUnknown*, IUnknown**) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR query, LONG flags, IWbemContext*,
                                        IEnumWbemClassObject** result) override;
    HRESULT STDMETHODCALLTYPE GetObject(const BSTR path, LONG, IWbemContext*, IWbemClassObject** object,
                                        IWbemCallResult** callResult) override;
    HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject* instance, LONG flags, IWbemContext*,
                                          IWbemCallResult** callResult) override;
    HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR path, const BSTR method, LONG, IWbemContext*,
                                         IWbemClassObject* in, IWbemClassObject** out,
                                         IWbemCallResult** callResult) override;

    HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**,
                                            IWbemCallResult**) override
    {
        return Hr(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) override { return Hr(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) override { return Hr(WBEM_E_NOT_SUPPORTED); }
    HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return Hr(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override
    {
        return Hr(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return Hr(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override
    {
        return Hr(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return Hr(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override
    {
        return Hr(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return Hr(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return Hr(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override
    {
        return Hr(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return Hr(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override
    {
        return Hr(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return Hr(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return Hr(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                                    IEnumWbemClassObject**) override
    {
        return Hr(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                                         IWbemObjectSink*) override
    {
        return Hr(WBEM_E_NOT_SUPPORTED);
    }
    HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                              IWbemObjectSink*) override
    {
        return Hr(WBEM_E_NOT_SUPPORTED);
    }
};

HRESULT STDMETHODCALLTYPE Services::ExecQuery(const BSTR language, const BSTR query, LONG flags, IWbemContext*,
                                              IEnumWbemClassObject** result)
{
    Count(WmiCall::ExecQuery);
    if (result == nullptr) {
        return Hr(WBEM_E_INVALID_PARAMETER);
    }
    *result = nullptr;
    if (!NameIs(language, L"WQL")) {
        return Hr(WBEM_E_INVALID_QUERY_TYPE);
    }
    if ((flags & ~(WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY)) != 0) {
        return Hr(WBEM_E_INVALID_PARAMETER);
    }
    const std::string className = QueriedClass(Narrow(query));
    if (className.empty()) {
        return Hr(WBEM_E_INVALID_QUERY);
    }
    const bool arg = EqualIgnoringCase(className, Narrow(ARG_CLASS));
    if (!arg && !EqualIgnoringCase(className, Narrow(METHOD_CLASS))) {
        return Hr(WBEM_E_INVALID_CLASS);
    }
    const HRESULT failure = static_cast<HRESULT>(TakeQueryFailure(firmware.scenario, className));
    // A scenario's success code other than S_OK still comes with the
    // enumerator, as WMI's own would.
    if (FAILED(failure)) {
        return failure;
    }
    *result = new Enumerator(Instances(arg));
    return failure;
}

HRESULT STDMETHODCALLTYPE Services::GetObject(const BSTR path, LONG, IWbemContext*, IWbemClassObject** object,
                                              IWbemCallResult** callResult)
{
    Count(WmiCall::GetObject);
    if (callResult != nullptr) {
        *callResult = nullptr;
    }
    if (object == nullptr) {
        return Hr(WBEM_E_INVALID_PARAMETER);
    }
    *object = nullptr;
    if (!NameIs(path, METHOD_CLASS)) {
        return Hr(WBEM_E_NOT_FOUND);
    }
    *object = new SimObject(ObjectKind::MethodClass, METHOD_CLASS);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Services::PutInstance(IWbemClassObject* instance, LONG flags, IWbemContext*,
                                                IWbemCallResult** callResult)
{
    Count(WmiCall::PutInstance);
    if (callResult != nullptr) {
        *callResult = nullptr;
    }
    const SimObject* own = OwnObject(instance);
    if (own == nullptr || own->kind() != ObjectKind::ArgInstance) {
        return Hr(WBEM_E_INVALID_PARAMETER);
    }
    if ((flags & WBEM_FLAG_CREATE_ONLY) != 0) {
        return Hr(WBEM_E_ALREADY_EXISTS);
    }
    mailbox = own->wag1();
    Append(transcript, TranscriptWrite(++writesSeen, mailbox));
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Services::ExecMethod(const BSTR path, const BSTR method, LONG, IWbemContext*,
                                               IWbemClassObject* in, IWbemClassObject** out,
                                               IWbemCallResult** callResult)
{
    Count(WmiCall::ExecMethod);
    if (out != nullptr) {
        *out = nullptr;
    }
    if (callResult != nullptr) {
        *callResult = nullptr;
    }
    int instance = -1;
    for (int i = 0; i < firmware.scenario.methodInstances && path != nullptr; ++i) {
        if (EqualIgnoringCase(Narrow(path), Narrow(InstancePath(METHOD_CLASS, i)))) {
            instance = i;
        }
    }
    if (instance < 0) {
        Append(transcript, TranscriptRejectedInvoke("no instance at path '" + Narrow(path) + "'"));
        return Hr(WBEM_E_NOT_FOUND);
    }
    if (!NameIs(method, L"MyFn1")) {
        Append(transcript, TranscriptRejectedInvoke("no method '" + Narrow(method) + "'"));
        return Hr(WBEM_E_INVALID_METHOD);
    }
    // The firmware serves mailbox 1 only, and takes its number as text.
    const SimObject* parameters = OwnObject(in);
    if (parameters == nullptr || parameters->kind() != ObjectKind::InParameters || !parameters->hasIndex() ||
        parameters->index() != L"1") {
        Append(transcript, TranscriptRejectedInvoke("Indx is not \"1\""));
        return Hr(WBEM_E_INVALID_METHOD_PARAMETERS);
    }

    const std::uint8_t before = firmware.stopValue;
    const InvokeResult result = Invoke(firmware, mailbox);
    Append(transcript, TranscriptInvoke(Narrow(InstanceName(instance)), result, mailbox));
    if (firmware.stopValue != before && !WriteTextFile(StateFile(), std::to_string(firmware.stopValue) + "\n")) {
        Complain(Narrow(StateFile()) + ": cannot be written");
    }
    if (out != nullptr) {
        *out = new SimObject(ObjectKind::OutParameters, L"__PARAMETERS");
    }
    return S_OK;
}

// ---------------------------------------------------------------------------

class Locator final : public IWbemLocator, RefCounted {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override
    {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (riid == IID_IUnknown || riid == IID_IWbemLocator) {
            return HandOut(static_cast<IWbemLocator*>(this), out);
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
    ULONG STDMETHODCALLTYPE Release() override { return DropReference(); }

    HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR resource, const BSTR, const BSTR, const BSTR, LONG,
                                            const BSTR, IWbemContext*, IWbemServices** services) override
    {
        Count(WmiCall::ConnectServer);
        if (services == nullptr) {
            return Hr(WBEM_E_INVALID_PARAMETER);
        }
        *services = nullptr;
        if (!started) {
            Start();
        }
        if (!startError.empty()) {
            return static_cast<HRESULT>(HRESULT_WBEM_E_FAILED);
        }
        if (firmware.scenario.connectFailure != 0) {
            return static_cast<HRESULT>(firmware.scenario.connectFailure);
        }
        const std::string name = Narrow(resource);
        if (!EqualIgnoringCase(name, "ROOT\\WMI") && !EqualIgnoringCase(name, "\\\\.\\ROOT\\WMI")) {
            return static_cast<HRESULT>(HRESULT_WBEM_E_INVALID_NAMESPACE);
        }
        *services = new Services();
        return S_OK;
    }
};

class ClassFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override
    {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            return HandOut(static_cast<IClassFactory*>(this), out);
        }
        return E_NOINTERFACE;
    }
    // One factory for the life of the DLL; LockServer keeps it loaded.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override
    {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        Locator* locator = new Locator();
        const HRESULT hr = locator->QueryInterface(riid, out);
        locator->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        if (lock) {
            InterlockedIncrement(&serverLocks);
        } else {
            InterlockedDecrement(&serverLocks);
        }
        return S_OK;
    }
};

ClassFactory factory;

}  // namespace

extern "C" {

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** out)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    if (clsid != CLSID_WbemLocator) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return factory.QueryInterface(riid, out);
}

HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return liveObjects == 0 && serverLocks == 0 ? S_OK : S_FALSE;
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, void*)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(module);
    } else if (reason == DLL_PROCESS_DETACH) {
        Finish();
    }
    return TRUE;
}

}  // extern "C"

#include "tests/host/fake_wmi.h"

#include <cwchar>
#include <sstream>

std::vector<std::string> wmiCalls;
int liveFakes = 0;

namespace {

std::string Pointer(const void* p)
{
    return p == nullptr ? "null" : "set";
}

std::string Hex(long value)
{
    std::ostringstream text;
    text << "0x" << std::hex << value;
    return text.str();
}

std::string Timeout(LONG timeout)
{
    return static_cast<ULONG>(timeout) == static_cast<ULONG>(WBEM_INFINITE) ? "INFINITE" : std::to_string(timeout);
}

// What a VARIANT carried when it was handed over.
std::string Describe(const VARIANT* value)
{
    if (value == nullptr) {
        return "null";
    }
    if (V_VT(value) == VT_BSTR) {
        return "BSTR \"" + Text(V_BSTR(value)) + "\"";
    }
    if (V_VT(value) == (VT_ARRAY | VT_UI1) && V_ARRAY(value) != nullptr && SafeArrayGetDim(V_ARRAY(value)) == 1) {
        LONG lower = 0;
        LONG upper = -1;
        SafeArrayGetLBound(V_ARRAY(value), 1, &lower);
        SafeArrayGetUBound(V_ARRAY(value), 1, &upper);
        return "UI1[" + std::to_string(upper - lower + 1) + "]";
    }
    return "vt " + Hex(V_VT(value));
}

FakeObject* AsFake(IWbemClassObject* object)
{
    return static_cast<FakeObject*>(object);
}

}  // namespace

std::string Narrow(const wchar_t* text)
{
    std::string narrow;
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
        narrow += static_cast<std::uint32_t>(*p) < 0x80 ? static_cast<char>(*p) : '?';
    }
    return narrow;
}

std::string Text(const wchar_t* bstr)
{
    if (bstr == nullptr) {
        return "null";
    }
    if (SysStringLen(const_cast<BSTR>(bstr)) != std::wcslen(bstr)) {
        return "<not a BSTR>";
    }
    return Narrow(bstr);
}

HRESULT FakeObject::Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor)
{
    std::string call = label + ".Get(" + Text(name) + ", " + std::to_string(flags) + ", type=" + Pointer(type) +
                       ", flavor=" + Pointer(flavor) + ")";
    // WMI overwrites the VARIANT; anything it held would be lost.
    if (value != nullptr && V_VT(value) != VT_EMPTY) {
        call += " into a used VARIANT";
    }
    wmiCalls.push_back(call);
    const auto result = getResults.find(name);
    if (result != getResults.end() && result->second != S_OK) {
        return result->second;
    }
    const auto property = properties.find(name);
    if (property == properties.end()) {
        return Hr(WBEM_E_NOT_FOUND);
    }
    return VariantCopy(value, property->second.get());
}

HRESULT FakeObject::Put(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE type)
{
    wmiCalls.push_back(label + ".Put(" + Text(name) + ", " + std::to_string(flags) + ", " + Describe(value) + ", " +
                       std::to_string(type) + ")");
    if (putResult != S_OK) {
        return putResult;
    }
    Variant copy;
    const HRESULT hr = VariantCopy(copy.get(), value);
    if (hr != S_OK) {
        return hr;
    }
    properties[name] = std::move(copy);
    return S_OK;
}

HRESULT FakeObject::SpawnInstance(LONG flags, IWbemClassObject** instance)
{
    wmiCalls.push_back(label + ".SpawnInstance(" + std::to_string(flags) + ")");
    if (spawnResult != S_OK) {
        return spawnResult;
    }
    FakeObject* spawned = new FakeObject(spawnLabel);
    spawned->putResult = spawnedPutResult;
    *instance = spawned;
    return S_OK;
}

HRESULT FakeObject::GetMethod(LPCWSTR name, LONG flags, IWbemClassObject** in, IWbemClassObject** out)
{
    wmiCalls.push_back(label + ".GetMethod(" + Text(name) + ", " + std::to_string(flags) + ", in=" +
                       (in == nullptr ? "null" : "wanted") + ", out=" + (out == nullptr ? "null" : "wanted") + ")");
    if (getMethodResult != S_OK) {
        return getMethodResult;
    }
    if (in != nullptr) {
        method->AddRef();
        *in = method.get();
    }
    return S_OK;
}

FakeEnumerator::FakeEnumerator(const std::vector<ComRef<FakeObject>>& instances)
    : Fake("enumerator", IID_IEnumWbemClassObject)
{
    for (const ComRef<FakeObject>& instance : instances) {
        instance->AddRef();
        instances_.push_back(instance.get());
    }
}

FakeEnumerator::~FakeEnumerator()
{
    for (FakeObject* instance : instances_) {
        instance->Release();
    }
}

HRESULT FakeEnumerator::Next(LONG timeout, ULONG count, IWbemClassObject** objects, ULONG* returned)
{
    const std::string call = "Next(" + Timeout(timeout) + ", " + std::to_string(count) + ") -> ";
    *returned = 0;
    if (next_ == instances_.size()) {
        wmiCalls.push_back(call + "none");
        return Hr(WBEM_S_FALSE);
    }
    FakeObject* instance = instances_[next_++];
    wmiCalls.push_back(call + instance->label);
    instance->AddRef();
    objects[0] = instance;
    *returned = 1;
    return S_OK;
}

HRESULT FakeServices::ExecQuery(BSTR language, BSTR query, LONG flags, IWbemContext* context,
                                IEnumWbemClassObject** instances)
{
    wmiCalls.push_back("ExecQuery(" + Text(language) + ", " + Text(query) + ", " + Hex(flags) +
                       ", context=" + Pointer(context) + ")");
    const auto answer = queries.find(query);
    if (answer == queries.end()) {
        return Hr(WBEM_E_INVALID_QUERY);
    }
    if (FAILED(answer->second.result)) {
        return answer->second.result;
    }
    *instances = new FakeEnumerator(answer->second.instances);
    return answer->second.result;
}

HRESULT FakeServices::PutInstance(IWbemClassObject* instance, LONG flags, IWbemContext* context,
                                  IWbemCallResult** callResult)
{
    FakeObject* fake = AsFake(instance);
    wmiCalls.push_back("PutInstance(" + fake->label + ", " + std::to_string(flags) + ", context=" +
                       Pointer(context) + ", result=" + Pointer(callResult) + ")");
    const std::vector<std::uint8_t> bytes = ArrayBytes(*fake, L"WAG1");
    if (bytes.size() == MAILBOX_SIZE) {
        MailboxBuffer wag1{};
        std::copy(bytes.begin(), bytes.end(), wag1.begin());
        committed.push_back(wag1);
    }
    return S_OK;
}

HRESULT FakeServices::GetObject(BSTR path, LONG flags, IWbemContext* context, IWbemClassObject** object,
                                IWbemCallResult** callResult)
{
    wmiCalls.push_back("GetObject(" + Text(path) + ", " + std::to_string(flags) + ", context=" + Pointer(context) +
                       ", result=" + Pointer(callResult) + ")");
    if (getObjectResult != S_OK) {
        return getObjectResult;
    }
    methodClass->AddRef();
    *object = methodClass.get();
    return S_OK;
}

HRESULT FakeServices::ExecMethod(BSTR path, BSTR method, LONG flags, IWbemContext* context, IWbemClassObject* in,
                                 IWbemClassObject** out, IWbemCallResult** callResult)
{
    std::string inText = "null";
    if (in != nullptr) {
        FakeObject* fake = AsFake(in);
        const auto index = fake->properties.find(L"Indx");
        inText = fake->label + "{Indx=" + (index == fake->properties.end() ? "none" : Describe(index->second.get())) +
                 "}";
    }
    wmiCalls.push_back("ExecMethod(" + Text(path) + ", " + Text(method) + ", " + std::to_string(flags) +
                       ", context=" + Pointer(context) + ", in=" + inText + ", out=" +
                       (out == nullptr ? "null" : *out == nullptr ? "cleared" : "not cleared") +
                       ", result=" + Pointer(callResult) + ")");
    if (onExecMethod) {
        onExecMethod();
    }
    if (out != nullptr) {
        *out = new FakeObject("MyFn1.out");
    }
    return S_OK;
}

HRESULT FakeLocator::ConnectServer(const BSTR networkResource, const BSTR user, const BSTR password,
                                   const BSTR locale, LONG securityFlags, const BSTR authority, IWbemContext* context,
                                   IWbemServices** connection)
{
    wmiCalls.push_back("ConnectServer(" + Text(networkResource) + ", " + Text(user) + ", " + Text(password) + ", " +
                       Text(locale) + ", " + std::to_string(securityFlags) + ", " + Text(authority) + ", " +
                       Pointer(context) + ")");
    if (FAILED(connectResult)) {
        return connectResult;
    }
    services->AddRef();
    *connection = services.get();
    return connectResult;
}

ComRef<FakeObject> MakeArgInstance(const std::string& label, Variant wag1)
{
    ComRef<FakeObject> instance = Adopt(new FakeObject(label));
    instance->properties[L"WAG1"] = std::move(wag1);
    return instance;
}

ComRef<FakeObject> MakeMethodInstance(const std::string& label, const wchar_t* path)
{
    ComRef<FakeObject> instance = Adopt(new FakeObject(label));
    Variant value;
    V_VT(value.get()) = VT_BSTR;
    V_BSTR(value.get()) = SysAllocString(path);
    instance->properties[L"__Path"] = std::move(value);
    return instance;
}

ComRef<FakeObject> MakeMethodClass()
{
    ComRef<FakeObject> methodClass = Adopt(new FakeObject("MyWMIMethodClass"));
    methodClass->method = Adopt(new FakeObject("MyFn1.in"));
    methodClass->method->spawnLabel = "MyFn1.args";
    return methodClass;
}

Variant ByteArray(ULONG size, std::uint8_t start)
{
    Variant value;
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, size);
    void* data = nullptr;
    SafeArrayAccessData(array, &data);
    auto* bytes = static_cast<std::uint8_t*>(data);
    for (ULONG i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(start + i);
    }
    SafeArrayUnaccessData(array);
    V_VT(value.get()) = VT_ARRAY | VT_UI1;
    V_ARRAY(value.get()) = array;
    return value;
}

std::vector<std::uint8_t> ArrayBytes(FakeObject& object, const wchar_t* name)
{
    const auto property = object.properties.find(name);
    if (property == object.properties.end()) {
        return {};
    }
    const VARIANT* value = property->second.get();
    if (V_VT(value) != (VT_ARRAY | VT_UI1) || SafeArrayGetDim(V_ARRAY(value)) != 1) {
        return {};
    }
    LONG lower = 0;
    LONG upper = -1;
    SafeArrayGetLBound(V_ARRAY(value), 1, &lower);
    SafeArrayGetUBound(V_ARRAY(value), 1, &upper);
    void* data = nullptr;
    SafeArrayAccessData(V_ARRAY(value), &data);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::vector<std::uint8_t> copy(bytes, bytes + (upper - lower + 1));
    SafeArrayUnaccessData(V_ARRAY(value));
    return copy;
}

void AnswerLikeFirmware(FakeObject& arg, std::uint8_t& stopValue)
{
    const std::vector<std::uint8_t> request = ArrayBytes(arg, L"WAG1");
    if (request.size() != MAILBOX_SIZE) {
        return;
    }
    Variant reply = ByteArray(MAILBOX_SIZE);
    void* data = nullptr;
    SafeArrayAccessData(V_ARRAY(reply.get()), &data);
    auto* bytes = static_cast<std::uint8_t*>(data);
    std::copy(request.begin(), request.end(), bytes);
    if (request[OFFSET_COMMAND_WORD] == SET_COMMAND_WORD) {
        stopValue = request[OFFSET_STOP_VALUE];
    }
    bytes[OFFSET_STATUS_BYTE] = STATUS_DONE;
    bytes[OFFSET_REPORTED_VALUE] = stopValue;
    bytes[OFFSET_STOP_VALUE] = stopValue;
    SafeArrayUnaccessData(V_ARRAY(reply.get()));
    arg.properties[L"WAG1"] = std::move(reply);
}

#pragma once

// In-process stand-ins for the WMI objects the host talks to. Each records
// the calls it receives, with their arguments, in wmiCalls; every method the
// host has no business calling answers WBEM_E_NOT_SUPPORTED. Values are real
// VARIANTs and SAFEARRAYs from the system's oleaut32.

#include <wbemidl.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "host/com_holders.h"
#include "protocol/protocol.h"

// WMI's status codes as the HRESULTs its methods return.
constexpr HRESULT Hr(WBEMSTATUS status)
{
    return static_cast<HRESULT>(status);
}
constexpr HRESULT NOT_SUPPORTED = Hr(WBEM_E_NOT_SUPPORTED);

// Calls in the order the fakes received them, one line each.
extern std::vector<std::string> wmiCalls;

// Fake COM objects alive right now; back to its start value once the code
// under test has released everything it was handed.
extern int liveFakes;

// Wide text as ASCII, '?' for anything else.
std::string Narrow(const wchar_t* text);

// A BSTR as text; "null" for none, and "<not a BSTR>" when the length prefix
// does not match, as it would not for a plain wide literal.
std::string Text(const wchar_t* bstr);

// Reference counting and identity shared by all the fakes.
template <typename Interface>
class Fake : public Interface {
public:
    Fake(std::string name, const IID& iid) : label(std::move(name)), iid_(iid) { ++liveFakes; }
    virtual ~Fake() { --liveFakes; }
    Fake(const Fake&) = delete;
    Fake& operator=(const Fake&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, iid_)) {
            *object = this;
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        if (logReleases) {
            wmiCalls.push_back(label + ".Release");
        }
        const ULONG left = --refs;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    std::string label;
    ULONG refs = 1;
    bool logReleases = false;

private:
    IID iid_;
};

// Takes over the one reference a fake is born with.
template <typename T>
ComRef<T> Adopt(T* object)
{
    ComRef<T> ref;
    *ref.put() = object;
    return ref;
}

class FakeObject : public Fake<IWbemClassObject> {
public:
    explicit FakeObject(std::string name) : Fake(std::move(name), IID_IWbemClassObject) {}

    std::map<std::wstring, Variant> properties;
    std::map<std::wstring, HRESULT> getResults;  // Get of these names answers this
    HRESULT putResult = S_OK;
    HRESULT spawnResult = S_OK;
    HRESULT getMethodResult = S_OK;
    HRESULT spawnedPutResult = S_OK;  // putResult of the instances SpawnInstance makes
    std::string spawnLabel;         // label of the instances SpawnInstance makes
    ComRef<FakeObject> method;      // the input signature GetMethod hands out

    HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor) override;
    HRESULT STDMETHODCALLTYPE Put(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE type) override;
    HRESULT STDMETHODCALLTYPE SpawnInstance(LONG flags, IWbemClassObject** instance) override;
    HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR name, LONG flags, IWbemClassObject** in,
                                        IWbemClassObject** out) override;

    HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override { return NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) override
    {
        return NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override { return NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override { return NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE EndEnumeration() override { return NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override
    {
        return NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject**) override { return NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override { return NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override { return NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override { return NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override { return NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override { return NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override
    {
        return NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override { return NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) override
    {
        return NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override { return NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override
    {
        return NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override { return NOT_SUPPORTED; }
};

class FakeEnumerator : public Fake<IEnumWbemClassObject> {
public:
    explicit FakeEnumerator(const std::vector<ComRef<FakeObject>>& instances);
    ~FakeEnumerator() override;

    HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objects, ULONG* returned) override;

    HRESULT STDMETHODCALLTYPE Reset() override { return NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject**) override { return NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG) override { return NOT_SUPPORTED; }

private:
    std::vector<FakeObject*> instances_;
    std::size_t next_ = 0;
};

// What ExecQuery answers for one query text.
struct QueryAnswer {
    HRESULT result = S_OK;  // an enumerator comes with every non-negative result
    std::vector<ComRef<FakeObject>> instances;
};

class FakeServices : public Fake<IWbemServices> {
public:
    FakeServices() : Fake("services", IID_IWbemServices) {}

    std::map<std::wstring, QueryAnswer> queries;  // unknown texts answer WBEM_E_INVALID_QUERY
    ComRef<FakeObject> methodClass;               // what GetObject hands out
    HRESULT getObjectResult = S_OK;
    std::function<void()> onExecMethod;           // the firmware acting on WAG1
    std::vector<MailboxBuffer> committed;         // WAG1 of each instance PutInstance was given

    HRESULT STDMETHODCALLTYPE ExecQuery(BSTR language, BSTR query, LONG flags, IWbemContext* context,
                                        IEnumWbemClassObject** instances) override;
    HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject* instance, LONG flags, IWbemContext* context,
                                          IWbemCallResult** callResult) override;
    HRESULT STDMETHODCALLTYPE GetObject(BSTR path, LONG flags, IWbemContext* context, IWbemClassObject** object,
                                        IWbemCallResult** callResult) override;
    HRESULT STDMETHODCALLTYPE ExecMethod(BSTR path, BSTR method, LONG flags, IWbemContext* context,
                                         IWbemClassObject* in, IWbemClassObject** out,
                                         IWbemCallResult** callResult) override;

    HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**,
                                            IWbemCallResult**) override
    {
        return NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) override { return NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) override { return NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override
    {
        return NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override
    {
        return NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override
    {
        return NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override
    {
        return NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override
    {
        return NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
    {
        return NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                                    IEnumWbemClassObject**) override
    {
        return NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                                         IWbemObjectSink*) override
    {
        return NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                              IWbemObjectSink*) override
    {
        return NOT_SUPPORTED;
    }
};

class FakeLocator : public Fake<IWbemLocator> {
public:
    FakeLocator() : Fake("locator", IID_IWbemLocator) {}

    ComRef<FakeServices> services;  // what ConnectServer hands out
    HRESULT connectResult = S_OK;

    HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR networkResource, const BSTR user, const BSTR password,
                                            const BSTR locale, LONG securityFlags, const BSTR authority,
                                            IWbemContext* context, IWbemServices** connection) override;
};

// The two instances a firmware publishes, as the tests build them.
ComRef<FakeObject> MakeArgInstance(const std::string& label, Variant wag1);
ComRef<FakeObject> MakeMethodInstance(const std::string& label, const wchar_t* path);

// The method class with MyFn1's input signature.
ComRef<FakeObject> MakeMethodClass();

// A WAG1 value: a one-dimensional byte array of the given size holding
// 0, 1, 2, ... (mod 256) from the given start.
Variant ByteArray(ULONG size, std::uint8_t start = 0);

// The bytes of a one-dimensional byte array property, or an empty vector
// when the property is not one.
std::vector<std::uint8_t> ArrayBytes(FakeObject& object, const wchar_t* name);

// A small firmware behind WAG1: completes every request, reports stopValue
// to reads and takes a set's byte 10 as the new stopValue.
void AnswerLikeFirmware(FakeObject& arg, std::uint8_t& stopValue);

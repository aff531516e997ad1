#include "host/wmi_mailbox.h"

#include <windows.h>

#include <cstring>

#include "host/com_holders.h"

namespace {

// WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY: the instances are
// walked once, so WMI need not keep them for a rewind.
constexpr long QUERY_FLAGS = 0x30;

// In these operations only S_OK counts: WMI's success codes (WBEM_S_FALSE
// and friends) mean something was left undone.
bool Succeeded(HRESULT hr)
{
    return hr == S_OK;
}

bool Query(IWbemServices* services, const wchar_t* text, ComRef<IEnumWbemClassObject>& instances)
{
    const Bstr language(L"WQL");
    const Bstr query(text);
    if (!language || !query) {
        return false;
    }
    return Succeeded(services->ExecQuery(language.get(), query.get(), QUERY_FLAGS, nullptr, instances.put()));
}

// False once the enumeration hands out no object.
bool NextInstance(IEnumWbemClassObject* instances, ComRef<IWbemClassObject>& instance)
{
    ULONG returned = 0;
    const HRESULT hr = instances->Next(static_cast<long>(WBEM_INFINITE), 1, instance.put(), &returned);
    return Succeeded(hr) && returned == 1 && instance;
}

bool GetProperty(IWbemClassObject* object, const wchar_t* name, Variant& value)
{
    const Bstr property(name);
    if (!property) {
        return false;
    }
    return Succeeded(object->Get(property.get(), 0, value.put(), nullptr, nullptr));
}

// A firmware or provider that hands back anything but one dimension of
// exactly MAILBOX_SIZE bytes would have us copy past the end of one array or
// the other, so such a value is a failed step.
SAFEARRAY* MailboxArray(Variant& wag1)
{
    const VARIANT* value = wag1.get();
    if (V_VT(value) != (VT_ARRAY | VT_UI1)) {
        return nullptr;
    }
    SAFEARRAY* array = V_ARRAY(value);
    if (array == nullptr || SafeArrayGetDim(array) != 1 || SafeArrayGetElemsize(array) != 1) {
        return nullptr;
    }
    LONG lower = 0;
    if (!Succeeded(SafeArrayGetLBound(array, 1, &lower))) {
        return nullptr;
    }
    LONG upper = 0;
    if (!Succeeded(SafeArrayGetUBound(array, 1, &upper))) {
        return nullptr;
    }
    if (static_cast<long long>(upper) - lower + 1 != static_cast<long long>(MAILBOX_SIZE)) {
        return nullptr;
    }
    return array;
}

bool CopyToArray(SAFEARRAY* array, const MailboxBuffer& buffer)
{
    void* data = nullptr;
    if (!Succeeded(SafeArrayAccessData(array, &data))) {
        return false;
    }
    std::memcpy(data, buffer.data(), buffer.size());
    return Succeeded(SafeArrayUnaccessData(array));
}

bool CopyFromArray(SAFEARRAY* array, MailboxBuffer& buffer)
{
    void* data = nullptr;
    if (!Succeeded(SafeArrayAccessData(array, &data))) {
        return false;
    }
    std::memcpy(buffer.data(), data, buffer.size());
    return Succeeded(SafeArrayUnaccessData(array));
}

bool WriteInstance(IWbemServices* services, IWbemClassObject* instance, const MailboxBuffer& buffer)
{
    Variant wag1;
    if (!GetProperty(instance, L"WAG1", wag1)) {
        return false;
    }
    SAFEARRAY* array = MailboxArray(wag1);
    if (array == nullptr || !CopyToArray(array, buffer)) {
        return false;
    }
    const Bstr property(L"WAG1");
    if (!property) {
        return false;
    }
    // Neither result is looked at: a write that did not land shows up in
    // the reply as a missing STATUS_DONE, and the exchange asks again.
    instance->Put(property.get(), 0, wag1.get(), 0);
    services->PutInstance(instance, WBEM_FLAG_UPDATE_ONLY, nullptr, nullptr);
    return true;
}

bool ReadInstance(IWbemClassObject* instance, MailboxBuffer& buffer)
{
    Variant wag1;
    if (!GetProperty(instance, L"WAG1", wag1)) {
        return false;
    }
    SAFEARRAY* array = MailboxArray(wag1);
    return array != nullptr && CopyFromArray(array, buffer);
}

bool InvokeInstance(IWbemServices* services, IWbemClassObject* instance)
{
    Variant path;
    if (!GetProperty(instance, L"__Path", path)) {
        return false;
    }
    // ExecMethod reads the path as a string; anything else would be read
    // as one all the same.
    if (V_VT(path.get()) != VT_BSTR || V_BSTR(path.get()) == nullptr) {
        return false;
    }

    const Bstr className(L"MyWMIMethodClass");
    if (!className) {
        return false;
    }
    ComRef<IWbemClassObject> methodClass;
    if (!Succeeded(services->GetObject(className.get(), 0, nullptr, methodClass.put(), nullptr))) {
        return false;
    }

    const Bstr methodName(L"MyFn1");
    if (!methodName) {
        return false;
    }
    ComRef<IWbemClassObject> inSignature;
    if (!Succeeded(methodClass->GetMethod(methodName.get(), 0, inSignature.put(), nullptr))) {
        return false;
    }
    ComRef<IWbemClassObject> inParameters;
    if (!Succeeded(inSignature->SpawnInstance(0, inParameters.put()))) {
        return false;
    }

    // The firmware takes the index as text.
    wchar_t indexText[16];
    wsprintfW(indexText, L"%d", 1);
    Variant index;
    V_VT(index.get()) = VT_BSTR;
    V_BSTR(index.get()) = SysAllocString(indexText);
    const Bstr indexName(L"Indx");
    if (V_BSTR(index.get()) == nullptr || !indexName) {
        return false;
    }
    if (!Succeeded(inParameters->Put(indexName.get(), 0, index.get(), 0))) {
        return false;
    }

    // The reply is read back from WAG1, so neither the result nor the
    // output parameters tell us anything.
    ComRef<IWbemClassObject> outParameters;
    services->ExecMethod(V_BSTR(path.get()), methodName.get(), 0, nullptr, inParameters.get(),
                         outParameters.put(), nullptr);
    return true;
}

}  // namespace

void WmiMailbox::WriteMailbox(const MailboxBuffer& buffer)
{
    ComRef<IEnumWbemClassObject> instances;
    if (!Query(services_, L"Select * From MyWMIARGClass1", instances)) {
        return;
    }
    ComRef<IWbemClassObject> instance;
    while (NextInstance(instances.get(), instance)) {
        if (!WriteInstance(services_, instance.get(), buffer)) {
            return;
        }
    }
}

void WmiMailbox::InvokeMailbox()
{
    ComRef<IEnumWbemClassObject> instances;
    if (!Query(services_, L"Select * From MyWMIMethodClass", instances)) {
        return;
    }
    ComRef<IWbemClassObject> instance;
    while (NextInstance(instances.get(), instance)) {
        if (!InvokeInstance(services_, instance.get())) {
            return;
        }
    }
}

void WmiMailbox::ReadMailbox(MailboxBuffer& buffer)
{
    // Whatever goes wrong below, the caller is left with a reply that does
    // not carry STATUS_DONE.
    buffer.fill(0);
    ComRef<IEnumWbemClassObject> instances;
    if (!Query(services_, L"Select * From MyWMIARGClass1", instances)) {
        return;
    }
    // With several instances the last one's bytes are the reply.
    ComRef<IWbemClassObject> instance;
    while (NextInstance(instances.get(), instance)) {
        if (!ReadInstance(instance.get(), buffer)) {
            return;
        }
    }
}

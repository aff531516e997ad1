#include "host/wmi_mailbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "tests/host/fake_wmi.h"

namespace {

using Calls = std::vector<std::string>;

const wchar_t* const ARG_QUERY = L"Select * From MyWMIARGClass1";
const wchar_t* const METHOD_QUERY = L"Select * From MyWMIMethodClass";

const char* const QUERY_ARG = "ExecQuery(WQL, Select * From MyWMIARGClass1, 0x30, context=null)";
const char* const QUERY_METHOD = "ExecQuery(WQL, Select * From MyWMIMethodClass, 0x30, context=null)";
const char* const NEXT_NONE = "Next(INFINITE, 1) -> none";

const wchar_t* const PATH_1 = L"\\\\.\\ROOT\\WMI:MyWMIMethodClass.InstanceName=\"ACPI\\\\PNP0C14\\\\0_0\"";
const wchar_t* const PATH_2 = L"\\\\.\\ROOT\\WMI:MyWMIMethodClass.InstanceName=\"ACPI\\\\PNP0C14\\\\1_0\"";

MailboxBuffer Pattern(std::uint8_t start)
{
    MailboxBuffer buffer{};
    for (std::size_t i = 0; i < buffer.size(); ++i) {
        buffer[i] = static_cast<std::uint8_t>(start + i);
    }
    return buffer;
}

std::vector<std::uint8_t> Bytes(const MailboxBuffer& buffer)
{
    return std::vector<std::uint8_t>(buffer.begin(), buffer.end());
}

std::vector<std::uint8_t> Bytes(ULONG size, std::uint8_t start)
{
    std::vector<std::uint8_t> bytes(size);
    for (ULONG i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(start + i);
    }
    return bytes;
}

// Calls made on one instance of MyWMIMethodClass by a complete invoke.
Calls InvokeCalls(const std::string& instance, const std::string& path)
{
    return {
        "Next(INFINITE, 1) -> " + instance,
        instance + ".Get(__Path, 0, type=null, flavor=null)",
        "GetObject(MyWMIMethodClass, 0, context=null, result=null)",
        "MyWMIMethodClass.GetMethod(MyFn1, 0, in=wanted, out=null)",
        "MyFn1.in.SpawnInstance(0)",
        "MyFn1.args.Put(Indx, 0, BSTR \"1\", 0)",
        "ExecMethod(" + path + ", MyFn1, 0, context=null, in=MyFn1.args{Indx=BSTR \"1\"}, out=cleared, result=null)",
    };
}

Calls Concat(std::initializer_list<Calls> parts)
{
    Calls all;
    for (const Calls& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

class WmiMailboxTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { ExpectAllReleased(); }

    // A fresh WMI with the method class and no instances.
    void Reset()
    {
        wmiCalls.clear();
        services = ComRef<FakeServices>();
        fakesBefore = liveFakes;
        services = Adopt(new FakeServices());
        services->methodClass = MakeMethodClass();
    }

    // Every fake the test set up is still there, held once by the test: the
    // code under test released all it was handed.
    void ExpectAllReleased()
    {
        EXPECT_EQ(liveFakes, fakesAtStart());
        EXPECT_EQ(services->refs, 1u);
        EXPECT_EQ(services->methodClass->refs, 1u);
        EXPECT_EQ(services->methodClass->method->refs, 1u);
        for (const auto& query : services->queries) {
            for (const ComRef<FakeObject>& instance : query.second.instances) {
                EXPECT_EQ(instance->refs, 1u) << instance->label;
            }
        }
    }

    int fakesAtStart() const
    {
        int count = fakesBefore + 3;  // services, method class, input signature
        for (const auto& query : services->queries) {
            count += static_cast<int>(query.second.instances.size());
        }
        return count;
    }

    FakeObject& AddArg(const std::string& label, Variant wag1)
    {
        services->queries[ARG_QUERY].instances.push_back(MakeArgInstance(label, std::move(wag1)));
        return *services->queries[ARG_QUERY].instances.back().get();
    }

    FakeObject& AddMethod(const std::string& label, const wchar_t* path)
    {
        services->queries[METHOD_QUERY].instances.push_back(MakeMethodInstance(label, path));
        return *services->queries[METHOD_QUERY].instances.back().get();
    }

    ComRef<FakeServices> services;
    int fakesBefore = 0;
};

TEST_F(WmiMailboxTest, WriteCopiesTheBufferIntoEveryInstanceAndUpdatesIt)
{
    FakeObject& arg1 = AddArg("arg1", ByteArray(MAILBOX_SIZE, 0x40));
    FakeObject& arg2 = AddArg("arg2", ByteArray(MAILBOX_SIZE, 0x80));
    const MailboxBuffer buffer = Pattern(7);

    WmiMailbox(services.get()).WriteMailbox(buffer);

    EXPECT_EQ(wmiCalls, (Calls{
                            QUERY_ARG,
                            "Next(INFINITE, 1) -> arg1",
                            "arg1.Get(WAG1, 0, type=null, flavor=null)",
                            "arg1.Put(WAG1, 0, UI1[256], 0)",
                            "PutInstance(arg1, 1, context=null, result=null)",
                            "Next(INFINITE, 1) -> arg2",
                            "arg2.Get(WAG1, 0, type=null, flavor=null)",
                            "arg2.Put(WAG1, 0, UI1[256], 0)",
                            "PutInstance(arg2, 1, context=null, result=null)",
                            NEXT_NONE,
                        }));
    EXPECT_EQ(ArrayBytes(arg1, L"WAG1"), Bytes(buffer));
    EXPECT_EQ(ArrayBytes(arg2, L"WAG1"), Bytes(buffer));
    ASSERT_EQ(services->committed.size(), 2u);
    EXPECT_EQ(services->committed[0], buffer);
}

TEST_F(WmiMailboxTest, ReadZeroesTheBufferThenKeepsTheLastInstancesBytes)
{
    AddArg("arg1", ByteArray(MAILBOX_SIZE, 0x40));
    WmiMailbox mailbox(services.get());

    MailboxBuffer buffer = Pattern(7);
    mailbox.ReadMailbox(buffer);
    EXPECT_EQ(Bytes(buffer), Bytes(MAILBOX_SIZE, 0x40));
    EXPECT_EQ(wmiCalls, (Calls{
                            QUERY_ARG,
                            "Next(INFINITE, 1) -> arg1",
                            "arg1.Get(WAG1, 0, type=null, flavor=null)",
                            NEXT_NONE,
                        }));

    AddArg("arg2", ByteArray(MAILBOX_SIZE, 0x90));
    mailbox.ReadMailbox(buffer);
    EXPECT_EQ(Bytes(buffer), Bytes(MAILBOX_SIZE, 0x90));
}

TEST_F(WmiMailboxTest, InvokeRunsMyFn1OncePerMethodInstanceInOrder)
{
    AddMethod("method1", PATH_1);
    AddMethod("method2", PATH_2);

    WmiMailbox(services.get()).InvokeMailbox();

    EXPECT_EQ(wmiCalls, Concat({
                            {QUERY_METHOD},
                            InvokeCalls("method1", Narrow(PATH_1)),
                            InvokeCalls("method2", Narrow(PATH_2)),
                            {NEXT_NONE},
                        }));
}

TEST_F(WmiMailboxTest, WithoutInstancesNothingIsWrittenOrInvokedAndTheReadIsZero)
{
    services->queries[ARG_QUERY];
    services->queries[METHOD_QUERY];
    WmiMailbox mailbox(services.get());

    mailbox.WriteMailbox(Pattern(1));
    mailbox.InvokeMailbox();
    MailboxBuffer buffer = Pattern(1);
    mailbox.ReadMailbox(buffer);

    EXPECT_EQ(wmiCalls, (Calls{QUERY_ARG, NEXT_NONE, QUERY_METHOD, NEXT_NONE, QUERY_ARG, NEXT_NONE}));
    EXPECT_EQ(buffer, MailboxBuffer{});
}

// The three operations, each started on a mailbox with a buffer that is
// anything but zero; the buffer is what a read leaves.
struct Operation {
    const char* name;
    std::function<void(WmiMailbox&, MailboxBuffer&)> run;
};

const Operation OPERATIONS[] = {
    {"write", [](WmiMailbox& mailbox, MailboxBuffer& buffer) { mailbox.WriteMailbox(buffer); }},
    {"invoke", [](WmiMailbox& mailbox, MailboxBuffer&) { mailbox.InvokeMailbox(); }},
    {"read", [](WmiMailbox& mailbox, MailboxBuffer& buffer) { mailbox.ReadMailbox(buffer); }},
};

TEST_F(WmiMailboxTest, AQueryThatDoesNotAnswerSOkEndsTheOperation)
{
    // WBEM_S_FALSE comes with an enumerator, which must still be released.
    for (const HRESULT result : {Hr(WBEM_E_INVALID_CLASS), Hr(WBEM_E_ACCESS_DENIED), Hr(WBEM_S_FALSE)}) {
        services->queries[ARG_QUERY].result = result;
        services->queries[METHOD_QUERY].result = result;
        AddArg("arg" + std::to_string(result), ByteArray(MAILBOX_SIZE, 0x40));
        AddMethod("method" + std::to_string(result), PATH_1);
        for (const Operation& operation : OPERATIONS) {
            SCOPED_TRACE(std::string(operation.name) + " with result " + std::to_string(result));
            wmiCalls.clear();
            MailboxBuffer buffer = Pattern(3);
            WmiMailbox mailbox(services.get());
            operation.run(mailbox, buffer);
            EXPECT_EQ(wmiCalls, Calls{operation.name == std::string("invoke") ? QUERY_METHOD : QUERY_ARG});
            EXPECT_EQ(liveFakes, fakesAtStart());
            if (operation.name == std::string("read")) {
                EXPECT_EQ(buffer, MailboxBuffer{});
            }
        }
    }
}

TEST_F(WmiMailboxTest, AFailingGetOnTheFirstInstanceLeavesTheSecondAlone)
{
    FakeObject& arg1 = AddArg("arg1", ByteArray(MAILBOX_SIZE, 0x40));
    FakeObject& arg2 = AddArg("arg2", ByteArray(MAILBOX_SIZE, 0x80));
    FakeObject& method1 = AddMethod("method1", PATH_1);
    AddMethod("method2", PATH_2);

    for (const HRESULT result : {Hr(WBEM_E_NOT_FOUND), Hr(WBEM_S_FALSE)}) {
        arg1.getResults[L"WAG1"] = result;
        method1.getResults[L"__Path"] = result;
        for (const Operation& operation : OPERATIONS) {
            SCOPED_TRACE(std::string(operation.name) + " with result " + std::to_string(result));
            const bool invoke = operation.name == std::string("invoke");
            wmiCalls.clear();
            MailboxBuffer buffer = Pattern(3);
            WmiMailbox mailbox(services.get());
            operation.run(mailbox, buffer);
            if (invoke) {
                EXPECT_EQ(wmiCalls, (Calls{QUERY_METHOD, "Next(INFINITE, 1) -> method1",
                                           "method1.Get(__Path, 0, type=null, flavor=null)"}));
            } else {
                EXPECT_EQ(wmiCalls,
                          (Calls{QUERY_ARG, "Next(INFINITE, 1) -> arg1", "arg1.Get(WAG1, 0, type=null, flavor=null)"}));
            }
            EXPECT_EQ(ArrayBytes(arg2, L"WAG1"), Bytes(MAILBOX_SIZE, 0x80));
            if (operation.name == std::string("read")) {
                EXPECT_EQ(buffer, MailboxBuffer{});
            }
        }
    }
}

// Each row breaks one step of the invoke on the first of two instances: the
// operation stops right there and MyFn1 is never executed.
TEST_F(WmiMailboxTest, AFailingStepOfTheInvokeEndsIt)
{
    struct Case {
        const char* name;
        std::function<void(FakeServices&, FakeObject& method1)> breakIt;
        std::size_t callsMade;  // of InvokeCalls for method1
    };
    const Case cases[] = {
        {"path is no string",
         [](FakeServices&, FakeObject& method1) { method1.properties[L"__Path"] = Variant(); }, 2},
        {"GetObject", [](FakeServices& wmi, FakeObject&) { wmi.getObjectResult = Hr(WBEM_E_NOT_FOUND); }, 3},
        {"GetObject success code", [](FakeServices& wmi, FakeObject&) { wmi.getObjectResult = Hr(WBEM_S_FALSE); },
         3},
        {"GetMethod",
         [](FakeServices& wmi, FakeObject&) { wmi.methodClass->getMethodResult = Hr(WBEM_E_NOT_FOUND); }, 4},
        {"SpawnInstance",
         [](FakeServices& wmi, FakeObject&) { wmi.methodClass->method->spawnResult = Hr(WBEM_E_FAILED); }, 5},
        {"Put of Indx",
         [](FakeServices& wmi, FakeObject&) { wmi.methodClass->method->spawnedPutResult = Hr(WBEM_E_TYPE_MISMATCH); },
         6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        FakeObject& method1 = AddMethod("method1", PATH_1);
        AddMethod("method2", PATH_2);
        c.breakIt(*services.get(), method1);

        WmiMailbox(services.get()).InvokeMailbox();

        Calls expected = InvokeCalls("method1", Narrow(PATH_1));
        expected.resize(c.callsMade);
        expected.insert(expected.begin(), QUERY_METHOD);
        EXPECT_EQ(wmiCalls, expected);
        ExpectAllReleased();
    }
}

// A WAG1 that is not one dimension of exactly 256 bytes: the write copies
// nothing into it and puts nothing back, the read leaves 256 zero bytes.
TEST_F(WmiMailboxTest, AMisshapenWag1IsNeitherWrittenNorRead)
{
    struct Case {
        const char* name;
        std::function<Variant()> make;
    };
    const Case cases[] = {
        {"255 bytes", [] { return ByteArray(255, 0x40); }},
        {"257 bytes", [] { return ByteArray(257, 0x40); }},
        {"no bytes", [] { return ByteArray(0); }},
        {"128 shorts",
         [] {
             Variant value;
             V_VT(value.get()) = VT_ARRAY | VT_I2;
             V_ARRAY(value.get()) = SafeArrayCreateVector(VT_I2, 0, 128);
             return value;
         }},
        {"16 by 16 bytes",
         [] {
             Variant value;
             SAFEARRAYBOUND bounds[2] = {{16, 0}, {16, 0}};
             V_VT(value.get()) = VT_ARRAY | VT_UI1;
             V_ARRAY(value.get()) = SafeArrayCreate(VT_UI1, 2, bounds);
             return value;
         }},
        {"a number",
         [] {
             Variant value;
             V_VT(value.get()) = VT_I4;
             V_I4(value.get()) = 256;
             return value;
         }},
        {"null", [] {
             Variant value;
             V_VT(value.get()) = VT_NULL;
             return value;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        FakeObject& arg = AddArg("arg1", c.make());
        const std::vector<std::uint8_t> before = ArrayBytes(arg, L"WAG1");
        const VARTYPE typeBefore = V_VT(arg.properties[L"WAG1"].get());
        WmiMailbox mailbox(services.get());

        mailbox.WriteMailbox(Pattern(9));
        MailboxBuffer buffer = Pattern(9);
        mailbox.ReadMailbox(buffer);

        const Calls oneGet = {QUERY_ARG, "Next(INFINITE, 1) -> arg1", "arg1.Get(WAG1, 0, type=null, flavor=null)"};
        EXPECT_EQ(wmiCalls, Concat({oneGet, oneGet}));
        EXPECT_EQ(ArrayBytes(arg, L"WAG1"), before);
        EXPECT_EQ(V_VT(arg.properties[L"WAG1"].get()), typeBefore);
        EXPECT_EQ(buffer, MailboxBuffer{});
        ExpectAllReleased();
    }
}

}  // namespace

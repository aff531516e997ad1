#pragma once

#include <objbase.h>
#include <oleauto.h>

#include <utility>

// Owns one reference to a COM interface. put() drops the old reference
// before handing out the slot, so an out-parameter can never overwrite (and
// leak) a pointer still held.
template <typename T>
class ComRef {
public:
    ComRef() = default;
    ~ComRef() { reset(); }
    ComRef(ComRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ComRef& operator=(ComRef&& other) noexcept
    {
        if (this != &other) {
            reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

    T** put()
    {
        reset();
        return &p_;
    }

    // For factories such as CoCreateInstance that hand out void**.
    void** put_void() { return reinterpret_cast<void**>(put()); }

    void reset()
    {
        if (p_ != nullptr) {
            std::exchange(p_, nullptr)->Release();
        }
    }

private:
    T* p_ = nullptr;
};

// A BSTR made from a wide literal; WMI wants BSTRs even where the prototype
// says LPCWSTR. Null when out of memory, which callers treat as a failed step.
class Bstr {
public:
    explicit Bstr(const wchar_t* text) : s_(SysAllocString(text)) {}
    ~Bstr() { SysFreeString(s_); }
    Bstr(Bstr&& other) noexcept : s_(std::exchange(other.s_, nullptr)) {}
    Bstr& operator=(Bstr&& other) noexcept
    {
        if (this != &other) {
            SysFreeString(s_);
            s_ = std::exchange(other.s_, nullptr);
        }
        return *this;
    }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;

    BSTR get() const { return s_; }
    explicit operator bool() const { return s_ != nullptr; }

private:
    BSTR s_;
};

// A VARIANT that is initialised on creation and cleared (freeing any array or
// string it carries) on destruction. put() clears before handing it out.
class Variant {
public:
    Variant() { VariantInit(&v_); }
    ~Variant() { VariantClear(&v_); }
    Variant(Variant&& other) noexcept : v_(other.v_) { VariantInit(&other.v_); }
    Variant& operator=(Variant&& other) noexcept
    {
        if (this != &other) {
            VariantClear(&v_);
            v_ = other.v_;
            VariantInit(&other.v_);
        }
        return *this;
    }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;

    VARIANT* get() { return &v_; }
    const VARIANT* get() const { return &v_; }

    VARIANT* put()
    {
        VariantClear(&v_);
        return &v_;
    }

private:
    VARIANT v_;
};

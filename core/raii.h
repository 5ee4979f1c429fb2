// Small owners for the platform resources kivo handles: CoTaskMem strings,
// PROPVARIANTs, heap blocks and the thread's last-error code.
// Each releases on every path out of the scope that holds it.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <propidl.h>
#include <shtypes.h>

#include <cstdlib>
#include <utility>

namespace kivo {

// A wide string allocated by COM (CoTaskMemAlloc), freed with CoTaskMemFree.
class CoTaskMemString {
public:
    CoTaskMemString() = default;
    explicit CoTaskMemString(LPWSTR text) : text_(text) {}
    ~CoTaskMemString() { Reset(); }
    CoTaskMemString(const CoTaskMemString &) = delete;
    CoTaskMemString &operator=(const CoTaskMemString &) = delete;
    CoTaskMemString(CoTaskMemString &&other) noexcept : text_(other.Release()) {}
    CoTaskMemString &operator=(CoTaskMemString &&other) noexcept {
        if (this != &other) {
            Reset();
            text_ = other.Release();
        }
        return *this;
    }

    LPWSTR Get() const { return text_; }
    LPWSTR *Put() {
        Reset();
        return &text_;
    }
    LPWSTR Release() { return std::exchange(text_, nullptr); }
    void Reset() {
        if (text_) CoTaskMemFree(text_);
        text_ = nullptr;
    }
    explicit operator bool() const { return text_ != nullptr; }

private:
    LPWSTR text_ = nullptr;
};

// An item identifier list allocated by the shell (CoTaskMemAlloc), freed
// with CoTaskMemFree.
class Pidl {
public:
    Pidl() = default;
    ~Pidl() { CoTaskMemFree(pidl_); }
    Pidl(const Pidl &) = delete;
    Pidl &operator=(const Pidl &) = delete;

    LPITEMIDLIST Get() const { return pidl_; }
    LPITEMIDLIST *Put() {
        CoTaskMemFree(std::exchange(pidl_, nullptr));
        return &pidl_;
    }
    explicit operator bool() const { return pidl_ != nullptr; }

private:
    LPITEMIDLIST pidl_ = nullptr;
};

// A PROPVARIANT that is cleared when it goes out of scope.
class PropVariant {
public:
    PropVariant() { PropVariantInit(&value_); }
    ~PropVariant() { PropVariantClear(&value_); }
    PropVariant(const PropVariant &) = delete;
    PropVariant &operator=(const PropVariant &) = delete;

    PROPVARIANT *Put() {
        PropVariantClear(&value_);
        return &value_;
    }
    const PROPVARIANT &Get() const { return value_; }
    PROPVARIANT *Ptr() { return &value_; }

private:
    PROPVARIANT value_;
};

// A zero-filled block of count elements from the C heap; null when the
// allocation failed.
template <class T>
class HeapArray {
public:
    explicit HeapArray(size_t count) : items_(count ? static_cast<T *>(std::calloc(count, sizeof(T))) : nullptr) {}
    ~HeapArray() { std::free(items_); }
    HeapArray(const HeapArray &) = delete;
    HeapArray &operator=(const HeapArray &) = delete;

    T *Get() const { return items_; }
    T &operator[](size_t index) const { return items_[index]; }
    explicit operator bool() const { return items_ != nullptr; }

private:
    T *items_;
};

// An array of COM-allocated wide strings (device IDs, object IDs), each freed
// with CoTaskMemFree, then the array itself.
class CoTaskMemStringArray {
public:
    explicit CoTaskMemStringArray(size_t count) : items_(count), count_(count) {}
    ~CoTaskMemStringArray() { FreeAll(); }
    CoTaskMemStringArray(const CoTaskMemStringArray &) = delete;
    CoTaskMemStringArray &operator=(const CoTaskMemStringArray &) = delete;

    LPWSTR *Get() const { return items_.Get(); }
    LPWSTR operator[](size_t index) const { return items_[index]; }
    explicit operator bool() const { return static_cast<bool>(items_); }
    size_t Count() const { return count_; }
    void FreeAll() {
        if (!items_) return;
        for (size_t i = 0; i < count_; ++i) {
            if (items_[i]) CoTaskMemFree(items_[i]);
            items_[i] = nullptr;
        }
    }

private:
    HeapArray<LPWSTR> items_;
    size_t count_;
};

// Restores the thread's last-error code when the scope ends, whatever the
// calls inside it did to it.
class LastErrorKeeper {
public:
    LastErrorKeeper() : code_(GetLastError()) {}
    ~LastErrorKeeper() { SetLastError(code_); }
    LastErrorKeeper(const LastErrorKeeper &) = delete;
    LastErrorKeeper &operator=(const LastErrorKeeper &) = delete;

private:
    DWORD code_;
};

}  // namespace kivo

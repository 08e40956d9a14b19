// Owners of the operating system's handles: each closes its handle exactly once, with the
// function that matches how it was opened.
#pragma once

#include <cstdint>
#include <utility>
// clang-format off
#include <windows.h>
#include <setupapi.h> // needs the types of windows.h
// clang-format on

namespace tarn::platform::win32 {

// A handle with one closing function and one or more values that mean "none".
template <class T, class Traits> class UniqueResource {
public:
    UniqueResource() = default;
    explicit UniqueResource(T value) : value_(value) {}
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~UniqueResource() { reset(); }

    T get() const { return value_; }
    explicit operator bool() const { return !Traits::isEmpty(value_); }

    T release() { return std::exchange(value_, Traits::empty()); }

    // Keeps the thread's last error: a handle closed on a failure path must not replace the
    // reason the caller is about to read.
    void reset(T value = Traits::empty()) {
        const T old = std::exchange(value_, value);
        if (!Traits::isEmpty(old)) {
            const DWORD error = GetLastError();
            Traits::close(old);
            SetLastError(error);
        }
    }

    // For functions that return a handle through an out-parameter.
    T* put() {
        reset();
        return &value_;
    }

private:
    T value_ = Traits::empty();
};

struct KernelHandleTraits {
    // Functions disagree on what "no handle" is: CreateFileW gives INVALID_HANDLE_VALUE,
    // most others null.
    static HANDLE empty() { return nullptr; }
    static bool isEmpty(HANDLE h) { return h == nullptr || h == INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { CloseHandle(h); }
};

struct FindHandleTraits {
    static HANDLE empty() { return INVALID_HANDLE_VALUE; }
    static bool isEmpty(HANDLE h) { return h == nullptr || h == INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { FindClose(h); }
};

struct DeviceInfoListTraits {
    static HDEVINFO empty() { return INVALID_HANDLE_VALUE; }
    static bool isEmpty(HDEVINFO h) { return h == nullptr || h == INVALID_HANDLE_VALUE; }
    static void close(HDEVINFO h) { SetupDiDestroyDeviceInfoList(h); }
};

// OpenSCManagerW, OpenServiceW.
struct ServiceHandleTraits {
    static SC_HANDLE empty() { return nullptr; }
    static bool isEmpty(SC_HANDLE h) { return h == nullptr; }
    static void close(SC_HANDLE h) { CloseServiceHandle(h); }
};

// RegCreateKeyExW, RegOpenKeyExW.
struct RegistryKeyTraits {
    static HKEY empty() { return nullptr; }
    static bool isEmpty(HKEY h) { return h == nullptr; }
    static void close(HKEY h) { RegCloseKey(h); }
};

// The seam carries a handle as an opaque number; these turn it back and forth.
template <class T> std::uintptr_t seamValue(T handle) {
    return reinterpret_cast<std::uintptr_t>(handle);
}
template <class T> T fromSeamValue(std::uintptr_t value) {
    return reinterpret_cast<T>(value);
}

using UniqueHandle = UniqueResource<HANDLE, KernelHandleTraits>;
using UniqueFindHandle = UniqueResource<HANDLE, FindHandleTraits>;
using UniqueDeviceInfoList = UniqueResource<HDEVINFO, DeviceInfoListTraits>;
using UniqueServiceHandle = UniqueResource<SC_HANDLE, ServiceHandleTraits>;
using UniqueRegistryKey = UniqueResource<HKEY, RegistryKeyTraits>;

} // namespace tarn::platform::win32

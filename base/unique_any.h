#pragma once
// UniqueAny is the one owner type for every kind of platform handle: it holds
// one value, closes it with its kind's close function when it is replaced or
// destroyed, and can be moved but not copied.
//
// Vocabulary: a handle kind is a traits type naming the value's type, the
// value that means "nothing held" (Invalid) and the close function. Most kinds
// use null as nothing held (NullHandleTraits); files opened with CreateFile and
// similar use INVALID_HANDLE_VALUE (InvalidHandleTraits). Close functions that
// need more than the value get a small named adapter next to their users.
//
// Put() releases what is held and hands out the slot's address for platform
// calls that return a handle through an out parameter.

#include <windows.h>
#include <objbase.h>

#include <utility>

namespace Base {

template <typename T, auto Close>
struct NullHandleTraits {
    using Type = T;
    static Type Invalid() noexcept { return Type{}; }
    static void Destroy(Type value) noexcept { Close(value); }
};

template <typename T, auto Close>
struct InvalidHandleTraits {
    using Type = T;
    static Type Invalid() noexcept { return reinterpret_cast<Type>(INVALID_HANDLE_VALUE); }
    static void Destroy(Type value) noexcept { Close(value); }
};

template <typename Traits>
class UniqueAny {
public:
    using Type = typename Traits::Type;

    UniqueAny() noexcept = default;
    explicit UniqueAny(Type value) noexcept : value(value) {}
    UniqueAny(UniqueAny&& other) noexcept : value(other.Release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    ~UniqueAny() { Reset(); }

    Type Get() const noexcept { return value; }
    bool IsValid() const noexcept { return value != Traits::Invalid(); }
    explicit operator bool() const noexcept { return IsValid(); }

    // Closes what is held unless it is the new value itself.
    void Reset(Type newValue = Traits::Invalid()) noexcept {
        const Type old = std::exchange(value, newValue);
        if (old != Traits::Invalid() && old != newValue) Traits::Destroy(old);
    }

    Type Release() noexcept { return std::exchange(value, Traits::Invalid()); }

    Type* Put() noexcept {
        Reset();
        return &value;
    }

private:
    Type value = Traits::Invalid();
};

// Kernel objects whose failure value is null: events, mutexes, processes,
// threads, tokens, snapshots' counterparts and mappings.
using UniqueHandle = UniqueAny<NullHandleTraits<HANDLE, CloseHandle>>;
// Kernel objects whose failure value is INVALID_HANDLE_VALUE: files, snapshots.
using UniqueFileHandle = UniqueAny<InvalidHandleTraits<HANDLE, CloseHandle>>;
using UniqueFindHandle = UniqueAny<InvalidHandleTraits<HANDLE, FindClose>>;
using UniqueModule = UniqueAny<NullHandleTraits<HMODULE, FreeLibrary>>;
using UniqueRegKey = UniqueAny<NullHandleTraits<HKEY, RegCloseKey>>;
using UniqueLocalMemory = UniqueAny<NullHandleTraits<HLOCAL, LocalFree>>;
template <typename T>
using UniqueCoTaskMemory = UniqueAny<NullHandleTraits<T*, CoTaskMemFree>>;

}  // namespace Base

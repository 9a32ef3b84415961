#pragma once
// Base::Object is the intrusive reference-counted root of the program's shared
// objects. A new object starts with one reference owned by its creator; Ref<T>
// is the strong reference that adds one when copied and drops one when
// destroyed. The process-wide live-object count lets tests prove that start and
// stop cycles leave nothing behind.

#include <atomic>
#include <cstdint>
#include <utility>

namespace Base {

class Object {
public:
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    void AddRef() const;
    void Release() const;

    const char* Name() const { return name; }
    uint32_t RefCount() const { return references.load(std::memory_order_relaxed); }

    // Objects alive in this process (reference count above zero).
    static int32_t LiveObjectCount();

protected:
    Object();
    virtual ~Object();

private:
    const char* name = "???";
    mutable std::atomic<uint32_t> references;
};

// Strong reference to an Object-derived T.
template <typename T>
class Ref {
public:
    Ref() = default;
    Ref(std::nullptr_t) {}
    Ref(T* object) : pointer(object) { if (pointer) pointer->AddRef(); }
    Ref(const Ref& other) : Ref(other.pointer) {}
    Ref(Ref&& other) noexcept : pointer(std::exchange(other.pointer, nullptr)) {}
    template <typename U>
    Ref(const Ref<U>& other) : Ref(static_cast<T*>(other.Get())) {}
    ~Ref() { Reset(); }

    Ref& operator=(Ref other) noexcept {
        std::swap(pointer, other.pointer);
        return *this;
    }

    // Takes over the creator's reference of a freshly constructed object.
    static Ref Adopt(T* object) {
        Ref ref;
        ref.pointer = object;
        return ref;
    }

    void Reset() {
        if (T* old = std::exchange(pointer, nullptr)) old->Release();
    }

    T* Get() const { return pointer; }
    T* operator->() const { return pointer; }
    T& operator*() const { return *pointer; }
    explicit operator bool() const { return pointer != nullptr; }
    bool operator==(const Ref& other) const { return pointer == other.pointer; }
    bool operator!=(const Ref& other) const { return pointer != other.pointer; }

private:
    T* pointer = nullptr;
};

template <typename T, typename... Args>
Ref<T> MakeRef(Args&&... args) {
    return Ref<T>::Adopt(new T(std::forward<Args>(args)...));
}

}  // namespace Base

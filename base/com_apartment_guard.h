#pragma once
// Enters a COM apartment for one scope and leaves it again. A failed entry is
// logged, not thrown; the guarded work runs anyway and nothing is balanced.

#include <windows.h>

#include <cstdint>

class ComApartmentGuard {
public:
    explicit ComApartmentGuard(uint32_t flags);
    ~ComApartmentGuard();
    ComApartmentGuard(const ComApartmentGuard&) = delete;
    ComApartmentGuard& operator=(const ComApartmentGuard&) = delete;

    HRESULT Result() const { return result; }

private:
    HRESULT result;
};

#pragma once
// SecurityCenter asks Windows Security Center which products are registered
// for one provider class (firewall 1, antivirus 4, antispyware 8) and reduces
// each to a product status of our own:
//   1  on, signatures up to date       0  on, signatures out of date
//   2  anything else (off, snoozed, expired, unreadable, unknown)
// On Windows 8 and later every registered product is listed by name, with the
// time its state last changed. Earlier systems report one health value per
// provider class, which becomes at most one nameless product.

#include <cstdint>
#include <string>
#include <vector>

#include "base/object.h"

struct SecurityProduct {
    std::wstring name;       // empty when unknown
    std::wstring timestamp;  // the state's timestamp text as Security Center gives it; empty when unknown
    uint32_t status = 0;
};

class SecurityCenter : public Base::Object {
public:
    SecurityCenter() = default;

    // Appends the products of one provider class. The calling thread has COM
    // initialised. Throws Base::ExceptionHresultWin32 when the query fails and
    // Base::ExceptionWin32 "Unavailable" when an earlier system lacks the
    // Security Center module.
    virtual void GetProducts(uint32_t provider, std::vector<SecurityProduct>& products);

protected:
    ~SecurityCenter() override = default;
};

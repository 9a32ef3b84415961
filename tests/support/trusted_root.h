#pragma once
// A self-made certificate trusted as a root by this machine (the local
// machine's Root store, which Wine's chain engine reads) for one test, and
// taken out again afterwards.

#include <string>

namespace Testing {

class TrustedRootCertificate {
public:
    // pemPath: a PEM certificate file.
    explicit TrustedRootCertificate(const std::wstring& pemPath);
    ~TrustedRootCertificate();
    TrustedRootCertificate(const TrustedRootCertificate&) = delete;
    TrustedRootCertificate& operator=(const TrustedRootCertificate&) = delete;

    bool Added() const { return added; }

private:
    std::string der;
    bool added = false;
};

}  // namespace Testing

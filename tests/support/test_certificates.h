#pragma once
// A certificate authority made for one test and a server certificate it
// signed for "localhost" (and 127.0.0.1), made with openssl in a scratch
// folder. Nothing trusts the authority until a TrustedTestCa says so.
//
// Under Wine, WinHTTP refuses an https url whose host is written as
// 127.0.0.1 whatever the certificate says (12157): https tests use localhost.

#include <string>

#include "support/scratch.h"

namespace Testing {

class TestCertificates {
public:
    TestCertificates();
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    bool Made() const { return made; }
    const std::string& Output() const { return output; }
    // Windows path of the authority's certificate, DER encoded.
    std::wstring AuthorityDer() const { return folder.File(L"ca.der"); }
    // Unix paths of the server's certificate and key, PEM encoded.
    std::string ServerCertificate() const;
    std::string ServerKey() const;

private:
    ScratchFolder folder;
    bool made = false;
    std::string output;
};

// Trusts an authority in the prefix's Root store for its lifetime, through
// the fixture program kxtrustca (which a demo can run by itself). Wine reads
// the Root store once per process, at its first certificate check: trust the
// authority before the process makes its first HTTPS request.
class TrustedTestCa {
public:
    explicit TrustedTestCa(const TestCertificates& certificates);
    ~TrustedTestCa();
    TrustedTestCa(const TrustedTestCa&) = delete;
    TrustedTestCa& operator=(const TrustedTestCa&) = delete;

    bool Trusted() const { return trusted; }

private:
    std::wstring certificate;
    bool trusted = false;
};

}  // namespace Testing

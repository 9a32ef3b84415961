#pragma once
// A certificate authority made for one test and a server certificate it
// signed for "localhost" (and 127.0.0.1), made with openssl in a scratch
// folder. Nothing trusts the authority until a TrustedRootCertificate
// (support/trusted_root.h) says so.
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
    // Windows path of the authority's certificate, PEM encoded.
    std::wstring Authority() const { return folder.File(L"ca.pem"); }
    // Unix paths of the server's certificate and key, PEM encoded.
    std::string ServerCertificate() const;
    std::string ServerKey() const;

private:
    ScratchFolder folder;
    bool made = false;
    std::string output;
};

}  // namespace Testing

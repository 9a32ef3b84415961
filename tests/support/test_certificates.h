#pragma once
// A certificate authority made for one test and a server certificate it
// signed for "localhost" (and 127.0.0.1), made with openssl in a scratch
// folder. Nothing trusts the authority until a TrustedRootCertificate
// (support/trusted_root.h) says so.

#include <string>

#include "support/host_command.h"
#include "support/scratch.h"

namespace Testing {

class TestCertificates {
public:
    TestCertificates();

    bool Made() const { return made; }
    const std::string& Output() const { return output; }
    // Windows path of the authority's certificate, PEM encoded.
    std::wstring Authority() const { return folder.File(L"ca.pem"); }
    // Unix path of the server's certificate ("pem") or key ("key").
    std::string ServerFile(const char* extension) const { return UnixPath(folder.Path()) + "/server." + extension; }

private:
    ScratchFolder folder;
    bool made = false;
    std::string output;
};

}  // namespace Testing

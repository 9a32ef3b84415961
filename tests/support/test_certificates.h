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
    // The server's certificate must expire before the authority's (Wine checks
    // that validity periods nest), even when the two are made a second apart.
    TestCertificates()
        : result(RunHostCommand(
              "set -e; cd " + ShellQuote(UnixPath(folder.Path())) +
              "; openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3"
              " -subj \"/CN=kx test authority $$ $RANDOM\" -addext basicConstraints=critical,CA:TRUE"
              " -addext keyUsage=critical,keyCertSign,cRLSign"
              "; openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj /CN=localhost"
              "; printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\nbasicConstraints=CA:FALSE\\n"
              "keyUsage=critical,digitalSignature,keyEncipherment\\nextendedKeyUsage=serverAuth\\n' >server.ext"
              "; openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2"
              " -extfile server.ext -out server.pem")) {}

    bool Made() const { return result.exitCode == 0; }
    const std::string& Output() const { return result.output; }
    // Windows path of the authority's certificate, PEM encoded.
    std::wstring Authority() const { return folder.File(L"ca.pem"); }
    // Unix path of the server's certificate ("pem") or key ("key").
    std::string ServerFile(const char* extension) const { return UnixPath(folder.Path()) + "/server." + extension; }

private:
    ScratchFolder folder;  // made before the result
    HostResult result;
};

}  // namespace Testing

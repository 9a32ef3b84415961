#include "support/test_certificates.h"

#include "support/host_command.h"

namespace Testing {

// The server's certificate must expire before the authority's (Wine checks
// that validity periods nest), even when the two are made a second apart.
TestCertificates::TestCertificates() {
    const std::string dir = ShellQuote(UnixPath(folder.Path()));
    const HostResult result = RunHostCommand(
        "set -e; cd " + dir +
        "; openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3"
        " -subj \"/CN=kx test authority $$ $RANDOM\" -addext basicConstraints=critical,CA:TRUE"
        " -addext keyUsage=critical,keyCertSign,cRLSign"
        "; openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj /CN=localhost"
        "; printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\nbasicConstraints=CA:FALSE\\n"
        "keyUsage=critical,digitalSignature,keyEncipherment\\nextendedKeyUsage=serverAuth\\n' >server.ext"
        "; openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2"
        " -extfile server.ext -out server.pem");
    made = result.exitCode == 0;
    output = result.output;
}

std::string TestCertificates::ServerCertificate() const { return UnixPath(folder.File(L"server.pem")); }
std::string TestCertificates::ServerKey() const { return UnixPath(folder.File(L"server.key")); }

}  // namespace Testing

#include "support/test_certificates.h"

namespace Testing {

// The server's certificate must expire before the authority's (Wine checks
// that validity periods nest), even when the two are made a second apart.
TestCertificates::TestCertificates() {
    const HostResult result = RunHostCommand(
        "set -e; cd " + ShellQuote(UnixPath(folder.Path())) +
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

}  // namespace Testing

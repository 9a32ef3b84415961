#pragma once
// The fault server (tools/fixtures/programs/fault_server.py) on a loopback port of its
// own: an HTTP server that resets, cuts short, withholds the length, answers
// a range with the whole file, or never answers, as the path asks. See the
// script for the paths. Its bodies are PayloadBytes.

#include <string>
#include <vector>

#include "support/host_command.h"
#include "support/scratch.h"

namespace Testing {

// The bytes i % 251 for i = 0, 1, ...: the body of every test download, so a
// result can be compared byte for byte.
std::string PayloadBytes(size_t count);

class FaultServer {
public:
    FaultServer();
    FaultServer(const FaultServer&) = delete;
    FaultServer& operator=(const FaultServer&) = delete;

    bool Started() const { return port != 0; }
    std::wstring Url(const std::wstring& path) const;
    // The Range header of each request the server saw, in order of arrival
    // (empty without one).
    std::vector<std::string> Ranges() const;

private:
    ScratchFolder folder;
    HostDaemon daemon;
    unsigned port = 0;
};

}  // namespace Testing

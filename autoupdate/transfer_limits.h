#pragma once
// The time limits of one download. The receive timeout bounds every wait for
// the server, so a server that stops sending fails after it (a stall). A
// server that keeps sending a byte now and then never trips it, so the whole
// body also has a deadline: the time a floor rate allows for its bytes, plus
// one receive timeout for a slow start.
//
// The floor is 16 KiB/s (128 kbit/s), below any link that can carry the
// remote-desktop session this client serves; a 256 MiB installer then gets
// about four and a half hours. A download that misses it keeps its whole
// chunks, which the next attempt resumes.

#include <cstdint>

// 300 s; tests shorten it through KX_DOWNLOAD_RECEIVE_TIMEOUT_MS.
uint32_t ReceiveTimeoutMs();

class TransferDeadline {
public:
    // Starts now, for a body of that many bytes.
    explicit TransferDeadline(uint64_t bytes);
    bool Passed() const;
    uint64_t LimitMs() const { return limitMs; }

private:
    uint64_t startMs;
    uint64_t limitMs;
};

#include "autoupdate/download_client.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <memory>

#include "autoupdate/transfer_limits.h"
#include "autoupdate/url_parts.h"
#include "base/exception.h"
#include "base/log.h"

namespace {

constexpr DWORD kChunkSize = 0x80000;  // 512 KiB
constexpr int64_t kLargestLength = INT32_MAX;
constexpr uint64_t kClockSlackMs = 100;

constexpr int32_t kOk = 200;
constexpr int32_t kPartialContent = 206;

[[noreturn]] void FailToConnect(const std::wstring& url) {
    LogError(L"Failed to connect to remote resource at: [%s]", WithoutPasswords(url).c_str());
    throw AutoUpdateException("Failed to connect to url");
}

[[noreturn]] void FailOnStatus(int32_t statusCode) {
    LogError(L"Unexpected status code, error [%d]", statusCode);
    throw AutoUpdateException("Unexpected Winhttp status code", statusCode);
}

[[noreturn]] void FailToRead() {
    LogError(L"Failed to read next binary data chunk");
    throw AutoUpdateException("Failed to read data");
}

}  // namespace

uint64_t FileDownloader::CachedSize(CachedBytes cached) {
    const std::wstring& path = file.Path();
    if (!file.OpenExisting()) throw AutoUpdateException("Failed to open the partial download");
    if (file.IsOpen() && cached == CachedBytes::Discard) DeletePartial();
    if (!file.IsOpen()) {
        LogInfo(L"File: [%s], does not exist", path.c_str());
        return 0;
    }
    const uint64_t size = file.Size();
    LogInfo(L"File: [%s] has a size of: [%llu] bytes.", path.c_str(), size);
    LogInfo(L"File: [%s], exists", path.c_str());
    LogInfo(L"File: [%s] has a size of: [%llu] bytes.", path.c_str(), size);
    LogInfo(L"A downloaded binary of size: [%llu], already exists in cache.", size);
    return size;
}

// Only a 200 or 206 answer to the plain request tells the length of the whole
// file; that length must be present, above 0 and fit the 32-bit sizes of this
// path.
int32_t FileDownloader::RequireFullLength(const std::wstring& url, int32_t statusCode,
                                          const std::optional<int64_t>& length) {
    if (statusCode != kOk && statusCode != kPartialContent) FailOnStatus(statusCode);
    if (!length) {
        LogError(L"Response from [%s] has no content length", WithoutPasswords(url).c_str());
        throw AutoUpdateException("Server did not send the length of the download");
    }
    if (*length < 0 || *length > kLargestLength) {
        LogError(L"Response from [%s] has a content length outside 0 to 2147483647 bytes",
                 WithoutPasswords(url).c_str());
        throw AutoUpdateException("Server sent a download length that is not a number, negative, or 2 GiB or more");
    }
    if (*length == 0) {
        LogError(L"Response from [%s] has a content length of 0", WithoutPasswords(url).c_str());
        throw AutoUpdateException("Server sent an empty download");
    }
    return static_cast<int32_t>(*length);
}

// Appended anywhere but at its own place, a part would corrupt the file
// without changing its size.
void FileDownloader::RequirePartFrom(uint64_t start, int32_t contentLength) {
    const std::wstring expected = L"bytes " + std::to_wstring(start) + L"-" + std::to_wstring(contentLength - 1) +
                                  L"/" + std::to_wstring(contentLength);
    std::wstring range;
    if (connection.QueryHeader(WINHTTP_QUERY_CONTENT_RANGE, range) && range == expected) return;
    LogError(L"Content-Range [%s] of the answer is not [%s]", range.c_str(), expected.c_str());
    DeletePartial();
    throw AutoUpdateException("Server sent another part of the file than the one asked for");
}

void FileDownloader::DeletePartial() {
    if (!file.Delete()) throw AutoUpdateException("Failed to delete the partial download");
}

bool FileDownloader::Download(const std::wstring& url, CachedBytes cached) {
    LogEnter(nullptr);
    uint64_t cachedSize = CachedSize(cached);

    const uint32_t noStart = 0;
    const int32_t noLength = 0;
    if (!connection.OpenRequest(url, noStart, noLength)) FailToConnect(url);
    int32_t statusCode = 0;
    std::optional<int64_t> firstLength;
    if (!connection.GetRequestHeaders(statusCode, firstLength)) {
        LogError(L"Failed to request header information from url");
        FailToConnect(url);
    }
    const int32_t contentLength = RequireFullLength(url, statusCode, firstLength);

    if (cachedSize > static_cast<uint64_t>(contentLength)) {
        // Left by another version of the file; the plain answer replaces it.
        DeletePartial();
        LogInfo(L"Partial download longer than the content length [%d] has been deleted from cache.", contentLength);
        cachedSize = 0;
    } else if (cachedSize != 0) {
        connection.Close();
        // A cached file of the full length asks for an empty range, which
        // the server refuses; its answer is not read.
        if (!connection.OpenRequest(url, static_cast<uint32_t>(cachedSize), contentLength)) {
            LogError(L"Failed to connect to url");
            FailToConnect(url);
        }
        std::optional<int64_t> rangeLength;  // not used: the full length stays the goal
        if (!connection.GetRequestHeaders(statusCode, rangeLength)) {
            LogError(L"Failed to request header information from url");
            FailToConnect(url);
        }
    }

    if (cachedSize == static_cast<uint64_t>(contentLength)) {
        LogInfo(L"Downloaded binary filesize matches the expected content length: [%d]", contentLength);
        LogExit(nullptr);
        return true;
    }

    if (statusCode == kPartialContent) {
        LogInfo(L"Attempting to continue a partial download, status code: [%d]", statusCode);
        RequirePartFrom(cachedSize, contentLength);
    } else if (statusCode == kOk) {
        if (cachedSize != 0) {
            // Appending a full body to the partial file would corrupt it.
            DeletePartial();
            LogInfo(L"Partial download has been deleted from cache since http connection will return full content.");
            cachedSize = 0;
        }
        LogInfo(L"Beginning a fresh download, status code: [%d]", statusCode);
    } else {
        FailOnStatus(statusCode);
    }

    ReadToFile(static_cast<uint64_t>(contentLength));

    const uint64_t finalSize = file.Size();
    LogInfo(L"File: [%s] has a size of: [%llu] bytes.", file.Path().c_str(), finalSize);
    file.Close();
    if (finalSize != static_cast<uint64_t>(contentLength)) {
        LogError(L"File download completed but its size: [%llu], does not match expected length: [%d].", finalSize,
                 contentLength);
        throw AutoUpdateException("Downloaded file size does not match expected size");
    }
    LogInfo(L"Final binary file size matches expected content length: [%llu]", finalSize);
    LogExit(nullptr);
    return cachedSize != 0;
}

// Stops when the file (earlier attempts' bytes included) holds the expected
// length, or when the body ends. Each read takes only what has arrived: a
// read for more waits until its buffer is full, however slowly the server
// sends, and the limits could not be applied.
void FileDownloader::ReadToFile(uint64_t expectedLength) {
    LogEnter(nullptr);
    uint64_t size = file.Size();
    const TransferDeadline deadline(expectedLength - size);
    const uint32_t receiveTimeoutMs = ReceiveTimeoutMs();
    const std::unique_ptr<uint8_t[]> chunk(new uint8_t[kChunkSize]);
    DWORD held = 0;  // bytes of the chunk read and not yet written
    uint64_t lastDataMs = GetTickCount64();
    while (size + held < expectedLength) {
        DWORD available = 0;
        if (!connection.QueryDataAvailable(available)) {
            // WinHTTP gives up after the receive timeout; measured here to
            // the clock's granularity.
            if (GetTickCount64() - lastDataMs + kClockSlackMs < receiveTimeoutMs) FailToRead();
            LogError(L"No data received for [%lu] ms", receiveTimeoutMs);
            throw AutoUpdateException("Download stalled: the server sent nothing within the receive timeout");
        }
        DWORD read = 0;
        if (available != 0 && !connection.ReadData(chunk.get() + held, std::min(available, kChunkSize - held), read))
            FailToRead();
        if (read == 0) break;  // the body ended
        held += read;
        lastDataMs = GetTickCount64();
        if (held == kChunkSize) {
            size = WriteChunk(chunk.get(), held);
            held = 0;
        }
        if (deadline.Passed()) {
            LogError(L"Download not complete within its limit of [%llu] ms", deadline.LimitMs());
            throw AutoUpdateException("Download too slow: the server sends below the minimum rate");
        }
    }
    if (held != 0) WriteChunk(chunk.get(), held);
    LogExit(nullptr);
}

uint64_t FileDownloader::WriteChunk(const uint8_t* data, DWORD size) {
    LogInfo(L"Read: [%lu] bytes of data", size);
    if (!file.Append(data, size)) throw AutoUpdateException("Failed to write the download to disk");
    LogInfo(L"Written: [%lu] bytes of data", size);
    const uint64_t sizeAfter = file.Size();
    LogInfo(L"File: [%s] has a size of: [%llu] bytes.", file.Path().c_str(), sizeAfter);
    return sizeAfter;
}

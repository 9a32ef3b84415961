#include "autoupdate/download_client.h"

#include <windows.h>

#include <algorithm>
#include <memory>

#include "base/exception.h"
#include "base/log.h"

namespace {

constexpr DWORD kChunkSize = 0x80000;  // 512 KiB
constexpr int64_t kLargestLength = INT32_MAX;

constexpr int32_t kOk = 200;
constexpr int32_t kPartialContent = 206;

[[noreturn]] void FailToConnect(const std::wstring& url) {
    LogError(L"Failed to connect to remote resource at: [%s]", url.c_str());
    throw AutoUpdateException("Failed to connect to url");
}

[[noreturn]] void FailOnStatus(int32_t statusCode) {
    LogError(L"Unexpected status code, error [%d]", statusCode);
    throw AutoUpdateException("Unexpected Winhttp status code", statusCode);
}

}  // namespace

uint64_t FileDownloader::CachedSize() {
    const std::wstring& path = file.Path();
    const auto size = file.SizeOnDisk();
    if (size) LogInfo(L"File: [%s] has a size of: [%llu] bytes.", path.c_str(), *size);
    LogInfo(size ? L"File: [%s], exists" : L"File: [%s], does not exist", path.c_str());
    if (!size) return 0;
    LogInfo(L"File: [%s] has a size of: [%llu] bytes.", path.c_str(), *size);
    LogInfo(L"A downloaded binary of size: [%llu], already exists in cache.", *size);
    return *size;
}

// Only a 200 or 206 answer to the plain request tells the length of the whole
// file; that length must be present and fit the 32-bit sizes of this path.
int32_t FileDownloader::RequireFullLength(const std::wstring& url, int32_t statusCode,
                                          const std::optional<int64_t>& length) {
    if (statusCode != kOk && statusCode != kPartialContent) FailOnStatus(statusCode);
    if (!length) {
        LogError(L"Response from [%s] has no content length", url.c_str());
        throw AutoUpdateException("Server did not send the length of the download");
    }
    if (*length < 0 || *length > kLargestLength) {
        LogError(L"Response from [%s] has a content length outside 0 to 2147483647 bytes", url.c_str());
        throw AutoUpdateException("Server sent a download length that is not a number, negative, or 2 GiB or more");
    }
    return static_cast<int32_t>(*length);
}

void FileDownloader::Download(const std::wstring& url) {
    LogEnter(nullptr);
    const uint64_t cachedSize = CachedSize();

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

    if (cachedSize != 0) {
        connection.Close();
        // A cached file at or past the full length asks for an empty range,
        // which the server refuses; its answer is not read.
        const uint32_t start = static_cast<uint32_t>(std::min<uint64_t>(cachedSize, UINT32_MAX));
        if (!connection.OpenRequest(url, start, contentLength)) {
            LogError(L"Failed to connect to url");
            FailToConnect(url);
        }
        std::optional<int64_t> rangeLength;  // not used: the full length stays the goal
        if (!connection.GetRequestHeaders(statusCode, rangeLength)) {
            LogError(L"Failed to request header information from url");
            FailToConnect(url);
        }
    }

    if (cachedSize >= static_cast<uint64_t>(contentLength)) {
        LogInfo(L"Downloaded binary filesize matches the expected content length: [%d]", contentLength);
        LogExit(nullptr);
        return;
    }

    if (statusCode == kPartialContent) {
        LogInfo(L"Attempting to continue a partial download, status code: [%d]", statusCode);
    } else if (statusCode == kOk) {
        if (cachedSize != 0) {
            // Appending a full body to the partial file would corrupt it.
            if (!file.Delete()) throw AutoUpdateException("Failed to delete the partial download");
            LogInfo(L"Partial download has been deleted from cache since http connection will return full content.");
        }
        LogInfo(L"Beginning a fresh download, status code: [%d]", statusCode);
    } else {
        FailOnStatus(statusCode);
    }

    ReadToFile(static_cast<uint64_t>(contentLength));

    const uint64_t finalSize = file.SizeOnDisk().value_or(0);
    LogInfo(L"File: [%s] has a size of: [%llu] bytes.", file.Path().c_str(), finalSize);
    file.Close();
    if (finalSize != static_cast<uint64_t>(contentLength)) {
        LogError(L"File download completed but its size: [%llu], does not match expected length: [%d].", finalSize,
                 contentLength);
        throw AutoUpdateException("Downloaded file size does not match expected size");
    }
    LogInfo(L"Final binary file size matches expected content length: [%llu]", finalSize);
    LogExit(nullptr);
}

// Stops when the file on disk (earlier attempts' bytes included) holds the
// expected length, or when the body ends.
void FileDownloader::ReadToFile(uint64_t expectedLength) {
    LogEnter(nullptr);
    // One chunk of storage for the whole loop; bufferSize is the part in use.
    const std::unique_ptr<uint8_t[]> buffer(new uint8_t[kChunkSize]);
    DWORD bufferSize = 0;
    uint64_t sizeOnDisk = 0;
    for (;;) {
        DWORD available = 0;
        DWORD read = 0;
        bool succeeded = connection.QueryDataAvailable(available);
        if (succeeded && available != 0) {
            if (bufferSize != kChunkSize) {
                LogInfo(L"Sizing vector: [%d]", static_cast<int>(kChunkSize));
                bufferSize = kChunkSize;
            }
            succeeded = connection.ReadData(buffer.get(), kChunkSize, read);
            if (read < kChunkSize) {
                LogInfo(L"Sizing vector: [%d]", static_cast<int>(read));
                bufferSize = read;
            }
        }
        if (!succeeded) {
            LogError(L"Failed to read next binary data chunk");
            throw AutoUpdateException("Failed to read data");
        }
        if (read != 0) {
            LogInfo(L"Read: [%lu] bytes of data", read);
            if (!file.Append(buffer.get(), bufferSize))
                throw AutoUpdateException("Failed to write the download to disk");
            LogInfo(L"Written: [%lu] bytes of data", bufferSize);
            bufferSize = 0;
        }
        if (const auto size = file.SizeOnDisk()) {
            LogInfo(L"File: [%s] has a size of: [%llu] bytes.", file.Path().c_str(), *size);
            sizeOnDisk = *size;
        }
        if (sizeOnDisk >= expectedLength || read == 0) break;
    }
    LogExit(nullptr);
}

#include <gtest/gtest.h>

#include "autoupdate/download_cache.h"

TEST(DownloadCache, OnlyHexadecimalHashesNameTheCacheFile) {
    const DownloadCache cache;
    const std::wstring urlHash(64, L'A');
    const std::wstring good = cache.CachePathFor(L"0123456789abcdefABCDEF", urlHash);
    EXPECT_EQ(good.substr(good.rfind(L'\\') + 1), L"0123456789abcdefABCDEF.exe");
    EXPECT_EQ(cache.CachePathFor(L"", urlHash).substr(good.rfind(L'\\') + 1), urlHash + L".exe");
    for (const wchar_t* hostile : {L"..\\..\\Windows\\System32\\evil", L"C:\\evil", L"a/b", L"ab:stream", L"\uFF21"}) {
        const std::wstring path = cache.CachePathFor(hostile, urlHash);
        EXPECT_EQ(path, good.substr(0, good.rfind(L'\\') + 1) + urlHash + L".exe") << path.c_str();
    }
}

// The download cache: file names, a folder only SYSTEM and Administrators
// may change, refusal of a cache that leads elsewhere, and cleaning that
// leaves a running worker's copy.

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <vector>

#include "autoupdate/download_cache.h"
#include "autoupdate/worker_process.h"
#include "base/text.h"
#include "installer_fixtures.h"
#include "instruction_helpers.h"
#include "support/child_process.h"
#include "support/event_capture.h"
#include "support/host_program.h"
#include "support/scratch.h"
#include "support/worker_cleanup.h"

using Testing::Dispatch;
using Testing::kQuery;

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

namespace {

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring WithoutTrailingBackslash(const std::wstring& folder) { return folder.substr(0, folder.size() - 1); }

// Rights the folder's DACL grants to a well-known account.
ACCESS_MASK Granted(const std::wstring& path, WELL_KNOWN_SID_TYPE account) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(sid);
    CreateWellKnownSid(account, nullptr, sid, &sidSize);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor) != ERROR_SUCCESS) {
        return 0;
    }
    ACCESS_MASK granted = 0;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (GetAce(dacl, i, reinterpret_cast<void**>(&ace)) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            EqualSid(&ace->SidStart, sid)) {
            granted |= ace->Mask;
        }
    }
    LocalFree(descriptor);
    return granted;
}

constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                      WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

bool IsLink(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// A host symbolic link, which Wine shows as a reparse point (it cannot make
// NTFS junctions). A host program started from Wine cannot be waited for, so
// each change waits for its effect.
class HostLink {
public:
    HostLink(const std::wstring& target, const std::wstring& link) : link(link) {
        Run("/bin/ln -s " + Testing::HostPath(target) + " " + Testing::HostPath(link), true);
    }
    ~HostLink() { Run("/bin/rm " + Testing::HostPath(link), false); }
    HostLink(const HostLink&) = delete;
    HostLink& operator=(const HostLink&) = delete;

private:
    void Run(const std::string& commandLine, bool linked) {
        Testing::StartHostProgram(commandLine);
        for (int i = 0; i < 1000 && IsLink(link) != linked; ++i) Sleep(10);
    }

    std::wstring link;
};

class ExclusiveCache : public Testing::UpdateProcessTest {};

}  // namespace

TEST(WorkerCache, CleaningLeavesOnlyARunningWorkerCopyAndFilesOfOtherKinds) {
    Testing::WorkerCleanup workers;
    const DownloadCache cache;
    cache.CleanCache();
    {
        Testing::EventCapture capture;
        cache.CleanCache();
        EXPECT_TRUE(capture.Contains(L"Failed to enumerate files in cache, pattern [" + cache.Folder() +
                                     L"*.exe], error [2]"));
    }
    Testing::ScratchFolder scratch;
    const std::wstring worker = cache.Folder() + kWorkerFileName;
    ASSERT_TRUE(CopyFileW(Testing::InstallerFixture(L"test_installer.exe").c_str(), worker.c_str(), FALSE));
    Testing::ChildProcess running(worker + L" --sleep-ms=60000 --record=" + scratch.File(L"worker.txt"));
    for (int i = 0; i < 1000 && Testing::ReadInstallerRecord(scratch.File(L"worker.txt")).empty(); ++i) Sleep(10);
    ASSERT_TRUE(running.IsRunning());
    for (const wchar_t* name : {L"A1B2.exe", L"SETUP.EXE", L"client64_uninstall.txt"}) {
        CloseHandle(CreateFileW((cache.Folder() + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    }
    CreateDirectoryW((cache.Folder() + L"folder.exe").c_str(), nullptr);

    cache.CleanCache();
    EXPECT_TRUE(Exists(worker));
    EXPECT_FALSE(Exists(cache.Folder() + L"A1B2.exe"));
    EXPECT_FALSE(Exists(cache.Folder() + L"SETUP.EXE"));
    EXPECT_TRUE(Exists(cache.Folder() + L"client64_uninstall.txt"));
    EXPECT_TRUE(Exists(cache.Folder() + L"folder.exe"));
    DeleteFileW((cache.Folder() + L"client64_uninstall.txt").c_str());
    RemoveDirectoryW((cache.Folder() + L"folder.exe").c_str());
}

TEST_F(ExclusiveCache, FoldersLetOnlySystemAndAdministratorsMakeChanges) {
    const std::wstring folder = DownloadCache().Folder();
    const std::wstring company = folder.substr(0, folder.find(L"\\Veltrastone\\") + 12);
    const std::wstring levels[] = {company, company + L"\\Client", WithoutTrailingBackslash(folder)};
    for (const bool leftOpen : {false, true}) {
        SCOPED_TRACE(leftOpen ? "cache folder left open to everyone" : "created");
        Testing::RemoveTree(company);
        if (leftOpen) {
            // As an earlier build (inheriting ProgramData's rights) or a user
            // may have left it. Only this level: Wine merges a parent's
            // inheritable entries even into a protected DACL.
            PSECURITY_DESCRIPTOR open = nullptr;
            ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;WD)", SDDL_REVISION_1, &open, nullptr);
            BOOL present = FALSE;
            BOOL defaulted = FALSE;
            PACL everyone = nullptr;
            GetSecurityDescriptorDacl(open, &present, &everyone, &defaulted);
            for (const std::wstring& level : levels) CreateDirectoryW(level.c_str(), nullptr);
            SetNamedSecurityInfoW(const_cast<wchar_t*>(levels[2].c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, everyone, nullptr);
            LocalFree(open);
            ASSERT_NE(Granted(levels[2], WinWorldSid) & kChangeRights, 0u);
        }
        const DownloadCache cache;
        for (const std::wstring& level : leftOpen ? std::vector<std::wstring>{levels[2]}
                                                  : std::vector<std::wstring>(std::begin(levels), std::end(levels))) {
            EXPECT_EQ(Granted(level, WinWorldSid) & kChangeRights, 0u) << ToNarrow(level);
            EXPECT_EQ(Granted(level, WinBuiltinUsersSid) & kChangeRights, 0u) << ToNarrow(level);
            EXPECT_EQ(Granted(level, WinLocalSystemSid) & FILE_ALL_ACCESS, static_cast<ACCESS_MASK>(FILE_ALL_ACCESS));
        }
    }
}

TEST_F(ExclusiveCache, ARedirectedCacheIsNeitherCopiedIntoNorRunFromNorCleaned) {
    const std::wstring folder = DownloadCache().Folder();
    const std::wstring company = folder.substr(0, folder.find(L"\\Veltrastone\\") + 12);
    for (const std::wstring& link : {WithoutTrailingBackslash(folder), company}) {
        SCOPED_TRACE(ToNarrow(link));
        Testing::RemoveTree(company);
        Testing::ScratchFolder elsewhere;
        const std::wstring elsewhereCache = elsewhere.Path() + L"\\Client\\AutoUpdate";
        CreateDirectoryW((elsewhere.Path() + L"\\Client").c_str(), nullptr);
        CreateDirectoryW(elsewhereCache.c_str(), nullptr);
        elsewhere.WriteFile(L"Client\\AutoUpdate\\planted.exe", "planted");
        if (link != company) {
            CreateDirectoryW(company.c_str(), nullptr);
            CreateDirectoryW((company + L"\\Client").c_str(), nullptr);
        }
        const HostLink redirect(link == company ? elsewhere.Path() : elsewhereCache, link);
        ASSERT_TRUE(Exists(folder + L"planted.exe"));

        Testing::EventCapture capture;
        const DownloadCache cache;
        cache.CleanCache();
        std::wstring workerPath;
        EXPECT_FALSE(CopyToWorker(workerPath));
        ASSERT_TRUE(Dispatch(LR"({"id":"beginAutoUpdate","data":{"urls":["http://127.0.0.1:9/"],"hash":"","args":""}})")
                        .present);
        ASSERT_TRUE(Testing::WaitForUpdateTask());
        EXPECT_EQ(Dispatch(kQuery).text,
                  LR"({"data":{"status":3,"errorMessage":"Download cache folder is a reparse point."}})");
        EXPECT_TRUE(capture.Contains(L"Download cache folder [" + link + L"] is a reparse point; refusing to use it"));
        EXPECT_TRUE(Exists(elsewhereCache + L"\\planted.exe"));
        EXPECT_FALSE(Exists(elsewhereCache + L"\\" + kWorkerFileName));
        EXPECT_FALSE(capture.Contains(L"Beginning download"));
    }
    Testing::RemoveTree(company);
}

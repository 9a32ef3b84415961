// The download cache: file names, folders only SYSTEM and Administrators may
// change (taken over, and the cache emptied, when others could), refusal of a
// cache that leads elsewhere, and cleaning that leaves a running worker's copy.

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include "autoupdate/download_cache.h"
#include "autoupdate/worker_process.h"
#include "base/file_info.h"
#include "base/text.h"
#include "base/unique_any.h"
#include "installer_fixtures.h"
#include "instruction_helpers.h"
#include "support/child_process.h"
#include "support/event_capture.h"
#include "support/host_command.h"
#include "support/scratch.h"
#include "support/worker_cleanup.h"

using Testing::Dispatch;
using Testing::kQuery;

// A hash from the instruction becomes a file name only when it is hexadecimal.
TEST(DownloadCache, OnlyHexadecimalHashesNameTheCacheFile) {
    const DownloadCache cache;
    const std::wstring urlHash(64, L'A');
    EXPECT_EQ(cache.CachePathFor(L"0123456789abcdefABCDEF", urlHash), cache.Folder() + L"0123456789abcdefABCDEF.exe");
    for (const wchar_t* hostile : {L"..\\..\\Windows\\System32\\evil", L"C:\\evil", L"a/b", L"ab:stream", L"\uFF21"}) {
        EXPECT_EQ(cache.CachePathFor(hostile, urlHash), cache.Folder() + urlHash + L".exe") << ToNarrow(hostile);
    }
}

namespace {

// True when the folder's DACL lets the well-known account change it.
bool MayChange(const std::wstring& path, WELL_KNOWN_SID_TYPE account) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(sid);
    CreateWellKnownSid(account, nullptr, sid, &sidSize);
    PACL dacl = nullptr;
    Base::UniqueLocalMemory descriptor;
    GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                          descriptor.Put());
    const ACCESS_MASK change = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                               WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    bool may = false;
    ACCESS_ALLOWED_ACE* ace = nullptr;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        may |= GetAce(dacl, i, reinterpret_cast<void**>(&ace)) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
               EqualSid(&ace->SidStart, sid) && (ace->Mask & change) != 0;
    }
    return may;
}

// A host symbolic link, which Wine shows as a reparse point (it cannot make
// NTFS junctions).
class HostLink {
public:
    HostLink(const std::wstring& target, const std::wstring& link) : link(link) {
        Testing::RunHostCommand("ln -s " + Testing::ShellQuote(Testing::UnixPath(target)) + " " +
                                Testing::ShellQuote(Testing::UnixPath(link)));
    }
    ~HostLink() { Testing::RunHostCommand("rm " + Testing::ShellQuote(Testing::UnixPath(link))); }

private:
    std::wstring link;
};

class ExclusiveCache : public Testing::UpdateProcessTest {
protected:
    const std::wstring folder = DownloadCache().Folder();  // ends with a backslash
    const std::wstring cacheLevel = folder.substr(0, folder.size() - 1);
    const std::wstring company = folder.substr(0, folder.find(L"\\Veltrastone\\") + 12);
};

}  // namespace

TEST(WorkerCache, CleaningLeavesOnlyARunningWorkerCopyAndFilesOfOtherKinds) {
    Testing::WorkerCleanup workers;
    const DownloadCache cache;
    Testing::ScratchFolder scratch;
    const std::wstring worker = cache.Folder() + kWorkerFileName;
    ASSERT_TRUE(CopyFileW(Testing::InstallerFixture(L"test_installer.exe").c_str(), worker.c_str(), FALSE));
    Testing::ChildProcess running(worker + L" --sleep-ms=60000 --record=" + scratch.File(L"worker.txt"));
    Testing::WaitUntil([&] { return !Testing::ReadInstallerRecord(scratch.File(L"worker.txt")).empty(); });
    ASSERT_TRUE(running.IsRunning());
    // Only the program it runs makes a process the worker, not its name.
    EXPECT_TRUE(WorkerProcessExists(worker) && !WorkerProcessExists(scratch.File(kWorkerFileName)));
    for (const wchar_t* name : {L"A1B2.exe", L"SETUP.EXE", L"client64_uninstall.txt"}) {
        CloseHandle(CreateFileW((cache.Folder() + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    }

    cache.CleanCache();
    const std::pair<const wchar_t*, bool> stays[] = {
        {kWorkerFileName, true}, {L"A1B2.exe", false}, {L"SETUP.EXE", false}, {L"client64_uninstall.txt", true}};
    for (const auto& [name, kept] : stays) EXPECT_EQ(FileExists(cache.Folder() + name), kept) << ToNarrow(name);
    DeleteFileW((cache.Folder() + L"client64_uninstall.txt").c_str());
}

TEST_F(ExclusiveCache, FoldersOthersMayChangeAreTakenOverAndTheCacheEmptied) {
    // Every level open to everyone, as a user who made it first leaves it, and things planted in the cache.
    Testing::RemoveTree(company);
    const std::wstring levels[] = {company, company + L"\\Client", cacheLevel};
    PSECURITY_DESCRIPTOR open = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;WD)", SDDL_REVISION_1, &open, nullptr);
    for (const std::wstring& level : levels) {
        CreateDirectoryW(level.c_str(), nullptr);
        SetFileSecurityW(level.c_str(), DACL_SECURITY_INFORMATION, open);
    }
    LocalFree(open);
    ASSERT_TRUE(MayChange(company, WinWorldSid) && CreateDirectoryW((folder + L"sub").c_str(), nullptr));
    std::ofstream((folder + L"version.dll").c_str());

    const DownloadCache cache;
    for (const std::wstring& level : levels) {
        EXPECT_TRUE(!MayChange(level, WinWorldSid) && !MayChange(level, WinBuiltinUsersSid) &&
                    MayChange(level, WinLocalSystemSid)) << ToNarrow(level);
    }
    EXPECT_FALSE(FileExists(folder + L"version.dll") || DirectoryExists(folder + L"sub"));
    std::ofstream((folder + L"A1.exe").c_str());
    EXPECT_TRUE(FileExists(DownloadCache().Folder() + L"A1.exe"));  // a secured cache keeps what it holds
    Testing::RemoveTree(company);
}

TEST_F(ExclusiveCache, ARedirectedOrUnavailableCacheIsNeitherCopiedIntoNorRunFromNorCleaned) {
    const wchar_t begin[] = LR"({"id":"beginAutoUpdate","data":{"urls":["http://127.0.0.1:9/"],"hash":"","args":""}})";
    std::wstring workerPath;
    for (const std::wstring& link : {cacheLevel, company}) {
        SCOPED_TRACE(ToNarrow(link));
        UpdateTesting::ResetController();
        Testing::RemoveTree(company);
        Testing::ScratchFolder elsewhere;
        const std::wstring elsewhereCache = elsewhere.Path() + L"\\Client\\AutoUpdate";
        SHCreateDirectoryExW(nullptr, elsewhereCache.c_str(), nullptr);
        elsewhere.WriteFile(L"Client\\AutoUpdate\\planted.exe", "planted");
        if (link == cacheLevel) SHCreateDirectoryExW(nullptr, (company + L"\\Client").c_str(), nullptr);
        const HostLink redirect(link == company ? elsewhere.Path() : elsewhereCache, link);
        ASSERT_TRUE(FileExists(folder + L"planted.exe"));

        DownloadCache().CleanCache();
        EXPECT_FALSE(CopyToWorker(DownloadCache(), workerPath));
        ASSERT_TRUE(Dispatch(begin).present);
        ASSERT_TRUE(Testing::WaitForUpdateTask());
        EXPECT_EQ(Dispatch(kQuery).text,
                  LR"({"data":{"status":3,"errorMessage":"Download cache folder is a reparse point."}})");
        EXPECT_TRUE(FileExists(elsewhereCache + L"\\planted.exe"));
        EXPECT_FALSE(FileExists(elsewhereCache + L"\\" + kWorkerFileName));
    }
    Testing::RemoveTree(company);
    // A file where the company folder belongs: no cache, and no other folder stands in for it.
    UpdateTesting::ResetController();
    std::ofstream(company.c_str()) << "planted";
    EXPECT_FALSE(CopyToWorker(DownloadCache(), workerPath));
    ASSERT_TRUE(Dispatch(begin).present);
    ASSERT_TRUE(Testing::WaitForUpdateTask());
    EXPECT_EQ(Dispatch(kQuery).text, LR"({"data":{"status":3,"errorMessage":"Download cache folder is unavailable."}})");
    DeleteFileW(company.c_str());
}

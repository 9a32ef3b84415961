// kxcrashdump: turns the crash report events of the Veltrastone client service
// (event 2021) back into minidump files that a debugger opens.
//
//   kxcrashdump INPUT [OUTPUT.dmp]
//
// INPUT is any text holding the events' Base64 text: tracerpt's XML or CSV
// output, a saved console or trace line, or the bare payload; "-" reads
// standard input. The first dump found is written to OUTPUT (default: INPUT
// with the extension .dmp), further ones to OUTPUT-2.dmp, OUTPUT-3.dmp, ...
// Exit code 0 when every dump found is whole, 1 when none was found or one
// is incomplete (trace events were lost), 2 for a usage error.

#include <cstdio>
#include <string>

#include "minidump_text.h"

namespace {

bool ReadAll(const std::wstring& path, std::string& data) {
    FILE* file = path == L"-" ? stdin : _wfopen(path.c_str(), L"rb");
    if (file == nullptr) return false;
    char buffer[65536];
    size_t read = 0;
    while ((read = fread(buffer, 1, sizeof(buffer), file)) > 0) data.append(buffer, read);
    const bool ok = ferror(file) == 0;
    if (file != stdin) fclose(file);
    return ok;
}

bool WriteAll(const std::wstring& path, const std::string& data) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr) return false;
    const bool ok = fwrite(data.data(), 1, data.size(), file) == data.size();
    return fclose(file) == 0 && ok;
}

// OUTPUT without its extension, so that numbered names can follow.
std::wstring OutputStem(const std::wstring& input, const std::wstring& output) {
    std::wstring path = !output.empty() ? output : input == L"-" ? L"kxcrash.dmp" : input;
    const size_t slash = path.find_last_of(L"\\/");
    const size_t dot = path.find_last_of(L'.');
    if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)) path.erase(dot);
    return path;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: kxcrashdump INPUT [OUTPUT.dmp]   (INPUT - reads standard input)\n");
        return 2;
    }
    const std::wstring input = argv[1];
    std::string text;
    if (!ReadAll(input, text)) {
        fprintf(stderr, "cannot read %ls\n", input.c_str());
        return 1;
    }
    const std::vector<std::string> dumps = CrashDump::FindMinidumpTexts(text);
    if (dumps.empty()) {
        fprintf(stderr, "no minidump found in %ls\n", input.c_str());
        return 1;
    }
    const std::wstring stem = OutputStem(input, argc == 3 ? argv[2] : L"");
    int result = 0;
    for (size_t i = 0; i < dumps.size(); ++i) {
        const std::wstring name = stem + (i == 0 ? L"" : L"-" + std::to_wstring(i + 1)) + L".dmp";
        const std::string bytes = CrashDump::DecodeBase64(dumps[i]);
        if (!WriteAll(name, bytes)) {
            fprintf(stderr, "cannot write %ls\n", name.c_str());
            return 1;
        }
        const std::string problem = CrashDump::CheckMinidump(bytes);
        if (problem.empty()) {
            printf("wrote %ls (%zu bytes)\n", name.c_str(), bytes.size());
        } else {
            printf("wrote %ls (%zu bytes), incomplete: %s; events were lost, record with larger buffers\n",
                   name.c_str(), bytes.size(), problem.c_str());
            result = 1;
        }
    }
    return result;
}

#include "minidump_text.h"

#include <windows.h>
#include <dbghelp.h>

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/hex.h>

#include <cstring>

namespace CrashDump {
namespace {

// A word of Base64 characters and the white space and spelled line breaks before it.
struct Word {
    std::string text;
    std::string before;
};
using Words = std::vector<Word>;

constexpr size_t kLine = 72;
constexpr size_t kShortestHexRun = 32;
constexpr ULONG32 kSignature = 0x504D444D;  // "MDMP"
// "MDMP" and the format version 0xA793 in Base64.
const char kMarker[] = "TURNUJOn";

const char* const kLineBreakSpellings[] = {"&#xA;", "&#xa;", "&#x0A;", "&#10;", "&#xD;", "&#xd;",
                                           "&#x0D;", "&#13;", "\\n", "\\r"};

bool IsBase64Char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
           c == '=';
}
bool IsHexChar(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsMarker(const std::string& word) { return word.compare(0, sizeof(kMarker) - 1, kMarker) == 0; }

size_t LineBreakSpellingAt(const std::string& input, size_t position) {
    for (const char* spelling : kLineBreakSpellings) {
        if (input.compare(position, strlen(spelling), spelling) == 0) return strlen(spelling);
    }
    return 0;
}

// Sequences of words that stand apart only by white space.
std::vector<Words> Runs(const std::string& input) {
    std::vector<Words> runs(1);
    Word word;
    const auto endWord = [&] {
        if (!word.text.empty()) {
            runs.back().push_back(word);
            word = Word();
        }
    };
    for (size_t i = 0; i < input.size();) {
        const char c = input[i];
        if (const size_t length = LineBreakSpellingAt(input, i)) {
            endWord();
            word.before.append(input, i, length);
            i += length;
        } else if (IsBase64Char(c)) {
            word.text.push_back(c);
            ++i;
        } else if (IsSpace(c)) {
            endWord();
            word.before.push_back(c);
            ++i;
        } else {
            endWord();
            word.before.clear();
            if (!runs.back().empty()) runs.emplace_back();
            ++i;
        }
    }
    endWord();
    return runs;
}

// The Base64 lines at the start of words [begin, end): whole lines, then at
// most one short line, all apart by the same line break as the first two; a
// tool that dropped the line feeds leaves one long word. What follows another
// kind of break (the tool's next line) is not part of it.
std::string PartAt(const Words& words, size_t begin, size_t end) {
    size_t last = begin;
    if (begin < end && words[begin].text.size() > kLine) {
        last = begin + 1;
    } else {
        const std::string& lineBreak = begin + 1 < end ? words[begin + 1].before : std::string();
        const auto continues = [&](size_t i) { return i == begin || words[i].before == lineBreak; };
        while (last < end && words[last].text.size() == kLine && continues(last)) ++last;
        if (last < end && words[last].text.size() < kLine && continues(last)) ++last;
    }
    std::string text;
    for (size_t i = begin; i < last; ++i) text += words[i].text;
    const size_t padding = text.find('=');
    const bool paddedAtEnd = padding == std::string::npos || (padding + 2 >= text.size() &&
                                                              text.find_first_not_of('=', padding) == std::string::npos);
    return text.size() % 4 == 0 && paddedAtEnd ? text : std::string();
}

std::vector<std::string> FindInText(const std::string& input) {
    std::vector<std::string> dumps;
    bool open = false;
    for (const Words& run : Runs(input)) {
        for (size_t begin = 0, end = 0; begin < run.size(); begin = end) {
            end = begin + 1;
            while (end < run.size() && !IsMarker(run[end].text)) ++end;
            // A part after the first begins with a whole line; a tool's words may precede it.
            const bool startsDump = IsMarker(run[begin].text);
            size_t first = begin;
            while (!startsDump && first < end && run[first].text.size() < kLine) ++first;
            const std::string part = PartAt(run, first, end);
            if (part.empty()) continue;
            if (startsDump) {
                dumps.push_back(part);
            } else if (open && part.size() >= kLine) {
                dumps.back() += part;
            } else {
                continue;
            }
            open = dumps.back().size() % kLine == 0 && dumps.back().back() != '=';
        }
    }
    return dumps;
}

// The bytes of every long run of hexadecimal digits, each followed by a line feed.
std::string BytesOfHexRuns(const std::string& input) {
    std::string bytes;
    std::string digits;
    const auto endRun = [&] {
        if (digits.size() >= kShortestHexRun && digits.size() % 2 == 0) {
            CryptoPP::StringSource(digits, true, new CryptoPP::HexDecoder(new CryptoPP::StringSink(bytes)));
            bytes.push_back('\n');
        }
        digits.clear();
    };
    for (char c : input) {
        if (IsHexChar(c)) {
            digits.push_back(c);
        } else if (!IsSpace(c)) {
            endRun();
        }
    }
    endRun();
    return bytes;
}

}  // namespace

std::vector<std::string> FindMinidumpTexts(const std::string& input) {
    std::vector<std::string> dumps = FindInText(input);
    return dumps.empty() ? FindInText(BytesOfHexRuns(input)) : dumps;
}

std::string DecodeBase64(const std::string& text) {
    std::string bytes;
    CryptoPP::StringSource(text, true, new CryptoPP::Base64Decoder(new CryptoPP::StringSink(bytes)));
    return bytes;
}

std::string CheckMinidump(const std::string& bytes) {
    MINIDUMP_HEADER header;
    if (bytes.size() < sizeof(header)) return "shorter than a minidump header";
    memcpy(&header, bytes.data(), sizeof(header));
    if (header.Signature != kSignature) return "no minidump signature";
    const uint64_t directoryEnd =
        uint64_t{header.StreamDirectoryRva} + uint64_t{header.NumberOfStreams} * sizeof(MINIDUMP_DIRECTORY);
    if (directoryEnd > bytes.size()) return "the stream directory lies beyond the data";
    for (ULONG32 i = 0; i < header.NumberOfStreams; ++i) {
        MINIDUMP_DIRECTORY stream;
        memcpy(&stream, bytes.data() + header.StreamDirectoryRva + i * sizeof(stream), sizeof(stream));
        if (uint64_t{stream.Location.Rva} + stream.Location.DataSize > bytes.size()) {
            return "stream " + std::to_string(i) + " ends beyond the data";
        }
    }
    return {};
}

}  // namespace CrashDump

#pragma once
// Finds the minidumps that the service's crash report events (2021) carry in
// any text a trace tool makes of them, and checks a decoded dump.
//
// Vocabulary: a dump's "text" is standard Base64 in lines of 72 characters.
// It always begins with "TURNUJOn", the encoding of the signature "MDMP" and
// the format version that every minidump writer puts behind it. A dump
// too large for one event comes in several events, each a run of whole lines
// but the last; in a tool's output those "parts" stand one after another,
// with the tool's own markup between them. A part is a run of words of Base64
// characters separated only by white space (or by the spellings of a line
// feed that XML and escaped text use), every word but the last exactly one
// line long. A dump ends with its first part whose last line is short or
// padded with "="; parts after that, up to the next "TURNUJOn", belong to no
// dump. Where a tool shows an event's data as hexadecimal bytes, the dumps
// are looked for in those bytes.

#include <string>
#include <vector>

namespace CrashDump {

// The Base64 text of each dump found, without white space, in input order.
std::vector<std::string> FindMinidumpTexts(const std::string& input);

// Decodes one text; empty when it is not valid Base64.
std::string DecodeBase64(const std::string& text);

// Empty when the bytes are a whole minidump (signature, stream directory and
// every stream inside the data); otherwise what is wrong.
std::string CheckMinidump(const std::string& bytes);

}  // namespace CrashDump

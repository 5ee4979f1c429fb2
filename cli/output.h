// Text out of kivo.exe: wide characters to a console, UTF-8 when redirected.
#pragma once

#include <windows.h>

#include <string>

namespace kivocli {

enum class Stream { Out, Error };

void Write(Stream stream, const std::wstring &text);
inline void Print(const std::wstring &text) { Write(Stream::Out, text); }
inline void PrintError(const std::wstring &text) { Write(Stream::Error, text); }
bool IsTerminal(Stream stream);

// "<path>: <the system's message> (error N)", for the last-error code.
std::wstring ErrorText(const std::wstring &path, DWORD code);
// The system's message for a code, without its line end.
std::wstring SystemMessage(DWORD code);

std::wstring HumanSize(ULONGLONG bytes);
// A record's size, from its two halves.
inline ULONGLONG SizeOf(const WIN32_FIND_DATAW &record) {
    return (static_cast<ULONGLONG>(record.nFileSizeHigh) << 32) | record.nFileSizeLow;
}
std::wstring JsonString(const std::wstring &text);
// The last component of a path, trailing separators aside.
std::wstring LastName(const std::wstring &path);

}  // namespace kivocli

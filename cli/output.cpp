#include "cli/output.h"

#include <cstdio>

namespace kivocli {

namespace {

HANDLE HandleOf(Stream stream) { return GetStdHandle(stream == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE); }

std::string Utf8(const std::wstring &text) {
    if (text.empty()) return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

}  // namespace

bool IsTerminal(Stream stream) {
    DWORD mode = 0;
    return GetConsoleMode(HandleOf(stream), &mode) != 0;
}

void Write(Stream stream, const std::wstring &text) {
    HANDLE handle = HandleOf(stream);
    DWORD written = 0;
    if (IsTerminal(stream)) {
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    std::string bytes = Utf8(text);
    WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring SystemMessage(DWORD code) {
    wchar_t *text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::wstring message = length ? std::wstring(text, length) : L"unknown error";
    LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ' ||
                                message.back() == L'.'))
        message.pop_back();
    return message;
}

std::wstring ErrorText(const std::wstring &path, DWORD code) {
    return path + L": " + SystemMessage(code) + L" (error " + std::to_wstring(code) + L")";
}

std::wstring LastName(const std::wstring &path) {
    size_t end = path.find_last_not_of(L"\\/");
    if (end == std::wstring::npos) return L"";
    size_t start = path.find_last_of(L"\\/:", end);
    start = start == std::wstring::npos ? 0 : start + 1;
    return path.substr(start, end + 1 - start);
}

std::wstring HumanSize(ULONGLONG bytes) {
    const wchar_t *units[] = {L"B", L"KB", L"MB", L"GB", L"TB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    wchar_t text[32];
    if (unit == 0) swprintf(text, 32, L"%llu B", bytes);
    else swprintf(text, 32, L"%.1f %ls", value, units[unit]);
    return text;
}

std::wstring JsonString(const std::wstring &text) {
    std::wstring out = L"\"";
    for (wchar_t c : text) {
        switch (c) {
        case L'"': out += L"\\\""; break;
        case L'\\': out += L"\\\\"; break;
        case L'\n': out += L"\\n"; break;
        case L'\r': out += L"\\r"; break;
        case L'\t': out += L"\\t"; break;
        default:
            if (c < 0x20) {
                wchar_t escape[8];
                swprintf(escape, 8, L"\\u%04x", static_cast<unsigned>(c));
                out += escape;
            } else {
                out += c;
            }
        }
    }
    return out + L"\"";
}

}  // namespace kivocli

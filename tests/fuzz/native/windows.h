// The few Windows declarations the library's text functions use, for a
// native build of those functions on Linux (the parser fuzzers). wchar_t is
// 4 bytes here and 2 on Windows: the functions must not depend on its size.
#pragma once

#include <cstdint>

#define MAX_PATH 260
#define ERROR_SUCCESS 0L
#define ERROR_INVALID_NAME 123L

typedef int BOOL;
typedef uint32_t DWORD;
typedef wchar_t WCHAR;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
};

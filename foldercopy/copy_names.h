// Which names a folder copy may join onto a destination folder. A device
// reports its own names; a faulty or hostile one must never steer a copy out
// of its destination or over another file.
#pragma once

#include <windows.h>

namespace kivo {

// ERROR_SUCCESS when the name may be joined onto a folder path; otherwise
// ERROR_INVALID_NAME. Refused everywhere: "", ".", "..", and a name holding
// "\", "/" or ":". Refused too when the destination is on disk: a name that
// Windows would not store as given (a reserved device name, with or without
// an extension; a trailing dot or space; < > " | ? * or a control
// character).
DWORD CheckCopyName(const wchar_t *name, bool destinationOnDisk);

// CON, PRN, AUX, NUL, COM1 to COM9 and LPT1 to LPT9 (the superscript digits
// 1, 2, 3 included), in any case, alone or before an extension.
bool IsReservedDeviceName(const wchar_t *name);

}  // namespace kivo

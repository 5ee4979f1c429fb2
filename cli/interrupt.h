// Ctrl+C in kivo.exe: it sets a flag that the library polls between the
// chunks of a copy, and that long commands check between their steps.
#pragma once

#include <windows.h>

namespace kivocli {

// The flag Ctrl+C sets, as KivoCopyFileEx's cancel argument takes it.
BOOL *StopFlag();
inline bool StopRequested() { return *StopFlag() != FALSE; }

// Ctrl+C sets the flag instead of ending the process for as long as the
// hold lives.
class ControlHold {
public:
    ControlHold();
    ~ControlHold();
    ControlHold(const ControlHold &) = delete;
    ControlHold &operator=(const ControlHold &) = delete;
};

}  // namespace kivocli

#include "cli/interrupt.h"

namespace kivocli {

namespace {

volatile BOOL stopRequested = FALSE;

BOOL WINAPI OnControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    stopRequested = TRUE;
    return TRUE;
}

}  // namespace

BOOL *StopFlag() { return const_cast<BOOL *>(&stopRequested); }

ControlHold::ControlHold() { SetConsoleCtrlHandler(OnControl, TRUE); }
ControlHold::~ControlHold() { SetConsoleCtrlHandler(OnControl, FALSE); }

}  // namespace kivocli

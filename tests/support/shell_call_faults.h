// Fails one call of the stand-in shell objects (the dialogs, their
// selections, the device's shell folders and their class factories), for
// the failure sweep of the dialogs: arm it with k, and the k-th call counted
// after that fails with E_FAIL.
#pragma once

#include <windows.h>

namespace kivotest {

struct ShellCallFaults {
    unsigned calls = 0;   // counted since Arm
    unsigned failAt = 0;  // the call that fails, from 1; 0: none
    void Arm(unsigned k) {
        calls = 0;
        failAt = k;
    }
    bool Fails() { return ++calls == failAt; }
    HRESULT Outcome() { return Fails() ? E_FAIL : S_OK; }
};

ShellCallFaults &StandInFaults();

}  // namespace kivotest

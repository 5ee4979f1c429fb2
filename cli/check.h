// kivo check: a conformance run on a real device that touches nothing but a
// folder of its own, removed at the end, also after a failure or Ctrl+C.
#pragma once

#include <string>

namespace kivocli {

// Checks DEVICE (and STORAGE, else the device's first storage); one line per
// check, or JSON with json. Returns 0 when nothing the library relies on
// failed, 1 when something did, the interrupt status after Ctrl+C.
int CheckDevice(const std::wstring &device, const std::wstring &storage, bool json);

}  // namespace kivocli

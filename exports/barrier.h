// The one barrier every export runs inside: no C++ exception ever reaches
// the host. An allocation failure becomes ERROR_NOT_ENOUGH_MEMORY and the
// export's failure value; the stack is unwound first, so every interface,
// handle and buffer the call held has been released.
#pragma once

#include <windows.h>

#include <new>
#include <stdexcept>
#include <utility>

namespace kivo {

template <class Result, class Body>
Result RunExport(Result failure, Body &&body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (const std::bad_alloc &) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } catch (const std::length_error &) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        SetLastError(ERROR_INTERNAL_ERROR);
    }
    return failure;
}

// For the exports that return nothing.
template <class Body>
void RunExport(Body &&body) noexcept {
    RunExport(0, [&] {
        std::forward<Body>(body)();
        return 0;
    });
}

}  // namespace kivo

// kivo cp and copy-tree: copies with a byte progress bar on a terminal, a
// Ctrl+C that stops the copy between chunks, and (copy-tree to a device) a
// check of the free space first.
#pragma once

#include <windows.h>

#include <string>

namespace kivocli {

// The exit status of a copy that Ctrl+C stopped.
constexpr int kInterrupted = 130;

// Copies one file; returns the exit status.
int CopyOne(const std::wstring &source, const std::wstring &destination, DWORD flags);

// Copies SRC into DST one file per step; returns the exit status (1 when
// any file failed or the job could not start, kInterrupted after Ctrl+C).
// Without force, a copy to a device that reports less free space than the
// files need is refused before the first file.
int CopyTree(const std::wstring &source, const std::wstring &destination, DWORD flags, bool force);

}  // namespace kivocli

// kivo copy-tree: a deferred folder copy job with progress.
#pragma once

#include <windows.h>

#include <string>

namespace kivocli {

// Copies SRC into DST one file per step; returns the exit status (1 when
// any file failed or the job could not start).
int CopyTree(const std::wstring &source, const std::wstring &destination, DWORD flags);

}  // namespace kivocli

// The process-wide tables behind every handle the library hands out: each
// maps a handle value to the records gathered by the opening call and a read
// position. Every access runs under the library lock.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/record_list.h"

#include "core/globals.h"

namespace kivo {

// Handles of the enumeration and folder-copy families: 1 to 65535, then 1.
struct SixteenBitHandles {
    using Key = uint64_t;
    static constexpr Key kLast = 0xFFFF;
    uint16_t counter = 0;
    Key Next() {
        ++counter;
        if (counter == 0) counter = 1;
        return counter;
    }
};

// Dialog result handles: 2 upwards; 0 and 1 never occur.
struct DialogHandles {
    using Key = int32_t;
    uint32_t counter = 0;
    Key Next() {
        ++counter;
        if (counter <= 1) counter = 2;
        return static_cast<Key>(counter);
    }
};

struct NoExtra {};

enum class StepResult { Unknown, Exhausted, Copied };

template <class Record, class Handles, class Extra = NoExtra>
class HandleTable {
public:
    using Key = typename Handles::Key;

    struct Entry {
        RecordList<Record> records;
        uint32_t nextIndex = 0;
        Extra extra{};
    };

    // Stores the list under a new handle. A handle value still in use (the
    // counter wrapped round to a handle never closed) is taken over.
    Key Add(RecordList<Record> records, uint32_t start, Extra extra = Extra{}) {
        // The list is kept until the handle is closed: hold no spare capacity.
        records.shrink_to_fit();
        LibraryLockHold hold;
        Key handle = handles_.Next();
        Entry &entry = entries_[handle];
        entry.records = std::move(records);
        entry.nextIndex = start;
        entry.extra = std::move(extra);
        return handle;
    }

    // Draws a handle value without storing anything under it.
    Key AllocateHandle() {
        LibraryLockHold hold;
        return handles_.Next();
    }

    bool Contains(Key handle) {
        LibraryLockHold hold;
        return entries_.find(handle) != entries_.end();
    }

    // Copies the record at the read position and advances it.
    StepResult Step(Key handle, Record &out) {
        LibraryLockHold hold;
        auto it = entries_.find(handle);
        if (it == entries_.end()) return StepResult::Unknown;
        Entry &entry = it->second;
        if (entry.nextIndex >= entry.records.size()) return StepResult::Exhausted;
        out = entry.records[entry.nextIndex++];
        return StepResult::Copied;
    }

    // Runs visit(entry) under the lock on a known handle; false when unknown.
    template <class Visit>
    bool With(Key handle, Visit &&visit) {
        LibraryLockHold hold;
        auto it = entries_.find(handle);
        if (it == entries_.end()) return false;
        visit(it->second);
        return true;
    }

    size_t Count(Key handle) {
        LibraryLockHold hold;
        auto it = entries_.find(handle);
        return it == entries_.end() ? 0 : it->second.records.size();
    }

    size_t Remove(Key handle) {
        LibraryLockHold hold;
        return entries_.erase(handle);
    }

    // Empties the table; the caller holds the library lock.
    void Clear() { entries_.clear(); }

    size_t EntryCount() {
        LibraryLockHold hold;
        return entries_.size();
    }

private:
    std::unordered_map<Key, Entry> entries_;
    Handles handles_;
};

// Handles of the 16-bit families travel as pointer-sized HANDLE values.
inline uint64_t HandleKey(HANDLE handle) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle)); }
inline HANDLE KeyHandle(uint64_t key) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(key)); }

using PathRecord = std::array<wchar_t, MAX_PATH>;
using FindDataTable = HandleTable<WIN32_FIND_DATAW, SixteenBitHandles>;
using DialogTable = HandleTable<PathRecord, DialogHandles>;

FindDataTable &FileEnumTable();
FindDataTable &DeviceEnumTable();
DialogTable &DialogResultTable();

}  // namespace kivo

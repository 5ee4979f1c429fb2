// A list that grows a block at a time: its items never move once added, so
// the records of a folder of ten thousand objects are never copied into a
// bigger array as it fills, and every block is small enough for the heap to
// reuse.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <vector>

namespace kivo {

template <class T>
class RecordList {
public:
    RecordList() = default;
    RecordList(std::initializer_list<T> items) {
        for (const T &item : items) push_back(item);
    }

    void push_back(const T &item) {
        if (blocks_.empty() || blocks_.back().size() == kPerBlock) blocks_.emplace_back();
        blocks_.back().push_back(item);
        ++size_;
    }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T &operator[](size_t index) { return blocks_[index / kPerBlock][index % kPerBlock]; }
    const T &operator[](size_t index) const { return blocks_[index / kPerBlock][index % kPerBlock]; }
    T &front() { return blocks_.front().front(); }
    T &back() { return blocks_.back().back(); }
    // Gives back the spare room of the last block.
    void shrink_to_fit() {
        if (!blocks_.empty()) blocks_.back().shrink_to_fit();
    }

private:
    // The largest power of two of items that fits 64 KiB (at least one).
    static constexpr size_t PerBlock() {
        size_t count = 1;
        while (count * 2 * sizeof(T) <= 64 * 1024) count *= 2;
        return count;
    }
    static constexpr size_t kPerBlock = PerBlock();

    std::vector<std::vector<T>> blocks_;
    size_t size_ = 0;
};

}  // namespace kivo

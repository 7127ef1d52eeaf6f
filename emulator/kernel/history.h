// The most recent events of a long run, in a ring: a report needs what happened lately, and a
// run of millions of frames must not keep every one. Indexes count from the first event ever
// recorded, so a mark taken with size() stays valid while what follows it is still kept.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace emu {

template <class T>
class History {
public:
    // The ring grows as events come rather than being reserved whole: a short-lived machine
    // (one fuzz input) would otherwise map and fault in the full capacity for a few events.
    explicit History(size_t capacity) : capacity_(capacity) {}

    void push_back(T event) {
        if (ring_.size() < capacity_) {
            ring_.push_back(std::move(event));
        } else {
            ring_[total_ % capacity_] = std::move(event);
        }
        ++total_;
    }

    // Events recorded so far, including those no longer kept.
    size_t size() const { return total_; }
    // The first index still kept.
    size_t first() const { return total_ - ring_.size(); }
    // The event at an index counted from the first ever recorded; it must still be kept.
    const T& operator[](size_t index) const { return ring_[index % capacity_]; }

    class const_iterator {
    public:
        const_iterator(const History* history, size_t index) : history_(history), index_(index) {}
        const T& operator*() const { return (*history_)[index_]; }
        const T* operator->() const { return &(*history_)[index_]; }
        const_iterator& operator++() {
            ++index_;
            return *this;
        }
        bool operator==(const const_iterator& other) const { return index_ == other.index_; }

    private:
        const History* history_;
        size_t index_;
    };
    // The events still kept, oldest first.
    const_iterator begin() const { return {this, first()}; }
    const_iterator end() const { return {this, total_}; }

private:
    size_t capacity_;
    size_t total_ = 0;
    std::vector<T> ring_;
};

}  // namespace emu

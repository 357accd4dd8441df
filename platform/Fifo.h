#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace pemtrox {

/// A first-in-first-out queue that holds no memory while it has never been used (a deque
/// allocates a block up front, which every idle connection would pay for each queue).
template <class T> class Fifo {
public:
    bool empty() const { return head_ == items_.size(); }
    std::size_t size() const { return items_.size() - head_; }
    T& front() { return items_[head_]; }
    const T& front() const { return items_[head_]; }
    T& operator[](std::size_t i) { return items_[head_ + i]; }
    void push_back(T item) { items_.push_back(std::move(item)); }
    void pop_front() {
        items_[head_] = T();
        if (++head_ == items_.size()) {
            clear();
        } else if (head_ >= 32 && head_ * 2 >= items_.size()) {
            // The consumed front is given back once it is at least half of the vector.
            items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
    }
    void clear() {
        items_.clear();
        head_ = 0;
    }

private:
    std::vector<T> items_;
    std::size_t head_ = 0;
};

} // namespace pemtrox

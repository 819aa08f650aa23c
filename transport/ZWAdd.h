#pragma once
// Head operations on the frame lists of the send path that are safe on an empty list.
#include <deque>
#include <utility>

// Removes the first element; does nothing on an empty list.
template <class T>
void zvRemoveFirstObject(std::deque<T>& list) {
    if (!list.empty()) list.pop_front();
}

// Removes and returns the first element; a value-initialised T (nullptr for pointers) on an empty list.
template <class T>
T zvPopFirstObject(std::deque<T>& list) {
    if (list.empty()) return T{};
    T first = std::move(list.front());
    list.pop_front();
    return first;
}

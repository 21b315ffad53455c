// Host stand-in for libutils' value vector.
#pragma once

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>
#include <utils/Errors.h>

#include <vector>

namespace android {

template <typename TYPE>
class Vector {
  public:
    Vector() = default;
    Vector(const Vector<TYPE>& rhs) = default;
    Vector& operator=(const Vector<TYPE>& rhs) = default;
    virtual ~Vector() = default;

    size_t size() const { return mItems.size(); }
    bool isEmpty() const { return mItems.empty(); }
    size_t capacity() const { return mItems.capacity(); }
    ssize_t setCapacity(size_t size) {
        mItems.reserve(size);
        return static_cast<ssize_t>(mItems.capacity());
    }
    void clear() { mItems.clear(); }

    const TYPE* array() const { return mItems.data(); }
    TYPE* editArray() { return mItems.data(); }
    const TYPE& operator[](size_t index) const { return mItems[checked(index)]; }
    const TYPE& itemAt(size_t index) const { return mItems[checked(index)]; }
    TYPE& editItemAt(size_t index) { return mItems[checked(index)]; }
    const TYPE& top() const { return mItems[checked(mItems.size() - 1)]; }
    TYPE& editTop() { return mItems[checked(mItems.size() - 1)]; }

    ssize_t add(const TYPE& item) {
        mItems.push_back(item);
        return static_cast<ssize_t>(mItems.size() - 1);
    }
    ssize_t add() { return add(TYPE()); }
    ssize_t insertAt(const TYPE& item, size_t index, size_t numItems = 1) {
        if (index > mItems.size()) return BAD_INDEX;
        mItems.insert(mItems.begin() + index, numItems, item);
        return static_cast<ssize_t>(index);
    }
    ssize_t removeAt(size_t index) {
        if (index >= mItems.size()) return BAD_VALUE;
        mItems.erase(mItems.begin() + index);
        return static_cast<ssize_t>(index);
    }
    void push_back(const TYPE& item) { add(item); }
    void push_front(const TYPE& item) { insertAt(item, 0); }

    typedef TYPE* iterator;
    typedef const TYPE* const_iterator;
    iterator begin() { return mItems.data(); }
    iterator end() { return mItems.data() + mItems.size(); }
    const_iterator begin() const { return mItems.data(); }
    const_iterator end() const { return mItems.data() + mItems.size(); }

  private:
    // The platform's debug build stops on an index out of range; so does this one, always.
    size_t checked(size_t index) const {
        if (index >= mItems.size()) {
            fprintf(stderr, "Vector: index %zu out of range (%zu)\n", index, mItems.size());
            abort();
        }
        return index;
    }

    std::vector<TYPE> mItems;
};

}  // namespace android

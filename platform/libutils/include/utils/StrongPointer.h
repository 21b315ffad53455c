// Host stand-in for libutils' strong pointer.
#pragma once

#include <stddef.h>

namespace android {

template <typename T>
class sp {
  public:
    sp() : m_ptr(nullptr) {}
    sp(T* other) : m_ptr(other) {  // NOLINT: implicit like the platform's
        if (m_ptr) m_ptr->incStrong(this);
    }
    sp(const sp<T>& other) : m_ptr(other.m_ptr) {
        if (m_ptr) m_ptr->incStrong(this);
    }
    template <typename U>
    sp(U* other) : m_ptr(other) {  // NOLINT
        if (m_ptr) m_ptr->incStrong(this);
    }
    template <typename U>
    sp(const sp<U>& other) : m_ptr(other.get()) {  // NOLINT
        if (m_ptr) m_ptr->incStrong(this);
    }
    ~sp() {
        if (m_ptr) m_ptr->decStrong(this);
    }

    sp& operator=(const sp<T>& other) {
        T* p = other.m_ptr;
        if (p) p->incStrong(this);
        if (m_ptr) m_ptr->decStrong(this);
        m_ptr = p;
        return *this;
    }
    sp& operator=(T* other) {
        if (other) other->incStrong(this);
        if (m_ptr) m_ptr->decStrong(this);
        m_ptr = other;
        return *this;
    }
    template <typename U>
    sp& operator=(const sp<U>& other) {
        return *this = static_cast<T*>(other.get());
    }

    void clear() {
        if (m_ptr) {
            m_ptr->decStrong(this);
            m_ptr = nullptr;
        }
    }

    T& operator*() const { return *m_ptr; }
    T* operator->() const { return m_ptr; }
    T* get() const { return m_ptr; }

    bool operator==(const T* o) const { return m_ptr == o; }
    bool operator!=(const T* o) const { return m_ptr != o; }
    template <typename U>
    bool operator==(const sp<U>& o) const {
        return m_ptr == o.get();
    }
    template <typename U>
    bool operator!=(const sp<U>& o) const {
        return m_ptr != o.get();
    }

  private:
    T* m_ptr;
};

}  // namespace android

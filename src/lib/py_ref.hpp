// An owning reference to a Python object: released in the destructor, move-only.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace larkspur::py {

// Thrown when a Python error is already set and must reach the caller unchanged.
struct ErrorAlreadySet {};

class Ref {
   public:
    Ref() = default;
    // Takes ownership of a new reference; a NULL means the C API has set an error.
    static Ref steal(PyObject* o) {
        if (!o) throw ErrorAlreadySet{};
        Ref r;
        r.p_ = o;
        return r;
    }
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        Ref r;
        r.p_ = o;
        return r;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

   private:
    PyObject* p_ = nullptr;
};

}  // namespace larkspur::py

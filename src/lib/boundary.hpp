// Where the core meets the interpreter: the object's borrow guard, release of the
// interpreter lock around long native work, and the one function that turns C++
// exceptions into Python exceptions.
#pragma once

#include "lib/py_ref.hpp"

#include <atomic>

#include "common/report.hpp"

namespace larkspur::py {

// Borrow state of one object: 0 free, n > 0 readers, -1 one writer. A conflicting call
// fails at once instead of waiting.
using BorrowFlag = std::atomic<long>;

class SharedBorrow {
   public:
    explicit SharedBorrow(BorrowFlag& flag);  // RuntimeError "Already mutably borrowed"
    ~SharedBorrow() { flag_.fetch_sub(1, std::memory_order_release); }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

   private:
    BorrowFlag& flag_;
};

class ExclusiveBorrow {
   public:
    explicit ExclusiveBorrow(BorrowFlag& flag);  // RuntimeError "Already borrowed"
    ~ExclusiveBorrow() { flag_.store(0, std::memory_order_release); }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

   private:
    BorrowFlag& flag_;
};

// Releases the interpreter lock for its lifetime. Construct it after the borrow guard and
// inside the try block, so that unwinding retakes the lock before the error is set.
// Nothing may touch a Python object while it lives.
class ReleaseGil {
   public:
    ReleaseGil() : state_(PyEval_SaveThread()) {}
    ~ReleaseGil() { PyEval_RestoreThread(state_); }
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;

   private:
    PyThreadState* state_;
};

// Writes each progress or warning line through the interpreter's sys.stderr, taking the
// lock just for that line (the caller may or may not hold it), so that notebooks and a
// replaced sys.stderr see the lines. When sys.stderr is missing or None the line is
// dropped; an error raised by its write or flush is cleared, and an error the caller had
// set is kept.
LineSink& python_stderr_sink();

// Call inside a catch (...) block: sets the Python error for the exception in flight and
// returns NULL. Typed core errors map to ValueError, RuntimeError, OSError and
// FileNotFoundError, std::bad_alloc to MemoryError, anything else to RuntimeError.
PyObject* translate_exception();

// Runs f (returning a new reference) and turns any exception into a Python error.
template <class F>
PyObject* guarded(F&& f) {
    try {
        return f();
    } catch (...) {
        return translate_exception();
    }
}

}  // namespace larkspur::py

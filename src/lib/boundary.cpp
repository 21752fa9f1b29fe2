#include "lib/boundary.hpp"

#include <new>
#include <string>

#include "common/errors.hpp"

namespace larkspur::py {

SharedBorrow::SharedBorrow(BorrowFlag& flag) : flag_(flag) {
    long v = flag_.load(std::memory_order_acquire);
    for (;;) {
        if (v < 0) throw Error(ErrorKind::Runtime, "Already mutably borrowed");
        if (flag_.compare_exchange_weak(v, v + 1, std::memory_order_acq_rel)) return;
    }
}

ExclusiveBorrow::ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
    long expected = 0;
    if (!flag_.compare_exchange_strong(expected, -1, std::memory_order_acq_rel)) {
        throw Error(ErrorKind::Runtime, "Already borrowed");
    }
}

namespace {

class PythonStderrSink final : public LineSink {
   public:
    void write_line(std::string_view line) noexcept override {
        const PyGILState_STATE gil = PyGILState_Ensure();
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        // Held for the call: the stream's own code may replace sys.stderr meanwhile.
        PyObject* stream = PySys_GetObject("stderr");
        if (stream && stream != Py_None) {
            Py_INCREF(stream);
            PyObject* text = PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "replace");
            PyObject* written = text ? PyObject_CallMethod(stream, "write", "O", text) : nullptr;
            PyObject* flushed = written ? PyObject_CallMethod(stream, "flush", nullptr) : nullptr;
            Py_XDECREF(flushed);
            Py_XDECREF(written);
            Py_XDECREF(text);
            Py_DECREF(stream);
            PyErr_Clear();
        }
        PyErr_Restore(type, value, traceback);
        PyGILState_Release(gil);
    }
};

void set_error(PyObject* type, const std::string& msg) {
    PyObject* text = PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace");
    if (!text) return;  // the decoder's error is set instead
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

}  // namespace

LineSink& python_stderr_sink() {
    static PythonStderrSink sink;
    return sink;
}

PyObject* translate_exception() {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const Error& e) {
        // The shared table of error kinds (common/errors.hpp) names the exception.
        PyObject* type = PyDict_GetItemString(PyEval_GetBuiltins(), python_name(e.kind()));
        if (!type) type = PyExc_RuntimeError;
        set_error(type, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_error(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown internal error");
    }
    return nullptr;
}

}  // namespace larkspur::py

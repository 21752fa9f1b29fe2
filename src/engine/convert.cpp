#include "engine/convert.hpp"

#include <nanobind/stl/string.h>

#include <cstring>

#include "common/errors.hpp"
#include "common/ordered_blocks.hpp"

namespace larkspur::engine {

FoldMode parse_mode(const std::string& tag) {
    auto m = fold_mode_from_tag(tag);
    if (!m) throw Error(ErrorKind::Value, "mode must be 'LM' or 'OCR', not '" + tag + "'");
    return *m;
}

std::vector<std::string_view> views_of(nb::handle list, nb::object& hold, const char* what) {
    hold = nb::steal(PySequence_Tuple(list.ptr()));
    if (!hold.is_valid()) throw nb::python_error();
    std::vector<std::string_view> out;
    const Py_ssize_t n = PyTuple_GET_SIZE(hold.ptr());
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(hold.ptr(), i);
        const std::string at = std::string(what) + "[" + std::to_string(i) + "]";
        if (!PyUnicode_Check(item)) throw Error(ErrorKind::Type, at + " must be str, not " + Py_TYPE(item)->tp_name);
        Py_ssize_t size;
        const char* p = PyUnicode_AsUTF8AndSize(item, &size);
        if (!p) {
            // A lone surrogate: name the text and where it stands.
            PyErr_Clear();
            const Py_ssize_t len = PyUnicode_GetLength(item);
            Py_ssize_t k = 0;
            while (k < len && !(PyUnicode_READ_CHAR(item, k) >= 0xD800 && PyUnicode_READ_CHAR(item, k) <= 0xDFFF)) ++k;
            throw Error(ErrorKind::Value, at + " holds a lone surrogate at position " + std::to_string(k) +
                                              ", which is not text (it cannot be encoded as UTF-8)");
        }
        out.emplace_back(p, static_cast<std::size_t>(size));
    }
    return out;
}

nb::dict scheme_dict(const Scheme& scheme) {
    nb::dict d;
    for (const auto& [name, value] : scheme_values(scheme)) {
        std::visit([&](auto v) { d[name.c_str()] = v; }, value);
    }
    return d;
}

Scheme scheme_of(nb::dict fields) {
    std::vector<std::pair<std::string, SchemeValue>> values;
    for (auto [key, value] : fields) {
        if (!nb::isinstance<nb::str>(key)) throw Error(ErrorKind::Type, "scheme field names must be str");
        const std::string name = nb::cast<std::string>(key);
        if (nb::isinstance<nb::bool_>(value)) {
            values.emplace_back(name, nb::cast<bool>(value));
        } else if (nb::isinstance<nb::int_>(value)) {
            values.emplace_back(name, nb::cast<std::int64_t>(value));
        } else if (nb::isinstance<nb::float_>(value)) {
            values.emplace_back(name, nb::cast<double>(value));
        } else {
            throw Error(ErrorKind::Value, "scheme field '" + name + "' must be a bool, int or float, not " +
                                              nb::inst_name(value).c_str());
        }
    }
    return scheme_from(values);
}

void CallbackSink::vocab_progress(std::size_t vocab_size) noexcept {
    if (callback_.is_none()) return;
    nb::gil_scoped_acquire gil;
    try {
        callback_(vocab_size);
    } catch (nb::python_error& e) {
        e.discard_as_unraisable("larkspur progress callback");
    }
}

BytesProgress bytes_progress(nb::object callback) {
    if (callback.is_none()) return {};
    return [callback](std::uint64_t done, std::uint64_t total) {
        nb::gil_scoped_acquire gil;
        try {
            callback(done, total);
        } catch (nb::python_error& e) {
            e.discard_as_unraisable("larkspur progress callback");
        }
    };
}

std::function<bool()> SignalWatch::poll() {
    return [this] {
        nb::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() == 0) return false;
        pending_.emplace();  // takes the handler's exception
        return true;
    };
}

void SignalWatch::rethrow_pending() {
    if (pending_) {
        nb::python_error e = std::move(*pending_);
        pending_.reset();
        throw e;
    }
}

nb::list new_list(std::size_t n) {
    PyObject* p = PyList_New(static_cast<Py_ssize_t>(n));
    if (!p) throw nb::python_error();
    return nb::steal<nb::list>(p);
}

nb::list IdLists::make(const std::vector<std::uint32_t>& ids, std::size_t size) {
    if (!ints_.is_valid() || size_ != size) {
        nb::list cache = new_list(size);
        for (std::size_t i = 0; i < size; ++i) {
            PyObject* o = PyLong_FromSize_t(i);
            if (!o) throw nb::python_error();
            PyList_SET_ITEM(cache.ptr(), static_cast<Py_ssize_t>(i), o);
        }
        ints_ = std::move(cache);
        size_ = size;
    }
    nb::list out = new_list(ids.size());
    for (std::size_t j = 0; j < ids.size(); ++j) {
        PyObject* o;
        if (ids[j] < size) {
            o = PyList_GET_ITEM(ints_.ptr(), ids[j]);
            Py_INCREF(o);
        } else if (!(o = PyLong_FromUnsignedLong(ids[j]))) {
            throw nb::python_error();
        }
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(j), o);
    }
    return out;
}

// Each new list counts towards the next collection, and every collection walks the young
// lists with all their ints: a batch of 48,000 texts spent a tenth of its time there. The
// lists built here refer only to ints and strs, so there is nothing for the collector to
// find in them. Before 3.10 there is no C call for this and the collector runs as usual.
GcPause::GcPause() {
#if PY_VERSION_HEX >= 0x030A0000
    was_enabled_ = PyGC_Disable() != 0;
#endif
}

GcPause::~GcPause() {
#if PY_VERSION_HEX >= 0x030A0000
    if (was_enabled_) PyGC_Enable();
#endif
}

void translate_core_errors(const std::exception_ptr& p, void*) {
    try {
        std::rethrow_exception(p);
    } catch (const Error& e) {
        PyObject* type = PyDict_GetItemString(PyEval_GetBuiltins(), python_name(e.kind()));
        if (e.errnum() != 0 && e.kind() == ErrorKind::Io) {
            // OSError(errno, strerror, filename) picks the subclass for the number
            // (FileNotFoundError, IsADirectoryError, ...) and names the path as Python does.
            nb::object path = nb::steal(PyUnicode_DecodeFSDefault(e.path().c_str()));
            if (!path.is_valid()) return;
            PyObject* exc = PyObject_CallFunction(PyExc_OSError, "isO", e.errnum(), std::strerror(e.errnum()),
                                                  path.ptr());
            if (exc) {
                PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
                Py_DECREF(exc);
            }
            return;
        }
        PyErr_SetString(type ? type : PyExc_RuntimeError, e.what());
    } catch (const Interrupted&) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    }
}

}  // namespace larkspur::engine

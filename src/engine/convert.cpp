#include "engine/convert.hpp"

#include <cstring>

#include "common/errors.hpp"

namespace larkspur::engine {

std::vector<std::string_view> views_of(nb::handle seq, nb::object& hold, const char* what) {
    hold = nb::steal(PySequence_Tuple(seq.ptr()));
    if (!hold.is_valid()) throw nb::python_error();
    std::vector<std::string_view> out;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(hold.ptr()); i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(hold.ptr(), i);
        const std::string at = std::string(what) + "[" + std::to_string(i) + "]";
        if (!PyUnicode_Check(item)) throw Error(ErrorKind::Type, at + " must be str, not " + Py_TYPE(item)->tp_name);
        Py_ssize_t size;
        if (const char* p = PyUnicode_AsUTF8AndSize(item, &size)) {
            out.emplace_back(p, static_cast<std::size_t>(size));
            continue;
        }
        PyErr_Clear();
        Py_ssize_t k = 0;
        while (!(PyUnicode_READ_CHAR(item, k) >= 0xD800 && PyUnicode_READ_CHAR(item, k) <= 0xDFFF)) ++k;
        throw Error(ErrorKind::Value, at + " holds a lone surrogate at position " + std::to_string(k) +
                                          ", which is not text (it cannot be encoded as UTF-8)");
    }
    return out;
}

nb::dict scheme_dict(const Scheme& scheme) {
    nb::dict d;
    for (const auto& [name, value] : scheme_values(scheme)) std::visit([&](auto v) { d[name.c_str()] = v; }, value);
    return d;
}

Scheme scheme_of(nb::dict fields) {
    std::vector<std::pair<std::string, SchemeValue>> values;
    for (auto [key, value] : fields) {
        const std::string name = nb::cast<std::string>(key);
        if (nb::isinstance<nb::bool_>(value)) values.emplace_back(name, nb::cast<bool>(value));
        else if (nb::isinstance<nb::int_>(value)) values.emplace_back(name, nb::cast<std::int64_t>(value));
        else if (nb::isinstance<nb::float_>(value)) values.emplace_back(name, nb::cast<double>(value));
        else throw Error(ErrorKind::Value, "scheme field '" + name + "' must be a bool, int or float");
    }
    return scheme_from(values);
}

void CallbackSink::vocab_progress(std::size_t vocab_size) noexcept {
    if (!callback.is_none()) bytes_progress(callback)(vocab_size, 0);
}

BytesProgress bytes_progress(nb::object callback) {
    if (callback.is_none()) return {};
    return [callback](std::uint64_t done, std::uint64_t total) {
        nb::gil_scoped_acquire gil;
        try {
            total ? callback(done, total) : callback(done);
        } catch (nb::python_error& e) {
            e.discard_as_unraisable("larkspur progress callback");
        }
    };
}

nb::list new_list(std::size_t n) {
    PyObject* p = PyList_New(static_cast<Py_ssize_t>(n));
    if (!p) throw nb::python_error();
    return nb::steal<nb::list>(p);
}

nb::list IdLists::make(const std::vector<std::uint32_t>& ids, std::size_t size) {
    if (!ints.is_valid() || this->size != size) {
        nb::list cache = new_list(size);
        for (std::size_t i = 0; i < size; ++i) {
            PyObject* o = PyLong_FromSize_t(i);
            if (!o) throw nb::python_error();
            PyList_SET_ITEM(cache.ptr(), static_cast<Py_ssize_t>(i), o);
        }
        ints = std::move(cache);
        this->size = size;
    }
    nb::list out = new_list(ids.size());
    for (std::size_t j = 0; j < ids.size(); ++j) {
        PyObject* o = ids[j] < size ? PyList_GET_ITEM(ints.ptr(), ids[j]) : PyLong_FromUnsignedLong(ids[j]);
        if (!o) throw nb::python_error();
        if (ids[j] < size) Py_INCREF(o);
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(j), o);
    }
    return out;
}

// Every new list counts towards the next collection, which walks the young lists with all
// their ints: a batch of 48,000 texts spent a tenth of its time there, for nothing (lists
// of ints and strs hold no cycles). Before 3.10 there is no C call for this.
GcPause::GcPause() {
#if PY_VERSION_HEX >= 0x030A0000
    was_enabled = PyGC_Disable() != 0;
#endif
}

GcPause::~GcPause() {
#if PY_VERSION_HEX >= 0x030A0000
    if (was_enabled) PyGC_Enable();
#endif
}

void translate_core_errors(const std::exception_ptr& p, void*) {
    try {
        std::rethrow_exception(p);
    } catch (const Error& e) {
        if (e.errnum() != 0 && e.kind() == ErrorKind::Io) {
            // OSError(errno, strerror, path) becomes the subclass for the number and names the path.
            nb::object path = nb::steal(PyUnicode_DecodeFSDefault(e.path().c_str()));
            nb::object exc = nb::steal(path.is_valid() ? PyObject_CallFunction(PyExc_OSError, "isO", e.errnum(),
                                                                                 std::strerror(e.errnum()), path.ptr())
                                                       : nullptr);
            if (exc.is_valid()) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
            return;
        }
        PyObject* type = PyDict_GetItemString(PyEval_GetBuiltins(), python_name(e.kind()));
        PyErr_SetString(type ? type : PyExc_RuntimeError, e.what());
    } catch (const Interrupted&) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    }
}

}  // namespace larkspur::engine

// larkspur._engine, the companion's binding: it converts values, releases the interpreter lock
// around native work and maps errors; behaviour lives in the core. Helpers its files share.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <functional>
#include <optional>

#include "common/report.hpp"
#include "tokenizer/frozen.hpp"
#include "train/word_texts.hpp"

namespace larkspur::engine {

namespace nb = nanobind;

// The UTF-8 of each str of a sequence, not copied: `hold` keeps the strs alive. TypeError
// "{what}[i] must be str, not {type}"; ValueError naming where a lone surrogate stands.
std::vector<std::string_view> views_of(nb::handle seq, nb::object& hold, const char* what);

nb::dict scheme_dict(const Scheme& scheme);
Scheme scheme_of(nb::dict fields);

// Progress to Python callables (None: none); their errors are unraisable, never stopping work.
struct CallbackSink final : LineSink {
    explicit CallbackSink(nb::object callback) : callback(std::move(callback)) {}
    void write_line(std::string_view) noexcept override {}
    void vocab_progress(std::size_t vocab_size) noexcept override;
    nb::object callback;
};
BytesProgress bytes_progress(nb::object callback);

// Runs f(poll) without the interpreter lock when `release`. The core asks poll() in short
// slices; it runs the signal handlers and says stop when one raised (Ctrl-C), whose
// exception (KeyboardInterrupt) then comes out in place of the core's Interrupted.
template <class F>
auto unlocked(bool release, F&& f) -> decltype(f(std::function<bool()>())) {
    std::optional<nb::python_error> pending;
    const std::function<bool()> poll = [&pending] {
        nb::gil_scoped_acquire gil;
        return PyErr_CheckSignals() != 0 && (pending.emplace(), true);
    };
    std::optional<nb::gil_scoped_release> nogil;
    if (release) nogil.emplace();
    try {
        return f(poll);
    } catch (const std::exception&) {
        if (pending) throw nb::python_error(std::move(*pending));
        throw;
    }
}

// Lists of ids sharing one int object per id of a vocabulary of `size` ids (lock held).
struct IdLists {
    nb::list make(const std::vector<std::uint32_t>& ids, std::size_t size);
    nb::object ints;
    std::size_t size = 0;
};

// Holds off the cyclic collector while a batch result is built (see convert.cpp).
struct GcPause {
    GcPause();
    ~GcPause();
    bool was_enabled = false;
};

// The built tokenizer as Python holds it, with the int objects of its ids.
struct PyTokenizer {
    FrozenTokenizer tok;
    IdLists ids;
    nb::list list(const std::vector<std::uint32_t>& v) { return ids.make(v, tok.size()); }
};

nb::list new_list(std::size_t n);
void translate_core_errors(const std::exception_ptr& p, void*);
nb::object wrap(FrozenTokenizer tok);  // the Python object of a built tokenizer
void bind_counts(nb::module_& m);
void bind_tokenizer(nb::module_& m);
void bind_building(nb::module_& m);

}  // namespace larkspur::engine

// Conversions between Python values and the core's, for larkspur._engine.
//
// The binding converts arguments, releases the interpreter lock around native work and
// maps errors; behaviour lives in the core. Helpers here are shared by the binding's files.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/report.hpp"
#include "common/word_table.hpp"
#include "tokenizer/scheme.hpp"
#include "text/normalizer.hpp"
#include "train/word_texts.hpp"

namespace larkspur {
class FrozenTokenizer;
}

namespace larkspur::engine {

namespace nb = nanobind;

FoldMode parse_mode(const std::string& tag);

// The UTF-8 text of each str of a list, without copying: `hold` (a tuple of the items)
// keeps the strs alive while other threads may change the list. TypeError "{what}[i] must
// be str, not {type}"; a lone surrogate is a ValueError naming the item and position.
std::vector<std::string_view> views_of(nb::handle list, nb::object& hold, const char* what);

// The scheme as a dict of its fields, and a scheme from such a dict.
nb::dict scheme_dict(const Scheme& scheme);
Scheme scheme_of(nb::dict fields);

// Turns core lines into a Python callback's progress: vocab_progress(size) calls
// `callback(size)`; lines are dropped. Errors raised by the callback are reported as
// unraisable and never stop the native work.
class CallbackSink final : public LineSink {
   public:
    explicit CallbackSink(nb::object callback) : callback_(std::move(callback)) {}
    void write_line(std::string_view) noexcept override {}
    void vocab_progress(std::size_t vocab_size) noexcept override;

   private:
    nb::object callback_;
};

// A byte-count progress callback for the counting code (none for None).
BytesProgress bytes_progress(nb::object callback);

// Watches for a signal (Ctrl-C) while native work runs without the interpreter lock: poll()
// is handed to the core, which asks it in short slices; when the interpreter has a pending
// signal, its handler runs there and poll() says stop. run() then raises the handler's
// exception (KeyboardInterrupt) in place of the core's Interrupted.
class SignalWatch {
   public:
    std::function<bool()> poll();
    template <class F>
    auto run(F&& f) -> decltype(f()) {
        try {
            return f();
        } catch (const std::exception&) {
            rethrow_pending();
            throw;
        }
    }

   private:
    void rethrow_pending();
    std::optional<nb::python_error> pending_;
};

// A list of Python ints for the ids, sharing one int object per id of a vocabulary of
// `size` ids. Called with the interpreter lock held.
class IdLists {
   public:
    nb::list make(const std::vector<std::uint32_t>& ids, std::size_t size);

   private:
    nb::object ints_;
    std::size_t size_ = 0;
};

// Holds off the interpreter's cyclic garbage collector while a batch result is built (see
// convert.cpp); the earlier state is restored.
class GcPause {
   public:
    GcPause();
    ~GcPause();
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

   private:
    bool was_enabled_ = false;
};

nb::list new_list(std::size_t n);

// Maps a core error to its Python exception (the shared table of error kinds).
void translate_core_errors(const std::exception_ptr& p, void*);

// The binding's Python object for a built tokenizer (engine/tokenizer.cpp).
nb::object wrap(FrozenTokenizer tok);

void bind_counts(nb::module_& m);
void bind_tokenizer(nb::module_& m);
void bind_building(nb::module_& m);

}  // namespace larkspur::engine

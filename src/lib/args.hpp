// Argument conversion at the boundary. Every method parses positional and keyword
// arguments against its parameter names, then converts each one with a named, strict
// converter. Failures raise TypeError (or OverflowError for integers out of range) with a
// message naming the function and the argument, in CPython's wording. Nothing here
// changes the tokenizer: methods convert everything before they borrow the object.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lib/py_ref.hpp"
#include "text/normalizer.hpp"
#include "vocab/paradigms.hpp"

namespace larkspur::py {

struct Signature {
    std::string fname;               // e.g. "normalize"
    std::vector<std::string> names;  // parameter names in order
    std::size_t nrequired = 0;
};

class Args {
   public:
    static constexpr std::size_t kMax = 12;

    // Fastcall convention (METH_FASTCALL | METH_KEYWORDS).
    Args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
    // Classic tuple/dict convention (constructors).
    Args(const Signature& sig, PyObject* args, PyObject* kwargs);

    bool given(std::size_t i) const { return slots_[i] != nullptr; }
    PyObject* get(std::size_t i) const { return slots_[i]; }

    // A str argument as a view of its UTF-8 text (valid while the caller's objects live).
    std::string_view str(std::size_t i) const;
    // A str argument as the object itself, without asking CPython for its UTF-8 form.
    PyObject* str_object(std::size_t i) const;
    std::string string(std::size_t i) const { return std::string(str(i)); }
    // str, or None (and omitted) as nullopt.
    std::optional<std::string> opt_string(std::size_t i) const;
    bool flag(std::size_t i, bool dflt = false) const;
    std::size_t usize(std::size_t i, std::size_t dflt = 0) const;
    std::uint64_t u64(std::size_t i, std::uint64_t dflt = 0) const;
    double f64(std::size_t i) const;
    char32_t character(std::size_t i) const;

    std::vector<std::string> str_list(std::size_t i) const;
    std::vector<std::size_t> id_list(std::size_t i) const;
    std::vector<std::vector<std::size_t>> id_lists(std::size_t i) const;
    std::vector<std::pair<std::size_t, std::string>> id_str_pairs(std::size_t i) const;
    std::vector<std::pair<std::string, double>> str_float_pairs(std::size_t i) const;
    Lexicon str_root_dict(std::size_t i) const;
    RootPrior root_float_dict(std::size_t i) const;
    // dict str -> sequence of str. Errors inside the dict are plain conversion errors
    // that do not name the argument.
    Transitions transitions(std::size_t i) const;
    // Omitted or None gives an empty list.
    Normalizer::RulePairs rules(std::size_t i) const;

   private:
    void parse(const Signature& sig, PyObject* const* pos, Py_ssize_t npos, PyObject* kwnames,
               PyObject* const* kwvalues, PyObject* kwdict);
    [[noreturn]] void fail(PyObject* type, std::size_t i, const std::string& detail) const;
    [[noreturn]] void wrong_type(std::size_t i, const char* expected, PyObject* got) const;
    // The fast sequence of argument i, refusing str and bytes.
    Ref sequence(std::size_t i) const;
    std::uint64_t int_value(std::size_t i, PyObject* o, const std::string& where) const;
    // The ids of one sequence (the argument itself or an item of it); `where` prefixes
    // the item positions in messages.
    void check_sequence(std::size_t i) const;
    void ids_of(std::size_t i, PyObject* seq, const std::string& where, std::vector<std::size_t>& out) const;
    double float_value(std::size_t i, PyObject* o, const std::string& where) const;

    const Signature& sig_;
    PyObject* slots_[kMax] = {};
};

}  // namespace larkspur::py

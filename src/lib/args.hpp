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

// A parameter's default as the signature line states it: None, True/False, an integer
// or a double-quoted string. Converters read omitted arguments from here, so the
// signature shown to Python is the only place a default is written.
struct DefaultValue {
    enum class Kind { Required, None, Bool, Int, Str } kind = Kind::Required;
    bool flag = false;
    std::uint64_t number = 0;
    std::string text;
};

struct Signature {
    std::string fname;               // e.g. "normalize"
    std::vector<std::string> names;  // parameter names in order
    std::vector<DefaultValue> defaults;
    std::size_t nrequired = 0;
};

// Parses a parameter list such as `path, min_freq=1, checkpoint_dir=None`. Throws
// std::logic_error for a default it cannot read (a fault of the table, found at import).
Signature parse_signature(const char* name, const char* params);

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
    // str, or None (and an omitted argument whose default is None) as nullopt.
    std::optional<std::string> opt_string(std::size_t i) const;
    // An omitted optional argument takes the signature's default.
    bool flag(std::size_t i) const;
    std::size_t usize(std::size_t i) const;
    std::uint64_t u64(std::size_t i) const;
    // A str argument, or the signature's default string when omitted.
    std::string string_or_default(std::size_t i) const;
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
    // The default of an omitted argument; it must be of the kind the converter reads.
    const DefaultValue& default_of(std::size_t i, DefaultValue::Kind kind) const;
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

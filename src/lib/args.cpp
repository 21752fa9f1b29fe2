#include "lib/args.hpp"

#include <cstring>
#include <stdexcept>

#include "lib/boundary.hpp"

namespace larkspur::py {

namespace {

const char* type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

[[noreturn]] void raise(PyObject* type, const std::string& msg) {
    PyErr_SetString(type, msg.c_str());
    throw ErrorAlreadySet{};
}

bool is_text_like(PyObject* o) { return PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o); }

std::string_view utf8_view(PyObject* s) {
    Py_ssize_t n;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) throw ErrorAlreadySet{};
    return std::string_view(p, static_cast<std::size_t>(n));
}

// The items of a sequence argument, held so that no callback can pull them away: the
// conversions below may run the caller's code (__index__, __float__), which could empty
// or refill a list or dict being walked and free the borrowed items. A list is copied to
// a tuple of strong references, any other sequence is turned into a list of our own.
Ref stable_sequence(PyObject* o) {
    PyObject* seq = PyList_Check(o) ? PyList_AsTuple(o) : PySequence_Fast(o, "expected a sequence");
    if (!seq) throw ErrorAlreadySet{};
    return Ref::steal(seq);
}

// A dict's (key, value) pairs as a list of our own, for the same reason.
Ref stable_items(PyObject* dict) {
    PyObject* items = PyDict_Items(dict);
    if (!items) throw ErrorAlreadySet{};
    return Ref::steal(items);
}

// Walks the stable items of a dict: f(key, value).
template <class F>
void for_each_item(PyObject* dict, F&& f) {
    Ref items = stable_items(dict);
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(items.get()); ++k) {
        PyObject* pair = PyList_GET_ITEM(items.get(), k);
        f(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1));
    }
}

// Plain conversions used inside dict arguments, whose messages do not name the argument.
std::string plain_str(PyObject* o) {
    if (!PyUnicode_Check(o)) raise(PyExc_TypeError, std::string("'") + type_name(o) + "' object cannot be converted to 'str'");
    return std::string(utf8_view(o));
}

}  // namespace

Args::Args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) : sig_(sig) {
    parse(sig, args, nargs, kwnames, kwnames ? args + nargs : nullptr, nullptr);
}

Args::Args(const Signature& sig, PyObject* args, PyObject* kwargs) : sig_(sig) {
    parse(sig, args ? &PyTuple_GET_ITEM(args, 0) : nullptr, args ? PyTuple_GET_SIZE(args) : 0, nullptr,
          nullptr, kwargs);
}

void Args::parse(const Signature& sig, PyObject* const* pos, Py_ssize_t npos, PyObject* kwnames,
                 PyObject* const* kwvalues, PyObject* kwdict) {
    const std::size_t n = sig.names.size();
    if (static_cast<std::size_t>(npos) > n) {
        if (n == 0) {
            raise(PyExc_TypeError, sig.fname + "() takes no arguments (" + std::to_string(npos) + " given)");
        }
        raise(PyExc_TypeError, sig.fname + "() takes at most " + std::to_string(n) + " argument" +
                                   (n == 1 ? "" : "s") + " (" + std::to_string(npos) + " given)");
    }
    for (Py_ssize_t i = 0; i < npos; ++i) slots_[i] = pos[i];
    auto place = [&](PyObject* key, PyObject* value) {
        if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
        std::string_view k = utf8_view(key);
        for (std::size_t j = 0; j < n; ++j) {
            if (k != sig.names[j]) continue;
            if (slots_[j]) {
                raise(PyExc_TypeError, "argument for " + sig.fname + "() given by name ('" + std::string(k) +
                                           "') and position (" + std::to_string(j + 1) + ")");
            }
            slots_[j] = value;
            return;
        }
        raise(PyExc_TypeError, sig.fname + "() got an unexpected keyword argument '" + std::string(k) + "'");
    };
    if (kwnames) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) place(PyTuple_GET_ITEM(kwnames, i), kwvalues[i]);
    }
    if (kwdict) {
        Py_ssize_t it = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwdict, &it, &key, &value)) place(key, value);
    }
    for (std::size_t j = 0; j < sig.nrequired; ++j) {
        if (!slots_[j]) {
            raise(PyExc_TypeError, sig.fname + "() missing required argument '" + sig.names[j] + "' (pos " +
                                       std::to_string(j + 1) + ")");
        }
    }
}

void Args::fail(PyObject* type, std::size_t i, const std::string& detail) const {
    raise(type, sig_.fname + "() argument '" + sig_.names[i] + "'" + detail);
}

void Args::wrong_type(std::size_t i, const char* expected, PyObject* got) const {
    fail(PyExc_TypeError, i, std::string(" must be ") + expected + ", not " + type_name(got));
}

std::string_view Args::str(std::size_t i) const {
    PyObject* o = slots_[i];
    if (!PyUnicode_Check(o)) wrong_type(i, "str", o);
    return utf8_view(o);
}

PyObject* Args::str_object(std::size_t i) const {
    PyObject* o = slots_[i];
    if (!PyUnicode_Check(o)) wrong_type(i, "str", o);
    return o;
}

std::optional<std::string> Args::opt_string(std::size_t i) const {
    if (!slots_[i]) {
        default_of(i, DefaultValue::Kind::None);
        return std::nullopt;
    }
    if (slots_[i] == Py_None) return std::nullopt;
    return string(i);
}

std::string Args::string_or_default(std::size_t i) const {
    if (!slots_[i]) return default_of(i, DefaultValue::Kind::Str).text;
    return string(i);
}

const DefaultValue& Args::default_of(std::size_t i, DefaultValue::Kind kind) const {
    const DefaultValue& d = sig_.defaults[i];
    if (d.kind != kind) {
        throw std::logic_error(sig_.fname + "(): the default of '" + sig_.names[i] + "' does not fit its converter");
    }
    return d;
}

namespace {

DefaultValue parse_default(const std::string& text) {
    DefaultValue d;
    if (text == "None") {
        d.kind = DefaultValue::Kind::None;
    } else if (text == "True" || text == "False") {
        d.kind = DefaultValue::Kind::Bool;
        d.flag = text == "True";
    } else if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        d.kind = DefaultValue::Kind::Str;
        d.text = text.substr(1, text.size() - 2);
    } else if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
        d.kind = DefaultValue::Kind::Int;
        d.number = std::stoull(text);
    } else {
        throw std::logic_error("unreadable default value: " + text);
    }
    return d;
}

}  // namespace

Signature parse_signature(const char* name, const char* params) {
    Signature s;
    s.fname = name;
    const std::string p = params;
    bool seen_default = false;
    std::size_t from = 0;
    while (from < p.size()) {
        const std::size_t comma = p.find(", ", from);
        std::string item = p.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
        const std::size_t eq = item.find('=');
        if (eq == std::string::npos) {
            if (seen_default) throw std::logic_error(std::string(name) + ": a required parameter after a default");
            ++s.nrequired;
            s.defaults.emplace_back();
        } else {
            seen_default = true;
            s.defaults.push_back(parse_default(item.substr(eq + 1)));
            item.resize(eq);
        }
        s.names.push_back(item);
        if (comma == std::string::npos) break;
        from = comma + 2;
    }
    if (s.names.size() > Args::kMax) throw std::logic_error(std::string(name) + ": more parameters than Args::kMax");
    return s;
}

bool Args::flag(std::size_t i) const {
    PyObject* o = slots_[i];
    if (!o) return default_of(i, DefaultValue::Kind::Bool).flag;
    if (!PyBool_Check(o)) wrong_type(i, "bool", o);
    return o == Py_True;
}

std::uint64_t Args::int_value(std::size_t i, PyObject* o, const std::string& where) const {
    if (PyFloat_Check(o) || !PyIndex_Check(o)) {
        fail(PyExc_TypeError, i, where + " must be int, not " + type_name(o));
    }
    Ref idx = Ref::steal(PyNumber_Index(o));
    if (!idx) throw ErrorAlreadySet{};  // the object's __index__ raised
    int overflow = 0;
    long long small = PyLong_AsLongLongAndOverflow(idx.get(), &overflow);
    if (overflow < 0 || (overflow == 0 && small < 0)) {
        fail(PyExc_OverflowError, i, where + ": can't convert negative int to unsigned");
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        fail(PyExc_OverflowError, i, where + ": int too big to convert");
    }
    return v;
}

double Args::float_value(std::size_t i, PyObject* o, const std::string& where) const {
    if (!PyFloat_Check(o) && !PyLong_Check(o)) {
        fail(PyExc_TypeError, i, where + " must be float, not " + type_name(o));
    }
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) {
        // An int subclass's own __float__ may raise anything: let that through.
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw ErrorAlreadySet{};
        PyErr_Clear();
        fail(PyExc_OverflowError, i, where + ": int too large to convert to float");
    }
    return v;
}

std::size_t Args::usize(std::size_t i) const {
    if (!slots_[i]) return static_cast<std::size_t>(default_of(i, DefaultValue::Kind::Int).number);
    static_assert(sizeof(std::size_t) == sizeof(std::uint64_t), "machine words are 64-bit here");
    return static_cast<std::size_t>(int_value(i, slots_[i], ""));
}

std::uint64_t Args::u64(std::size_t i) const {
    if (!slots_[i]) return default_of(i, DefaultValue::Kind::Int).number;
    return int_value(i, slots_[i], "");
}

double Args::f64(std::size_t i) const { return float_value(i, slots_[i], ""); }

char32_t Args::character(std::size_t i) const {
    PyObject* o = slots_[i];
    if (!PyUnicode_Check(o)) wrong_type(i, "a str of length 1", o);
    if (PyUnicode_GET_LENGTH(o) != 1) {
        fail(PyExc_TypeError, i, " must be a str of length 1, not a str of length " +
                                     std::to_string(PyUnicode_GET_LENGTH(o)));
    }
    const Py_UCS4 c = PyUnicode_READ_CHAR(o, 0);
    if (c >= 0xD800 && c <= 0xDFFF) {
        // A lone surrogate is no character of any text: refuse it the way every other
        // text argument is refused, with the codec's own error.
        Py_ssize_t n;
        if (!PyUnicode_AsUTF8AndSize(o, &n)) throw ErrorAlreadySet{};
    }
    return static_cast<char32_t>(c);
}

void Args::check_sequence(std::size_t i) const {
    PyObject* o = slots_[i];
    if (is_text_like(o)) {
        fail(PyExc_TypeError, i, std::string(" must be a sequence, not ") + type_name(o) +
                                     " (a str is not accepted where a sequence is expected)");
    }
    if (!PySequence_Check(o) || PyDict_Check(o)) wrong_type(i, "a sequence", o);
}

Ref Args::sequence(std::size_t i) const {
    check_sequence(i);
    return stable_sequence(slots_[i]);
}

std::vector<std::string> Args::str_list(std::size_t i) const {
    Ref seq = sequence(i);
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), k);
        if (!PyUnicode_Check(item)) {
            fail(PyExc_TypeError, i, " item " + std::to_string(k) + " must be str, not " + type_name(item));
        }
        out.emplace_back(utf8_view(item));
    }
    return out;
}

void Args::ids_of(std::size_t i, PyObject* o, const std::string& where, std::vector<std::size_t>& out) const {
    // Positions read " item k" at the top level and "[k]" inside an item.
    auto position = [&](Py_ssize_t k) {
        return where.empty() ? " item " + std::to_string(k) : where + "[" + std::to_string(k) + "]";
    };
    auto one = [&](PyObject* item, Py_ssize_t k) {
        if (PyLong_CheckExact(item)) {
            // Plain ints, the usual case, convert without running any of the caller's code.
            int overflow;
            long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
            if (!overflow && v >= 0) {
                out.push_back(static_cast<std::size_t>(v));
                return;
            }
        }
        // Anything else may run __index__, which may change the list: hold the item.
        Ref hold = Ref::borrow(item);
        out.push_back(static_cast<std::size_t>(int_value(i, item, position(k))));
    };
    if (PyList_Check(o)) {
        // Walked in place (a copy would cost a third of decode's time), re-reading the
        // length at every step in case a callback shortened the list.
        out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(o)));
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(o); ++k) one(PyList_GET_ITEM(o, k), k);
        return;
    }
    Ref seq = stable_sequence(o);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) one(PySequence_Fast_GET_ITEM(seq.get(), k), k);
}

std::vector<std::size_t> Args::id_list(std::size_t i) const {
    check_sequence(i);
    std::vector<std::size_t> out;
    ids_of(i, slots_[i], "", out);
    return out;
}

std::vector<std::vector<std::size_t>> Args::id_lists(std::size_t i) const {
    Ref seq = sequence(i);
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    std::vector<std::vector<std::size_t>> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* inner = PySequence_Fast_GET_ITEM(seq.get(), k);
        std::string where = " item " + std::to_string(k);
        if (is_text_like(inner) || !PySequence_Check(inner) || PyDict_Check(inner)) {
            fail(PyExc_TypeError, i, where + " must be a sequence of int, not " + type_name(inner));
        }
        std::vector<std::size_t> ids;
        ids_of(i, inner, where, ids);
        out.push_back(std::move(ids));
    }
    return out;
}

std::vector<std::pair<std::size_t, std::string>> Args::id_str_pairs(std::size_t i) const {
    Ref seq = sequence(i);
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    std::vector<std::pair<std::size_t, std::string>> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), k);
        std::string where = " item " + std::to_string(k);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
            fail(PyExc_TypeError, i, where + " must be a 2-tuple (int, str), not " + type_name(item));
        }
        std::size_t id = static_cast<std::size_t>(int_value(i, PyTuple_GET_ITEM(item, 0), where + "[0]"));
        PyObject* s = PyTuple_GET_ITEM(item, 1);
        if (!PyUnicode_Check(s)) fail(PyExc_TypeError, i, where + "[1] must be str, not " + type_name(s));
        out.emplace_back(id, std::string(utf8_view(s)));
    }
    return out;
}

std::vector<std::pair<std::string, double>> Args::str_float_pairs(std::size_t i) const {
    Ref seq = sequence(i);
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    std::vector<std::pair<std::string, double>> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), k);
        std::string where = " item " + std::to_string(k);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
            fail(PyExc_TypeError, i, where + " must be a 2-tuple (str, float), not " + type_name(item));
        }
        PyObject* s = PyTuple_GET_ITEM(item, 0);
        PyObject* c = PyTuple_GET_ITEM(item, 1);
        if (!PyUnicode_Check(s)) fail(PyExc_TypeError, i, where + "[0] must be str, not " + type_name(s));
        double v = float_value(i, c, where + "[1]");
        out.emplace_back(std::string(utf8_view(s)), v);
    }
    return out;
}

Lexicon Args::str_root_dict(std::size_t i) const {
    PyObject* o = slots_[i];
    if (!PyDict_Check(o)) wrong_type(i, "dict", o);
    Lexicon out;
    for_each_item(o, [&](PyObject* key, PyObject* value) {
        if (!PyUnicode_Check(key)) fail(PyExc_TypeError, i, std::string(" key must be str, not ") + type_name(key));
        std::string k(utf8_view(key));
        out[k] = static_cast<RootId>(int_value(i, value, "[" + k + "]"));
    });
    return out;
}

RootPrior Args::root_float_dict(std::size_t i) const {
    PyObject* o = slots_[i];
    if (!PyDict_Check(o)) wrong_type(i, "dict", o);
    RootPrior out;
    for_each_item(o, [&](PyObject* key, PyObject* value) {
        auto root = static_cast<RootId>(int_value(i, key, " key"));
        std::string where(1, '[');
        where += std::to_string(root);
        where += ']';
        out[root] = float_value(i, value, where);
    });
    return out;
}

Transitions Args::transitions(std::size_t i) const {
    PyObject* o = slots_[i];
    if (!PyDict_Check(o)) wrong_type(i, "dict", o);
    Transitions out;
    for_each_item(o, [&](PyObject* key, PyObject* value) {
        std::string k = plain_str(key);
        if (is_text_like(value)) {
            raise(PyExc_TypeError, std::string("'") + type_name(value) +
                                       "' object is not accepted where a sequence of str is expected");
        }
        if (!PySequence_Check(value) || PyDict_Check(value)) {
            raise(PyExc_TypeError, std::string("'") + type_name(value) + "' object is not a sequence of str");
        }
        Ref seq = stable_sequence(value);
        StringSet nexts;
        for (Py_ssize_t k2 = 0; k2 < PySequence_Fast_GET_SIZE(seq.get()); ++k2) {
            nexts.insert(plain_str(PySequence_Fast_GET_ITEM(seq.get(), k2)));
        }
        out[k] = std::move(nexts);
    });
    return out;
}

Normalizer::RulePairs Args::rules(std::size_t i) const {
    if (!slots_[i] || slots_[i] == Py_None) return {};
    Ref seq = sequence(i);
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    Normalizer::RulePairs out;
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), k);
        std::string where = " item " + std::to_string(k);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
            fail(PyExc_TypeError, i, where + " must be a 2-tuple (str, str), not " + type_name(item));
        }
        PyObject* a = PyTuple_GET_ITEM(item, 0);
        PyObject* b = PyTuple_GET_ITEM(item, 1);
        if (!PyUnicode_Check(a)) fail(PyExc_TypeError, i, where + "[0] must be str, not " + type_name(a));
        if (!PyUnicode_Check(b)) fail(PyExc_TypeError, i, where + "[1] must be str, not " + type_name(b));
        out.emplace_back(std::string(utf8_view(a)), std::string(utf8_view(b)));
    }
    return out;
}

}  // namespace larkspur::py

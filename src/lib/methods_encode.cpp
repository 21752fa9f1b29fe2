// Methods of encoding: encode, decode, the round-trip check and corpus statistics.
#include <algorithm>
#include <cstdint>

#include "common/utf8.hpp"
#include "lib/methods.hpp"

namespace larkspur::py {

namespace {

// Hands a str to the core in pieces of UTF-8 without making a UTF-8 copy of the whole
// text (CPython would keep one inside the str for the rest of its life).
class StrPieces {
   public:
    explicit StrPieces(PyObject* s)
        : s_(s), kind_(PyUnicode_KIND(s)), data_(PyUnicode_DATA(s)), length_(PyUnicode_GET_LENGTH(s)) {
        // Lone surrogates cannot be encoded: let CPython raise its usual error.
        const bool surrogates = kind_ == PyUnicode_2BYTE_KIND ? has_surrogate(static_cast<const Py_UCS2*>(data_))
                                : kind_ == PyUnicode_4BYTE_KIND ? has_surrogate(static_cast<const Py_UCS4*>(data_))
                                                                : false;
        if (surrogates) {
            Py_ssize_t n;
            if (!PyUnicode_AsUTF8AndSize(s_, &n)) throw ErrorAlreadySet{};
        }
    }

    bool next(std::string& out) {
        const Py_ssize_t end = std::min(length_, pos_ + kPiece);
        if (PyUnicode_IS_ASCII(s_)) {
            out.append(static_cast<const char*>(data_) + pos_, static_cast<std::size_t>(end - pos_));
        } else if (kind_ == PyUnicode_1BYTE_KIND) {
            append_utf8(out, static_cast<const Py_UCS1*>(data_) + pos_, end - pos_);
        } else if (kind_ == PyUnicode_2BYTE_KIND) {
            append_utf8(out, static_cast<const Py_UCS2*>(data_) + pos_, end - pos_);
        } else {
            append_utf8(out, static_cast<const Py_UCS4*>(data_) + pos_, end - pos_);
        }
        pos_ = end;
        return pos_ < length_;
    }

   private:
    // Branch-free over the whole text, so that the compiler can vectorize the scan.
    template <class Unit>
    bool has_surrogate(const Unit* d) const {
        bool any = false;
        for (Py_ssize_t i = 0; i < length_; ++i) any |= static_cast<std::uint32_t>(d[i]) - 0xD800u < 0x800u;
        return any;
    }

    template <class Unit>
    static void append_utf8(std::string& out, const Unit* src, Py_ssize_t n) {
        utf8::append_units(out, src, static_cast<std::size_t>(n));
    }

    static constexpr Py_ssize_t kPiece = 1 << 16;
    PyObject* s_;
    int kind_;
    const void* data_;
    Py_ssize_t length_, pos_ = 0;
};

PyObject* cached_int_list(PyObject* self) {
    auto* obj = reinterpret_cast<TokenizerObject*>(self);
    const Tokenizer& t = state_of(self);
    if (obj->int_cache && obj->int_cache_generation == t.vocab_generation()) return obj->int_cache;
    const std::size_t n = t.vocab_size();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* o = PyLong_FromSize_t(i);
        if (!o) throw ErrorAlreadySet{};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), o);
    }
    Py_XSETREF(obj->int_cache, list.release());
    obj->int_cache_generation = t.vocab_generation();
    return obj->int_cache;
}

}  // namespace

LARKSPUR_METHOD(encode) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(encode), args, nargs, kwnames);
        PyObject* text = a.str_object(0);
        SharedBorrow borrow(borrow_of(self));
        StrPieces pieces(text);
        PyObject* ints = cached_int_list(self);
        const Py_ssize_t known = PyList_GET_SIZE(ints);
        Ref out = Ref::steal(PyList_New(0));
        state_of(self).encode_stream([&](std::string& buf) { return pieces.next(buf); },
                                     [&](std::span<const TokenId> ids) {
                                         for (TokenId id : ids) {
                                             Ref item = static_cast<Py_ssize_t>(id) < known
                                                            ? Ref::borrow(PyList_GET_ITEM(ints, id))
                                                            : Ref::steal(PyLong_FromSize_t(id));
                                             if (PyList_Append(out.get(), item.get()) < 0) {
                                                 throw ErrorAlreadySet{};
                                             }
                                         }
                                     });
        return out.release();
    });
}

LARKSPUR_METHOD(decode) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(decode), args, nargs, kwnames);
        std::vector<TokenId> ids = a.id_list(0);
        SharedBorrow borrow(borrow_of(self));
        return to_py_str(state_of(self).decode(ids));
    });
}

LARKSPUR_METHOD(verify_roundtrip) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(verify_roundtrip), args, nargs, kwnames);
        std::string_view s = a.str(0);
        SharedBorrow borrow(borrow_of(self));
        return to_py_bool(state_of(self).verify_roundtrip(s));
    });
}

LARKSPUR_METHOD(tokenize_to_strings) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(tokenize_to_strings), args, nargs, kwnames);
        std::string_view text = a.str(0);
        SharedBorrow borrow(borrow_of(self));
        return to_py_str_list(state_of(self).tokenize_to_strings(text));
    });
}

LARKSPUR_METHOD(corpus_stats) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(corpus_stats), args, nargs, kwnames);
        std::vector<std::string> texts = a.str_list(0);
        SharedBorrow borrow(borrow_of(self));
        CorpusStats s = state_of(self).corpus_stats(texts);
        return DictBuilder()
            .put("texts", to_py_int(s.texts))
            .put("tokens", to_py_int(s.tokens))
            .put("words", to_py_int(s.words))
            .put("chars", to_py_int(s.chars))
            .put("bytes", to_py_int(s.bytes))
            .put("fertility", PyFloat_FromDouble(s.fertility))
            .put("tokens_per_char", PyFloat_FromDouble(s.tokens_per_char))
            .put("byte_fallback_rate", PyFloat_FromDouble(s.byte_fallback_rate))
            .put("roundtrip_pass_rate", PyFloat_FromDouble(s.roundtrip_pass_rate))
            .put("vocab_size", to_py_int(s.vocab_size))
            .put("dev_budget_share", PyFloat_FromDouble(s.dev_budget_share))
            .put("lat_budget_share", PyFloat_FromDouble(s.lat_budget_share))
            .release();
    });
}

}  // namespace larkspur::py

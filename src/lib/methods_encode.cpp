// Methods of encoding: encode, decode, the round-trip check and corpus statistics.
#include "lib/methods.hpp"

namespace larkspur::py {

LARKSPUR_METHOD(encode) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(encode), args, nargs, kwnames);
        std::string_view text = a.str(0);
        SharedBorrow borrow(borrow_of(self));
        return to_py_id_list(state_of(self).encode(text));
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
        Ref dict = Ref::steal(PyDict_New());
        auto put = [&](const char* key, PyObject* value) {
            Ref v = Ref::steal(value);
            if (PyDict_SetItemString(dict.get(), key, v.get()) < 0) throw ErrorAlreadySet{};
        };
        put("texts", to_py_int(s.texts));
        put("tokens", to_py_int(s.tokens));
        put("words", to_py_int(s.words));
        put("chars", to_py_int(s.chars));
        put("bytes", to_py_int(s.bytes));
        put("fertility", PyFloat_FromDouble(s.fertility));
        put("tokens_per_char", PyFloat_FromDouble(s.tokens_per_char));
        put("byte_fallback_rate", PyFloat_FromDouble(s.byte_fallback_rate));
        put("roundtrip_pass_rate", PyFloat_FromDouble(s.roundtrip_pass_rate));
        put("vocab_size", to_py_int(s.vocab_size));
        put("dev_budget_share", PyFloat_FromDouble(s.dev_budget_share));
        put("lat_budget_share", PyFloat_FromDouble(s.lat_budget_share));
        return dict.release();
    });
}

}  // namespace larkspur::py

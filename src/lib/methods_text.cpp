// Methods of the text front end: fold mode, normalizer and akshara automaton.
#include "lib/methods.hpp"

namespace larkspur::py {

LARKSPUR_METHOD(fold_mode) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(fold_mode), args, nargs, kwnames);
        SharedBorrow borrow(borrow_of(self));
        return to_py_str(fold_mode_name(state_of(self).fold_mode()));
    });
}

LARKSPUR_METHOD(normalize) {
    return guarded([&]() -> PyObject* {
        Args a(LARKSPUR_SIG(normalize), args, nargs, kwnames);
        std::string_view s = a.str(0);
        SharedBorrow borrow(borrow_of(self));
        NormalizeScratch scratch;
        std::string_view n = state_of(self).normalize(s, scratch);
        if (n.data() == s.data() && n.size() == s.size()) {
            // Already normal: the input string itself is the answer (str is immutable).
            Py_INCREF(a.get(0));
            return a.get(0);
        }
        return to_py_str(n);
    });
}

LARKSPUR_METHOD(validate_folding_rules) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(validate_folding_rules), args, nargs, kwnames);
        SharedBorrow borrow(borrow_of(self));
        return to_py_str_list(state_of(self).validate_folding_rules());
    });
}

LARKSPUR_METHOD(harvest_aksharas) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(harvest_aksharas), args, nargs, kwnames);
        std::string path = a.string(0);
        std::uint64_t min_freq = a.u64(1);
        SharedBorrow borrow(borrow_of(self));
        std::vector<std::string> aksharas;
        {
            ReleaseGil nogil;
            aksharas = state_of(self).harvest_aksharas(path, min_freq);
        }
        return to_py_str_list(aksharas);
    });
}

LARKSPUR_METHOD(clear_dfa) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(clear_dfa), args, nargs, kwnames);
        ExclusiveBorrow borrow(borrow_of(self));
        state_of(self).clear_dfa();
        return to_py_none();
    });
}

LARKSPUR_METHOD(add_dfa_transition) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(add_dfa_transition), args, nargs, kwnames);
        std::size_t state = a.usize(0);
        char32_t ch = a.character(1);
        std::size_t next = a.usize(2);
        bool accepting = a.flag(3);
        ExclusiveBorrow borrow(borrow_of(self));
        state_of(self).add_dfa_transition(state, ch, next, accepting);
        return to_py_none();
    });
}

LARKSPUR_METHOD(dfa_has_transition) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(dfa_has_transition), args, nargs, kwnames);
        std::size_t state = a.usize(0);
        char32_t ch = a.character(1);
        SharedBorrow borrow(borrow_of(self));
        return to_py_bool(state_of(self).dfa_has_transition(state, ch));
    });
}

LARKSPUR_METHOD(dfa_get_transitions) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(dfa_get_transitions), args, nargs, kwnames);
        std::size_t state = a.usize(0);
        SharedBorrow borrow(borrow_of(self));
        auto transitions = state_of(self).dfa_transitions(state);
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(transitions.size())));
        for (std::size_t i = 0; i < transitions.size(); ++i) {
            auto [ch, next, accepting] = transitions[i];
            Ref c = Ref::steal(PyUnicode_FromOrdinal(static_cast<int>(ch)));
            Ref n = Ref::steal(to_py_int(next));
            PyObject* tuple = PyTuple_Pack(3, c.get(), n.get(), accepting ? Py_True : Py_False);
            if (!tuple) throw ErrorAlreadySet{};
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple);
        }
        return list.release();
    });
}

LARKSPUR_METHOD(dfa_tokenize_debug) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(dfa_tokenize_debug), args, nargs, kwnames);
        std::string_view text = a.str(0);
        SharedBorrow borrow(borrow_of(self));
        return to_py_str_list(state_of(self).dfa_tokenize(text));
    });
}

}  // namespace larkspur::py

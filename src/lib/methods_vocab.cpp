// Methods of the vocabulary: reading it, seeding and loading it, paradigms and root sets,
// the paradigm embedding and the vocabulary file.
#include "common/errors.hpp"
#include "lib/methods.hpp"
#include "vocab/vocab_tsv.hpp"

namespace larkspur::py {

LARKSPUR_METHOD(initialize_vocab) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(initialize_vocab), args, nargs, kwnames);
        SeedLists lists{a.str_list(0), a.str_list(1), a.str_list(2), a.str_list(3), a.str_list(4)};
        ExclusiveBorrow borrow(borrow_of(self));
        return to_py_int(state_of(self).initialize_vocab(lists));
    });
}

LARKSPUR_METHOD(vocab_contains) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(vocab_contains), args, nargs, kwnames);
        std::string_view s = a.str(0);
        SharedBorrow borrow(borrow_of(self));
        return to_py_bool(state_of(self).find(s).has_value());
    });
}

LARKSPUR_METHOD(vocab_get_id) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(vocab_get_id), args, nargs, kwnames);
        std::string_view s = a.str(0);
        SharedBorrow borrow(borrow_of(self));
        auto id = state_of(self).find(s);
        return id ? to_py_int(*id) : to_py_none();
    });
}

LARKSPUR_METHOD(vocab_get_surface) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(vocab_get_surface), args, nargs, kwnames);
        std::size_t id = a.usize(0);
        SharedBorrow borrow(borrow_of(self));
        return to_py_str(state_of(self).surface(id));
    });
}

LARKSPUR_METHOD(get_token_surface) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(get_token_surface), args, nargs, kwnames);
        std::size_t id = a.usize(0);
        SharedBorrow borrow(borrow_of(self));
        return to_py_str(state_of(self).surface(id));
    });
}

LARKSPUR_METHOD(vocab_size) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(vocab_size), args, nargs, kwnames);
        SharedBorrow borrow(borrow_of(self));
        return to_py_int(state_of(self).vocab_size());
    });
}

LARKSPUR_METHOD(get_vocab_dict) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(get_vocab_dict), args, nargs, kwnames);
        SharedBorrow borrow(borrow_of(self));
        Ref dict = Ref::steal(PyDict_New());
        state_of(self).for_each_surface([&](TokenId id, std::string_view surface) {
            Ref key = Ref::steal(to_py_str(surface));
            Ref value = Ref::steal(to_py_int(id));
            if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw ErrorAlreadySet{};
        });
        return dict.release();
    });
}

LARKSPUR_METHOD(script_ids) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(script_ids), args, nargs, kwnames);
        SharedBorrow borrow(borrow_of(self));
        std::vector<std::uint8_t> s = state_of(self).script_ids();
        PyObject* b = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(s.data()),
                                                static_cast<Py_ssize_t>(s.size()));
        if (!b) throw ErrorAlreadySet{};
        return b;
    });
}

LARKSPUR_METHOD(load_vocab) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(load_vocab), args, nargs, kwnames);
        auto pairs = a.id_str_pairs(0);
        ExclusiveBorrow borrow(borrow_of(self));
        return to_py_int(state_of(self).load_vocab(std::move(pairs)));
    });
}

LARKSPUR_METHOD(set_token_weight) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(set_token_weight), args, nargs, kwnames);
        std::string_view surface = a.str(0);
        double weight = a.f64(1);
        ExclusiveBorrow borrow(borrow_of(self));
        return to_py_bool(state_of(self).set_token_weight(surface, weight));
    });
}

LARKSPUR_METHOD(set_root_prior) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(set_root_prior), args, nargs, kwnames);
        RootPrior prior = a.root_float_dict(0);
        ExclusiveBorrow borrow(borrow_of(self));
        state_of(self).set_root_prior(std::move(prior));
        return to_py_none();
    });
}

LARKSPUR_METHOD(induce_ambiguous_seeds) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(induce_ambiguous_seeds), args, nargs, kwnames);
        auto candidates = a.str_float_pairs(0);
        double c_lo = a.f64(1);
        ExclusiveBorrow borrow(borrow_of(self));
        return to_py_int(state_of(self).induce_ambiguous_seeds(candidates, c_lo));
    });
}

LARKSPUR_METHOD(promote_to_strict) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(promote_to_strict), args, nargs, kwnames);
        std::string_view surface = a.str(0);
        bool validated = a.flag(1);
        ExclusiveBorrow borrow(borrow_of(self));
        return to_py_bool(state_of(self).promote_to_strict(surface, validated));
    });
}

LARKSPUR_METHOD(enable_probabilistic_k) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(enable_probabilistic_k), args, nargs, kwnames);
        bool enabled = a.flag(0);
        std::size_t cap = a.usize(1);
        ExclusiveBorrow borrow(borrow_of(self));
        state_of(self).enable_probabilistic_k(enabled, cap);
        return to_py_none();
    });
}

LARKSPUR_METHOD(add_paradigm) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(add_paradigm), args, nargs, kwnames);
        std::size_t root = a.usize(0);
        Transitions transitions = a.transitions(1);
        ExclusiveBorrow borrow(borrow_of(self));
        state_of(self).add_paradigm(root, std::move(transitions));
        return to_py_none();
    });
}

LARKSPUR_METHOD(set_lexicon) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(set_lexicon), args, nargs, kwnames);
        Lexicon lexicon = a.str_root_dict(0);
        ExclusiveBorrow borrow(borrow_of(self));
        state_of(self).set_lexicon(std::move(lexicon));
        return to_py_none();
    });
}

LARKSPUR_METHOD(assign_initial_roots) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(assign_initial_roots), args, nargs, kwnames);
        ExclusiveBorrow borrow(borrow_of(self));
        state_of(self).assign_initial_roots();
        return to_py_none();
    });
}

LARKSPUR_METHOD(get_root_set) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(get_root_set), args, nargs, kwnames);
        std::string_view surface = a.str(0);
        SharedBorrow borrow(borrow_of(self));
        return to_py_id_list(state_of(self).root_set(surface));
    });
}

LARKSPUR_METHOD(build_paradigm_embedding) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(build_paradigm_embedding), args, nargs, kwnames);
        bool by_prior = a.flag(0);
        ExclusiveBorrow borrow(borrow_of(self));
        return to_py_int(state_of(self).build_paradigm_embedding(by_prior));
    });
}

LARKSPUR_METHOD(paradigm_embedding_ids) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(paradigm_embedding_ids), args, nargs, kwnames);
        SharedBorrow borrow(borrow_of(self));
        std::vector<std::int64_t> u = state_of(self).paradigm_embedding_ids();
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(u.size())));
        for (std::size_t i = 0; i < u.size(); ++i) {
            PyObject* o = PyLong_FromLongLong(u[i]);
            if (!o) throw ErrorAlreadySet{};
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), o);
        }
        return list.release();
    });
}

LARKSPUR_METHOD(escape_tsv) {
    (void)self;  // a static method: there is no object
    return guarded([&] {
        Args a(LARKSPUR_SIG(escape_tsv), args, nargs, kwnames);
        return to_py_str(larkspur::escape_tsv(a.str(0)));
    });
}

LARKSPUR_METHOD(load_vocab_tsv) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(load_vocab_tsv), args, nargs, kwnames);
        std::string path = a.string(0);
        bool allow = a.flag(1);
        ExclusiveBorrow borrow(borrow_of(self));
        return to_py_int(state_of(self).load_vocab_tsv(path, allow));
    });
}

LARKSPUR_METHOD(save_vocab_tsv) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(save_vocab_tsv), args, nargs, kwnames);
        std::string path = a.string(0);
        SharedBorrow borrow(borrow_of(self));
        state_of(self).save_vocab_tsv(path);
        return to_py_none();
    });
}

}  // namespace larkspur::py

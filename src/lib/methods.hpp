// Shared declarations of the binding: the object layout, the method entry points (one
// file per subsystem defines them) and the helpers every method uses.
#pragma once

#include "lib/args.hpp"
#include "lib/boundary.hpp"
#include "lib/method_docs.hpp"
#include "tokenizer/tokenizer.hpp"

namespace larkspur::py {

struct TokenizerObject {
    PyObject_HEAD
    BorrowFlag borrow;
    Tokenizer* state;
    // The int objects 0..n-1 for the current vocabulary, shared by encode results instead
    // of one new int per id; rebuilt when the vocabulary changes.
    PyObject* int_cache;
    std::uint64_t int_cache_generation;
};

// The class, made for one module object; a new reference, or NULL with the error set.
PyObject* create_tokenizer_type(PyObject* module);

inline Tokenizer& state_of(PyObject* self) { return *reinterpret_cast<TokenizerObject*>(self)->state; }
inline BorrowFlag& borrow_of(PyObject* self) { return reinterpret_cast<TokenizerObject*>(self)->borrow; }

// Parsed signature of method `index` of the table.
const Signature& signature(std::size_t index);
const Signature& constructor_signature();

// Python values from C++ ones; each returns a new reference or throws ErrorAlreadySet.
PyObject* to_py_str(std::string_view s);
PyObject* to_py_bool(bool b);
PyObject* to_py_none();
PyObject* to_py_int(std::uint64_t v);
PyObject* to_py_str_list(const std::vector<std::string>& v);
PyObject* to_py_id_list(const std::vector<TokenId>& v);

// Builds a dict in insertion order; each value is a new reference (NULL on error).
class DictBuilder {
   public:
    DictBuilder() : dict_(Ref::steal(PyDict_New())) {}
    DictBuilder& put(const char* key, PyObject* value) {
        Ref v = Ref::steal(value);
        if (PyDict_SetItemString(dict_.get(), key, v.get()) < 0) throw ErrorAlreadySet{};
        return *this;
    }
    PyObject* release() { return dict_.release(); }

   private:
    Ref dict_;
};

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

#define LARKSPUR_METHOD(name) PyObject* m_##name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

// methods_text.cpp
LARKSPUR_METHOD(fold_mode);
LARKSPUR_METHOD(normalize);
LARKSPUR_METHOD(validate_folding_rules);
LARKSPUR_METHOD(harvest_aksharas);
LARKSPUR_METHOD(clear_dfa);
LARKSPUR_METHOD(add_dfa_transition);
LARKSPUR_METHOD(dfa_has_transition);
LARKSPUR_METHOD(dfa_get_transitions);
LARKSPUR_METHOD(dfa_tokenize_debug);
// methods_vocab.cpp
LARKSPUR_METHOD(initialize_vocab);
LARKSPUR_METHOD(vocab_contains);
LARKSPUR_METHOD(vocab_get_id);
LARKSPUR_METHOD(vocab_get_surface);
LARKSPUR_METHOD(vocab_size);
LARKSPUR_METHOD(add_paradigm);
LARKSPUR_METHOD(set_root_prior);
LARKSPUR_METHOD(set_token_weight);
LARKSPUR_METHOD(enable_probabilistic_k);
LARKSPUR_METHOD(assign_initial_roots);
LARKSPUR_METHOD(get_root_set);
LARKSPUR_METHOD(induce_ambiguous_seeds);
LARKSPUR_METHOD(promote_to_strict);
LARKSPUR_METHOD(set_lexicon);
LARKSPUR_METHOD(build_paradigm_embedding);
LARKSPUR_METHOD(paradigm_embedding_ids);
LARKSPUR_METHOD(script_ids);
LARKSPUR_METHOD(load_vocab);
LARKSPUR_METHOD(escape_tsv);
LARKSPUR_METHOD(load_vocab_tsv);
LARKSPUR_METHOD(save_vocab_tsv);
LARKSPUR_METHOD(get_token_surface);
LARKSPUR_METHOD(get_vocab_dict);
// methods_encode.cpp
LARKSPUR_METHOD(encode);
LARKSPUR_METHOD(decode);
LARKSPUR_METHOD(verify_roundtrip);
LARKSPUR_METHOD(corpus_stats);
LARKSPUR_METHOD(tokenize_to_strings);
// methods_train.cpp
LARKSPUR_METHOD(train_bpe);
LARKSPUR_METHOD(train_from_text);
LARKSPUR_METHOD(train_from_file);
LARKSPUR_METHOD(train_bilingual_from_file);
LARKSPUR_METHOD(train_latin_from_file);
LARKSPUR_METHOD(checkpoint_info);
LARKSPUR_METHOD(resume_from_checkpoint);

}  // namespace larkspur::py

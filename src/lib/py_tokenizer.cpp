// The PyLarkspurTokenization type: construction, destruction and the method table.
#include <memory>
#include <new>
#include <string>

#include "common/errors.hpp"
#include "lib/methods.hpp"

namespace larkspur::py {

namespace {

struct MethodEntry {
    const char* name;
    FastMethod fn;
};

// Must list the methods in the order of kMethodDocs (checked at compile time below).
constexpr MethodEntry kEntries[] = {
    {"fold_mode", m_fold_mode},
    {"normalize", m_normalize},
    {"validate_folding_rules", m_validate_folding_rules},
    {"encode", m_encode},
    {"decode", m_decode},
    {"verify_roundtrip", m_verify_roundtrip},
    {"initialize_vocab", m_initialize_vocab},
    {"harvest_aksharas", m_harvest_aksharas},
    {"clear_dfa", m_clear_dfa},
    {"add_dfa_transition", m_add_dfa_transition},
    {"dfa_has_transition", m_dfa_has_transition},
    {"dfa_get_transitions", m_dfa_get_transitions},
    {"dfa_tokenize_debug", m_dfa_tokenize_debug},
    {"vocab_contains", m_vocab_contains},
    {"vocab_get_id", m_vocab_get_id},
    {"vocab_get_surface", m_vocab_get_surface},
    {"vocab_size", m_vocab_size},
    {"add_paradigm", m_add_paradigm},
    {"set_root_prior", m_set_root_prior},
    {"set_token_weight", m_set_token_weight},
    {"enable_probabilistic_k", m_enable_probabilistic_k},
    {"assign_initial_roots", m_assign_initial_roots},
    {"get_root_set", m_get_root_set},
    {"induce_ambiguous_seeds", m_induce_ambiguous_seeds},
    {"promote_to_strict", m_promote_to_strict},
    {"set_lexicon", m_set_lexicon},
    {"build_paradigm_embedding", m_build_paradigm_embedding},
    {"paradigm_embedding_ids", m_paradigm_embedding_ids},
    {"script_ids", m_script_ids},
    {"train_bpe", m_train_bpe},
    {"train_from_text", m_train_from_text},
    {"train_from_file", m_train_from_file},
    {"train_bilingual_from_file", m_train_bilingual_from_file},
    {"train_latin_from_file", m_train_latin_from_file},
    {"checkpoint_info", m_checkpoint_info},
    {"resume_from_checkpoint", m_resume_from_checkpoint},
    {"corpus_stats", m_corpus_stats},
    {"load_vocab", m_load_vocab},
    {"escape_tsv", m_escape_tsv},
    {"load_vocab_tsv", m_load_vocab_tsv},
    {"save_vocab_tsv", m_save_vocab_tsv},
    {"get_token_surface", m_get_token_surface},
    {"get_vocab_dict", m_get_vocab_dict},
    {"tokenize_to_strings", m_tokenize_to_strings},
};

constexpr bool entries_match_docs() {
    if (sizeof(kEntries) / sizeof(kEntries[0]) != kMethodCount) return false;
    for (std::size_t i = 0; i < kMethodCount; ++i) {
        if (method_index(kEntries[i].name) != i) return false;
    }
    return true;
}
static_assert(entries_match_docs(), "method entries must follow the order of kMethodDocs");

constexpr std::size_t kStaticMethod = method_index("escape_tsv");

constexpr bool params_fit_args() {
    if (param_count(kConstructorParams) > Args::kMax) return false;
    for (const MethodDoc& d : kMethodDocs) {
        if (param_count(d.params) > Args::kMax) return false;
    }
    return true;
}
static_assert(params_fit_args(), "a signature has more parameters than Args can hold");

struct Tables {
    Signature sigs[kMethodCount];
    std::string docs[kMethodCount];
    PyMethodDef defs[kMethodCount + 1];
    Signature ctor;
    std::string class_doc;

    Tables() {
        for (std::size_t i = 0; i < kMethodCount; ++i) {
            const MethodDoc& d = kMethodDocs[i];
            sigs[i] = parse_signature(d.name, d.params);
            std::string params = d.params;
            if (i == kStaticMethod) {
                docs[i] = std::string(d.name) + "(" + params + ")\n--\n\n" + d.doc;
            } else {
                docs[i] = std::string(d.name) + "($self" + (params.empty() ? "" : ", " + params) +
                          ")\n--\n\n" + d.doc;
            }
            int flags = METH_FASTCALL | METH_KEYWORDS | (i == kStaticMethod ? METH_STATIC : 0);
            defs[i] = PyMethodDef{d.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kEntries[i].fn)),
                                  flags, docs[i].c_str()};
        }
        defs[kMethodCount] = PyMethodDef{nullptr, nullptr, 0, nullptr};
        ctor = parse_signature("PyLarkspurTokenization", kConstructorParams);
        class_doc = std::string("PyLarkspurTokenization(") + kConstructorParams + ")\n--\n\n";
    }
};

Tables& tables() {
    static Tables t;
    return t;
}

PyObject* tokenizer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Args a(constructor_signature(), args, kwargs);
        Normalizer::RulePairs folding = a.rules(0);
        Normalizer::RulePairs minimal = a.rules(1);
        auto mode = fold_mode_from_tag(a.string_or_default(2));
        if (!mode) throw Error(ErrorKind::Value, "mode must be 'LM' or 'OCR'");
        auto state = std::make_unique<Tokenizer>(*mode, folding, minimal);
        state->set_line_sink(python_stderr_sink());
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) throw ErrorAlreadySet{};
        auto* obj = reinterpret_cast<TokenizerObject*>(self);
        new (&obj->borrow) BorrowFlag(0);
        obj->state = state.release();
        obj->int_cache = nullptr;
        obj->int_cache_generation = 0;
        return self;
    });
}

// Instances are not tracked by the garbage collector: they refer to no object that could
// lead back to them (the int cache holds ints only), so they need no traverse or clear. An
// instance of a heap type holds a reference to its type, which it gives up last.
void tokenizer_dealloc(PyObject* self) {
    auto* obj = reinterpret_cast<TokenizerObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    delete obj->state;
    obj->state = nullptr;
    Py_CLEAR(obj->int_cache);
    obj->borrow.~BorrowFlag();
    type->tp_free(self);
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) Py_DECREF(type);
}

constexpr const char* kTypeName = "LarkspurTokenization.PyLarkspurTokenization";

#if PY_VERSION_HEX >= 0x030A0000

// A heap type, one per module object, immutable like a static type: attributes of the class
// cannot be set or deleted, and it is not an acceptable base type.
PyObject* make_type(PyObject* module, Tables& t) {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(t.class_doc.c_str())},
        {Py_tp_new, reinterpret_cast<void*>(tokenizer_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(tokenizer_dealloc)},
        {Py_tp_methods, t.defs},
        {0, nullptr},
    };
    PyType_Spec spec = {kTypeName, static_cast<int>(sizeof(TokenizerObject)), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &spec, nullptr));
    // The doc slot keeps the text signature, but a heap type's __doc__ is the rest of it as
    // a string, here the empty one, where a static type reads None for an empty doc text.
    // Set while the type is new, before any instance or lookup cache has seen it.
    PyObject* dict = reinterpret_cast<PyTypeObject*>(type.get())->tp_dict;
    if (PyDict_SetItemString(dict, "__doc__", Py_None) < 0) throw ErrorAlreadySet{};
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type.get()));
    return type.release();
}

#else

// Before 3.10 a heap type cannot be made immutable, so the class stays a static type there,
// shared by every module object of the process.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject static_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

PyObject* make_type(PyObject*, Tables& t) {
    if (!static_type.tp_name) {
        static_type.tp_name = kTypeName;
        static_type.tp_basicsize = sizeof(TokenizerObject);
        static_type.tp_flags = Py_TPFLAGS_DEFAULT;
        static_type.tp_doc = t.class_doc.c_str();
        static_type.tp_new = tokenizer_new;
        static_type.tp_dealloc = tokenizer_dealloc;
        static_type.tp_methods = t.defs;
        if (PyType_Ready(&static_type) < 0) {
            static_type.tp_name = nullptr;
            throw ErrorAlreadySet{};
        }
    }
    Py_INCREF(&static_type);
    return reinterpret_cast<PyObject*>(&static_type);
}

#endif

}  // namespace

const Signature& signature(std::size_t index) { return tables().sigs[index]; }
const Signature& constructor_signature() { return tables().ctor; }

PyObject* create_tokenizer_type(PyObject* module) {
    try {
        return make_type(module, tables());
    } catch (...) {
        return translate_exception();
    }
}

// ---- result conversion ------------------------------------------------------------------

PyObject* to_py_str(std::string_view s) {
    PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
    if (!o) throw ErrorAlreadySet{};
    return o;
}

PyObject* to_py_bool(bool b) {
    PyObject* o = b ? Py_True : Py_False;
    Py_INCREF(o);
    return o;
}

PyObject* to_py_none() {
    Py_INCREF(Py_None);
    return Py_None;
}

PyObject* to_py_int(std::uint64_t v) {
    PyObject* o = PyLong_FromUnsignedLongLong(v);
    if (!o) throw ErrorAlreadySet{};
    return o;
}

PyObject* to_py_str_list(const std::vector<std::string>& v) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(v.size())));
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_py_str(v[i]));
    }
    return list.release();
}

PyObject* to_py_id_list(const std::vector<TokenId>& v) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(v.size())));
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* o = PyLong_FromSize_t(v[i]);
        if (!o) throw ErrorAlreadySet{};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), o);
    }
    return list.release();
}

}  // namespace larkspur::py

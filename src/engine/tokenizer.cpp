// The built tokenizer (FrozenTokenizer): encoding, decoding, batches, the vocabulary.
// It never changes, so calls share it without a lock; long calls release the interpreter
// lock and watch for Ctrl-C.
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include "engine/convert.hpp"
#include "common/errors.hpp"
#include "tokenizer/frozen.hpp"

namespace larkspur::engine {

namespace {

using namespace nb::literals;
using Allowed = std::vector<std::size_t>;

// Texts this long or longer (in bytes) are encoded without the interpreter lock.
constexpr std::size_t kLongText = 1 << 16;

// The binding's object: the tokenizer and its int cache for results.
struct PyTokenizer {
    FrozenTokenizer tok;
    IdLists ids;

    nb::list id_list(const std::vector<std::uint32_t>& v) { return ids.make(v, tok.size()); }
};

nb::list encode(PyTokenizer& t, std::string_view text, const Allowed& allowed) {
    std::vector<std::uint32_t> out;
    {
        std::optional<nb::gil_scoped_release> nogil;
        if (text.size() >= kLongText) nogil.emplace();
        t.tok.encode(text, allowed, out);
    }
    return t.id_list(out);
}

nb::tuple encode_with_offsets(const PyTokenizer& t, std::string_view text, const Allowed& allowed) {
    std::vector<std::uint32_t> ids;
    std::vector<Span> spans;
    t.tok.encode(text, allowed, ids, &spans);
    return nb::make_tuple(ids, spans);
}

// The finished blocks become lists on this thread, in order, while the workers go on.
nb::list encode_batch(PyTokenizer& t, nb::handle texts, const Allowed& allowed, std::size_t threads) {
    nb::object hold;
    const std::vector<std::string_view> views = views_of(texts, hold, "texts");
    nb::list out = new_list(views.size());
    GcPause pause;
    SignalWatch watch;
    nb::gil_scoped_release nogil;
    watch.run([&] {
        t.tok.encode_batch(
            views, allowed, threads,
            [&](std::size_t first, std::size_t last, std::vector<std::vector<std::uint32_t>>& ids) {
                nb::gil_scoped_acquire gil;
                for (std::size_t i = first; i < last; ++i) {
                    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), t.id_list(ids[i]).release().ptr());
                }
            },
            watch.poll());
    });
    return out;
}

template <class T>
nb::object numpy_of(std::vector<T>&& v) {
    auto* owned = new std::vector<T>(std::move(v));
    nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    return nb::cast(nb::ndarray<nb::numpy, T, nb::ndim<1>>(owned->data(), {owned->size()}, owner));
}

nb::tuple encode_to_array(const PyTokenizer& t, nb::handle texts, bool append_eos, std::optional<std::size_t> eos,
                          const Allowed& allowed, std::size_t threads) {
    if (append_eos && !eos) throw Error(ErrorKind::Value, "append_eos needs an end-of-text token, and this tokenizer has none");
    nb::object hold;
    const std::vector<std::string_view> views = views_of(texts, hold, "texts");
    FrozenTokenizer::IdArray a;
    {
        SignalWatch watch;
        nb::gil_scoped_release nogil;
        a = watch.run([&] {
            return t.tok.encode_to_array(views, allowed, append_eos ? eos : std::nullopt, threads, watch.poll());
        });
    }
    nb::object ids = a.is_narrow ? numpy_of(std::move(a.narrow)) : numpy_of(std::move(a.wide));
    return nb::make_tuple(ids, numpy_of(std::move(a.offsets)));
}

std::string decode(const PyTokenizer& t, const std::vector<std::uint64_t>& ids, bool skip_special) {
    std::optional<nb::gil_scoped_release> nogil;
    if (ids.size() > (1 << 14)) nogil.emplace();
    return t.tok.decode(ids, skip_special);
}

nb::list decode_batch(const PyTokenizer& t, const std::vector<std::vector<std::uint64_t>>& batch, bool skip_special,
                      std::size_t threads) {
    nb::list out = new_list(batch.size());
    SignalWatch watch;
    nb::gil_scoped_release nogil;
    watch.run([&] {
        t.tok.decode_batch(
            batch, skip_special, threads,
            [&](std::size_t first, std::size_t last, std::vector<std::string>& texts) {
                nb::gil_scoped_acquire gil;
                for (std::size_t i = first; i < last; ++i) {
                    PyObject* s = PyUnicode_DecodeUTF8(texts[i].data(), static_cast<Py_ssize_t>(texts[i].size()),
                                                       "strict");
                    if (!s) throw nb::python_error();
                    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), s);
                }
            },
            watch.poll());
    });
    return out;
}

nb::dict stats(const PyTokenizer& t, nb::handle texts, std::size_t threads) {
    nb::object hold;
    const std::vector<std::string_view> views = views_of(texts, hold, "texts");
    CorpusStats st;
    {
        SignalWatch watch;
        nb::gil_scoped_release nogil;
        st = watch.run([&] { return t.tok.stats(views, threads, watch.poll()); });
    }
    nb::dict d, scripts;
    d["texts"] = st.texts;
    d["words"] = st.words;
    d["chars"] = st.chars;
    d["tokens"] = st.tokens;
    d["byte_tokens"] = st.byte_tokens;
    d["roundtrip_passes"] = st.roundtrip_passes;
    const char* names[5] = {"DEV", "LAT", "PUN", "FMT", "MAL"};
    for (int k = 0; k < 5; ++k) scripts[names[k]] = st.script_tokens[k];
    d["script_tokens"] = scripts;
    return d;
}

nb::dict get_vocab(const PyTokenizer& t) {
    nb::dict d;
    t.tok.base().for_each_surface([&](TokenId id, std::string_view s) { d[nb::str(s.data(), s.size())] = id; });
    const SpecialTokens& sp = t.tok.specials();
    for (std::size_t k = 0; k < sp.size(); ++k) d[nb::str(sp.texts()[k].c_str())] = sp.first_id() + k;
    return d;
}

// (surfaces, kind letters, script letters, seed flags, root sets) of the trained tokens.
nb::tuple export_tokens(const PyTokenizer& t) {
    TokenColumns c = t.tok.export_columns();
    return nb::make_tuple(c.surfaces, c.kinds, c.scripts,
                          nb::bytes(reinterpret_cast<const char*>(c.flags.data()), c.flags.size()), c.root_sets);
}

}  // namespace

nb::object wrap(FrozenTokenizer tok) { return nb::cast(PyTokenizer{std::move(tok), {}}); }

void bind_tokenizer(nb::module_& m) {
    nb::class_<PyTokenizer>(m, "Tokenizer")
        .def_prop_ro("mode", [](const PyTokenizer& t) { return std::string(fold_mode_name(t.tok.mode())); })
        .def_prop_ro("scheme", [](const PyTokenizer& t) { return scheme_dict(t.tok.scheme()); })
        .def_prop_ro("size", [](const PyTokenizer& t) { return t.tok.size(); })
        .def_prop_ro("base_size", [](const PyTokenizer& t) { return t.tok.base_size(); })
        .def_prop_ro("seed_max_len", [](const PyTokenizer& t) { return t.tok.base().seed_max_len(); })
        .def_prop_ro("special_tokens", [](const PyTokenizer& t) { return t.tok.specials().texts(); })
        .def("with_special_tokens", [](const PyTokenizer& t, const std::vector<std::string>& more) {
            return PyTokenizer{t.tok.with_special_tokens(more), {}};
        }, "texts"_a)
        .def("id_to_token", [](const PyTokenizer& t, std::uint64_t id) { return t.tok.token_text(id); }, "id"_a)
        .def("token_to_id", [](const PyTokenizer& t, std::string_view s) { return t.tok.token_id(s); }, "token"_a)
        .def("get_vocab", &get_vocab)
        .def("export_tokens", &export_tokens)
        .def("encode", &encode, "text"_a, "allowed"_a)
        .def("encode_batch", &encode_batch, "texts"_a, "allowed"_a, "num_threads"_a)
        .def("encode_to_array", &encode_to_array, "texts"_a, "append_eos"_a, "eos_id"_a.none(), "allowed"_a,
             "num_threads"_a)
        .def("encode_with_offsets", &encode_with_offsets, "text"_a, "allowed"_a)
        .def("decode", &decode, "ids"_a, "skip_special"_a)
        .def("decode_batch", &decode_batch, "batch"_a, "skip_special"_a, "num_threads"_a)
        .def("tokenize", [](const PyTokenizer& t, std::string_view text, const Allowed& allowed) {
            return t.tok.tokenize(text, allowed);
        }, "text"_a, "allowed"_a)
        .def("stats", &stats, "texts"_a, "num_threads"_a)
        .def("save_vocab_tsv", [](const PyTokenizer& t, const std::string& path) { t.tok.base().save_vocab_tsv(path); },
             "path"_a);
}

}  // namespace larkspur::engine

// The built tokenizer: it never changes, so calls share it without a lock; long calls
// release the interpreter lock and watch for Ctrl-C.
#include <nanobind/ndarray.h>

#include "common/errors.hpp"
#include "engine/convert.hpp"
#include "tokenizer/build.hpp"
#include "vocab/vocab_tsv.hpp"

namespace larkspur::engine {

namespace {

using namespace nb::literals;
using Allowed = std::vector<std::size_t>;
using Ids = std::vector<std::uint32_t>;

nb::list encode(PyTokenizer& t, std::string_view text, const Allowed& allowed) {
    Ids out;
    unlocked(text.size() >= (1 << 16), [&](auto) { t.tok.encode(text, allowed, out); });
    return t.list(out);
}

// The finished blocks become lists on this thread, in order, while the workers go on.
nb::list encode_batch(PyTokenizer& t, nb::handle texts, const Allowed& allowed, std::size_t threads) {
    nb::object hold;
    const std::vector<std::string_view> views = views_of(texts, hold, "texts");
    nb::list out = new_list(views.size());
    GcPause pause;
    unlocked(true, [&](auto poll) {
        t.tok.encode_batch(views, allowed, threads, [&](std::size_t first, std::size_t last, std::vector<Ids>& ids) {
            nb::gil_scoped_acquire gil;
            for (std::size_t i = first; i < last; ++i) PyList_SET_ITEM(out.ptr(), i, t.list(ids[i]).release().ptr());
        }, poll);
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
    nb::object hold;
    const std::vector<std::string_view> views = views_of(texts, hold, "texts");
    FrozenTokenizer::IdArray a = unlocked(true, [&](auto poll) {
        return t.tok.encode_to_array(views, allowed, append_eos ? eos : std::nullopt, threads, poll);
    });
    if (PyErr_CheckSignals() != 0) throw nb::python_error();  // Ctrl-C now, not inside numpy's export
    nb::object ids = a.is_narrow ? numpy_of(std::move(a.narrow)) : numpy_of(std::move(a.wide));
    return nb::make_tuple(ids, numpy_of(std::move(a.offsets)));
}

std::vector<std::string> decode_batch(const PyTokenizer& t, const std::vector<std::vector<std::uint64_t>>& batch,
                                      bool skip_special, std::size_t threads) {
    std::vector<std::string> out(batch.size());
    unlocked(true, [&](auto poll) {
        t.tok.decode_batch(batch, skip_special, threads, [&](std::size_t first, std::size_t last, auto& texts) {
            std::move(texts.begin() + first, texts.begin() + last, out.begin() + first);
        }, poll);
    });
    return out;
}

// (texts, words, chars, tokens, byte tokens, round-trip passes, tokens per script).
nb::tuple stats(const PyTokenizer& t, nb::handle texts, std::size_t threads) {
    nb::object hold;
    const std::vector<std::string_view> views = views_of(texts, hold, "texts");
    const CorpusStats s = unlocked(true, [&](auto poll) { return t.tok.stats(views, threads, poll); });
    const auto& k = s.script_tokens;
    return nb::make_tuple(s.texts, s.words, s.chars, s.tokens, s.byte_tokens, s.roundtrip_passes,
                          nb::make_tuple(k[0], k[1], k[2], k[3], k[4]));
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
        .def("add_superwords", [](const PyTokenizer& t, const TrainingRequest& r, const CountStore& runs, std::size_t n, std::uint64_t m) {
            auto s = unlocked(true, [&](auto poll) { return add_superwords(r, t.tok, runs, n, m, poll); });
            return std::tuple(PyTokenizer{std::move(s.tokenizer), {}}, s.added, s.runs.min_count, s.runs.left_out_types);
        }, "request"_a, "runs"_a, "merges"_a, "memory_limit"_a)
        .def("with_special_tokens", [](const PyTokenizer& t, const std::vector<std::string>& more) {
            return PyTokenizer{t.tok.with_special_tokens(more), {}};
        }, "texts"_a)
        .def("id_to_token", [](const PyTokenizer& t, std::uint64_t id) { return t.tok.token_text(id); }, "id"_a)
        .def("token_to_id", [](const PyTokenizer& t, std::string_view s) { return t.tok.token_id(s); }, "token"_a)
        .def("export_tokens", [](const PyTokenizer& t) {
            TokenColumns c = t.tok.export_columns();
            return nb::make_tuple(c.surfaces, c.kinds, c.scripts,
                                  nb::bytes(reinterpret_cast<const char*>(c.flags.data()), c.flags.size()), c.root_sets);
        })
        .def("encode", &encode, "text"_a, "allowed"_a)
        .def("encode_batch", &encode_batch, "texts"_a, "allowed"_a, "num_threads"_a)
        .def("encode_to_array", &encode_to_array, "texts"_a, "append_eos"_a, "eos_id"_a.none(), "allowed"_a,
             "num_threads"_a)
        .def("encode_with_offsets", [](const PyTokenizer& t, std::string_view text, const Allowed& allowed) {
            return t.tok.encode_with_spans(text, allowed);
        }, "text"_a, "allowed"_a)
        .def("decode", [](const PyTokenizer& t, const std::vector<std::uint64_t>& ids, bool skip_special) {
            return unlocked(ids.size() > (1 << 14), [&](auto) { return t.tok.decode(ids, skip_special); });
        }, "ids"_a, "skip_special"_a)
        .def("decode_batch", &decode_batch, "batch"_a, "skip_special"_a, "num_threads"_a)
        .def("tokenize", [](const PyTokenizer& t, std::string_view s, const Allowed& a) { return t.tok.tokenize(s, a); },
             "text"_a, "allowed"_a)
        .def("stats", &stats, "texts"_a, "num_threads"_a)
        .def("save_vocab_tsv", [](const PyTokenizer& t, const std::string& path) {
            save_vocab_tsv(t.tok.base().vocab(), t.tok.mode(), path, true);
        }, "path"_a);
}

}  // namespace larkspur::engine

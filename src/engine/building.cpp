// Making tokenizers: the training request and plan, training, resuming and loading, and the
// module's small functions (the scheme's fields, checkpoint info, vocabulary files).
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include "checkpoint/resume.hpp"
#include "common/ordered_blocks.hpp"
#include "engine/convert.hpp"
#include "tokenizer/build.hpp"
#include "vocab/vocab_tsv.hpp"

namespace larkspur::engine {

namespace {

using namespace nb::literals;
using ParadigmList = std::vector<std::pair<RootId, std::vector<std::pair<std::string, std::vector<std::string>>>>>;

// A request from the companion's arguments, already checked by its Python layer.
TrainingRequest request(const std::string& mode, const Normalizer::RulePairs& rules, nb::dict scheme,
                        const Recipe& recipe, std::size_t vocab_size, const std::vector<std::string>& specials,
                        const ParadigmList& paradigms, const std::vector<std::pair<std::string, RootId>>& lexicon) {
    TrainingRequest r;
    r.mode = parse_mode(mode);
    r.folding_rules = rules;
    r.scheme = scheme_of(scheme);
    r.recipe = recipe;
    r.vocab_size = vocab_size;
    r.special_tokens = specials;
    for (const auto& [root, transitions] : paradigms) {
        Transitions t;
        for (const auto& [key, nexts] : transitions) t[key].insert(nexts.begin(), nexts.end());
        r.paradigms.emplace_back(root, std::move(t));
    }
    r.lexicon = Lexicon(lexicon.begin(), lexicon.end());
    return r;
}

RunSettings run_settings(std::optional<std::string> dir, std::uint64_t every, std::size_t keep,
                         std::uint64_t progress_every, const nb::object& progress) {
    return RunSettings{std::move(dir), every, keep, progress.is_none() ? 0 : std::max<std::uint64_t>(progress_every, 1)};
}

nb::object train(const WordSelection& words, const TrainingRequest& req, const TrainingPlan& plan,
                 std::optional<std::string> dir, std::uint64_t every, std::size_t keep, std::uint64_t progress_every,
                 nb::object progress) {
    CallbackSink sink(progress);
    const RunSettings run = run_settings(std::move(dir), every, keep, progress_every, progress);
    std::optional<FrozenTokenizer> tok;
    {
        nb::gil_scoped_release nogil;
        tok.emplace(train_tokenizer(*words.words, req, plan, run, sink));
    }
    return wrap(std::move(*tok));
}

nb::object resume(const TrainingRequest& req, std::optional<std::size_t> prune_to, const std::string& dir,
                  std::uint64_t every, std::size_t keep, std::uint64_t progress_every, nb::object progress) {
    CallbackSink sink(progress);
    const RunSettings run = run_settings(dir, every, keep, progress_every, progress);
    std::optional<FrozenTokenizer> tok;
    {
        nb::gil_scoped_release nogil;
        tok.emplace(resume_tokenizer(req, prune_to, run, sink));
    }
    return wrap(std::move(*tok));
}

nb::object load(const TrainingRequest& req, std::vector<std::string> surfaces, std::string kinds, std::string scripts,
                nb::bytes flags, std::vector<std::pair<std::size_t, std::vector<RootId>>> roots,
                std::size_t seed_max_len) {
    const auto* f = static_cast<const std::uint8_t*>(flags.data());
    TokenColumns c{std::move(surfaces), std::move(kinds), std::move(scripts), {f, f + flags.size()}, std::move(roots)};
    return wrap(load_tokenizer(req, std::move(c), seed_max_len));
}

nb::object checkpoint_info(const std::string& dir) {
    auto info = larkspur::checkpoint_info(dir);
    if (!info) return nb::none();
    const CheckpointMeta& m = info->meta;
    nb::dict d;
    d["path"] = info->path;
    d["mode"] = m.mode;
    d["phase"] = phase_name(m.phase);
    d["merges_done"] = m.merges_done;
    d["vocab_len"] = m.vocab_len;
    d["word_types"] = m.word_types;
    d["theta"] = m.theta;
    d["dev_budget"] = m.dev_budget;
    d["total_budget"] = m.total_budget;
    return d;
}

// Keeps the line a read would print (the warning of a vocabulary file without a mode header).
class KeepLines final : public LineSink {
   public:
    void write_line(std::string_view line) noexcept override { text.append(line); }
    std::string text;
};

// (ids, surfaces, warning) of a vocabulary file.
nb::tuple read_vocab_file(const std::string& path, const std::string& mode) {
    KeepLines warning;
    auto pairs = read_vocab_tsv(path, parse_mode(mode), false, warning);
    std::vector<std::size_t> ids;
    std::vector<std::string> surfaces;
    for (auto& [id, s] : pairs) {
        ids.push_back(id);
        surfaces.push_back(std::move(s));
    }
    return nb::make_tuple(ids, surfaces, warning.text);
}

nb::list scheme_fields() {
    nb::list out;
    const Scheme defaults;
    const auto values = scheme_values(defaults);
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::visit([&](auto v) { out.append(nb::make_tuple(values[i].first, v, larkspur::scheme_fields()[i].doc)); },
                   values[i].second);
    }
    return out;
}

}  // namespace

void bind_building(nb::module_& m) {
    nb::class_<SeedTier>(m, "SeedTier")
        .def(nb::init<>())
        .def_rw("up_to", &SeedTier::up_to)
        .def_rw("seeds", &SeedTier::seeds);
    nb::class_<Recipe>(m, "Recipe")
        .def(nb::init<>())
        .def_rw("seed_tiers", &Recipe::seed_tiers)
        .def_rw("punctuation", &Recipe::punctuation)
        .def_rw("theta", &Recipe::theta)
        .def_rw("word_min_freq", &Recipe::word_min_freq)
        .def_rw("akshara_share", &Recipe::akshara_share)
        .def_rw("ids_per_symbol", &Recipe::ids_per_symbol)
        .def_rw("symbol_min_freq", &Recipe::symbol_min_freq)
        .def_rw("symbol_limit", &Recipe::symbol_limit)
        .def_rw("prune_share", &Recipe::prune_share)
        .def_rw("latin_share", &Recipe::latin_share);
    nb::class_<TrainingRequest>(m, "TrainingRequest")
        .def("__init__", [](TrainingRequest* r, const std::string& mode, const Normalizer::RulePairs& rules,
                            nb::dict scheme, const Recipe& recipe, std::size_t vocab_size,
                            const std::vector<std::string>& specials, const ParadigmList& paradigms,
                            const std::vector<std::pair<std::string, RootId>>& lexicon) {
            new (r) TrainingRequest(request(mode, rules, scheme, recipe, vocab_size, specials, paradigms, lexicon));
        }, "mode"_a, "folding_rules"_a, "scheme"_a, "recipe"_a, "vocab_size"_a,
             "special_tokens"_a, "paradigms"_a, "lexicon"_a);
    nb::class_<TrainingPlan>(m, "TrainingPlan")
        .def_ro("vocab_size", &TrainingPlan::vocab_size)
        .def_ro("base_size", &TrainingPlan::base_size)
        .def_ro("trained_size", &TrainingPlan::trained_size)
        .def_ro("dev_budget", &TrainingPlan::dev_budget)
        .def_ro("lat_budget", &TrainingPlan::lat_budget)
        .def_ro("beyond", &TrainingPlan::beyond)
        .def_ro("latin_share", &TrainingPlan::latin_share)
        .def_ro("seeds", &TrainingPlan::seeds)
        .def_ro("aksharas", &TrainingPlan::aksharas)
        .def_ro("symbols", &TrainingPlan::symbols);
    nb::class_<WordSelection>(m, "WordSelection")
        .def_ro("min_count", &WordSelection::min_count)
        .def_ro("left_out_types", &WordSelection::left_out_types)
        .def_ro("left_out_occurrences", &WordSelection::left_out_occurrences)
        .def_prop_ro("word_types", [](const WordSelection& s) { return s.words->size(); });
    m.def("select_words", [](const CountStore& counts, std::uint64_t memory_limit) {
        nb::gil_scoped_release nogil;
        return select_words(counts, memory_limit);
    }, "counts"_a, "memory_limit"_a);
    m.def("plan_training", [](const WordSelection& words, const TrainingRequest& req) {
        nb::gil_scoped_release nogil;
        return plan_training(*words.words, req);
    }, "words"_a, "request"_a);
    m.def("train", &train, "words"_a, "request"_a, "plan"_a, "checkpoint_dir"_a.none(), "checkpoint_every"_a,
          "checkpoint_keep"_a, "progress_every"_a, "progress"_a.none());
    m.def("resume", &resume, "request"_a, "prune_to"_a.none(), "checkpoint_dir"_a, "checkpoint_every"_a,
          "checkpoint_keep"_a, "progress_every"_a, "progress"_a.none());
    m.def("load", &load, "request"_a, "surfaces"_a, "kinds"_a, "scripts"_a, "flags"_a, "root_sets"_a,
          "seed_max_len"_a);
    m.def("checkpoint_info", &checkpoint_info, "dir"_a);
    m.def("read_vocab_file", &read_vocab_file, "path"_a, "mode"_a);
    m.def("scheme_fields", &scheme_fields);
    m.def("scheme_of", [](nb::dict fields) { return scheme_dict(scheme_of(fields)); }, "fields"_a);
    m.def("default_threads", [] { return resolve_threads(0); });
}

}  // namespace larkspur::engine

NB_MODULE(_engine, m) {
    using namespace larkspur::engine;
    m.doc() = "The native part of larkspur: word counts, training and built tokenizers over the C++ core.";
    nb::register_exception_translator(&translate_core_errors);
    bind_counts(m);
    bind_tokenizer(m);
    bind_building(m);
}

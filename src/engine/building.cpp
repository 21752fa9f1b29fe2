// Making tokenizers (the request, the words selected, the plan, training, resuming,
// loading) and the module's small functions.

#include "checkpoint/resume.hpp"
#include "common/ordered_blocks.hpp"
#include "engine/convert.hpp"
#include "tokenizer/build.hpp"
#include "vocab/vocab_tsv.hpp"

namespace larkspur::engine {

namespace {

using namespace nb::literals;
using Rules = Normalizer::RulePairs;
using Strings = std::vector<std::string>;
using Paradigms = std::vector<std::pair<RootId, std::vector<std::pair<std::string, Strings>>>>;

void init_request(TrainingRequest* r, const std::string& mode, const Rules& rules, nb::dict scheme, const Recipe& recipe,
                  std::size_t vocab_size, const Strings& specials, const Paradigms& paradigms,
                  const std::vector<std::pair<std::string, RootId>>& lexicon) {
    new (r) TrainingRequest{parse_mode(mode), rules, scheme_of(scheme), recipe, vocab_size, specials, {},
                            Lexicon(lexicon.begin(), lexicon.end())};
    for (const auto& [root, transitions] : paradigms) {
        Transitions t;
        for (const auto& [key, nexts] : transitions) t[key].insert(nexts.begin(), nexts.end());
        r->paradigms.emplace_back(root, std::move(t));
    }
}

// Runs a build without the interpreter lock, its progress going to `progress`.
template <class F>
nb::object build(nb::object progress, std::uint64_t every, RunSettings run, F&& f) {
    CallbackSink sink(progress);
    run.progress_every = progress.is_none() ? 0 : std::max<std::uint64_t>(every, 1);
    std::optional<FrozenTokenizer> tok;
    {
        nb::gil_scoped_release nogil;
        tok.emplace(f(run, sink));
    }
    return wrap(std::move(*tok));
}

// (path, mode, phase, merges done, vocabulary size, word types, theta, Devanagari budget,
// total budget) of the newest complete checkpoint, or None.
nb::object checkpoint_info(const std::string& dir) {
    auto info = larkspur::checkpoint_info(dir);
    if (!info) return nb::none();
    const CheckpointMeta& m = info->meta;
    return nb::make_tuple(info->path, m.mode, phase_name(m.phase), m.merges_done, m.vocab_len, m.word_types, m.theta,
                          m.dev_budget, m.total_budget);
}

nb::list scheme_fields() {
    nb::list out;
    const auto values = scheme_values(Scheme{});
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::visit([&](auto v) { out.append(nb::make_tuple(values[i].first, v, larkspur::scheme_fields()[i].doc)); },
                   values[i].second);
    }
    return out;
}

}  // namespace

void bind_building(nb::module_& m) {
    nb::class_<SeedTier>(m, "SeedTier").def(nb::init<>()).def_rw("up_to", &SeedTier::up_to).def_rw("seeds", &SeedTier::seeds);
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
        .def("__init__", &init_request, "mode"_a, "folding_rules"_a, "scheme"_a, "recipe"_a, "vocab_size"_a,
             "special_tokens"_a, "paradigms"_a, "lexicon"_a);
    nb::class_<WordSelection>(m, "WordSelection")
        .def_ro("min_count", &WordSelection::min_count)
        .def_ro("left_out_types", &WordSelection::left_out_types)
        .def_ro("left_out_occurrences", &WordSelection::left_out_occurrences)
        .def_prop_ro("word_types", [](const WordSelection& s) { return s.words->size(); });
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
    m.def("select_words", [](const CountStore& counts, std::uint64_t memory_limit) {
        nb::gil_scoped_release nogil;
        return select_words(counts, memory_limit);
    }, "counts"_a, "memory_limit"_a);
    m.def("plan_training", [](const WordSelection& words, const TrainingRequest& req) {
        nb::gil_scoped_release nogil;
        return plan_training(*words.words, req);
    }, "words"_a, "request"_a);
    m.def("train", [](const WordSelection& words, const TrainingRequest& req, const TrainingPlan& plan,
                      std::optional<std::string> dir, std::uint64_t every, std::size_t keep, std::uint64_t progress_every,
                      nb::object progress) {
        return build(progress, progress_every, RunSettings{dir, every, keep, 0}, [&](const RunSettings& run, LineSink& s) {
            return train_tokenizer(*words.words, req, plan, run, s);
        });
    }, "words"_a, "request"_a, "plan"_a, "checkpoint_dir"_a.none(), "checkpoint_every"_a, "checkpoint_keep"_a,
       "progress_every"_a, "progress"_a.none());
    m.def("resume", [](const TrainingRequest& req, std::optional<std::size_t> prune_to, const std::string& dir,
                       std::uint64_t every, std::size_t keep, std::uint64_t progress_every, nb::object progress) {
        return build(progress, progress_every, RunSettings{dir, every, keep, 0}, [&](const RunSettings& run, LineSink& s) {
            return resume_tokenizer(req, prune_to, run, s);
        });
    }, "request"_a, "prune_to"_a.none(), "checkpoint_dir"_a, "checkpoint_every"_a, "checkpoint_keep"_a,
       "progress_every"_a, "progress"_a.none());
    m.def("load", [](const TrainingRequest& req, Strings surfaces, std::string kinds, std::string scripts, nb::bytes flags,
                     std::vector<std::pair<std::size_t, std::vector<RootId>>> roots, std::size_t seed_max_len) {
        const auto* f = static_cast<const std::uint8_t*>(flags.data());
        TokenColumns c{std::move(surfaces), std::move(kinds), std::move(scripts), {f, f + flags.size()}, std::move(roots)};
        return wrap(load_tokenizer(req, std::move(c), seed_max_len));
    }, "request"_a, "surfaces"_a, "kinds"_a, "scripts"_a, "flags"_a, "root_sets"_a, "seed_max_len"_a);
    m.def("checkpoint_info", &checkpoint_info, "dir"_a);
    m.def("read_vocab_file", [](const std::string& path, const std::string& mode) {
        return read_vocab_surfaces(path, parse_mode(mode));
    }, "path"_a, "mode"_a);
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

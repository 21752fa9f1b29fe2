// Making tokenizers (requests, plans, training, resuming, loading); the module's small functions.

#include "checkpoint/resume.hpp"
#include "common/ordered_blocks.hpp"
#include "train/extension.hpp"
#include "engine/convert.hpp"
#include "tokenizer/build.hpp"
#include "vocab/vocab_tsv.hpp"

namespace larkspur::engine {

namespace {

using namespace nb::literals;
using Rules = Normalizer::RulePairs;
using Strings = std::vector<std::string>;
using Paradigms = std::vector<std::pair<RootId, std::vector<std::pair<std::string, Strings>>>>;

// A request from the companion's arguments (checked by its Python layer); the recipe's
// numbers default to none at all, as a loaded or resumed tokenizer needs.
void init_request(TrainingRequest* r, const std::string& mode, const Rules& rules, nb::dict scheme,
                  std::size_t vocab_size, const Strings& specials, const Paradigms& paradigms,
                  const std::vector<std::pair<std::string, RootId>>& lexicon,
                  const std::vector<std::pair<std::size_t, Strings>>& seed_tiers, const Strings& punctuation,
                  std::uint64_t theta, std::uint64_t word_min_freq, double akshara_share, std::size_t ids_per_symbol,
                  std::uint64_t symbol_min_freq, std::size_t symbol_limit, double prune_share, std::optional<double> latin_share) {
    Recipe recipe{{}, punctuation, theta, word_min_freq, akshara_share, ids_per_symbol, symbol_min_freq, symbol_limit,
                  prune_share, latin_share};
    for (const auto& [up_to, seeds] : seed_tiers) recipe.seed_tiers.push_back({up_to, seeds});
    new (r) TrainingRequest{parse_fold_mode(mode), rules, scheme_of(scheme), recipe, vocab_size, specials, {},
                            Lexicon(lexicon.begin(), lexicon.end())};
    for (const auto& [root, transitions] : paradigms) r->paradigms.emplace_back(root, transitions_of(transitions));
}

// Runs a build without the interpreter lock, its progress going to `progress` and each
// checkpoint that cannot be written to `failed(dir, error)`; raise_errors stops it there.
template <class F>
nb::object build(nb::object progress, std::uint64_t every, RunSettings run, nb::object failed, bool raise_errors,
                 F&& f) {
    CallbackSink sink(progress);
    run.progress_every = progress.is_none() ? 0 : std::max<std::uint64_t>(every, 1);
    run.checkpoint_errors = raise_errors ? CheckpointErrors::Raise : CheckpointErrors::Warn;
    run.checkpoint_failed = [failed](const std::string& dir, const std::string& error) {
        if (nb::gil_scoped_acquire gil; !failed.is_none()) failed(dir, error);
    };
    return wrap(unlocked(true, [&](auto poll) {
        run.interrupted = poll;
        return f(run, sink);
    }));
}

}  // namespace

void bind_building(nb::module_& m) {
    nb::class_<TrainingRequest>(m, "TrainingRequest")
        .def("__init__", &init_request, "mode"_a, "folding_rules"_a, "scheme"_a, "vocab_size"_a, "special_tokens"_a,
             "paradigms"_a, "lexicon"_a, "seed_tiers"_a = std::vector<std::pair<std::size_t, Strings>>{},
             "punctuation"_a = Strings{}, "theta"_a = 100, "word_min_freq"_a = 1, "akshara_share"_a = 0.0,
             "ids_per_symbol"_a = 100, "symbol_min_freq"_a = 1, "symbol_limit"_a = 1000, "prune_share"_a = 0.0,
             "latin_share"_a.none() = 0.0);
    nb::class_<TrainingPlan>(m, "TrainingPlan")
        .def_ro("base_size", &TrainingPlan::base_size).def_ro("trained_size", &TrainingPlan::trained_size)
        .def_ro("dev_budget", &TrainingPlan::dev_budget).def_ro("lat_budget", &TrainingPlan::lat_budget)
        .def_ro("beyond", &TrainingPlan::beyond).def_ro("akshara_limit", &TrainingPlan::akshara_limit)
        .def_ro("aksharas", &TrainingPlan::aksharas).def_ro("symbols", &TrainingPlan::symbols)
        .def_prop_ro("share", [](const TrainingPlan& p) {  // (share, (Latin, Devanagari merges) or None, other scripts)
            auto split = p.split ? std::optional(std::pair(p.split->lat_merges, p.split->dev_merges)) : std::nullopt;
            return std::make_tuple(p.latin_share, split, p.other_scripts);
        })
        .def_prop_ro("selected", [](const TrainingPlan& p) {
            const WordSelection& s = p.words;
            return nb::make_tuple(s.words->size(), s.min_count, s.left_out_types, s.left_out_occurrences);
        });
    m.def("plan_training", [](const CountStore& counts, std::uint64_t limit, const TrainingRequest& req) {
        return unlocked(true, [&](auto poll) { return plan_training(counts, limit, req, poll); });
    }, "counts"_a, "memory_limit"_a, "request"_a);
    m.def("train", [](const TrainingRequest& req, const TrainingPlan& plan, std::optional<std::string> dir,
                      std::uint64_t every, std::size_t keep, std::uint64_t progress_every, nb::object progress,
                      nb::object failed, bool raise_errors) {
        return build(progress, progress_every, {dir, every, keep}, failed, raise_errors, [&](auto& run, LineSink& s) {
            return train_tokenizer(*plan.words.words, req, plan, run, s);
        });
    }, "request"_a, "plan"_a, "checkpoint_dir"_a.none(), "checkpoint_every"_a, "checkpoint_keep"_a,
       "progress_every"_a, "progress"_a.none(), "checkpoint_failed"_a.none() = nb::none(), "raise_errors"_a = false);
    m.def("resume", [](const TrainingRequest& req, std::optional<std::size_t> prune_to, const std::string& dir,
                       std::uint64_t every, std::size_t keep, std::uint64_t progress_every, nb::object progress,
                       nb::object failed, bool raise_errors) {
        return build(progress, progress_every, {dir, every, keep}, failed, raise_errors, [&](auto& run, LineSink& s) {
            return resume_tokenizer(req, prune_to, run, s);
        });
    }, "request"_a, "prune_to"_a.none(), "checkpoint_dir"_a, "checkpoint_every"_a, "checkpoint_keep"_a,
       "progress_every"_a, "progress"_a.none(), "checkpoint_failed"_a.none() = nb::none(), "raise_errors"_a = false);
    m.def("load", [](const TrainingRequest& req, Strings surfaces, std::string kinds, std::string scripts, nb::bytes flags,
                     std::vector<std::pair<std::size_t, std::vector<RootId>>> roots, std::size_t seed_max_len) {
        const auto* f = static_cast<const std::uint8_t*>(flags.data());
        TokenColumns c{std::move(surfaces), std::move(kinds), std::move(scripts), {f, f + flags.size()}, std::move(roots)};
        return wrap(load_tokenizer(req, std::move(c), seed_max_len));
    }, "request"_a, "surfaces"_a, "kinds"_a, "scripts"_a, "flags"_a, "root_sets"_a, "seed_max_len"_a);
    m.def("checkpoint_info", [](const std::string& dir) -> nb::object {  // (path, mode, phase, merges, size, types, theta, budgets)
        auto info = checkpoint_info(dir);
        if (!info) return nb::none();
        const CheckpointMeta& m = info->meta;
        return nb::make_tuple(info->path, m.mode, phase_name(m.phase), m.merges_done, m.vocab_len, m.word_types,
                              m.theta, m.dev_budget, m.total_budget);
    }, "dir"_a);
    m.def("read_vocab_file", [](const std::string& path, const std::string& mode) {
        return read_vocab_surfaces(path, parse_fold_mode(mode));
    }, "path"_a, "mode"_a);
    m.def("scheme_fields", [] {  // (the defaults, a line on each field)
        nb::dict docs;
        for (const SchemeField& f : scheme_fields()) docs[f.name] = f.doc;
        return nb::make_tuple(scheme_dict(Scheme{}), docs);
    });
    m.def("default_threads", [] { return resolve_threads(0); });
    m.def("extension_merges", [](const std::vector<std::uint32_t>& units, const std::vector<std::uint32_t>& lengths,
                                 const std::vector<std::uint64_t>& counts, std::vector<std::uint8_t> classes,
                                 std::size_t merges, std::uint64_t min_count) {
        return unlocked(true, [&](auto poll) { return learn_extension_merges(units, lengths, counts, classes, merges, min_count, poll); });
    }, "units"_a, "lengths"_a, "counts"_a, "classes"_a, "merges"_a, "min_count"_a);
}

}  // namespace larkspur::engine

NB_MODULE(_engine, m) {
    using namespace larkspur::engine;
    m.doc() = "The native part of larkspur: word counts, training and built tokenizers over the C++ core.";
    nb::register_exception_translator(&translate_core_errors);
    // Objects still referenced when the interpreter ends (by Ray's workers, say) are not leaks of ours.
    nb::set_leak_warnings(false);
    bind_counts(m);
    bind_tokenizer(m);
    bind_building(m);
}

#include "tokenizer/build.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <memory>

#include "common/errors.hpp"
#include "common/numbers.hpp"
#include "text/harvest.hpp"
#include "train/superwords.hpp"
#include "vocab/token_table.hpp"
#include "checkpoint/writer.hpp"
#include "vocab/extra_tokens.hpp"
#include "vocab/seeding.hpp"

namespace larkspur {

namespace {

std::vector<std::string> seeds_at(const Recipe& r, std::size_t size) {
    for (const SeedTier& t : r.seed_tiers) {
        if (size <= t.up_to) return t.seeds;
    }
    return {};
}

template <class T>
std::vector<T> first(const std::vector<T>& v, std::size_t n) {
    return std::vector<T>(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(std::min(n, v.size())));
}

// The base material of a vocabulary of `size` ids: which seeds, aksharas and symbols.
struct Base {
    std::vector<std::string> seeds, aksharas, symbols;
};

// How many aksharas get base ids at `size` ids when the Devanagari pass has `dev_part` of
// them: a share of the Devanagari ids, not of all, so that a corpus of half English does not
// spend on rare aksharas the ids its Latin words need (and its Devanagari merges).
std::size_t akshara_limit(const Recipe& r, std::size_t size, double dev_part) {
    return std::max<std::size_t>(1, static_cast<std::size_t>(r.akshara_share * static_cast<double>(size) * dev_part));
}

Base base_at(const TrainingRequest& req, const Inventories& inv, std::size_t size, double dev_part = 1.0) {
    const Recipe& r = req.recipe;
    Base b;
    b.seeds = seeds_at(r, size);
    b.aksharas = inv.aksharas;
    if (req.scheme.codepoint_fallback) {
        // A missing akshara costs only its code points: the ids are better spent on merges.
        if (r.akshara_share > 0) {
            b.aksharas = first(inv.aksharas, akshara_limit(r, size, dev_part));
        }
        b.symbols = first(inv.symbols, size / std::max<std::size_t>(r.ids_per_symbol, 1));
    }
    return b;
}

SeedLists seed_lists(const Recipe& r, const Base& b) {
    return SeedLists{b.aksharas, b.seeds, r.punctuation, {}, b.seeds};
}

// The tokenizer of a request, with its paradigms and lexicon, before any token.
std::unique_ptr<Tokenizer> blank(const TrainingRequest& req) {
    auto tok = std::make_unique<Tokenizer>(req.mode, req.folding_rules, req.folding_rules);
    tok->set_scheme(req.scheme);
    for (const auto& [root, transitions] : req.paradigms) tok->add_paradigm(root, transitions);
    if (!req.lexicon.empty()) tok->set_lexicon(req.lexicon);
    tok->reserve_surfaces(req.special_tokens);
    return tok;
}

// Saves through the tokenizer's writer, and says a failure out loud: the run's callback is
// told, the failed save's leftovers go, and with CheckpointErrors::Raise the run stops.
class GuardedCheckpoints final : public CheckpointSink {
   public:
    GuardedCheckpoints(Tokenizer& tok, const RunSettings& run) : tok_(tok), writer_(tok.checkpoint_writer()), run_(run) {
        tok_.set_checkpoint_sink(this);
    }
    ~GuardedCheckpoints() override { tok_.set_checkpoint_sink(nullptr); }
    SaveOutcome save(const ConstrainedBPETrainer& t, const Corpus& corpus, std::uint64_t step) override {
        SaveOutcome o = writer_.save(t, corpus, step);
        if (o.kind != SaveOutcome::Kind::Failed || !t.ckpt.dir) return o;
        remove_partial_steps(*t.ckpt.dir);
        if (run_.checkpoint_failed) run_.checkpoint_failed(*t.ckpt.dir, o.text);
        if (run_.checkpoint_errors == CheckpointErrors::Raise) {
            throw_io("cannot write a checkpoint in " + *t.ckpt.dir + ": " + o.text);
        }
        return o;
    }

   private:
    Tokenizer& tok_;
    CheckpointSink& writer_;
    const RunSettings& run_;
};

// The size of the base vocabulary at `size` ids.
std::size_t base_size_at(const TrainingRequest& req, const Inventories& inv, std::size_t size, double dev_part = 1.0) {
    const Base b = base_at(req, inv, size, dev_part);
    Vocabulary v;
    initialize_vocab(v, seed_lists(req.recipe, b), ByteSymbols::standard());
    return add_fallback_tokens(v, req.scheme.codepoint_fallback, req.scheme.whitespace_tokens, b.symbols);
}

}  // namespace

WordSelection select_words(const CountStore& counts, std::uint64_t memory_limit) {
    WordSelection sel;
    if (memory_limit == 0 && counts.table()) {
        // Shares the table: nothing is copied. (The store keeps it alive as long as either.)
        auto keep = std::make_shared<CountStore>(counts);
        sel.words = std::shared_ptr<const WordTable>(keep, keep->table());
        return sel;
    }
    // What each count would cost, summed over the words of that count.
    std::map<std::uint64_t, std::pair<std::uint64_t, std::uint64_t>, std::greater<>> by_count;  // cost, types
    {
        auto c = counts.cursor();
        while (c->next()) {
            auto& [cost, types] = by_count[c->count];
            cost += training_bytes(c->word.size());
            ++types;
        }
    }
    const std::uint64_t held = counts.memory_bytes() + (std::uint64_t{32} << 20);  // the counts, and the rest
    const std::uint64_t budget = memory_limit == 0 ? UINT64_MAX : memory_limit > held ? memory_limit - held : 0;
    std::uint64_t used = 0;
    sel.min_count = 0;
    for (const auto& [count, cost_types] : by_count) {
        if (sel.min_count != 0 && used + cost_types.first > budget) break;
        used += cost_types.first;
        sel.min_count = count;  // the most frequent words are kept even when they alone do not fit
    }
    if (sel.min_count <= 1 && counts.table()) return select_words(counts, 0);
    WordTable kept;
    auto c = counts.cursor();
    while (c->next()) {
        if (c->count >= sel.min_count) {
            kept.append_in_order(c->word, c->count);
        } else {
            ++sel.left_out_types;
            sel.left_out_occurrences += c->count;
        }
    }
    kept.source = counts.source();
    sel.words = std::make_shared<const WordTable>(std::move(kept));
    if (sel.left_out_types == 0) sel.min_count = 1;
    return sel;
}

TrainingPlan plan_training(const WordTable& words, const TrainingRequest& req,
                           const std::function<bool()>& interrupted) {
    const Recipe& r = req.recipe;
    if (r.latin_share && !(*r.latin_share >= 0 && *r.latin_share < 1)) {
        throw_value("latin_share must be from 0 up to (not including) 1");
    }
    const auto tok = blank(req);
    const Inventories inv = req.scheme.codepoint_fallback
                                ? tok->harvest_inventories(words, 1, r.symbol_min_freq, r.symbol_limit)
                                : Inventories{tok->harvest_from_words(words, 1), {}};
    TrainingPlan plan;
    plan.vocab_size = req.vocab_size;
    plan.special_count = req.special_tokens.size();
    plan.base_size = base_size_at(req, inv, req.vocab_size);
    if (req.vocab_size < plan.base_size + plan.special_count) {
        // The smallest size that holds its own base (a larger size may give more aksharas
        // base ids, so look for the fixed point).
        std::size_t smallest = plan.base_size + plan.special_count;
        for (;;) {
            const std::size_t need = base_size_at(req, inv, smallest) + plan.special_count;
            if (need <= smallest) break;
            smallest = need;
        }
        throw_value("vocab_size " + std::to_string(req.vocab_size) + " is below the smallest possible size " +
                    std::to_string(smallest) + " for this corpus and recipe (" +
                    std::to_string(smallest - plan.special_count) + " base tokens at that size and " +
                    std::to_string(plan.special_count) + " special tokens)");
    }
    plan.trained_size = req.vocab_size - plan.special_count;
    const double trained = static_cast<double>(plan.trained_size);
    double dev_part = 1.0;
    if (r.latin_share) {
        plan.latin_share = *r.latin_share;
        // Rounded half to even, as the recipes' numbers always were.
        plan.lat_budget = static_cast<std::size_t>(std::nearbyint(plan.latin_share * trained));
        dev_part = 1.0 - plan.latin_share;
        plan.base_size = base_size_at(req, inv, req.vocab_size, dev_part);
    } else {
        // The merges past the base, shared as a plain BPE over both scripts shares them. The
        // base's aksharas take a share of the Devanagari ids, so the base and the split
        // depend on each other: one BPE run as long as the smallest base allows gives the
        // split of every number of merges, and the pair settles within a few rounds (the
        // Devanagari part only shrinks as the merges grow).
        const std::size_t smallest = std::min(base_size_at(req, inv, req.vocab_size, 0.0), plan.base_size);
        const std::vector<bool> scripts =
            joint_merge_scripts(words, plan.trained_size - smallest, tok->dfa(), req.scheme.latin_joins, interrupted);
        for (int round = 0;; ++round) {
            const std::size_t merges = plan.trained_size - plan.base_size;
            plan.split = split_of(scripts, merges);
            plan.lat_budget = latin_merges(*plan.split, merges);
            if (round == 16) break;
            const double part = 1.0 - static_cast<double>(plan.lat_budget) / trained;
            const std::size_t base = base_size_at(req, inv, req.vocab_size, part);
            if (base == plan.base_size) break;
            plan.base_size = base;
            dev_part = part;
        }
        plan.latin_share = static_cast<double>(plan.lat_budget) / trained;
    }
    plan.other_scripts = other_scripts(words, interrupted);
    plan.dev_budget = plan.trained_size - plan.lat_budget;
    plan.beyond = static_cast<std::size_t>(r.prune_share * static_cast<double>(plan.trained_size - plan.base_size));
    Base b = base_at(req, inv, req.vocab_size, dev_part);
    if (req.scheme.codepoint_fallback && r.akshara_share > 0) plan.akshara_limit = akshara_limit(r, req.vocab_size, dev_part);
    plan.seeds = std::move(b.seeds);
    plan.aksharas = std::move(b.aksharas);
    plan.symbols = std::move(b.symbols);
    return plan;
}

TrainingPlan plan_training(const CountStore& counts, std::uint64_t memory_limit, const TrainingRequest& request,
                           const std::function<bool()>& interrupted) {
    WordSelection words = select_words(counts, memory_limit);
    TrainingPlan plan = plan_training(*words.words, request, interrupted);
    plan.words = std::move(words);
    return plan;
}

FrozenTokenizer train_tokenizer(const WordTable& words, const TrainingRequest& req, const TrainingPlan& plan,
                                const RunSettings& run, LineSink& lines) {
    std::unique_ptr<Tokenizer> tok = blank(req);
    tok->set_line_sink(lines);
    tok->initialize_vocab(SeedLists{plan.aksharas, plan.seeds, req.recipe.punctuation, {}, plan.seeds});
    tok->add_fallback_tokens(plan.symbols);
    FileTrainOptions opt;
    opt.min_word_freq = req.recipe.word_min_freq;
    opt.progress_merges = run.progress_every;
    opt.checkpoint_dir = run.checkpoint_dir;
    opt.checkpoint_every = run.checkpoint_every;
    opt.checkpoint_keep = run.checkpoint_keep;
    // The companion's runs keep the smaller heap; only the exact module's progress lines
    // show the difference.
    opt.lazy_decreases = true;
    opt.interrupted = run.interrupted;
    GuardedCheckpoints guard(*tok, run);
    std::vector<std::uint64_t> use;
    opt.token_use = &use;
    std::size_t size = tok->train_from_word_texts(words, plan.dev_budget + plan.beyond, plan.lat_budget,
                                                  req.recipe.theta, opt);
    if (size > plan.trained_size) size = tok->prune_merges(use, size - plan.trained_size);
    tok->set_line_sink(stderr_sink());
    return FrozenTokenizer(std::move(tok), req.special_tokens);
}

FrozenTokenizer resume_tokenizer(const TrainingRequest& req, std::optional<std::size_t> prune_to,
                                 const RunSettings& run, LineSink& lines) {
    if (!run.checkpoint_dir) throw_value("resuming needs a checkpoint directory");
    std::unique_ptr<Tokenizer> tok = blank(req);
    tok->set_line_sink(lines);
    ResumeOptions opt;
    opt.progress_merges = run.progress_every;
    opt.checkpoint_every = run.checkpoint_every;
    opt.checkpoint_keep = run.checkpoint_keep;
    opt.lazy_decreases = true;
    opt.interrupted = run.interrupted;
    GuardedCheckpoints guard(*tok, run);
    std::vector<std::uint64_t> use;
    opt.token_use = &use;
    std::size_t size = tok->resume_from_checkpoint(*run.checkpoint_dir, opt);
    if (prune_to && size > *prune_to) size = tok->prune_merges(use, size - *prune_to);
    tok->set_line_sink(stderr_sink());
    return FrozenTokenizer(std::move(tok), req.special_tokens);
}

namespace {

// A run cutter that owns the tokenizer and the index its encoder reads.
struct OwningRuns final : KeyCutter {
    explicit OwningRuns(const FrozenTokenizer& t)
        : tok(t), index(tok.base().surface_index()), runs(tok.base().encode_context(*index)) {}
    void cut(std::string_view text, const std::function<void(std::string_view)>& add) const override {
        runs.cut(text, add);
    }
    FrozenTokenizer tok;
    std::shared_ptr<const SurfaceIndex> index;
    SuperwordRuns runs;
};

}  // namespace

std::shared_ptr<const KeyCutter> word_runs(const FrozenTokenizer& subwords) {
    return std::make_shared<OwningRuns>(subwords);
}

SuperwordStage add_superwords(const TrainingRequest& req, const FrozenTokenizer& base, const CountStore& runs,
                              std::size_t merges, std::uint64_t memory_limit,
                              const std::function<bool()>& interrupted) {
    const std::int64_t max_words = req.scheme.superword_words;
    if (max_words < 2) throw_value("superwords need superword_words of 2 or more, not " + std::to_string(max_words));
    const Tokenizer& sub = base.base();
    const auto index = sub.surface_index();
    const SuperwordRuns cutter(sub.encode_context(*index));
    WordSelection selected = select_words(runs, memory_limit);
    const std::vector<SuperwordMerge> made = train_superwords(*selected.words, cutter, sub.vocab_size(), merges,
                                                              static_cast<std::size_t>(max_words), interrupted);
    std::vector<TokenRow> rows = export_token_rows(sub.vocab());
    rows.reserve(rows.size() + made.size());
    for (const SuperwordMerge& m : made) {
        TokenRow r;
        r.id = rows.size();
        r.kind = kind_letter(TokenKind::Merge);
        r.script = rows[m.left].script;
        r.payload.clear();
        append_u64_list(r.payload, std::vector<TokenId>{m.left, m.right});
        r.surface = rows[m.left].surface + rows[m.right].surface;
        rows.push_back(std::move(r));
    }
    std::unique_ptr<Tokenizer> tok = blank(req);
    tok->import_tokens(std::move(rows), sub.seed_max_len());
    return {FrozenTokenizer(std::move(tok), req.special_tokens), made.size(), std::move(selected)};
}

FrozenTokenizer load_tokenizer(const TrainingRequest& req, TokenColumns columns, std::size_t seed_max_len) {
    std::unique_ptr<Tokenizer> tok = blank(req);
    tok->import_tokens(from_columns(std::move(columns)), seed_max_len);
    return FrozenTokenizer(std::move(tok), req.special_tokens);
}

}  // namespace larkspur

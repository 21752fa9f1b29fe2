#include "lib/tokenizer.hpp"

#include <limits>

#include "checkpoint/readers.hpp"
#include "checkpoint/writer.hpp"
#include "common/errors.hpp"
#include "common/files.hpp"
#include "train/word_counts.hpp"
#include "vocab/vocab_tsv.hpp"

namespace larkspur {

namespace {

std::size_t saturating_add(std::size_t a, std::size_t b) {
    return a > std::numeric_limits<std::size_t>::max() - b ? std::numeric_limits<std::size_t>::max() : a + b;
}


}  // namespace

Tokenizer::Tokenizer(FoldMode mode, const Normalizer::RulePairs& folding_rules,
                     const Normalizer::RulePairs& minimal_folding_rules)
    : normalizer(mode, mode == FoldMode::LM ? folding_rules : minimal_folding_rules),
      dfa(AksharaDFA::devanagari_default()),
      byte_symbols(ByteSymbols::standard()) {}

std::shared_ptr<const SurfaceIndex> Tokenizer::surface_index() const {
    std::lock_guard<std::mutex> lock(index_mu_);
    if (!index_ || index_->generation() != vocab.generation()) {
        index_ = std::make_shared<const SurfaceIndex>(vocab, byte_symbols);
    }
    return index_;
}

std::vector<TokenId> Tokenizer::encode(std::string_view text) const {
    auto index = surface_index();
    NormalizeScratch scratch;
    std::vector<TokenId> ids;
    encode_normalized(encode_context(*index), normalizer.normalize_view(text, scratch), ids);
    return ids;
}

namespace {

// The last space of `text` after which at least `chars` characters follow, or npos.
std::size_t last_space_with_lookahead(std::string_view text, std::size_t chars) {
    std::size_t lim = text.size(), counted = 0;
    while (lim > 0 && counted < chars) {
        --lim;
        counted += (static_cast<unsigned char>(text[lim]) & 0xC0) != 0x80;
    }
    if (counted < chars || lim == 0) return std::string_view::npos;
    return text.rfind(' ', lim - 1);
}

}  // namespace

void Tokenizer::encode_stream(const TextPieces& next_piece, const IdBatches& emit) const {
    constexpr std::size_t kSegment = 1 << 16;
    auto index = surface_index();
    const EncodeContext ctx = encode_context(*index);
    std::string raw, normalized;
    NormalizeScratch scratch;
    std::vector<TokenId> ids;
    bool first = true, more = true;
    while (more) {
        more = next_piece(raw);
        if (more && (raw.size() < kSegment || !normalizer.splits_at_spaces())) continue;
        // Normalize up to the last space of the raw text (all of it at the end).
        std::size_t cut = raw.size();
        if (more) {
            cut = raw.rfind(' ');
            if (cut == std::string::npos || cut == 0) continue;
        }
        normalized += normalizer.normalize_view(std::string_view(raw).substr(0, cut), scratch);
        raw.erase(0, cut);
        // Encode up to a space that leaves the abbreviation step its lookahead.
        std::size_t stop = normalized.size();
        if (more) {
            stop = last_space_with_lookahead(normalized, seed_max_len + 2);
            if (stop == std::string::npos || stop == 0) continue;
        }
        ids.clear();
        encode_segment(ctx, normalized, stop, first, ids);
        first = false;
        normalized.erase(0, stop);
        if (!ids.empty()) emit(ids);
    }
}

std::string Tokenizer::decode(std::span<const TokenId> ids) const {
    return larkspur::decode(*surface_index(), ids);
}

std::vector<std::string> Tokenizer::tokenize_to_strings(std::string_view text) const {
    std::vector<std::string> out;
    for (TokenId id : encode(text)) {
        if (id < vocab.size()) out.push_back(vocab.surface(id));
    }
    return out;
}

bool Tokenizer::verify_roundtrip(std::string_view s) const {
    auto index = surface_index();
    return larkspur::verify_roundtrip(normalizer, encode_context(*index), s);
}

CorpusStats Tokenizer::corpus_stats(const std::vector<std::string>& texts) const {
    auto index = surface_index();
    return larkspur::corpus_stats(normalizer, encode_context(*index), texts);
}

std::size_t Tokenizer::initialize_vocab(const SeedLists& lists) {
    seed_max_len = larkspur::initialize_vocab(vocab, lists, byte_symbols);
    return vocab.size();
}

std::size_t Tokenizer::load_vocab(std::vector<std::pair<std::size_t, std::string>> pairs) {
    seed_max_len = larkspur::load_vocab(vocab, std::move(pairs), byte_symbols);
    return vocab.size();
}

std::size_t Tokenizer::load_vocab_tsv(const std::string& path, bool allow_mode_mismatch) {
    return load_vocab(read_vocab_tsv(path, normalizer.mode(), allow_mode_mismatch, *lines_));
}

void Tokenizer::save_vocab_tsv(const std::string& path) const {
    larkspur::save_vocab_tsv(vocab, normalizer.mode(), path);
}

std::size_t Tokenizer::build_paradigm_embedding(bool seed_ambiguous_by_prior) {
    std::size_t count = 0;
    paradigm_ids = larkspur::build_paradigm_embedding(vocab, lexicon, root_prior, seed_ambiguous_by_prior, count);
    return count;
}

std::vector<std::int64_t> Tokenizer::paradigm_embedding_ids() const {
    std::vector<std::int64_t> u(vocab.size(), -1);
    for (TokenId t = 0; t < vocab.size() && t < paradigm_ids.size(); ++t) {
        if (paradigm_ids[t]) u[t] = static_cast<std::int64_t>(*paradigm_ids[t]);
    }
    return u;
}

// ---- training -------------------------------------------------------------------------

CheckpointConfig Tokenizer::ckpt_config(std::optional<std::string> dir, std::uint64_t every,
                                        std::size_t keep, std::size_t dev_budget,
                                        std::size_t total_budget) const {
    CheckpointConfig c;
    c.mode = fold_mode_name(normalizer.mode());
    c.dir = std::move(dir);
    c.every = static_cast<std::size_t>(every);
    c.keep = keep;
    c.dev_budget = dev_budget;
    c.total_budget = total_budget;
    c.lexicon = lexicon;
    c.seed_max_len = seed_max_len;
    c.paradigm_fingerprint = fingerprint_paradigms(registry);
    return c;
}

ConstrainedBPETrainer Tokenizer::make_trainer(CheckpointConfig config) {
    ConstrainedBPETrainer t;
    t.vocab = std::move(vocab);
    vocab = Vocabulary();
    t.registry = std::move(registry);
    registry = ParadigmRegistry();
    t.root_prior = root_prior;
    t.token_weights = token_weights;
    t.root_set_cap = root_set_cap;
    t.probabilistic_k = use_probabilistic_k;
    t.theta = 100;
    t.merges_done = 0;
    t.phase = Phase::DEV;
    t.ckpt = std::move(config);
    return t;
}

void Tokenizer::reclaim(ConstrainedBPETrainer& t) {
    vocab = std::move(t.vocab);
    t.vocab = Vocabulary();
    registry = std::move(t.registry);
    t.registry = ParadigmRegistry();
}

namespace {

// Gives the vocabulary and registry back to the tokenizer however a training call ends,
// so that an exception inside training never loses them.
class TrainerScope {
   public:
    TrainerScope(Tokenizer& tok, ConstrainedBPETrainer& t, void (Tokenizer::*reclaim)(ConstrainedBPETrainer&))
        : tok_(tok), t_(t), reclaim_(reclaim) {}
    ~TrainerScope() { (tok_.*reclaim_)(t_); }

   private:
    Tokenizer& tok_;
    ConstrainedBPETrainer& t_;
    void (Tokenizer::*reclaim_)(ConstrainedBPETrainer&);
};

}  // namespace

std::size_t Tokenizer::train_bpe(const std::vector<std::vector<TokenId>>& sequences,
                                 std::size_t vocab_budget, std::uint64_t theta) {
    tag_roots(vocab, registry, root_prior);
    Corpus corpus = Corpus::from_sequences(sequences);
    ConstrainedBPETrainer t = make_trainer(ckpt_config(std::nullopt, 0, 0, vocab_budget, vocab_budget));
    {
        TrainerScope scope(*this, t, &Tokenizer::reclaim);
        t.theta = theta;
        t.phase = Phase::DEV;
        train(t, corpus, vocab_budget, 0, nullptr, *lines_);
    }
    return vocab.size();
}

std::size_t Tokenizer::train_from_text(const std::vector<std::string>& texts, std::size_t vocab_budget,
                                       std::uint64_t theta) {
    tag_roots(vocab, registry, root_prior);
    WordCounts table;
    {
        auto index = surface_index();
        EncodeContext ctx = encode_context(*index);
        WordCounter counter(ctx, false);
        NormalizeScratch scratch;
        for (const auto& text : texts) counter.add_text(normalizer.normalize_view(text, scratch));
        table = counter.take_table();
    }
    if (table.size() == 0) return vocab.size();
    Corpus corpus = Corpus::from_word_counts(std::move(table));
    ConstrainedBPETrainer t = make_trainer(ckpt_config(std::nullopt, 0, 0, vocab_budget, vocab_budget));
    {
        TrainerScope scope(*this, t, &Tokenizer::reclaim);
        t.theta = theta;
        t.phase = Phase::DEV;
        train(t, corpus, vocab_budget, 0, nullptr, *lines_);
    }
    return vocab.size();
}

WordCountResult Tokenizer::count_file(const std::string& path, const FileTrainOptions& opt,
                                      bool latin_only) const {
    WordCountResult counts;
    {
        auto index = surface_index();
        counts = build_word_counts(path, opt.min_word_freq, opt.progress_lines, latin_only, normalizer,
                                   encode_context(*index), *lines_);
    }
    report(*lines_, latin_only ? "[build:LAT] done: %llu lines, %llu latin-word-occ, %zu unique types kept "
                            "(min_freq=%llu) in %.1fs\n"
                          : "[build] done: %llu lines, %llu word-occ, %zu unique types kept (min_freq=%llu) in %.1fs\n",
               static_cast<unsigned long long>(counts.lines), static_cast<unsigned long long>(counts.occurrences),
               counts.table.size(), static_cast<unsigned long long>(opt.min_word_freq), counts.seconds);
    return counts;
}

std::size_t Tokenizer::train_from_file(const std::string& path, std::size_t vocab_budget,
                                       std::uint64_t theta, const FileTrainOptions& opt) {
    WordCountResult counts = count_file(path, opt, false);
    tag_roots(vocab, registry, root_prior);
    Corpus corpus = Corpus::from_word_counts(std::move(counts.table));
    ConstrainedBPETrainer t = make_trainer(
        ckpt_config(opt.checkpoint_dir, opt.checkpoint_every, opt.checkpoint_keep, vocab_budget, vocab_budget));
    {
        TrainerScope scope(*this, t, &Tokenizer::reclaim);
        t.theta = theta;
        t.phase = Phase::DEV;
        CheckpointWriter writer;
        train(t, corpus, vocab_budget, opt.progress_merges, &writer, *lines_);
    }
    return vocab.size();
}

std::size_t Tokenizer::train_latin_from_file(const std::string& path, std::size_t lat_budget,
                                             const FileTrainOptions& opt) {
    if (vocab.empty()) {
        throw_runtime("train_latin_from_file: vocab is empty \xE2\x80\x94 call load_vocab_tsv first");
    }
    const std::size_t base = vocab.size();
    WordCountResult counts = count_file(path, opt, true);
    const std::size_t target = saturating_add(base, lat_budget);
    Corpus corpus = Corpus::from_word_counts(std::move(counts.table));
    ConstrainedBPETrainer t =
        make_trainer(ckpt_config(opt.checkpoint_dir, opt.checkpoint_every, opt.checkpoint_keep, base, target));
    {
        TrainerScope scope(*this, t, &Tokenizer::reclaim);
        t.theta = 100;
        t.phase = Phase::LAT;
        CheckpointWriter writer;
        train(t, corpus, target, opt.progress_merges, &writer, *lines_);
    }
    return vocab.size();
}

std::size_t Tokenizer::train_bilingual_from_file(const std::string& path, std::size_t dev_budget,
                                                 std::size_t lat_budget, std::uint64_t theta,
                                                 const FileTrainOptions& opt) {
    WordCountResult counts = count_file(path, opt, false);
    tag_roots(vocab, registry, root_prior);
    const std::size_t total = saturating_add(dev_budget, lat_budget);
    Corpus corpus = Corpus::from_word_counts(std::move(counts.table));
    ConstrainedBPETrainer t =
        make_trainer(ckpt_config(opt.checkpoint_dir, opt.checkpoint_every, opt.checkpoint_keep, dev_budget, total));
    {
        TrainerScope scope(*this, t, &Tokenizer::reclaim);
        t.theta = theta;
        CheckpointWriter writer;
        t.phase = Phase::DEV;
        train(t, corpus, dev_budget, opt.progress_merges, &writer, *lines_);
        const std::size_t dev_size = t.vocab.size();
        t.phase = Phase::LAT;
        train(t, corpus, total, opt.progress_merges, &writer, *lines_);
        report(*lines_, "[train] budget split: DEV %zu (target %zu) | LAT +%zu (target +%zu)\n", dev_size,
                   dev_budget, t.vocab.size() - dev_size, lat_budget);
    }
    return vocab.size();
}

// ---- resuming -------------------------------------------------------------------------

std::size_t Tokenizer::resume_from_checkpoint(const std::string& dir, const ResumeOptions& opt) {
    auto found = resolve_latest(dir);
    if (!found) throw Error(ErrorKind::FileNotFound, "no COMPLETE checkpoint under " + dir);
    const std::string& step = *found;
    CheckpointMeta meta = load_meta(step);
    const std::string mode = fold_mode_name(normalizer.mode());
    if (meta.mode != mode && !opt.allow_mode_mismatch) {
        throw_value("checkpoint was built with mode=" + meta.mode + " but this tokenizer is mode=" + mode +
                    ". Folding mode is a build-time fork; resuming across it produces a vocabulary whose "
                    "ids do not mean what the checkpoint thinks.");
    }
    const std::uint64_t fp = fingerprint_paradigms(registry);
    if (fp != meta.paradigm_fingerprint && !opt.allow_paradigm_mismatch) {
        throw_value("paradigm registry fingerprint " + std::to_string(fp) + " does not match the checkpoint's " +
                    std::to_string(meta.paradigm_fingerprint) +
                    ". P is a build input and is not serialized \xE2\x80\x94 re-register the SAME paradigms "
                    "with add_paradigm before resuming, or the Morph constraint changes mid-run.");
    }
    // Everything is read and checked before anything is replaced, so that a failed resume
    // leaves the tokenizer as it was.
    Vocabulary restored;
    import_ckpt_rows(restored, load_vocab_rows(files::join(step, "vocab.tsv")));
    auto weights = load_num_map(files::join(step, "weights.tsv"));
    auto prior = load_num_map(files::join(step, "prior.tsv"));
    Lexicon lex = load_lexicon(files::join(step, "lexicon.tsv"));
    Corpus corpus =
        Corpus::from_checkpoint_words(load_corpus_rows(files::join(step, "corpus.tsv")), meta.corpus_fingerprint);

    vocab = std::move(restored);
    seed_max_len = meta.seed_max_len;
    root_set_cap = meta.root_set_cap;
    use_probabilistic_k = meta.use_probabilistic_k;
    token_weights = TokenWeights(weights.begin(), weights.end());
    root_prior = RootPrior(prior.begin(), prior.end());
    lexicon = std::move(lex);

    report(*lines_, "[resume] %s | phase=%s merges=%llu vocab=%zu word_types=%zu\n", step.c_str(),
               phase_name(meta.phase), static_cast<unsigned long long>(meta.merges_done), vocab.size(),
               corpus.word_count());
    ConstrainedBPETrainer t = make_trainer(
        ckpt_config(dir, opt.checkpoint_every, opt.checkpoint_keep, meta.dev_budget, meta.total_budget));
    std::size_t result;
    {
        TrainerScope scope(*this, t, &Tokenizer::reclaim);
        t.theta = meta.theta;
        t.merges_done = meta.merges_done;
        CheckpointWriter writer;
        if (meta.phase == Phase::LAT) {
            t.phase = Phase::LAT;
            train(t, corpus, meta.total_budget, opt.progress_merges, &writer, *lines_);
        } else {
            t.phase = Phase::DEV;
            train(t, corpus, meta.dev_budget, opt.progress_merges, &writer, *lines_);
            if (meta.total_budget > meta.dev_budget) {
                t.phase = Phase::LAT;
                train(t, corpus, meta.total_budget, opt.progress_merges, &writer, *lines_);
            }
        }
        result = t.vocab.size();
    }
    return result;
}

std::optional<CheckpointInfo> Tokenizer::checkpoint_info(const std::string& dir) {
    auto found = resolve_latest(dir);
    if (!found) return std::nullopt;
    CheckpointInfo info;
    info.path = *found;
    try {
        info.meta = load_meta(*found);
    } catch (const Error& e) {
        throw_io(std::string("read meta: ") + e.what());
    }
    return info;
}

}  // namespace larkspur

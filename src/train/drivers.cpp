#include "train/drivers.hpp"

#include <limits>

#include "common/errors.hpp"

namespace larkspur {

namespace {

std::size_t saturating_add(std::size_t a, std::size_t b) {
    return a > std::numeric_limits<std::size_t>::max() - b ? std::numeric_limits<std::size_t>::max() : a + b;
}

// Owns the trainer for one run and gives the vocabulary and registry back to the model
// however the run ends, so that an exception inside training never loses them.
class TrainerScope {
   public:
    TrainerScope(ModelState& m, CheckpointConfig config) : m_(m) {
        t_.vocab = std::move(m.vocab);
        m.vocab = Vocabulary();
        t_.registry = std::move(m.registry);
        m.registry = ParadigmRegistry();
        t_.root_prior = m.root_prior;
        t_.token_weights = m.token_weights;
        t_.root_set_cap = m.root_set_cap;
        t_.probabilistic_k = m.use_probabilistic_k;
        t_.rules = m.merge_rules;
        t_.reserved = m.reserved;
        t_.theta = 100;
        t_.merges_done = 0;
        t_.phase = Phase::DEV;
        t_.ckpt = std::move(config);
    }
    ~TrainerScope() {
        m_.vocab = std::move(t_.vocab);
        m_.registry = std::move(t_.registry);
    }
    TrainerScope(const TrainerScope&) = delete;
    TrainerScope& operator=(const TrainerScope&) = delete;
    ConstrainedBPETrainer& trainer() { return t_; }

   private:
    ModelState& m_;
    ConstrainedBPETrainer t_;
};

}  // namespace

CheckpointConfig TrainingDriver::ckpt_config(std::optional<std::string> dir, std::uint64_t every,
                                             std::size_t keep, std::size_t dev_budget,
                                             std::size_t total_budget) const {
    CheckpointConfig c;
    c.mode = fold_mode_name(mode_);
    c.dir = std::move(dir);
    c.every = static_cast<std::size_t>(every);
    c.keep = keep;
    c.dev_budget = dev_budget;
    c.total_budget = total_budget;
    c.lexicon = m_.lexicon;
    c.seed_max_len = m_.seed_max_len;
    c.paradigm_fingerprint = fingerprint_paradigms(m_.registry);
    return c;
}

std::vector<std::size_t> TrainingDriver::run(Corpus& corpus, RunSpec spec) {
    std::vector<std::size_t> sizes;
    TrainerScope scope(m_, std::move(spec.ckpt));
    ConstrainedBPETrainer& t = scope.trainer();
    t.theta = spec.theta;
    t.merges_done = spec.merges_done;
    t.lazy_decreases = spec.lazy_decreases;
    t.interrupted = spec.interrupted;
    for (const Pass& p : spec.passes) {
        t.phase = p.phase;
        train(t, corpus, p.budget, spec.progress_merges, t.ckpt.dir ? checkpoints_ : nullptr, lines_);
        sizes.push_back(t.vocab.size());
    }
    if (spec.token_use) {
        std::vector<std::uint64_t>& use = *spec.token_use;
        use.assign(t.vocab.size(), 0);
        for (std::size_t w = 0; w < corpus.word_count(); ++w) {
            const std::uint64_t count = corpus.words[w].count;
            for (std::uint32_t id : corpus.codes(w)) {
                if (id < use.size()) use[id] += count;
            }
        }
    }
    return sizes;
}

std::size_t TrainingDriver::train_bpe(const std::vector<std::vector<TokenId>>& sequences,
                                      std::size_t vocab_budget, std::uint64_t theta) {
    tag_roots(m_.vocab, m_.registry, m_.root_prior, m_.merge_rules.marker_stems);
    Corpus corpus = Corpus::from_sequences(sequences);
    run(corpus, {ckpt_config(std::nullopt, 0, 0, vocab_budget, vocab_budget), theta, 0, 0,
                 {{Phase::DEV, vocab_budget}}});
    return m_.vocab.size();
}

std::size_t TrainingDriver::train_from_text(const Normalizer& normalizer, const EncodeContext& encoder,
                                            const std::vector<std::string>& texts, std::size_t vocab_budget,
                                            std::uint64_t theta) {
    tag_roots(m_.vocab, m_.registry, m_.root_prior, m_.merge_rules.marker_stems);
    WordCounter counter(encoder, false);
    NormalizeScratch scratch;
    for (const auto& text : texts) counter.add_text(normalizer.normalize_view(text, scratch));
    WordCounts table = counter.take_table();
    if (table.size() == 0) return m_.vocab.size();
    Corpus corpus = Corpus::from_word_counts(std::move(table));
    run(corpus, {ckpt_config(std::nullopt, 0, 0, vocab_budget, vocab_budget), theta, 0, 0,
                 {{Phase::DEV, vocab_budget}}});
    return m_.vocab.size();
}

WordCountResult TrainingDriver::count_file(const Normalizer& normalizer, const EncodeContext& encoder,
                                           const std::string& path, const FileTrainOptions& opt,
                                           bool latin_only) {
    WordCountResult counts =
        build_word_counts(path, opt.min_word_freq, opt.progress_lines, latin_only, normalizer, encoder, lines_);
    report(lines_,
           latin_only ? "[build:LAT] done: %llu lines, %llu latin-word-occ, %zu unique types kept (min_freq=%llu) in %.1fs\n"
                      : "[build] done: %llu lines, %llu word-occ, %zu unique types kept (min_freq=%llu) in %.1fs\n",
           static_cast<unsigned long long>(counts.lines), static_cast<unsigned long long>(counts.occurrences),
           counts.table.size(), static_cast<unsigned long long>(opt.min_word_freq), counts.seconds);
    return counts;
}

std::vector<std::size_t> TrainingDriver::run_file_corpus(WordCounts&& table, const FileTrainOptions& opt,
                                                         std::uint64_t theta, std::size_t dev_budget,
                                                         std::size_t total_budget, std::vector<Pass> passes) {
    Corpus corpus = Corpus::from_word_counts(std::move(table));
    return run(corpus, {ckpt_config(opt.checkpoint_dir, opt.checkpoint_every, opt.checkpoint_keep, dev_budget,
                                    total_budget),
                        theta, 0, opt.progress_merges, std::move(passes), opt.token_use, opt.lazy_decreases,
                        opt.interrupted});
}

std::size_t TrainingDriver::train_from_file(const Normalizer& normalizer, const EncodeContext& encoder,
                                            const std::string& path, std::size_t vocab_budget,
                                            std::uint64_t theta, const FileTrainOptions& opt) {
    WordCountResult counts = count_file(normalizer, encoder, path, opt, false);
    tag_roots(m_.vocab, m_.registry, m_.root_prior, m_.merge_rules.marker_stems);
    run_file_corpus(std::move(counts.table), opt, theta, vocab_budget, vocab_budget,
                    {{Phase::DEV, vocab_budget}});
    return m_.vocab.size();
}

std::size_t TrainingDriver::train_latin_from_file(const Normalizer& normalizer, const EncodeContext& encoder,
                                                  const std::string& path, std::size_t lat_budget,
                                                  const FileTrainOptions& opt) {
    if (m_.vocab.empty()) {
        throw_runtime("train_latin_from_file: vocab is empty \xE2\x80\x94 call load_vocab_tsv first");
    }
    const std::size_t base = m_.vocab.size();
    WordCountResult counts = count_file(normalizer, encoder, path, opt, true);
    // The Latin pass does not read theta; 100 is the trainer's own default.
    const std::size_t target = saturating_add(base, lat_budget);
    run_file_corpus(std::move(counts.table), opt, 100, base, target, {{Phase::LAT, target}});
    return m_.vocab.size();
}

std::size_t TrainingDriver::train_bilingual_from_file(const Normalizer& normalizer, const EncodeContext& encoder,
                                                      const std::string& path, std::size_t dev_budget,
                                                      std::size_t lat_budget, std::uint64_t theta,
                                                      const FileTrainOptions& opt) {
    WordCountResult counts = count_file(normalizer, encoder, path, opt, false);
    tag_roots(m_.vocab, m_.registry, m_.root_prior, m_.merge_rules.marker_stems);
    const std::size_t total = saturating_add(dev_budget, lat_budget);
    std::vector<std::size_t> sizes = run_file_corpus(std::move(counts.table), opt, theta, dev_budget, total,
                                                     {{Phase::DEV, dev_budget}, {Phase::LAT, total}});
    report(lines_, "[train] budget split: DEV %zu (target %zu) | LAT +%zu (target +%zu)\n", sizes[0],
           dev_budget, sizes[1] - sizes[0], lat_budget);
    return m_.vocab.size();
}

std::size_t TrainingDriver::train_from_word_texts(const EncodeContext& encoder, const WordTable& words,
                                                 std::size_t dev_budget, std::size_t lat_budget,
                                                 std::uint64_t theta, const FileTrainOptions& opt) {
    WordCounts table;
    WordCounts::Seq ids;
    EncodeScratch scratch;
    for (std::size_t w = 0; w < words.size(); ++w) {
        if ((w & 0xFFFF) == 0xFFFF && opt.interrupted && opt.interrupted()) throw Interrupted();
        const std::uint64_t count = words.count(w);
        if (count == 0) continue;
        ids.clear();
        encode_normalized(encoder, words.word(w), ids, scratch);
        if (!ids.empty()) table.add(table.entry(ids), count);
    }
    if (opt.min_word_freq >= 2) table.retain_at_least(opt.min_word_freq);
    tag_roots(m_.vocab, m_.registry, m_.root_prior, m_.merge_rules.marker_stems);
    const std::size_t total = saturating_add(dev_budget, lat_budget);
    run_file_corpus(std::move(table), opt, theta, dev_budget, total, {{Phase::DEV, dev_budget}, {Phase::LAT, total}});
    return m_.vocab.size();
}

}  // namespace larkspur

#include "checkpoint/resume.hpp"

#include "checkpoint/readers.hpp"
#include "common/errors.hpp"
#include "common/files.hpp"

namespace larkspur {

std::size_t resume_from_checkpoint(TrainingDriver& driver, ModelState& model, FoldMode mode,
                                   const std::string& dir, const ResumeOptions& opt, LineSink& lines) {
    auto found = resolve_latest(dir);
    if (!found) throw Error(ErrorKind::FileNotFound, "no COMPLETE checkpoint under " + dir);
    const std::string& step = *found;
    CheckpointMeta meta = load_meta(step);
    const std::string mode_tag = fold_mode_name(mode);
    if (meta.mode != mode_tag && !opt.allow_mode_mismatch) {
        throw_value("checkpoint was built with mode=" + meta.mode + " but this tokenizer is mode=" + mode_tag +
                    ". Folding mode is a build-time fork; resuming across it produces a vocabulary whose "
                    "ids do not mean what the checkpoint thinks.");
    }
    const std::uint64_t fp = fingerprint_paradigms(model.registry);
    if (fp != meta.paradigm_fingerprint && !opt.allow_paradigm_mismatch) {
        throw_value("paradigm registry fingerprint " + std::to_string(fp) + " does not match the checkpoint's " +
                    std::to_string(meta.paradigm_fingerprint) +
                    ". P is a build input and is not serialized \xE2\x80\x94 re-register the SAME paradigms "
                    "with add_paradigm before resuming, or the Morph constraint changes mid-run.");
    }
    Vocabulary restored;
    import_ckpt_rows(restored, load_vocab_rows(files::join(step, "vocab.tsv")));
    auto weights = load_num_map(files::join(step, "weights.tsv"));
    auto prior = load_num_map(files::join(step, "prior.tsv"));
    Lexicon lexicon = load_lexicon(files::join(step, "lexicon.tsv"));
    Corpus corpus =
        Corpus::from_checkpoint_words(load_corpus_rows(files::join(step, "corpus.tsv")), meta.corpus_fingerprint);

    model.vocab = std::move(restored);
    model.seed_max_len = meta.seed_max_len;
    model.root_set_cap = meta.root_set_cap;
    model.use_probabilistic_k = meta.use_probabilistic_k;
    model.token_weights = TokenWeights(weights.begin(), weights.end());
    model.root_prior = RootPrior(prior.begin(), prior.end());
    model.lexicon = std::move(lexicon);

    report(lines, "[resume] %s | phase=%s merges=%llu vocab=%zu word_types=%zu\n", step.c_str(),
           phase_name(meta.phase), static_cast<unsigned long long>(meta.merges_done), model.vocab.size(),
           corpus.word_count());
    RunSpec spec{driver.ckpt_config(dir, opt.checkpoint_every, opt.checkpoint_keep, meta.dev_budget,
                                    meta.total_budget),
                 meta.theta, meta.merges_done, opt.progress_merges, {}};
    if (meta.phase == Phase::LAT) {
        spec.passes = {{Phase::LAT, meta.total_budget}};
    } else {
        spec.passes = {{Phase::DEV, meta.dev_budget}};
        if (meta.total_budget > meta.dev_budget) spec.passes.push_back({Phase::LAT, meta.total_budget});
    }
    spec.token_use = opt.token_use;
    spec.lazy_decreases = opt.lazy_decreases;
    spec.interrupted = opt.interrupted;
    return driver.run(corpus, std::move(spec)).back();
}

std::optional<CheckpointInfo> checkpoint_info(const std::string& dir) {
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

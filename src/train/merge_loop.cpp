// The merge loop.
//
// Candidates live in a binary max-heap with lazy deletion: a count change pushes a fresh
// entry and leaves the old one to be discarded when it surfaces (its recorded count no
// longer matches). Pair counts are updated from the neighbours of each merged occurrence,
// and only the pairs touched by a merge are re-examined.
//
// To keep a merge from scanning every word type, an index maps each pair to the words in
// which it has occurred; entries are only ever appended (a word that no longer holds the
// pair is simply found empty when scanned). The words of a merge are visited in
// ascending word order, which is the order a full scan would use, so every count update
// happens in the same sequence and the results are identical to scanning all words.
#include <algorithm>
#include <chrono>
#include <vector>

#include "common/errors.hpp"
#include "common/report.hpp"
#include "train/pair_index.hpp"
#include "train/trainer.hpp"

namespace larkspur {

namespace {

class MergeLoop {
   public:
    MergeLoop(ConstrainedBPETrainer& t, Corpus& c, LineSink& lines) : t_(t), c_(c), lines_(lines) {}

    void run(std::size_t budget, std::uint64_t progress_merges, CheckpointSink* sink) {
        const auto start = std::chrono::steady_clock::now();
        auto elapsed = [&] {
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        };
        const char* label = phase_name(t_.phase);
        const std::size_t vocab_at_entry = t_.vocab.size();

        c_.pair_counts.for_each([&](PairKey k, std::uint64_t count) {
            if (t_.legal(pair_left(k), pair_right(k), count)) heap_.push_back(candidate(k, count));
        });
        std::make_heap(heap_.begin(), heap_.end());
        if (progress_merges != 0) {
            report(lines_, "[train:%s] heap seeded with %zu admissible pairs in %.1fs\n", label,
                         heap_.size(), elapsed());
        }

        std::uint64_t merges = 0;
        bool indexed = false;
        while (t_.vocab.size() < budget) {
            MergeCandidate top;
            if (!pop_valid(top)) break;
            if (!indexed) {
                // Built lazily: a call that merges nothing never pays for it.
                build_index();
                indexed = true;
            }
            merge(top.left, top.right);
            ++merges;
            ++t_.merges_done;
            if ((merges & 0xFF) == 0 && t_.interrupted && t_.interrupted()) throw Interrupted();
            if (sink && t_.ckpt.dir && t_.ckpt.every != 0 && t_.merges_done % t_.ckpt.every == 0) {
                SaveOutcome o = sink->save(t_, c_, t_.merges_done);
                if (o.kind == SaveOutcome::Kind::Failed) {
                    report(lines_, "[ckpt:%s] WARNING save failed: %s\n", label, o.text.c_str());
                } else if (o.kind == SaveOutcome::Kind::Written && progress_merges != 0) {
                    report(lines_, "[ckpt:%s] wrote %s\n", label, o.text.c_str());
                }
            }
            if (progress_merges != 0 && merges % progress_merges == 0) {
                lines_.vocab_progress(t_.vocab.size());
                double secs = elapsed();
                report(lines_, "[train:%s] %llu merges | vocab %zu | heap %zu | %.1fs | %.0f merges/s\n",
                             label, static_cast<unsigned long long>(merges), t_.vocab.size(),
                             heap_.size(), secs,
                             static_cast<double>(merges) / std::max(secs, 0.000000001));
            }
        }
        if (sink && t_.ckpt.dir) {
            SaveOutcome o = sink->save(t_, c_, t_.merges_done);
            if (o.kind == SaveOutcome::Kind::Failed) {
                report(lines_, "[ckpt:%s] WARNING final save failed: %s\n", label, o.text.c_str());
            } else if (o.kind == SaveOutcome::Kind::Written) {
                report(lines_, "[ckpt:%s] final %s\n", label, o.text.c_str());
            }
        }
        if (progress_merges != 0) {
            report(lines_, "[train:%s] done: %llu merges (%zu -> %zu vocab) in %.1fs\n", label,
                         static_cast<unsigned long long>(merges), vocab_at_entry, t_.vocab.size(),
                         elapsed());
        }
    }

   private:
    MergeCandidate candidate(PairKey k, std::uint64_t count) const {
        auto [rank, key] = t_.priority_key(pair_left(k), pair_right(k), count);
        return MergeCandidate{rank, key, pair_left(k), pair_right(k), count};
    }

    // Pops until a candidate whose recorded count is current, non-zero and still legal.
    bool pop_valid(MergeCandidate& out) {
        while (!heap_.empty()) {
            std::pop_heap(heap_.begin(), heap_.end());
            out = heap_.back();
            heap_.pop_back();
            const PairKey k = pair_key(out.left, out.right);
            const std::uint64_t* c = c_.pair_counts.find(k);
            if (!c || *c == 0) continue;
            if (*c != out.freq) {
                // With lazy decreases, an entry that overstates the count stands for the
                // pair until it surfaces: re-admit the pair at its current count.
                if (t_.lazy_decreases && *c < out.freq) readmit(k, *c);
                continue;
            }
            if (!t_.legal(out.left, out.right, *c)) continue;
            return true;
        }
        return false;
    }

    void build_index() {
        for (std::size_t w = 0; w < c_.word_count(); ++w) {
            auto ids = c_.codes(w);
            for (std::size_t i = 0; i + 1 < ids.size(); ++i) note(pair_key(ids[i], ids[i + 1]), w);
        }
    }

    void note(PairKey k, std::size_t w) { index_.note(k, static_cast<std::uint32_t>(w)); }

    void lower(PairKey k, std::uint64_t by) {
        std::uint64_t* v = c_.pair_counts.find(k);
        if (!v) return;  // counts never go below 0
        if (*v <= by) {
            c_.pair_counts.erase(k);
        } else {
            *v -= by;
        }
        if (!t_.lazy_decreases) touched_.push_back(k);
    }

    void readmit(PairKey k, std::uint64_t count) {
        if (!t_.legal(pair_left(k), pair_right(k), count)) return;
        heap_.push_back(candidate(k, count));
        std::push_heap(heap_.begin(), heap_.end());
    }

    void raise(PairKey k, std::uint64_t by, std::size_t w) {
        c_.pair_counts[k] += by;
        touched_.push_back(k);
        note(k, w);
    }

    void merge(std::uint32_t a, std::uint32_t b) {
        Vocabulary& v = t_.vocab;
        std::vector<RootId> narrowed;
        const auto& roots = v.root_set(a);
        if (t_.phase == Phase::DEV && !roots.empty()) {
            const std::string_view from = t_.morph_surface(a);
            for (RootId r : roots) {
                if (t_.registry.check_allowed(r, from, v.surface(b))) narrowed.push_back(r);
            }
        }
        std::string surface = v.surface(a) + v.surface(b);
        if (t_.rules.marker_stems && t_.phase == Phase::DEV && roots.empty() && v.script(a) == Script::DEV) {
            narrowed = t_.registry.roots_with_key(without_marker(surface));
            RootOrder(t_.root_prior).sort(narrowed);
        }
        const bool existed = v.find(surface).has_value();
        TokenId tid = v.add_token(Token::merge({a, b}), std::move(surface), false, false);
        if (!existed) {
            // What the Latin pass makes is Latin, whichever part leads ("(" + "the").
            v.set_script(tid, t_.phase == Phase::LAT ? Script::LAT : v.script(a));
            v.set_root_set(tid, std::move(narrowed));
        }
        const auto t = static_cast<std::uint32_t>(tid);

        const PairKey ab = pair_key(a, b);
        std::vector<std::uint32_t>& words = words_;
        index_.take(ab, words);
        std::sort(words.begin(), words.end());
        words.erase(std::unique(words.begin(), words.end()), words.end());

        touched_.clear();
        for (std::uint32_t wid : words) {
            auto& rec = c_.words[wid];
            std::uint32_t* ids = c_.arena.data() + rec.offset;
            const std::uint64_t cw = rec.count;
            // One pass that compacts in place: ids[0, w) is the rewritten prefix and
            // ids[r, len) the unread rest, ids[r] being the position under examination.
            // Counts are lowered and raised in the same order as a replace-and-shift at
            // each occurrence would, without moving the tail every time, so a word of any
            // length costs one pass.
            const std::size_t len = rec.len;
            std::size_t w = 0, r = 0;
            while (r + 1 < len) {
                if (ids[r] != a || ids[r + 1] != b) {
                    ids[w++] = ids[r++];
                    continue;
                }
                const bool has_p = w > 0, has_q = r + 2 < len;
                if (has_p) lower(pair_key(ids[w - 1], a), cw);
                if (has_q) lower(pair_key(b, ids[r + 2]), cw);
                ids[++r] = t;
                if (has_p) raise(pair_key(ids[w - 1], t), cw, wid);
                if (has_q) raise(pair_key(t, ids[r + 1]), cw, wid);
                // Go on with the pair that starts here: the new token and its right neighbour.
            }
            while (r < len) ids[w++] = ids[r++];
            rec.len = static_cast<decltype(rec.len)>(w);
        }
        c_.pair_counts.erase(ab);

        std::sort(touched_.begin(), touched_.end());
        touched_.erase(std::unique(touched_.begin(), touched_.end()), touched_.end());
        for (PairKey k : touched_) {
            const std::uint64_t* c = c_.pair_counts.find(k);
            if (c && *c != 0) readmit(k, *c);
        }
    }

    ConstrainedBPETrainer& t_;
    Corpus& c_;
    LineSink& lines_;
    std::vector<MergeCandidate> heap_;
    PairIndex index_;
    std::vector<std::uint32_t> words_;  // the words of the merge under way
    std::vector<PairKey> touched_;
};

}  // namespace

void train(ConstrainedBPETrainer& trainer, Corpus& corpus, std::size_t budget,
           std::uint64_t progress_merges, CheckpointSink* sink, LineSink& lines) {
    MergeLoop(trainer, corpus, lines).run(budget, progress_merges, sink);
}

}  // namespace larkspur

#include "train/script_split.hpp"

#include <unicode/uchar.h>
#include <unicode/uscript.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <queue>
#include <string_view>

#include "common/errors.hpp"
#include "common/markers.hpp"
#include "common/utf8.hpp"
#include "train/pair_index.hpp"

namespace larkspur {

namespace {

enum class Unit : std::uint8_t { Dev, Latin, Punct, Other };

// The punctuation that the recipes give tokens of their own: ASCII and the dandas.
Unit unit_class(char32_t c) {
    if (c < 0x80) {
        if (utf8::is_ascii_alnum(c)) return Unit::Latin;
        if (c > 0x20 && c < 0x7F) return Unit::Punct;
        return Unit::Other;
    }
    if (c == 0x0964 || c == 0x0965) return Unit::Punct;
    if (c >= 0x0900 && c <= 0x097F) return Unit::Dev;
    return Unit::Other;
}

struct Char {
    std::uint32_t begin, end;
    Unit unit;
};

// Cuts words into runs of units (see joint_merge_split), reusing its buffers.
class RunCutter {
   public:
    explicit RunCutter(const AksharaDFA& dfa) : dfa_(dfa) {}

    // emit(is_latin, units) for each run of `word` that can merge.
    template <class Emit>
    void cut(std::string_view word, Emit&& emit) {
        chars_.clear();
        for (std::size_t i = 0; i < word.size();) {
            const std::size_t begin = i;
            const char32_t c = utf8::next(word, i);
            chars_.push_back({static_cast<std::uint32_t>(begin), static_cast<std::uint32_t>(i), unit_class(c)});
        }
        std::size_t k = 0;
        while (k < chars_.size()) {
            const Unit first = chars_[k].unit;
            if (first == Unit::Other) {
                ++k;
                continue;
            }
            const bool latin = first == Unit::Latin, at_start = k == 0;
            std::size_t end = k;
            bool has_dev = false;
            for (; end < chars_.size(); ++end) {
                const Unit u = chars_[end].unit;
                if (u == Unit::Other || u == (latin ? Unit::Dev : Unit::Latin)) break;
                has_dev |= u == Unit::Dev;
            }
            units_.clear();
            if (at_start) units_.push_back(latin ? markers::kLatin : markers::kWord);
            for (std::size_t j = k; j < end;) {
                if (chars_[j].unit != Unit::Dev) {
                    units_.push_back(word.substr(chars_[j].begin, chars_[j].end - chars_[j].begin));
                    ++j;
                    continue;
                }
                std::size_t dev_end = j;
                while (dev_end < end && chars_[dev_end].unit == Unit::Dev) ++dev_end;
                const std::string_view dev = word.substr(chars_[j].begin, chars_[dev_end - 1].end - chars_[j].begin);
                dfa_.segment(dev, [&](std::size_t b, std::size_t e) { units_.push_back(dev.substr(b, e - b)); });
                j = dev_end;
            }
            if ((latin || has_dev || at_start) && units_.size() > 1) emit(latin, units_);
            k = end;
        }
    }

   private:
    const AksharaDFA& dfa_;
    std::vector<Char> chars_;
    std::vector<std::string_view> units_;
};

// A plain BPE over runs, each a sequence of unit numbers with a count. The sequences lie
// end to end in one array and shrink in place as pairs merge; a pair's count changes only
// by the pairs that a merge really replaces in a run, so that the heap gets an entry for
// those alone.
class JointBpe {
   public:
    std::uint32_t unit(std::string_view text) {
        auto [n, fresh] = names_.try_emplace(text);
        if (fresh) *n = next_++;
        return *n;
    }

    void add(bool latin, const std::vector<std::uint32_t>& seq, std::uint64_t count) {
        start_.push_back(units_.size());
        units_.insert(units_.end(), seq.begin(), seq.end());
        length_.push_back(static_cast<std::uint32_t>(seq.size()));
        count_.push_back(count);
        latin_.push_back(latin);
    }

    ScriptSplit run(std::size_t merges, const std::function<bool()>& interrupted) {
        names_ = {};
        for (std::uint32_t s = 0; s < count_.size(); ++s) {
            if ((s & 0xFFFF) == 0xFFFF && interrupted && interrupted()) throw Interrupted();
            const std::uint32_t* u = &units_[start_[s]];
            for (std::uint32_t i = 0; i + 1 < length_[s]; ++i) {
                pairs_[key(u[i], u[i + 1])] += count_[s];
                where_.note(key(u[i], u[i + 1]), s);
            }
        }
        pairs_.for_each([&](std::uint64_t k, std::uint64_t n) { heap_.push({n, ~k}); });
        std::vector<std::uint32_t> seen(count_.size(), UINT32_MAX), runs;
        ScriptSplit split;
        for (std::uint32_t done = 0; done < merges && !heap_.empty();) {
            const auto [n, inverted] = heap_.top();
            heap_.pop();
            const std::uint64_t k = ~inverted;
            const std::uint64_t* now = pairs_.find(k);
            if (!now || *now != n) continue;  // stale: its current count has an entry of its own
            const std::uint32_t merged = next_++;
            where_.take(k, runs);
            std::uint64_t in_latin = 0, in_dev = 0;
            for (std::uint32_t s : runs) {
                if (seen[s] == done) continue;  // a run noted twice for the same pair
                seen[s] = done;
                (latin_[s] ? in_latin : in_dev) += count_[s] * merge_in(s, k, merged);
            }
            (in_latin > in_dev ? split.lat_merges : split.dev_merges) += 1;
            pairs_.erase(k);
            std::sort(touched_.begin(), touched_.end());
            touched_.erase(std::unique(touched_.begin(), touched_.end()), touched_.end());
            for (std::uint64_t t : touched_) {
                std::uint64_t* c = pairs_.find(t);
                if (!c || t == k) continue;
                if (*c == 0) {
                    pairs_.erase(t);
                } else {
                    heap_.push({*c, ~t});
                }
            }
            touched_.clear();
            ++done;
            // The first merges each rewrite much of the corpus: those are asked after each.
            if (((done & 0xF) == 0 || runs.size() > 4096) && interrupted && interrupted()) throw Interrupted();
        }
        return split;
    }

   private:
    static std::uint64_t key(std::uint32_t a, std::uint32_t b) { return (std::uint64_t{a} << 32) | b; }

    // Merges pair k in run s into `merged`; gives the number of places merged.
    std::uint32_t merge_in(std::uint32_t s, std::uint64_t k, std::uint32_t merged) {
        const auto a = static_cast<std::uint32_t>(k >> 32), b = static_cast<std::uint32_t>(k);
        std::uint32_t* u = &units_[start_[s]];
        const std::uint32_t len = length_[s];
        old_.clear();
        for (std::uint32_t i = 0; i + 1 < len; ++i) old_.push_back(key(u[i], u[i + 1]));
        std::uint32_t out = 0;
        for (std::uint32_t i = 0; i < len;) {
            if (i + 1 < len && u[i] == a && u[i + 1] == b) {
                u[out++] = merged;
                i += 2;
            } else {
                u[out++] = u[i++];
            }
        }
        if (out == len) return 0;
        length_[s] = out;
        new_.clear();
        for (std::uint32_t i = 0; i + 1 < out; ++i) {
            new_.push_back(key(u[i], u[i + 1]));
            if (u[i] == merged || u[i + 1] == merged) where_.note(new_.back(), s);
        }
        // The pairs that changed: those of the old run not in the new one, and the reverse
        // (as multisets).
        std::sort(old_.begin(), old_.end());
        std::sort(new_.begin(), new_.end());
        const std::uint64_t n = count_[s];
        std::size_t i = 0, j = 0;
        while (i < old_.size() || j < new_.size()) {
            if (j == new_.size() || (i < old_.size() && old_[i] < new_[j])) {
                pairs_[old_[i]] -= n;
                touched_.push_back(old_[i++]);
            } else if (i == old_.size() || new_[j] < old_[i]) {
                pairs_[new_[j]] += n;
                touched_.push_back(new_[j++]);
            } else {
                ++i;
                ++j;
            }
        }
        return len - out;
    }

    FlatMap<std::string_view, std::uint32_t, std::hash<std::string_view>> names_;
    std::uint32_t next_ = 0;
    std::vector<std::uint32_t> units_, length_;
    std::vector<std::size_t> start_;
    std::vector<std::uint64_t> count_;
    std::vector<bool> latin_;
    FlatMap<std::uint64_t, std::uint64_t> pairs_;
    PairIndex where_;
    // The most frequent pair first; of equal counts, the smaller key (stored inverted).
    std::priority_queue<std::pair<std::uint64_t, std::uint64_t>> heap_;
    std::vector<std::uint64_t> touched_, old_, new_;
};

}  // namespace

ScriptSplit joint_merge_split(const WordTable& words, std::size_t merges, const AksharaDFA& dfa,
                              const std::function<bool()>& interrupted) {
    JointBpe bpe;
    RunCutter cutter(dfa);
    std::vector<std::uint32_t> seq;
    for (std::size_t w = 0; w < words.size(); ++w) {
        if ((w & 0xFFFF) == 0xFFFF && interrupted && interrupted()) throw Interrupted();
        const std::uint64_t count = words.count(w);
        if (count == 0) continue;
        cutter.cut(words.word(w), [&](bool latin, const std::vector<std::string_view>& units) {
            seq.clear();
            for (std::string_view u : units) seq.push_back(bpe.unit(u));
            bpe.add(latin, seq, count);
        });
    }
    return bpe.run(merges, interrupted);
}

std::size_t latin_merges(const ScriptSplit& split, std::size_t merges) {
    const std::uint64_t total = split.dev_merges + split.lat_merges;
    if (total == 0) return 0;
    const double share = static_cast<double>(split.lat_merges) / static_cast<double>(total);
    return static_cast<std::size_t>(std::nearbyint(share * static_cast<double>(merges)));
}

std::vector<std::pair<std::string, std::uint64_t>> other_scripts(const WordTable& words,
                                                                 const std::function<bool()>& interrupted) {
    std::map<int, std::uint64_t> by_code;
    std::vector<int> in_word;
    for (std::size_t w = 0; w < words.size(); ++w) {
        if ((w & 0xFFFF) == 0xFFFF && interrupted && interrupted()) throw Interrupted();
        const std::string_view word = words.word(w);
        in_word.clear();
        for (std::size_t i = 0; i < word.size();) {
            const char32_t c = utf8::next(word, i);
            if (c < 0x80 || !u_isalpha(static_cast<UChar32>(c))) continue;
            UErrorCode status = U_ZERO_ERROR;
            const UScriptCode code = uscript_getScript(static_cast<UChar32>(c), &status);
            if (U_FAILURE(status) || code == USCRIPT_DEVANAGARI || code == USCRIPT_LATIN ||
                code == USCRIPT_COMMON || code == USCRIPT_INHERITED) {
                continue;
            }
            if (std::find(in_word.begin(), in_word.end(), code) == in_word.end()) in_word.push_back(code);
        }
        for (int code : in_word) by_code[code] += words.count(w);
    }
    std::vector<std::pair<std::string, std::uint64_t>> out;
    for (const auto& [code, n] : by_code) {
        const char* name = uscript_getName(static_cast<UScriptCode>(code));
        out.emplace_back(name ? name : "Unknown", n);
    }
    std::sort(out.begin(), out.end(), [](const auto& x, const auto& y) {
        return x.second != y.second ? x.second > y.second : x.first < y.first;
    });
    return out;
}

}  // namespace larkspur

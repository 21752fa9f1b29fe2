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
#include "train/plain_bpe.hpp"

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
    RunCutter(const AksharaDFA& dfa, bool latin_joins) : dfa_(dfa), latin_joins_(latin_joins) {}

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
            const bool at_start = k == 0;
            bool latin = first == Unit::Latin;
            if (at_start && first == Unit::Punct && latin_joins_) {
                // Opening punctuation before a Latin letter or digit is that word's.
                std::size_t j = k;
                while (j < chars_.size() && chars_[j].unit == Unit::Punct) ++j;
                latin = j < chars_.size() && chars_[j].unit == Unit::Latin;
            }
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
    const bool latin_joins_;
    std::vector<Char> chars_;
    std::vector<std::string_view> units_;
};

}  // namespace

ScriptSplit joint_merge_split(const WordTable& words, std::size_t merges, const AksharaDFA& dfa, bool latin_joins,
                              const std::function<bool()>& interrupted) {
    return split_of(joint_merge_scripts(words, merges, dfa, latin_joins, interrupted), merges);
}

ScriptSplit split_of(const std::vector<bool>& scripts, std::size_t merges) {
    ScriptSplit split;
    const std::size_t n = std::min(merges, scripts.size());
    split.lat_merges = static_cast<std::uint64_t>(std::count(scripts.begin(), scripts.begin() + static_cast<std::ptrdiff_t>(n), true));
    split.dev_merges = n - split.lat_merges;
    return split;
}

std::vector<bool> joint_merge_scripts(const WordTable& words, std::size_t merges, const AksharaDFA& dfa,
                                      bool latin_joins, const std::function<bool()>& interrupted) {
    PlainBpe bpe;
    RunCutter cutter(dfa, latin_joins);
    // Units are numbered in order of first sight, which the ties follow.
    FlatMap<std::string_view, std::uint32_t, std::hash<std::string_view>> names;
    std::uint32_t next = 0;
    std::vector<bool> latin_run;
    std::vector<std::uint32_t> seq;
    for (std::size_t w = 0; w < words.size(); ++w) {
        if ((w & 0xFFFF) == 0xFFFF && interrupted && interrupted()) throw Interrupted();
        const std::uint64_t count = words.count(w);
        if (count == 0) continue;
        cutter.cut(words.word(w), [&](bool latin, const std::vector<std::string_view>& units) {
            seq.clear();
            for (std::string_view u : units) {
                auto [n, fresh] = names.try_emplace(u);
                if (fresh) *n = next++;
                seq.push_back(*n);
            }
            bpe.add(seq, count);
            latin_run.push_back(latin);
        });
    }
    names = {};
    // A merge belongs to the script whose runs it merged more often.
    std::vector<bool> scripts;
    bpe.run(
        merges, next, 1, [](std::uint32_t, std::uint32_t) { return true; }, [](std::uint32_t, std::uint32_t, std::uint32_t) {},
        [&](const PlainBpe::Merge& m) {
            std::uint64_t in_latin = 0, in_dev = 0;
            for (const auto& [s, places] : m.places) (latin_run[s] ? in_latin : in_dev) += bpe.count(s) * places;
            scripts.push_back(in_latin > in_dev);
        },
        interrupted);
    return scripts;
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

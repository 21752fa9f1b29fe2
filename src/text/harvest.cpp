#include "text/harvest.hpp"

#include <algorithm>
#include <unordered_map>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/string_counter.hpp"
#include "common/utf8.hpp"

namespace larkspur {

std::vector<std::string> sorted_inventory(const StringCounter& aksharas, std::uint64_t min_freq) {
    std::vector<std::pair<std::uint64_t, std::string_view>> kept;
    for (const auto& e : aksharas.entries()) {
        if (e.count >= min_freq) kept.emplace_back(e.count, aksharas.key(e));
    }
    std::sort(kept.begin(), kept.end(), [](const auto& x, const auto& y) {
        if (x.first != y.first) return x.first > y.first;
        return x.second < y.second;  // string_view compares bytes as unsigned char
    });
    std::vector<std::string> out;
    out.reserve(kept.size());
    for (const auto& k : kept) out.emplace_back(k.second);
    return out;
}

std::vector<std::string> harvest_aksharas(const std::string& path, std::uint64_t min_freq,
                                          const Normalizer& normalizer, const AksharaDFA& dfa) {
    files::LineReader reader;
    if (int err = reader.open(path, 1 << 20)) {
        throw_io("open " + path + ": " + os_error_text(err));
    }
    // Words repeat, so whole Devanagari runs are counted first and each distinct run is
    // segmented once, its aksharas counted with the run's count. The run table is flushed
    // whenever it reaches a fixed size, which keeps memory independent of the file's length.
    constexpr std::size_t kRunTableLimit = 1 << 16;
    StringCounter runs, aksharas;
    auto flush = [&] {
        for (const auto& e : runs.entries()) {
            std::string_view run = runs.key(e);
            dfa.segment(run, [&](std::size_t b, std::size_t end) { aksharas.add(run.substr(b, end - b), e.count); });
        }
        runs.clear();
    };
    NormalizeScratch scratch;
    struct Run {
        std::size_t begin, end;
        std::uint64_t hash;
    };
    std::vector<Run> line_runs;
    const files::LinesEnd end = files::for_each_line(reader, files::OnInvalidUtf8::Skip, [&](std::string_view line) {
        normalizer.normalize_pieces(line, scratch, [&](std::string_view text) {
            // Find the piece's runs and start loading their slots before counting them,
            // so the lookups wait on memory together.
            line_runs.clear();
            for_each_devanagari_run(text, [&](std::size_t b, std::size_t e) {
                std::uint64_t h = hash_bytes(text.substr(b, e - b));
                runs.prefetch(h);
                line_runs.push_back(Run{b, e, h});
            });
            for (const Run& r : line_runs) {
                runs.add_hashed(text.substr(r.begin, r.end - r.begin), r.hash);
                if (runs.size() >= kRunTableLimit) flush();
            }
        });
    });
    if (end.kind == files::LinesEnd::Kind::ReadError) throw_io("read: " + os_error_text(end.error));
    flush();
    return sorted_inventory(aksharas, min_freq);
}

bool is_symbol_char(char32_t c) {
    if (c < 0xA0) return false;
    if (c >= 0x900 && c <= 0x97F) return false;
    if (c == 0x200C || c == 0x200D || c == 0x2026 || c == 0x2581 || c == 0x2582) return false;
    if ((c >= 0x2010 && c <= 0x2015) || (c >= 0x2018 && c <= 0x201F)) return false;
    return !utf8::is_white_space(c);
}

namespace {

std::vector<std::string> ranked_symbols(const std::unordered_map<char32_t, std::uint64_t>& seen, std::uint64_t min_freq,
                                        std::size_t limit) {
    std::vector<std::pair<char32_t, std::uint64_t>> ranked;
    for (const auto& [c, n] : seen) {
        if (n >= min_freq) ranked.emplace_back(c, n);
    }
    std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
    });
    if (ranked.size() > limit) ranked.resize(limit);
    std::vector<std::string> out;
    out.reserve(ranked.size());
    for (const auto& entry : ranked) out.push_back(utf8::encode(entry.first));
    return out;
}

// One pass over the words for either inventory or both.
void scan_words(const WordTable& words, const AksharaDFA* dfa, StringCounter* aksharas,
                std::unordered_map<char32_t, std::uint64_t>* symbols) {
    for (std::size_t w = 0; w < words.size(); ++w) {
        const std::string_view word = words.word(w);
        const std::uint64_t count = words.count(w);
        if (aksharas) {
            for_each_devanagari_run(word, [&](std::size_t b, std::size_t e) {
                const std::string_view run = word.substr(b, e - b);
                dfa->segment(run, [&](std::size_t x, std::size_t y) { aksharas->add(run.substr(x, y - x), count); });
            });
        }
        if (symbols) {
            for (std::size_t i = 0; i < word.size();) {
                // ASCII is never a symbol: skip it without decoding.
                if (static_cast<unsigned char>(word[i]) < 0x80) {
                    ++i;
                    continue;
                }
                const char32_t c = utf8::next(word, i);
                if (is_symbol_char(c)) (*symbols)[c] += count;
            }
        }
    }
}

}  // namespace

std::vector<std::string> harvest_from_words(const WordTable& words, std::uint64_t min_freq, const AksharaDFA& dfa) {
    StringCounter aksharas;
    scan_words(words, &dfa, &aksharas, nullptr);
    return sorted_inventory(aksharas, min_freq);
}

std::vector<std::string> symbol_inventory(const WordTable& words, std::uint64_t min_freq, std::size_t limit) {
    std::unordered_map<char32_t, std::uint64_t> seen;
    scan_words(words, nullptr, nullptr, &seen);
    return ranked_symbols(seen, min_freq, limit);
}

Inventories harvest_inventories(const WordTable& words, std::uint64_t akshara_min_freq,
                                std::uint64_t symbol_min_freq, std::size_t symbol_limit, const AksharaDFA& dfa) {
    StringCounter aksharas;
    std::unordered_map<char32_t, std::uint64_t> seen;
    scan_words(words, &dfa, &aksharas, &seen);
    return {sorted_inventory(aksharas, akshara_min_freq), ranked_symbols(seen, symbol_min_freq, symbol_limit)};
}

}  // namespace larkspur


#include "train/word_counts.hpp"

#include <chrono>
#include <cstdio>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/utf8.hpp"

namespace larkspur {

std::uint64_t WordCounter::add_text(std::string_view text) {
    std::uint64_t counted = 0;
    std::size_t i = 0, n = text.size();
    while (i < n) {
        // Skip white space, then take the word up to the next white space.
        std::size_t k = i;
        if (utf8::is_white_space(utf8::next(text, k))) {
            i = k;
            continue;
        }
        std::size_t start = i;
        bool has_alnum = false;
        while (i < n) {
            k = i;
            char32_t c = utf8::next(text, k);
            if (utf8::is_white_space(c)) break;
            has_alnum |= utf8::is_ascii_alnum(c);
            i = k;
        }
        if (latin_only_ && !has_alnum) continue;
        std::string_view word = text.substr(start, i - start);
        auto it = cache_.find(word);
        std::int64_t entry;
        if (it != cache_.end()) {
            entry = it->second;
        } else {
            ids_.clear();
            encode_normalized(ctx_, word, ids_);
            entry = ids_.empty() ? kSkip : static_cast<std::int64_t>(table_.entry(ids_));
            cache_.emplace(std::string(word), entry);
        }
        if (entry == kSkip) continue;
        table_.add(static_cast<std::size_t>(entry), 1);
        ++counted;
    }
    return counted;
}

WordCountResult build_word_counts(const std::string& path, std::uint64_t min_word_freq,
                                  std::uint64_t progress_lines, bool latin_only,
                                  const Normalizer& normalizer, const EncodeContext& ctx) {
    files::LineReader reader;
    if (int err = reader.open(path, 1 << 20)) {
        throw_io("open " + path + ": " + os_error_text(err));
    }
    auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    WordCountResult r;
    WordCounter counter(ctx, latin_only);
    NormalizeScratch scratch;
    std::string_view line;
    for (;;) {
        auto st = reader.next(line);
        // A failing file ends reading; what was counted so far is kept.
        if (st != files::LineReader::Status::Line) break;
        if (!utf8::is_valid(line)) continue;
        r.occurrences += counter.add_text(normalizer.normalize_view(line, scratch));
        ++r.lines;
        if (progress_lines != 0 && r.lines % progress_lines == 0) {
            std::fprintf(stderr, "[build] %llu lines | %llu word-occ | %zu unique | %.1fs\n",
                         static_cast<unsigned long long>(r.lines),
                         static_cast<unsigned long long>(r.occurrences), counter.table().size(),
                         elapsed());
            std::fflush(stderr);
        }
    }
    r.table = std::move(counter.table());
    if (min_word_freq >= 2) r.table.retain_at_least(min_word_freq);
    r.seconds = elapsed();
    return r;
}

}  // namespace larkspur

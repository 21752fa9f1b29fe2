#include "train/word_counts.hpp"

#include <chrono>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/report.hpp"
#include "common/utf8.hpp"

namespace larkspur {

std::uint64_t WordCounter::add_text(std::string_view text) {
    // First find the words and start loading their table slots, then count them: the
    // lookups of one line wait on memory together instead of one after another.
    words_.clear();
    utf8::for_each_word(text, [&](std::size_t start, std::size_t end, bool has_alnum) {
        if (latin_only_ && !has_alnum) return;
        const std::uint64_t h = hash_bytes(text.substr(start, end - start));
        cache_.prefetch(h);
        words_.push_back(Span{start, end - start, h});
    });
    std::uint64_t counted = 0;
    for (const Span& w : words_) {
        std::string_view word = text.substr(w.start, w.length);
        const std::size_t key = cache_.add_hashed(word, w.hash);
        if (key == cache_entry_.size()) {
            ids_.clear();
            // A very long word (a line without spaces) is encoded into a buffer sized
            // for it at once and handed to the table without a copy: such a word then
            // costs four bytes per character, not the growth slack of repeated doubling
            // plus a second copy.
            const bool huge = word.size() > kHugeWord;
            if (huge) ids_.reserve(utf8::count_chars(word) + 1);
            encode_normalized(ctx_, word, ids_, scratch_);
            std::int64_t e = kSkip;
            if (!ids_.empty()) e = static_cast<std::int64_t>(table_.entry(ids_));
            cache_entry_.push_back(e);
            if (huge) WordCounts::Seq().swap(ids_);
        }
        counted += cache_entry_[key] != kSkip;
    }
    return counted;
}

WordCounts WordCounter::take_table() {
    const auto& texts = cache_.entries();
    for (std::size_t k = 0; k < texts.size(); ++k) {
        if (cache_entry_[k] != kSkip) table_.add(static_cast<std::size_t>(cache_entry_[k]), texts[k].count);
    }
    cache_.clear();
    cache_entry_.clear();
    return std::move(table_);
}

WordCountResult build_word_counts(const std::string& path, std::uint64_t min_word_freq,
                                  std::uint64_t progress_lines, bool latin_only,
                                  const Normalizer& normalizer, const EncodeContext& ctx,
                                  LineSink& lines) {
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
    // A failing file ends reading; what was counted so far is kept.
    files::for_each_line(reader, files::OnInvalidUtf8::Skip, [&](std::string_view line) {
        normalizer.normalize_pieces(line, scratch, [&](std::string_view piece) {
            r.occurrences += counter.add_text(piece);
        });
        ++r.lines;
        if (progress_lines != 0 && r.lines % progress_lines == 0) {
            report(lines, "[build] %llu lines | %llu word-occ | %zu unique | %.1fs\n",
                         static_cast<unsigned long long>(r.lines),
                         static_cast<unsigned long long>(r.occurrences), counter.types(),
                         elapsed());
        }
    });
    r.table = counter.take_table();
    if (min_word_freq >= 2) r.table.retain_at_least(min_word_freq);
    r.seconds = elapsed();
    return r;
}

}  // namespace larkspur

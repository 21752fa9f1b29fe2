#include "train/word_texts.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/parallel.hpp"
#include "common/string_counter.hpp"
#include "common/utf8.hpp"
#include "text/harvest.hpp"

namespace larkspur {

namespace {

constexpr std::uint64_t kChunk = std::uint64_t{1} << 20;

struct Chunk {
    std::size_t file;
    std::uint64_t begin, end;
};

// Words are counted in shards by hash, so that merging the workers' tables and sorting
// them run shard by shard on all threads.
constexpr std::size_t kShards = WordUnitCounts::kShards;

// One per thread, a cache line each: the counters change at every word, and two threads'
// counters on one line would make every word a cache miss for both.
struct alignas(64) WorkerCounts {
    std::vector<StringCounter> shards = std::vector<StringCounter>(kShards);
    std::uint64_t lines = 0, occurrences = 0;
    void add(std::string_view word, std::uint64_t n = 1) {
        const std::uint64_t h = hash_bytes(word);
        shards[h >> 58].add_hashed(word, h, n);
    }
};

// Counts the words of one normalized line (or piece of one).
void count_words_in(std::string_view text, WorkerCounts& out) {
    utf8::for_each_word(text, [&](std::size_t start, std::size_t end, bool) {
        out.add(text.substr(start, end - start));
        ++out.occurrences;
    });
}

// The order of the words within a shard: by their bytes, or by their hash (then bytes),
// which sorts several times faster; either is the same for any number of threads.
enum class ShardOrder { Bytes, Hash };

// Adds up the workers' tables shard by shard on `threads` threads, and calls
// emit(shard, words) with each shard's words (views of the tables, valid during the call)
// in that order, from any of those threads. Every worker's entries of a shard are sorted
// together and equal words added up, which is cheaper than inserting one table into
// another before the same sort.
template <class Emit>
void merge_shards(std::vector<WorkerCounts>& workers, std::size_t threads, ShardOrder order, Emit&& emit) {
    parallel_for(kShards, threads, [&](std::size_t s, std::size_t) {
        struct Ref {
            std::uint64_t hash;
            std::string_view key;
            std::uint64_t count;
        };
        std::vector<Ref> refs;
        std::size_t total = 0;
        for (const WorkerCounts& w : workers) total += w.shards[s].size();
        refs.reserve(total);
        for (const WorkerCounts& w : workers) {
            const StringCounter& table = w.shards[s];
            for (const auto& e : table.entries()) refs.push_back(Ref{e.hash, table.key(e), e.count});
        }
        if (order == ShardOrder::Hash) {
            std::sort(refs.begin(), refs.end(), [](const Ref& a, const Ref& b) {
                return a.hash != b.hash ? a.hash < b.hash : a.key < b.key;
            });
        } else {
            std::sort(refs.begin(), refs.end(), [](const Ref& a, const Ref& b) { return a.key < b.key; });
        }
        std::vector<std::pair<std::string_view, std::uint64_t>> words;
        words.reserve(refs.size());
        for (const Ref& r : refs) {
            if (!words.empty() && r.key == words.back().first) {
                words.back().second += r.count;
            } else {
                words.emplace_back(r.key, r.count);
            }
        }
        emit(s, words);
        for (WorkerCounts& w : workers) w.shards[s].clear();
    });
}

template <class Result>
void add_totals(const std::vector<WorkerCounts>& workers, Result& result) {
    for (const auto& w : workers) {
        result.lines += w.lines;
        result.occurrences += w.occurrences;
    }
}

WordTextCounts merge_counts(std::vector<WorkerCounts>& workers, std::size_t threads) {
    std::vector<std::vector<std::pair<std::string, std::uint64_t>>> shards(kShards);
    merge_shards(workers, threads, ShardOrder::Bytes, [&](std::size_t s, const auto& words) {
        shards[s].reserve(words.size());
        for (const auto& [w, n] : words) shards[s].emplace_back(std::string(w), n);
    });
    WordTextCounts result;
    std::size_t total = 0;
    for (const auto& sh : shards) total += sh.size();
    result.words.reserve(total);
    for (auto& sh : shards) {
        for (auto& p : sh) result.words.push_back(std::move(p));
        std::vector<std::pair<std::string, std::uint64_t>>().swap(sh);
    }
    add_totals(workers, result);
    return result;
}

void merge_units(std::vector<WorkerCounts>& workers, std::size_t threads, WordUnitCounts& result,
                 const std::function<void(std::size_t)>& ready) {
    merge_shards(workers, threads, ShardOrder::Hash, [&](std::size_t s, const auto& words) {
        WordUnitCounts::Shard& out = result.shards[s];
        out.words.reserve(words.size());
        std::vector<char32_t> cps;
        for (const auto& [w, n] : words) {
            cps.clear();
            char32_t max_char = 0;
            for (std::size_t i = 0; i < w.size();) {
                const char32_t c = utf8::next(w, i);
                cps.push_back(c);
                max_char = std::max(max_char, c);
            }
            const std::size_t width = WordUnitCounts::unit_width(max_char), at = out.units.size();
            out.units.resize(at + cps.size() * width);
            unsigned char* p = out.units.data() + at;
            for (std::size_t k = 0; k < cps.size(); ++k) {
                if (width == 1) {
                    p[k] = static_cast<unsigned char>(cps[k]);
                } else if (width == 2) {
                    const auto u = static_cast<std::uint16_t>(cps[k]);
                    std::memcpy(p + 2 * k, &u, 2);
                } else {
                    const auto u = static_cast<std::uint32_t>(cps[k]);
                    std::memcpy(p + 4 * k, &u, 4);
                }
            }
            out.words.push_back(WordUnitCounts::Word{n, at, cps.size(), max_char});
        }
        if (ready) ready(s);
    });
    add_totals(workers, result);
}

// Counts the lines that start in [begin, end) of one file. A line belongs to the chunk
// its first byte lies in; the chunk after a cut skips the rest of the cut line.
void count_chunk(const std::string& path, const Chunk& c, const Normalizer& normalizer, WorkerCounts& out) {
    files::LineReader reader;
    std::uint64_t from = c.begin == 0 ? 0 : c.begin - 1;
    if (int err = reader.open(path, 1 << 20, from)) throw_io("open " + path + ": " + os_error_text(err));
    NormalizeScratch scratch;
    bool skip_first = c.begin != 0;  // the line holding byte begin-1 started before us
    std::string_view line;
    for (;;) {
        if (reader.offset() >= c.end && !skip_first) return;
        const auto st = reader.next(line);
        if (st == files::LineReader::Status::Eof) return;
        if (st == files::LineReader::Status::Error) throw_io("read: " + os_error_text(reader.error()));
        if (skip_first) {
            skip_first = false;
            continue;
        }
        if (!utf8::is_valid(line)) continue;
        normalizer.normalize_pieces(line, scratch, [&](std::string_view text) { count_words_in(text, out); });
        ++out.lines;
    }
}

// Counts the files on `threads` threads into one table per worker; `bytes` is their size.
std::vector<WorkerCounts> count_files(const std::vector<std::string>& paths, const Normalizer& normalizer,
                                      std::size_t& threads, const BytesProgress& progress, std::uint64_t& bytes) {
    std::vector<Chunk> chunks;
    std::vector<std::uint64_t> sizes(paths.size());
    bytes = 0;
    for (std::size_t f = 0; f < paths.size(); ++f) {
        files::LineReader probe;
        if (int err = probe.open(paths[f], 1)) throw_io("open " + paths[f] + ": " + os_error_text(err));
        struct stat st;
        // A pipe or a device has no size: it is read as one chunk.
        const bool sized = ::stat(paths[f].c_str(), &st) == 0 && S_ISREG(st.st_mode);
        const std::uint64_t size = sized ? static_cast<std::uint64_t>(st.st_size) : 0;
        sizes[f] = size;
        bytes += size;
        if (!sized || size <= kChunk) {
            chunks.push_back({f, 0, sized ? size : UINT64_MAX});
            continue;
        }
        for (std::uint64_t b = 0; b < size; b += kChunk) chunks.push_back({f, b, std::min(size, b + kChunk)});
    }
    threads = resolve_threads(threads);
    std::vector<WorkerCounts> workers(std::min(threads, std::max<std::size_t>(chunks.size(), 1)));
    std::mutex progress_mu;
    std::uint64_t done = 0;
    parallel_for(chunks.size(), workers.size(), [&](std::size_t i, std::size_t w) {
        count_chunk(paths[chunks[i].file], chunks[i], normalizer, workers[w]);
        if (progress) {
            std::lock_guard<std::mutex> lock(progress_mu);
            const Chunk& c = chunks[i];
            done += std::min(c.end, sizes[c.file]) - c.begin;
            progress(done, bytes);
        }
    });
    return workers;
}

}  // namespace

WordTextCounts count_word_texts(const std::vector<std::string>& paths, const Normalizer& normalizer,
                                std::size_t threads, const BytesProgress& progress) {
    std::uint64_t bytes = 0;
    std::vector<WorkerCounts> workers = count_files(paths, normalizer, threads, progress, bytes);
    WordTextCounts result = merge_counts(workers, threads);
    result.bytes = bytes;
    return result;
}

void count_word_units(const std::vector<std::string>& paths, const Normalizer& normalizer, std::size_t threads,
                      const BytesProgress& progress, WordUnitCounts& out,
                      const std::function<void(std::size_t shard)>& ready) {
    out = WordUnitCounts{};
    out.shards.resize(kShards);
    std::uint64_t bytes = 0;
    std::vector<WorkerCounts> workers = count_files(paths, normalizer, threads, progress, bytes);
    out.bytes = bytes;
    // A caller that takes the shards as they come works on a core of its own meanwhile,
    // and its work is the longer part: leave it that core.
    merge_units(workers, ready && threads > 1 ? threads - 1 : threads, out, ready);
}

WordTextCounts count_word_texts(const std::vector<std::string>& texts, const Normalizer& normalizer) {
    std::vector<WorkerCounts> all(1);
    NormalizeScratch scratch;
    for (const auto& t : texts) {
        count_words_in(normalizer.normalize_view(t, scratch), all[0]);
        ++all[0].lines;
    }
    return merge_counts(all, 1);
}

std::vector<std::string> harvest_from_words(const std::vector<std::pair<std::string, std::uint64_t>>& words,
                                            std::uint64_t min_freq, const AksharaDFA& dfa) {
    StringCounter aksharas;
    for (const auto& entry : words) {
        // Named references, not structured bindings: clang before 16 cannot capture those
        // in a lambda.
        const std::string& word = entry.first;
        const std::uint64_t count = entry.second;
        for_each_devanagari_run(word, [&](std::size_t b, std::size_t e) {
            std::string_view run = std::string_view(word).substr(b, e - b);
            dfa.segment(run, [&](std::size_t x, std::size_t y) { aksharas.add(run.substr(x, y - x), count); });
        });
    }
    return sorted_inventory(aksharas, min_freq);
}

namespace {

// Whether c is a symbol: no ASCII or control character (all below U+00A0), no
// Devanagari, no joiner, dash, quotation mark or ellipsis of the punctuation and format
// classes, no word marker and no white space. Latin-1 and Latin Extended-A letters are
// symbols although 188 of them look like byte tokens: the tokenizer gives them tokens of
// their own beside the byte tokens.
bool is_symbol(char32_t c) {
    if (c < 0xA0) return false;
    if (c >= 0x900 && c <= 0x97F) return false;
    if (c == 0x200C || c == 0x200D || c == 0x2026 || c == 0x2581 || c == 0x2582) return false;
    if ((c >= 0x2010 && c <= 0x2015) || (c >= 0x2018 && c <= 0x201F)) return false;
    return !utf8::is_white_space(c);
}

}  // namespace

std::vector<std::string> symbol_inventory(const std::vector<std::pair<std::string, std::uint64_t>>& words,
                                          std::uint64_t min_freq, std::size_t limit) {
    std::unordered_map<char32_t, std::uint64_t> seen;
    for (const auto& [word, count] : words) {
        for (std::size_t i = 0; i < word.size();) {
            // ASCII is never a symbol: skip it without decoding.
            const unsigned char b = static_cast<unsigned char>(word[i]);
            if (b < 0x80) {
                ++i;
                continue;
            }
            const char32_t c = utf8::next(word, i);
            if (is_symbol(c)) seen[c] += count;
        }
    }
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

}  // namespace larkspur

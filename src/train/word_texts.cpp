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
constexpr std::size_t kShards = 64;

// One per thread, a cache line each: the counters change at every word, and two threads'
// counters on one line would make every word a cache miss for both.
//
// At corpus scale the tables outgrow the caches and every rare word is a cache miss. So
// words wait in a small batch (copied, since a line's text does not outlive it): the batch
// is hashed, the slots of all its words are fetched, then the entries they name, and only
// then are the words counted, so that the misses of a batch overlap instead of queueing.
struct WorkerCounts;

// Where workers write their tables when they outgrow their share of the memory limit: sorted
// runs in one temporary directory, merged at the end.
struct Spiller {
    SpillSettings settings;
    std::uint64_t worker_budget = 0;
    std::mutex mu;
    std::shared_ptr<files::TempDir> dir;
    std::vector<std::string> runs;

    std::shared_ptr<files::TempDir> directory() {
        std::lock_guard<std::mutex> g(mu);
        if (!dir) dir = settings.make_dir();
        return dir;
    }
    void spill(WorkerCounts& w);
};

struct alignas(64) WorkerCounts {
    static constexpr std::size_t kBatch = 64;
    std::vector<StringCounter> shards = std::vector<StringCounter>(kShards);
    std::uint64_t lines = 0, occurrences = 0, invalid_lines = 0, bytes = 0;
    std::string pending;  // the waiting words, end to end
    std::size_t ends[kBatch];
    std::uint64_t hashes[kBatch];
    std::size_t waiting = 0;
    Spiller* spiller = nullptr;
    std::uint64_t flushes = 0;

    std::size_t memory_bytes() const {
        std::size_t n = 0;
        for (const StringCounter& c : shards) n += c.memory_bytes();
        return n;
    }
    void add(std::string_view word) {
        const std::uint64_t h = hash_bytes(word);
        shards[h >> 58].prefetch(h);
        pending.append(word);
        ends[waiting] = pending.size();
        hashes[waiting++] = h;
        if (waiting == kBatch) flush();
    }
    void flush() {
        for (std::size_t i = 0; i < waiting; ++i) shards[hashes[i] >> 58].prefetch_entry(hashes[i]);
        std::size_t begin = 0;
        for (std::size_t i = 0; i < waiting; ++i) {
            shards[hashes[i] >> 58].add_hashed(std::string_view(pending).substr(begin, ends[i] - begin), hashes[i]);
            begin = ends[i];
        }
        occurrences += waiting;
        waiting = 0;
        pending.clear();
        // Sorting a table for its run takes half its size again: spill before that passes
        // the share.
        if (spiller && (++flushes & 15) == 0 && memory_bytes() * 3 / 2 > spiller->worker_budget) spiller->spill(*this);
    }
};

// Counts the words of one normalized line (or piece of one); the last batch waits for a
// flush().
void count_words_in(std::string_view text, WorkerCounts& out) {
    utf8::for_each_word(text, [&](std::size_t start, std::size_t end, bool) { out.add(text.substr(start, end - start)); });
}

// A word of a worker's table with its first eight bytes as a big-endian number, so that
// most comparisons in byte order are one integer comparison.
struct Ref {
    std::uint64_t prefix;
    std::string_view key;
    std::uint64_t count;
    bool operator<(const Ref& o) const { return prefix != o.prefix ? prefix < o.prefix : key < o.key; }
};

std::uint64_t prefix_of(std::string_view w) {
    std::uint64_t p = 0;
    for (std::size_t i = 0; i < 8; ++i) p = (p << 8) | (i < w.size() ? static_cast<unsigned char>(w[i]) : 0u);
    return p;
}

// The words of a worker's shards in byte order (no word is in two shards).
std::vector<Ref> sorted_refs(const WorkerCounts& w) {
    std::vector<Ref> refs;
    std::size_t n = 0;
    for (const StringCounter& table : w.shards) n += table.size();
    refs.reserve(n);
    for (const StringCounter& table : w.shards) {
        for (const auto& e : table.entries()) {
            const std::string_view key = table.key(e);
            refs.push_back(Ref{prefix_of(key), key, e.count});
        }
    }
    std::sort(refs.begin(), refs.end());
    return refs;
}

void Spiller::spill(WorkerCounts& w) {
    const std::shared_ptr<files::TempDir> d = directory();
    std::string path;
    {
        std::lock_guard<std::mutex> g(mu);
        path = d->file("run");
    }
    RunWriter out(path, d->path());
    for (const Ref& r : sorted_refs(w)) out.add(r.key, r.count);
    out.finish({});
    for (StringCounter& table : w.shards) table.clear();
    std::lock_guard<std::mutex> g(mu);
    runs.push_back(path);
}

// Adds up the workers' tables into one table in byte order. Each shard's entries of every
// worker are sorted together and equal words added up on the counting threads (cheaper
// than inserting one table into another first); the shards, which share no word, are then
// merged by a heap of their heads straight into the table.
WordTable merge_counts(std::vector<WorkerCounts>& workers, std::size_t threads) {
    for (WorkerCounts& w : workers) w.flush();
    std::vector<std::vector<Ref>> shards(kShards);
    std::vector<std::size_t> bytes(kShards, 0);
    parallel_for(kShards, threads, [&](std::size_t s, std::size_t) {
        std::vector<Ref>& refs = shards[s];
        std::size_t total = 0;
        for (const WorkerCounts& w : workers) total += w.shards[s].size();
        refs.reserve(total);
        for (const WorkerCounts& w : workers) {
            const StringCounter& table = w.shards[s];
            for (const auto& e : table.entries()) {
                const std::string_view key = table.key(e);
                refs.push_back(Ref{prefix_of(key), key, e.count});
            }
        }
        std::sort(refs.begin(), refs.end());
        std::size_t kept = 0;
        for (std::size_t i = 0; i < refs.size(); ++i) {
            if (kept > 0 && refs[i].key == refs[kept - 1].key) {
                refs[kept - 1].count += refs[i].count;
            } else {
                refs[kept++] = refs[i];
                bytes[s] += refs[i].key.size();
            }
        }
        refs.resize(kept);
    });
    std::size_t words = 0, arena = 0;
    for (std::size_t s = 0; s < kShards; ++s) {
        words += shards[s].size();
        arena += bytes[s];
    }
    WordTable result;
    result.reserve(words, arena);
    struct Head {
        std::size_t shard, at;
    };
    auto later = [&](const Head& a, const Head& b) { return shards[b.shard][b.at] < shards[a.shard][a.at]; };
    std::vector<Head> heap;
    for (std::size_t s = 0; s < kShards; ++s) {
        if (!shards[s].empty()) heap.push_back({s, 0});
    }
    std::make_heap(heap.begin(), heap.end(), later);
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), later);
        Head& h = heap.back();
        const Ref& r = shards[h.shard][h.at];
        result.append_in_order(r.key, r.count);
        if (++h.at < shards[h.shard].size()) {
            std::push_heap(heap.begin(), heap.end(), later);
        } else {
            heap.pop_back();
        }
    }
    for (auto& w : workers) {
        result.source.lines += w.lines;
        result.source.invalid_lines += w.invalid_lines;
        for (auto& table : w.shards) table.clear();
    }
    return result;
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
        if (!utf8::is_valid(line)) {
            ++out.invalid_lines;
            continue;
        }
        normalizer.normalize_pieces(line, scratch, [&](std::string_view text) { count_words_in(text, out); });
        ++out.lines;
    }
}

// Counts the files on `threads` threads into one table per worker; `bytes` is their size.
std::vector<WorkerCounts> count_files(const std::vector<std::string>& paths, const Normalizer& normalizer,
                                      std::size_t& threads, const BytesProgress& progress, std::uint64_t& bytes,
                                      Spiller* spiller, const std::function<bool()>& interrupted) {
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
    if (spiller) {
        // Half the limit for the workers' tables, the other half for the merge at the end.
        spiller->worker_budget = spiller->settings.memory_limit / 2 / workers.size();
        for (WorkerCounts& w : workers) w.spiller = spiller;
    }
    std::mutex progress_mu;
    std::uint64_t done = 0;
    parallel_for(chunks.size(), workers.size(), [&](std::size_t i, std::size_t w) {
        // The calling thread is worker 0: between its chunks it asks whether to stop.
        if (w == 0 && interrupted && interrupted()) throw Interrupted();
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

CountStore count_word_texts(const std::vector<std::string>& paths, const Normalizer& normalizer,
                            std::size_t threads, const BytesProgress& progress, const SpillSettings& spill,
                            const std::function<bool()>& interrupted) {
    std::uint64_t bytes = 0;
    Spiller spiller;
    spiller.settings = spill;
    std::vector<WorkerCounts> workers =
        count_files(paths, normalizer, threads, progress, bytes, spill.memory_limit ? &spiller : nullptr, interrupted);
    if (spiller.runs.empty()) {
        WordTable result = merge_counts(workers, threads);
        result.source.bytes = bytes;
        return CountStore(std::move(result));
    }
    // Some tables went to disk: the rest follow, and the runs are merged as streams.
    CountSource source;
    source.bytes = bytes;
    for (WorkerCounts& w : workers) {
        w.flush();
        w.spiller = nullptr;
        source.lines += w.lines;
        source.invalid_lines += w.invalid_lines;
        spiller.spill(w);
    }
    std::vector<std::unique_ptr<CountCursor>> runs;
    for (const std::string& r : spiller.runs) runs.push_back(open_run(r));
    return CountStore::merge(std::move(runs), source, spill.memory_limit / 2, [&] { return spiller.directory(); },
                             spill.merge_progress);
}

WordTable count_word_texts(std::span<const std::string_view> texts, const Normalizer& normalizer) {
    std::vector<WorkerCounts> all(1);
    NormalizeScratch scratch;
    for (const auto& t : texts) {
        count_words_in(normalizer.normalize_view(t, scratch), all[0]);
        ++all[0].lines;
        all[0].bytes += t.size();
    }
    WordTable result = merge_counts(all, 1);
    result.source.bytes = all[0].bytes;
    return result;
}

}  // namespace larkspur

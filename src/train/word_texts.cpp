#include "train/word_texts.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <optional>
#include <thread>
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
    // Whether a worker's table of `bytes` goes to disk: sorting it for its run takes half its
    // size again, so before that passes the worker's share of the limit (and never below the
    // settings' smallest run).
    bool over(std::size_t bytes) const {
        return bytes * 3 / 2 > std::max(worker_budget, settings.smallest_run);
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
    const KeyCutter* keys = nullptr;  // what is counted, when not words
    std::uint64_t flushes = 0;
    std::vector<std::uint64_t> invalid_by_source;
    // The first line that was not UTF-8 (strict counting stops there): its source, and its
    // byte offset in a file or its line number in a stream of blocks.
    std::optional<std::pair<std::size_t, std::uint64_t>> first_invalid;

    void invalid(std::size_t source, std::uint64_t where) {
        ++invalid_lines;
        if (invalid_by_source.size() <= source) invalid_by_source.resize(source + 1, 0);
        ++invalid_by_source[source];
        if (!first_invalid || std::make_pair(source, where) < *first_invalid) first_invalid.emplace(source, where);
    }

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
        if (spiller && (++flushes & 15) == 0 && spiller->over(memory_bytes())) spiller->spill(*this);
    }
};

// Counts the words of one normalized line (or piece of one); the last batch waits for a
// flush().
void count_words_in(std::string_view text, WorkerCounts& out) {
    if (out.keys) {
        out.keys->cut(text, [&](std::string_view key) { out.add(key); });
        return;
    }
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
    // Fresh tables, not cleared ones: a cleared table keeps its capacity, which its size
    // in memory counts, so every later check would spill again, a few kilobytes at a time.
    for (StringCounter& table : w.shards) table = StringCounter();
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

// Counts one line of a source: skipped (and noted) when it is not UTF-8; `where` says where
// it stands (a byte offset or a line number). False when strict counting must stop.
bool count_line(std::string_view line, std::size_t source, std::uint64_t where, bool strict,
                const Normalizer& normalizer, NormalizeScratch& scratch, WorkerCounts& out) {
    if (!utf8::is_valid(line)) {
        out.invalid(source, where);
        return !strict;
    }
    normalizer.normalize_pieces(line, scratch, [&](std::string_view text) { count_words_in(text, out); });
    ++out.lines;
    return true;
}

// Counts the lines that start in [begin, end) of one file. A line belongs to the chunk
// its first byte lies in; the chunk after a cut skips the rest of the cut line.
void count_chunk(const std::string& path, const Chunk& c, const Normalizer& normalizer, bool strict,
                 WorkerCounts& out) {
    files::LineReader reader;
    std::uint64_t from = c.begin == 0 ? 0 : c.begin - 1;
    if (int err = reader.open(path, 1 << 20, from)) throw_os(path, err);
    NormalizeScratch scratch;
    bool skip_first = c.begin != 0;  // the line holding byte begin-1 started before us
    std::string_view line;
    for (;;) {
        if (reader.offset() >= c.end && !skip_first) return;
        const std::uint64_t at = reader.offset();
        const auto st = reader.next(line);
        if (st == files::LineReader::Status::Eof) return;
        if (st == files::LineReader::Status::Error) throw_os(path, reader.error());
        if (skip_first) {
            skip_first = false;
            continue;
        }
        if (!count_line(line, c.file, at, strict, normalizer, scratch, out)) return;
    }
}

// The line number of the line that starts at byte `offset` of a file.
std::uint64_t line_at(const std::string& path, std::uint64_t offset) {
    files::LineReader reader;
    std::uint64_t n = 1;
    std::string_view line;
    if (reader.open(path, 1 << 20) != 0) return 0;
    while (reader.offset() < offset && reader.next(line) == files::LineReader::Status::Line) ++n;
    return n;
}

[[noreturn]] void not_utf8(const std::string& name, std::uint64_t line) {
    throw_value(name + ":" + std::to_string(line) + ": the line is not valid UTF-8 (strict counting stops here)");
}

// Counts the files on `threads` threads into one table per worker; `bytes` is their size.
std::vector<WorkerCounts> count_files(const std::vector<std::string>& paths, const Normalizer& normalizer,
                                      std::size_t& threads, const CountOptions& opt, std::uint64_t& bytes,
                                      Spiller* spiller) {
    std::vector<Chunk> chunks;
    std::vector<std::uint64_t> sizes(paths.size());
    bytes = 0;
    for (std::size_t f = 0; f < paths.size(); ++f) {
        files::LineReader probe;
        if (int err = probe.open(paths[f], 1)) throw_os(paths[f], err);
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
    for (WorkerCounts& w : workers) w.keys = opt.keys.get();
    if (spiller) {
        // Half the limit for the workers' tables, the other half for the merge at the end.
        spiller->worker_budget = spiller->settings.memory_limit / 2 / workers.size();
        for (WorkerCounts& w : workers) w.spiller = spiller;
    }
    std::mutex progress_mu;
    std::uint64_t done = 0;
    std::atomic<bool> stop{false};
    parallel_for(chunks.size(), workers.size(), [&](std::size_t i, std::size_t w) {
        // The calling thread is worker 0: between its chunks it asks whether to stop.
        if (w == 0 && opt.interrupted && opt.interrupted()) throw Interrupted();
        if (stop.load(std::memory_order_relaxed)) return;
        count_chunk(paths[chunks[i].file], chunks[i], normalizer, opt.strict_utf8, workers[w]);
        if (opt.strict_utf8 && workers[w].first_invalid) stop = true;
        if (opt.progress) {
            std::lock_guard<std::mutex> lock(progress_mu);
            const Chunk& c = chunks[i];
            done += std::min(c.end, sizes[c.file]) - c.begin;
            opt.progress(done, bytes);
        }
    });
    return workers;
}

// The counts of the workers' tables (and of what they spilled), and the report.
CountStore finish_counts(std::vector<WorkerCounts>& workers, std::size_t threads, Spiller& spiller,
                         std::uint64_t bytes, std::size_t sources, const CountOptions& opt, CountReport* report) {
    if (report) {
        report->invalid_lines.assign(sources, 0);
        for (const WorkerCounts& w : workers) {
            for (std::size_t s = 0; s < w.invalid_by_source.size() && s < sources; ++s) {
                report->invalid_lines[s] += w.invalid_by_source[s];
            }
        }
    }
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
    return CountStore::merge(std::move(runs), source, opt.spill.memory_limit / 2, [&] { return spiller.directory(); },
                             opt.spill.merge_progress);
}

// The first line that was not UTF-8, over all workers.
std::optional<std::pair<std::size_t, std::uint64_t>> first_invalid(const std::vector<WorkerCounts>& workers) {
    std::optional<std::pair<std::size_t, std::uint64_t>> first;
    for (const WorkerCounts& w : workers) {
        if (w.first_invalid && (!first || *w.first_invalid < *first)) first = w.first_invalid;
    }
    return first;
}

}  // namespace

CountStore count_word_texts(const std::vector<std::string>& paths, const Normalizer& normalizer,
                            std::size_t threads, const CountOptions& opt, CountReport* report) {
    std::uint64_t bytes = 0;
    Spiller spiller;
    spiller.settings = opt.spill;
    std::vector<WorkerCounts> workers =
        count_files(paths, normalizer, threads, opt, bytes, opt.spill.memory_limit ? &spiller : nullptr);
    if (opt.strict_utf8) {
        if (auto bad = first_invalid(workers)) not_utf8(paths[bad->first], line_at(paths[bad->first], bad->second));
    }
    return finish_counts(workers, threads, spiller, bytes, paths.size(), opt, report);
}

namespace {

// A block of input waiting for a worker: whole lines, or texts each a line of its own.
struct Block {
    std::string lines;
    std::vector<std::string> texts;
    std::size_t source = 0;
    std::uint64_t first_line = 0;
};

}  // namespace

struct BlockCounter::State {
    Normalizer normalizer;
    CountOptions opt;
    std::vector<std::string> sources;
    Spiller spiller;
    std::vector<WorkerCounts> workers;
    std::vector<std::thread> threads;
    std::mutex mu;
    std::condition_variable changed;
    std::deque<Block> queue;
    std::size_t capacity = 0;
    bool closed = false;
    bool stopped = false;  // strict counting met a bad line, or a worker failed
    bool done = false;     // finished or cancelled
    std::exception_ptr error;
    std::uint64_t bytes = 0;

    State(const Normalizer& n, CountOptions o, std::vector<std::string> s)
        : normalizer(n), opt(std::move(o)), sources(std::move(s)) {}

    void count(const Block& b, WorkerCounts& out, NormalizeScratch& scratch) {
        const bool strict = opt.strict_utf8;
        std::uint64_t line_no = b.first_line;
        if (!b.texts.empty()) {
            for (const std::string& t : b.texts) {
                if (!count_line(t, b.source, line_no++, strict, normalizer, scratch, out)) return;
            }
            return;
        }
        std::string_view rest(b.lines);
        while (!rest.empty()) {
            const std::size_t nl = rest.find('\n');
            std::string_view line = rest.substr(0, nl);
            rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            if (!count_line(line, b.source, line_no++, strict, normalizer, scratch, out)) return;
        }
    }

    void work(WorkerCounts& out) {
        NormalizeScratch scratch;
        for (;;) {
            Block b;
            {
                std::unique_lock<std::mutex> g(mu);
                changed.wait(g, [&] { return !queue.empty() || closed || stopped; });
                if (stopped || queue.empty()) return;
                b = std::move(queue.front());
                queue.pop_front();
            }
            changed.notify_all();
            try {
                count(b, out, scratch);
            } catch (...) {
                std::lock_guard<std::mutex> g(mu);
                if (!error) error = std::current_exception();
                stopped = true;
            }
            if (opt.strict_utf8 && out.first_invalid) {
                std::lock_guard<std::mutex> g(mu);
                stopped = true;
            }
            if (stopped) changed.notify_all();
        }
    }

    bool push(Block b) {
        if (done) throw_value("the counter has finished");
        std::unique_lock<std::mutex> g(mu);
        changed.wait(g, [&] { return queue.size() < capacity || stopped; });
        if (stopped) return false;
        queue.push_back(std::move(b));
        g.unlock();
        changed.notify_all();
        return true;
    }

    void close() {
        {
            std::lock_guard<std::mutex> g(mu);
            closed = true;
        }
        changed.notify_all();
        for (std::thread& t : threads) t.join();
        threads.clear();
    }
};

BlockCounter::BlockCounter(const Normalizer& normalizer, std::size_t threads, CountOptions opt,
                           std::vector<std::string> sources)
    : s_(std::make_unique<State>(normalizer, std::move(opt), std::move(sources))) {
    const std::size_t n = resolve_threads(threads);
    s_->workers = std::vector<WorkerCounts>(n);
    for (WorkerCounts& w : s_->workers) w.keys = s_->opt.keys.get();
    s_->capacity = 2 * n;
    s_->spiller.settings = s_->opt.spill;
    if (s_->opt.spill.memory_limit) {
        s_->spiller.worker_budget = s_->opt.spill.memory_limit / 2 / n;
        for (WorkerCounts& w : s_->workers) w.spiller = &s_->spiller;
    }
    for (std::size_t i = 0; i < n; ++i) s_->threads.emplace_back([this, i] { s_->work(s_->workers[i]); });
}

BlockCounter::~BlockCounter() { cancel(); }

void BlockCounter::cancel() {
    {
        std::lock_guard<std::mutex> g(s_->mu);
        s_->stopped = true;
    }
    s_->close();
    s_->done = true;
    s_->workers.clear();
    s_->spiller.runs.clear();
    s_->spiller.dir.reset();
}

bool BlockCounter::add(std::string lines, std::size_t source, std::uint64_t first_line) {
    s_->bytes += lines.size();
    Block b;
    b.lines = std::move(lines);
    b.source = source;
    b.first_line = first_line;
    return s_->push(std::move(b));
}

bool BlockCounter::add_texts(std::vector<std::string> texts, std::size_t source, std::uint64_t first_line) {
    for (const std::string& t : texts) s_->bytes += t.size();
    Block b;
    b.texts = std::move(texts);
    b.source = source;
    b.first_line = first_line;
    return s_->push(std::move(b));
}

CountStore BlockCounter::finish(CountReport* report) {
    if (s_->done) throw_value("the counter has finished");
    s_->close();
    s_->done = true;
    if (s_->error) std::rethrow_exception(s_->error);
    if (s_->opt.strict_utf8) {
        if (auto bad = first_invalid(s_->workers)) not_utf8(s_->sources.at(bad->first), bad->second);
    }
    return finish_counts(s_->workers, s_->workers.size(), s_->spiller, s_->bytes, s_->sources.size(), s_->opt, report);
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

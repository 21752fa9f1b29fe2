#include "common/count_store.hpp"

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "common/errors.hpp"
#include "common/string_counter.hpp"

namespace larkspur {

namespace {

std::uint64_t add_counts(std::uint64_t a, std::uint64_t b) {
    if (a > std::numeric_limits<std::uint64_t>::max() - b) throw_value("a word count exceeds 2^64 - 1");
    return a + b;
}

class TableCursor final : public CountCursor {
   public:
    explicit TableCursor(std::shared_ptr<const WordTable> t) : t_(std::move(t)) {}
    bool next() override {
        if (i_ >= t_->size()) return false;
        word = t_->word(i_);
        count = t_->count(i_++);
        return true;
    }

   private:
    std::shared_ptr<const WordTable> t_;
    std::size_t i_ = 0;
};

class FileCursor final : public CountCursor {
   public:
    explicit FileCursor(std::shared_ptr<const CountsFile> f) : f_(std::move(f)), r_(f_->path()) {}
    bool next() override {
        if (!r_.next()) return false;
        word = r_.word();
        count = r_.count();
        return true;
    }

   private:
    std::shared_ptr<const CountsFile> f_;  // keeps the file while it is read
    RunReader r_;
};

// A run that a cursor reads and then removes (runs are read once).
class RunCursor final : public CountCursor {
   public:
    explicit RunCursor(const std::string& path) : path_(path), r_(path) {}
    ~RunCursor() override { std::remove(path_.c_str()); }
    bool next() override {
        if (!r_.next()) return false;
        word = r_.word();
        count = r_.count();
        return true;
    }

   private:
    std::string path_;
    RunReader r_;
};

// The words of counters, sorted, written as one run. Counters never share a word.
void write_run(const std::vector<const StringCounter*>& counters, RunWriter& out) {
    std::size_t n = 0;
    for (const StringCounter* c : counters) n += c->size();
    std::vector<std::pair<std::string_view, std::uint64_t>> all;
    all.reserve(n);
    for (const StringCounter* c : counters) {
        for (const auto& e : c->entries()) all.emplace_back(c->key(e), e.count);
    }
    std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [w, count] : all) out.add(w, count);
}

}  // namespace

std::unique_ptr<CountCursor> open_run(const std::string& path) { return std::make_unique<RunCursor>(path); }

std::string SpillSettings::directory() const {
    if (!tmp_dir.empty()) return tmp_dir;
    const char* env = std::getenv("TMPDIR");
    return env && *env ? env : "/tmp";
}

std::shared_ptr<files::TempDir> SpillSettings::make_dir() const {
    return std::make_shared<files::TempDir>(directory(), "larkspur-counts-");
}

CountMerger::CountMerger(std::vector<std::unique_ptr<CountCursor>> inputs) : in_(std::move(inputs)) {
    for (std::size_t i = 0; i < in_.size(); ++i) {
        if (in_[i]->next()) heap_.push_back(i);
    }
    std::make_heap(heap_.begin(), heap_.end(), [&](std::size_t a, std::size_t b) { return in_[b]->word < in_[a]->word; });
}

bool CountMerger::next(std::string_view& word, std::uint64_t& count) {
    auto later = [&](std::size_t a, std::size_t b) { return in_[b]->word < in_[a]->word; };
    if (heap_.empty()) return false;
    word_.assign(in_[heap_.front()]->word);
    count = 0;
    while (!heap_.empty() && in_[heap_.front()]->word == word_) {
        std::pop_heap(heap_.begin(), heap_.end(), later);
        CountCursor& c = *in_[heap_.back()];
        count = add_counts(count, c.count);
        if (c.next()) {
            std::push_heap(heap_.begin(), heap_.end(), later);
        } else {
            heap_.pop_back();
        }
    }
    word = word_;
    return true;
}

std::optional<std::uint64_t> CountStore::find(std::string_view word) const {
    return file_ ? file_->find(word) : table_->find(word);
}

void CountStore::scan(std::uint64_t start, std::uint64_t stop,
                      const std::function<bool(std::string_view, std::uint64_t)>& f) const {
    if (file_) return file_->scan(start, stop, f);
    stop = std::min<std::uint64_t>(stop, table_->size());
    for (std::uint64_t i = start; i < stop; ++i) {
        if (!f(table_->word(i), table_->count(i))) return;
    }
}

std::vector<std::pair<std::string, std::uint64_t>> CountStore::items(std::uint64_t start, std::uint64_t stop) const {
    std::vector<std::pair<std::string, std::uint64_t>> out;
    scan(start, stop, [&](std::string_view w, std::uint64_t n) {
        out.emplace_back(w, n);
        return true;
    });
    return out;
}

std::unique_ptr<CountCursor> CountStore::cursor() const {
    if (file_) return std::make_unique<FileCursor>(file_);
    return std::make_unique<TableCursor>(table_);
}

std::string CountStore::to_bytes() const {
    if (table_) return table_->to_bytes();
    std::string out;
    if (int err = files::read_file(file_->path(), out)) throw_os(file_->path(), err);
    return out;
}

CountStore CountStore::from_bytes(std::string_view data) { return CountStore(WordTable::from_bytes(data)); }

void CountStore::save(const std::string& path) const {
    if (table_) return table_->save(path);
    const int err = files::write_replacing(path, [&](files::FileWriter& f) {
        std::string line;
        scan(0, size(), [&](std::string_view w, std::uint64_t n) {
            if (w.find_first_of("\t\n\r") != std::string_view::npos) {
                throw_value("a word holds a tab or a line end and cannot be saved as a word<TAB>count line");
            }
            line.assign(w);
            line += '\t';
            line += std::to_string(n);
            line += '\n';
            f.write(line);
            return true;
        });
    });
    if (err) throw_os(path, err);
}

CountStore CountStore::merge(std::vector<std::unique_ptr<CountCursor>> inputs, const CountSource& source,
                             std::uint64_t memory_budget, const std::function<std::shared_ptr<files::TempDir>()>& dir,
                             const std::function<void(std::uint64_t)>& progress) {
    CountMerger m(std::move(inputs));
    WordTable t;
    std::string_view w;
    std::uint64_t n = 0, written = 0;
    auto tick = [&] {
        if (progress && (++written & 0xFFFF) == 0) progress(written);
    };
    bool more = false;
    while ((more = m.next(w, n))) {
        tick();
        t.append_in_order(w, n);
        if (memory_budget != 0 && t.memory_bytes() > memory_budget) break;
    }
    if (!more) {
        t.source = source;
        return CountStore(std::move(t));
    }
    // Beyond the budget: the table so far and the rest of the merge go to a file.
    auto file = std::make_shared<CountsFile>(
        dir(),
        [&](RunWriter& out) {
            for (std::size_t i = 0; i < t.size(); ++i) out.add(t.word(i), t.count(i));
            t = WordTable();
            while (m.next(w, n)) {
                tick();
                out.add(w, n);
            }
        },
        source);
    return CountStore(std::move(file));
}

CountStore CountStore::sum(const CountStore& a, const CountStore& b, const SpillSettings& spill) {
    if (a.table_ && b.table_ &&
        (spill.memory_limit == 0 || a.memory_bytes() + b.memory_bytes() <= spill.memory_limit / 2)) {
        return CountStore(WordTable::sum(*a.table_, *b.table_));
    }
    std::vector<std::unique_ptr<CountCursor>> in;
    in.push_back(a.cursor());
    in.push_back(b.cursor());
    CountSource source = a.source();
    source += b.source();
    return merge(std::move(in), source, spill.memory_limit / 2, [&] { return spill.make_dir(); }, spill.merge_progress);
}

CountStore CountStore::load(const std::vector<std::string>& paths, const SpillSettings& spill) {
    // Lines are added up in a counter; when it outgrows half the limit, it is written as a
    // sorted run and emptied, and the runs are merged at the end.
    const std::uint64_t budget = spill.memory_limit / 2;
    std::shared_ptr<files::TempDir> dir;
    auto get_dir = [&] {
        if (!dir) dir = spill.make_dir();
        return dir;
    };
    std::vector<std::string> runs;
    StringCounter counter;
    auto spill_counter = [&] {
        RunWriter out(get_dir()->file("run"), get_dir()->path());
        write_run({&counter}, out);
        out.finish({});
        runs.push_back(out.path());
        counter = StringCounter();
    };
    for (const std::string& path : paths) {
        for_each_count_line(path, [&](std::string_view word, std::uint64_t count) {
            counter.add(word, count);
            if (budget != 0 && (counter.size() & 0x3FF) == 0 && counter.memory_bytes() > budget) spill_counter();
        });
    }
    std::vector<std::unique_ptr<CountCursor>> in;
    for (const std::string& r : runs) in.push_back(open_run(r));
    {
        // What is left in the counter joins as one more sorted stream.
        WordTable rest;
        std::vector<std::pair<std::string_view, std::uint64_t>> all;
        all.reserve(counter.size());
        for (const auto& e : counter.entries()) all.emplace_back(counter.key(e), e.count);
        std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        rest = WordTable::from_sorted(std::move(all));
        counter = StringCounter();
        in.push_back(std::make_unique<TableCursor>(std::make_shared<const WordTable>(std::move(rest))));
    }
    return merge(std::move(in), {}, budget, get_dir, spill.merge_progress);
}

bool CountStore::operator==(const CountStore& o) const {
    if (table_ && o.table_) return *table_ == *o.table_;
    if (size() != o.size()) return false;
    auto a = cursor(), b = o.cursor();
    while (a->next()) {
        if (!b->next() || a->word != b->word || a->count != b->count) return false;
    }
    return !b->next();
}

}  // namespace larkspur

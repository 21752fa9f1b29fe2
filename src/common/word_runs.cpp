#include "common/word_runs.hpp"

#include <algorithm>
#include <limits>

#include "common/errors.hpp"
#include "common/utf8.hpp"

namespace larkspur {

void put_varint(std::string& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7F) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

RunWriter::RunWriter(const std::string& path, std::string where, std::uint64_t index_every)
    : path_(path), where_(std::move(where)), every_(index_every) {
    if (int err = file_.create(path, 1 << 16)) throw_os(where_, err);
    file_.write(kRunMagic);
    offset_ = kRunMagic.size();
}

void RunWriter::check() {
    if (file_.error()) throw_os(where_, file_.error());
}

void RunWriter::add(std::string_view word, std::uint64_t count) {
    if (every_ && words_ % every_ == 0) {
        index_offsets_.push_back(offset_);
        index_words_.emplace_back(word);
    }
    record_.clear();
    put_varint(record_, word.size());
    record_.append(word);
    put_varint(record_, count);
    file_.write(record_);
    offset_ += record_.size();
    ++words_;
    total_ = count > std::numeric_limits<std::uint64_t>::max() - total_ ? std::numeric_limits<std::uint64_t>::max()
                                                                        : total_ + count;
    if ((words_ & 0xFFF) == 0) check();
}

void RunWriter::finish(const CountSource& source) {
    record_.clear();
    put_varint(record_, 0);
    put_varint(record_, words_);
    put_varint(record_, source.lines);
    put_varint(record_, source.bytes);
    put_varint(record_, source.invalid_lines);
    file_.write(record_);
    if (int err = file_.finish()) throw_os(where_, err);
}

RunReader::RunReader(const std::string& path, std::size_t buffer) : path_(path) {
    if (int err = in_.open(path, buffer)) throw_os(path, err);
    std::string magic;
    if (!in_.read(kRunMagic.size(), magic) || magic != kRunMagic) bad();
}

void RunReader::bad() const {
    if (in_.error()) throw_os(path_, in_.error());
    throw_value(path_ + ": not a file of word counts (or cut short)");
}

bool RunReader::varint(std::uint64_t& v) {
    v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        const int b = in_.get();
        if (b < 0) return false;
        v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
        if (!(b & 0x80)) return true;
    }
    return false;
}

bool RunReader::next() {
    if (done_) return false;
    std::uint64_t len = 0;
    if (!varint(len)) bad();
    if (len == 0) {
        if (!varint(words_) || !varint(source_.lines) || !varint(source_.bytes) || !varint(source_.invalid_lines)) bad();
        done_ = true;
        return false;
    }
    word_.clear();
    if (len > (std::uint64_t{1} << 32) || !in_.read(static_cast<std::size_t>(len), word_) || !varint(count_)) bad();
    ++read_;
    return true;
}

CountsFile::CountsFile(std::shared_ptr<files::TempDir> dir, const std::function<void(RunWriter&)>& fill,
                       const CountSource& source)
    : dir_(std::move(dir)), source_(source) {
    path_ = dir_->file("counts");
    RunWriter w(path_, dir_->path(), kEvery);
    fill(w);
    w.finish(source);
    size_ = w.words();
    total_ = w.total();
    index_offsets_ = std::move(w.index_offsets());
    index_words_ = std::move(w.index_words());
}

std::optional<std::uint64_t> CountsFile::find(std::string_view word) const {
    // The last indexed word at or before `word`, then a scan of its block.
    auto it = std::upper_bound(index_words_.begin(), index_words_.end(), word,
                               [](std::string_view w, const std::string& i) { return w < std::string_view(i); });
    if (it == index_words_.begin()) return std::nullopt;
    const std::size_t block = static_cast<std::size_t>(it - index_words_.begin()) - 1;
    std::optional<std::uint64_t> found;
    scan(block * kEvery, (block + 1) * kEvery, [&](std::string_view w, std::uint64_t n) {
        if (w == word) found = n;
        return w < word;
    });
    return found;
}

void CountsFile::scan(std::uint64_t start, std::uint64_t stop,
                      const std::function<bool(std::string_view, std::uint64_t)>& f) const {
    stop = std::min(stop, size_);
    if (start >= stop) return;
    RunReader r(path_);
    const std::uint64_t block = start / kEvery;
    r.seek(index_offsets_[block]);
    for (std::uint64_t i = block * kEvery; i < stop && r.next(); ++i) {
        if (i >= start && !f(r.word(), r.count())) return;
    }
}

}  // namespace larkspur

#include "common/word_table.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/utf8.hpp"
#include "common/word_runs.hpp"

namespace larkspur {

namespace {

std::uint64_t add_counts(std::uint64_t a, std::uint64_t b) {
    if (a > std::numeric_limits<std::uint64_t>::max() - b) throw_value("a word count exceeds 2^64 - 1");
    return a + b;
}

bool get_varint(std::string_view data, std::size_t& at, std::uint64_t& v) {
    v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (at >= data.size()) return false;
        const auto b = static_cast<unsigned char>(data[at++]);
        v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
        if (!(b & 0x80)) return true;
    }
    return false;
}

std::string line_start(std::string_view line) {
    // The first 40 characters, cut at a character boundary.
    std::size_t n = 0, chars = 0;
    while (n < line.size() && chars < 40) {
        n += std::max<std::size_t>(1, utf8::seq_len(static_cast<unsigned char>(line[n])));
        ++chars;
    }
    return std::string(line.substr(0, std::min(n, line.size())));
}

}  // namespace

void WordTable::push(std::string_view word, std::uint64_t count) {
    arena_.append(word);
    ends_.push_back(arena_.size());
    counts_.push_back(count);
}

WordTable WordTable::from_sorted(std::vector<std::pair<std::string_view, std::uint64_t>> pairs) {
    WordTable t;
    std::size_t bytes = 0;
    for (const auto& p : pairs) bytes += p.first.size();
    t.arena_.reserve(bytes);
    t.ends_.reserve(pairs.size());
    t.counts_.reserve(pairs.size());
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        if (pairs[i].first.empty()) throw_value("a word of word counts must not be empty");
        if (i > 0 && !(pairs[i - 1].first < pairs[i].first)) throw_runtime("word counts out of order");
        t.push(pairs[i].first, pairs[i].second);
    }
    return t;
}

WordTable WordTable::from_pairs(std::vector<std::pair<std::string_view, std::uint64_t>> pairs) {
    std::sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        if (kept > 0 && pairs[kept - 1].first == pairs[i].first) {
            pairs[kept - 1].second = add_counts(pairs[kept - 1].second, pairs[i].second);
        } else {
            pairs[kept++] = pairs[i];
        }
    }
    pairs.resize(kept);
    return from_sorted(std::move(pairs));
}

std::optional<std::uint64_t> WordTable::find(std::string_view w) const {
    std::size_t lo = 0, hi = size();
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        const int c = word(mid).compare(w);
        if (c == 0) return counts_[mid];
        if (c < 0) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return std::nullopt;
}

std::uint64_t WordTable::total() const {
    std::uint64_t n = 0;
    for (std::uint64_t c : counts_) n = add_counts(n, c);
    return n;
}

WordTable WordTable::sum(const WordTable& a, const WordTable& b) {
    WordTable t;
    t.arena_.reserve(a.arena_.size() + b.arena_.size());
    t.ends_.reserve(a.size() + b.size());
    t.counts_.reserve(a.size() + b.size());
    std::size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        if (j == b.size() || (i < a.size() && a.word(i) < b.word(j))) {
            t.push(a.word(i), a.count(i));
            ++i;
        } else if (i == a.size() || b.word(j) < a.word(i)) {
            t.push(b.word(j), b.count(j));
            ++j;
        } else {
            t.push(a.word(i), add_counts(a.count(i), b.count(j)));
            ++i;
            ++j;
        }
    }
    t.source = a.source;
    t.source += b.source;
    return t;
}

WordTable WordTable::at_least(std::uint64_t min) const {
    WordTable t;
    for (std::size_t i = 0; i < size(); ++i) {
        if (counts_[i] >= min) t.push(word(i), counts_[i]);
    }
    t.source = source;
    return t;
}

void WordTable::save(const std::string& path) const {
    for (std::size_t i = 0; i < size(); ++i) {
        const std::string_view w = word(i);
        if (w.find_first_of("\t\n\r") != std::string_view::npos) {
            throw_value("the word '" + line_start(w) + "' holds a tab or a line end and cannot be saved as a " +
                        "word<TAB>count line");
        }
    }
    const int err = files::write_replacing(path, [&](files::FileWriter& f) {
        std::string line;
        for (std::size_t i = 0; i < size(); ++i) {
            line.assign(word(i));
            line += '\t';
            line += std::to_string(counts_[i]);
            line += '\n';
            f.write(line);
        }
    });
    if (err) throw_os(path, err);
}

void for_each_count_line(const std::string& path, const std::function<void(std::string_view, std::uint64_t)>& f) {
    if (files::is_dir(path)) throw_os(path, EISDIR);
    files::LineReader reader;
    if (int err = reader.open(path, 1 << 20)) throw_os(path, err);
    std::string_view line;
    for (std::uint64_t n = 1;; ++n) {
        const auto st = reader.next(line);
        if (st == files::LineReader::Status::Eof) break;
        if (st == files::LineReader::Status::Error) throw_os(path, reader.error());
        if (line.empty()) continue;
        const std::size_t tab = line.rfind('\t');
        const std::string_view count = tab == std::string_view::npos ? std::string_view() : line.substr(tab + 1);
        std::uint64_t value = 0;
        bool ok = tab != std::string_view::npos && tab > 0 && !count.empty() && count.size() <= 20 &&
                  utf8::is_valid(line.substr(0, tab));
        for (char c : count) {
            if (c < '0' || c > '9') {
                ok = false;
                break;
            }
            const std::uint64_t d = static_cast<std::uint64_t>(c - '0');
            if (value > (std::numeric_limits<std::uint64_t>::max() - d) / 10) {
                ok = false;
                break;
            }
            value = value * 10 + d;
        }
        if (!ok) {
            const std::string shown = utf8::is_valid(line) ? line_start(line) : "(not UTF-8)";
            throw_value(path + ":" + std::to_string(n) + ": expected word<TAB>count, got '" + shown + "'");
        }
        f(line.substr(0, tab), value);
    }
}

WordTable WordTable::load(const std::string& path) {
    std::string arena;
    std::vector<std::pair<std::size_t, std::size_t>> spans;  // into arena: begin, length
    std::vector<std::uint64_t> counts;
    for_each_count_line(path, [&](std::string_view word, std::uint64_t count) {
        spans.emplace_back(arena.size(), word.size());
        arena.append(word);
        counts.push_back(count);
    });
    std::vector<std::pair<std::string_view, std::uint64_t>> pairs;
    pairs.reserve(spans.size());
    for (std::size_t i = 0; i < spans.size(); ++i) {
        pairs.emplace_back(std::string_view(arena).substr(spans[i].first, spans[i].second), counts[i]);
    }
    return from_pairs(std::move(pairs));
}

std::string WordTable::to_bytes() const {
    std::string out(kRunMagic);
    out.reserve(arena_.size() + 6 * size() + 64);
    for (std::size_t i = 0; i < size(); ++i) {
        const std::string_view w = word(i);
        put_varint(out, w.size());
        out.append(w);
        put_varint(out, counts_[i]);
    }
    put_varint(out, 0);
    put_varint(out, size());
    put_varint(out, source.lines);
    put_varint(out, source.bytes);
    put_varint(out, source.invalid_lines);
    return out;
}

WordTable WordTable::from_bytes(std::string_view data) {
    auto bad = [] { throw_value("not the bytes of word counts"); };
    if (data.substr(0, kRunMagic.size()) != kRunMagic) bad();
    std::size_t at = kRunMagic.size();
    WordTable t;
    for (;;) {
        std::uint64_t len = 0, count = 0;
        if (!get_varint(data, at, len) || len > data.size() - at) bad();
        if (len == 0) break;
        const std::string_view w = data.substr(at, len);
        at += len;
        if (!get_varint(data, at, count)) bad();
        if ((!t.empty() && !(t.word(t.size() - 1) < w)) || !utf8::is_valid(w)) bad();
        t.push(w, count);
    }
    std::uint64_t n = 0;
    if (!get_varint(data, at, n) || n != t.size() || !get_varint(data, at, t.source.lines) ||
        !get_varint(data, at, t.source.bytes) || !get_varint(data, at, t.source.invalid_lines) || at != data.size()) {
        bad();
    }
    return t;
}

}  // namespace larkspur

#include "encode/encoder.hpp"

#include "common/errors.hpp"
#include "common/utf8.hpp"

namespace larkspur {

namespace {

constexpr char32_t kWordMarkerCp = 0x2581, kLatinMarkerCp = 0x2582;
constexpr std::string_view kWordMarkerText = "\xE2\x96\x81", kLatinMarkerText = "\xE2\x96\x82";

inline Script char_class(char32_t c) {
    if (c < 0x80) {
        if (utf8::is_ascii_alnum(c)) return Script::LAT;
        if ((c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60) ||
            (c >= 0x7B && c <= 0x7E))
            return Script::PUN;
        return Script::MAL;
    }
    if (c >= 0x0900 && c <= 0x097F) return (c == 0x0964 || c == 0x0965) ? Script::PUN : Script::DEV;
    if (c == 0x200C) return Script::FMT;
    if ((c >= 0x2010 && c <= 0x2015) || (c >= 0x2018 && c <= 0x201F) || c == 0x2026) return Script::PUN;
    return Script::MAL;  // literal U+2581/U+2582 included
}

inline bool alnum_byte(std::string_view t, std::size_t i) {
    return i < t.size() && utf8::is_ascii_alnum(static_cast<unsigned char>(t[i]));
}

// One unit of a run: a word marker (begin == kMarker, end the marker kind) or a byte
// range of the text; its code points are cps_[cp_off .. cp_off + chars).
struct Unit {
    static constexpr std::size_t kMarker = static_cast<std::size_t>(-1);
    std::size_t begin, end, cp_off, chars;
};

template <class Id>
class Encoder {
   public:
    Encoder(const EncodeContext& ctx, std::string_view text, std::vector<Id>& out)
        : ctx_(ctx), idx_(ctx.index), t_(text), out_(out) {
        std::size_t mtc = ctx.vocab.max_token_chars();
        budget_ = mtc > 1 ? mtc : 1;
    }

    // Encodes up to `stop` (the end, or a space).
    void run(std::size_t stop, bool first) {
        // Positions of the marked text: kStart is the leading marker, any other value the
        // byte offset of a character (a marker when that character is a space).
        std::size_t w = first ? kStart : 0;
        while (w == kStart || w < stop) {
            if (ctx_.seed_max_len > 0 && try_abbreviation(w)) continue;
            w = encode_run(w);
        }
    }

   private:
    static constexpr std::size_t kStart = static_cast<std::size_t>(-1);

    bool is_marker(std::size_t p) const { return p == kStart || t_[p] == ' '; }
    // The marker at p is U+2582 when the next character is an ASCII letter or digit.
    bool latin_marker(std::size_t p) const { return alnum_byte(t_, p == kStart ? 0 : p + 1); }
    std::size_t after(std::size_t p) const {
        return p == kStart ? 0 : p + utf8::seq_len(static_cast<unsigned char>(t_[p]));
    }

    void emit(std::int64_t id) {
        if (id >= 0) out_.push_back(static_cast<Id>(id));
    }
    void byte_fallback(std::string_view bytes) {
        for (unsigned char b : bytes) emit(idx_.byte_id(b));
    }

    // The abbreviation step at position w: a seeded surface of 2..seed_max_len characters
    // that contains "." or U+0964 and starts at w (or right after the marker at w).
    bool try_abbreviation(std::size_t& w) {
        const std::size_t window = ctx_.seed_max_len;
        bool found = false;
        std::size_t p = w;
        for (std::size_t k = 0; k < window && p != t_.size(); ++k, p = after(p)) {
            if (is_marker(p)) continue;
            if (t_[p] == '.' || t_.compare(p, 3, "\xE0\xA5\xA4") == 0) {
                found = true;
                break;
            }
        }
        if (!found) return false;
        const bool marker = is_marker(w);
        std::size_t g = marker ? after(w) : w;
        if (g == t_.size()) return false;
        // Byte ends of the first 1..L characters from g, L capped at seed_max_len.
        ends_.clear();
        for (std::size_t q = g; q != t_.size() && !is_marker(q) && ends_.size() < window; q = after(q)) {
            ends_.push_back(after(q));
        }
        if (ends_.size() < 2 || idx_.empty()) return false;
        for (std::size_t l = ends_.size(); l >= 2; --l) {
            std::int64_t id = idx_.lookup(t_.substr(g, ends_[l - 1] - g));
            if (id < 0) continue;
            if (marker) emit(latin_marker(w) ? idx_.latin_marker_id() : idx_.word_marker_id());
            emit(id);
            w = ends_[l - 1] == t_.size() ? t_.size() : ends_[l - 1];
            return true;
        }
        return false;
    }

    Script class_at(std::size_t p) const {
        if (is_marker(p)) return latin_marker(p) ? Script::LAT : Script::DEV;
        std::size_t i = p;
        return char_class(utf8::next(t_, i));
    }

    // Encodes the run that starts at w and returns the position after it.
    std::size_t encode_run(std::size_t w) {
        const Script k = class_at(w);
        const bool marker = is_marker(w);
        std::size_t body = after(w);  // first position after w
        std::size_t h = body;
        if (!marker) {
            // w itself is part of the body.
            body = w;
        }
        while (h != t_.size() && !is_marker(h)) {
            std::size_t i = h;
            if (char_class(utf8::next(t_, i)) != k) break;
            h = i;
        }
        std::string_view text = t_.substr(body, h - body);
        switch (k) {
            case Script::MAL:
                byte_fallback(text);
                break;
            case Script::PUN:
                for (std::size_t i = 0; i < text.size();) {
                    std::size_t s = i;
                    char32_t c = utf8::next(text, i);
                    SurfaceIndex::Node n = idx_.child(SurfaceIndex::kRoot, c);
                    std::int64_t id = n == SurfaceIndex::kNoNode ? SurfaceIndex::kNone : idx_.id_at(n);
                    if (id >= 0) {
                        emit(id);
                    } else {
                        byte_fallback(text.substr(s, i - s));
                    }
                }
                break;
            case Script::FMT:
                if (!idx_.empty()) {
                    for (std::size_t i = 0; i < text.size(); i += 3) emit(idx_.zwnj_id());
                }
                break;
            case Script::DEV:
            case Script::LAT:
                match_units(k, marker ? (latin_marker(w) ? 2 : 1) : 0, body, h);
                break;
        }
        return h;
    }

    // Produces units lazily from [pos_, end_) into the window, decoding each once.
    bool produce() {
        if (pos_ == end_) return false;
        const std::size_t b = pos_, off = cps_.size();
        std::size_t e;
        if (dev_) {
            e = b + ctx_.dfa.first_akshara(t_.substr(b, end_ - b), cps_);
        } else {
            e = b;
            cps_.push_back(utf8::next(t_, e));
        }
        units_.push_back(Unit{b, e, off, cps_.size() - off});
        pos_ = e;
        return true;
    }

    // The greedy longest-match matcher over the units of one Devanagari or Latin run.
    // marker: 0 none, 1 U+2581, 2 U+2582 (the run's first unit).
    void match_units(Script k, int marker, std::size_t body, std::size_t h) {
        if (idx_.empty()) return;  // no byte tokens either: nothing can be emitted
        dev_ = k == Script::DEV;
        pos_ = body;
        end_ = h;
        units_.clear();
        cps_.clear();
        head_ = 0;
        if (marker) {
            cps_.push_back(marker == 2 ? kLatinMarkerCp : kWordMarkerCp);
            units_.push_back(Unit{Unit::kMarker, static_cast<std::size_t>(marker), 0, 1});
        }
        for (;;) {
            if (head_ == units_.size() && !produce()) break;
            // Walk the trie over units head_, head_+1, ... within the character budget.
            SurfaceIndex::Node node = SurfaceIndex::kRoot;
            std::size_t chars = 0, j = head_, best_end = 0;
            std::int64_t best = SurfaceIndex::kNone;
            for (;;) {
                if (j == units_.size() && !produce()) break;
                const Unit& u = units_[j];
                chars += u.chars;
                if (chars > budget_) break;
                for (std::size_t c = u.cp_off, end = u.cp_off + u.chars; c < end; ++c) {
                    node = idx_.child(node, cps_[c]);
                    if (node == SurfaceIndex::kNoNode) break;
                }
                if (node == SurfaceIndex::kNoNode) break;  // no surface starts with this
                ++j;
                if (std::int64_t id = idx_.id_at(node); id >= 0) {
                    best = id;
                    best_end = j;
                }
            }
            if (best >= 0) {
                emit(best);
                head_ = best_end;
            } else {
                const Unit& u = units_[head_];
                if (u.begin == Unit::kMarker) {
                    byte_fallback(u.end == 2 ? kLatinMarkerText : kWordMarkerText);
                } else {
                    byte_fallback(t_.substr(u.begin, u.end - u.begin));
                }
                ++head_;
            }
            // Keep the window small: it only ever needs the units ahead of head_.
            if (head_ >= 64 && head_ * 2 >= units_.size()) {
                const std::size_t drop = head_ < units_.size() ? units_[head_].cp_off : cps_.size();
                units_.erase(units_.begin(), units_.begin() + static_cast<std::ptrdiff_t>(head_));
                cps_.erase(cps_.begin(), cps_.begin() + static_cast<std::ptrdiff_t>(drop));
                for (Unit& u : units_) u.cp_off -= drop;
                head_ = 0;
            }
        }
    }

    const EncodeContext& ctx_;
    const SurfaceIndex& idx_;
    std::string_view t_;
    std::vector<Id>& out_;
    std::size_t budget_;
    std::vector<std::size_t> ends_;
    std::vector<Unit> units_;
    std::vector<char32_t> cps_;
    std::size_t head_ = 0, pos_ = 0, end_ = 0;
    bool dev_ = false;
};

}  // namespace

void encode_normalized(const EncodeContext& ctx, std::string_view text, std::vector<TokenId>& out) {
    Encoder<TokenId>(ctx, text, out).run(text.size(), true);
}

void encode_normalized(const EncodeContext& ctx, std::string_view text, std::vector<std::uint32_t>& out) {
    if (ctx.vocab.size() > 0xFFFFFFFFu) throw_runtime("vocabulary too large for 32-bit ids");
    Encoder<std::uint32_t>(ctx, text, out).run(text.size(), true);
}

void encode_segment(const EncodeContext& ctx, std::string_view text, std::size_t stop, bool first,
                    std::vector<TokenId>& out) {
    Encoder<TokenId>(ctx, text, out).run(stop, first);
}

std::string decode(const SurfaceIndex& index, std::span<const TokenId> ids) {
    std::string out, pending;
    const std::size_t n = index.size();
    for (TokenId id : ids) {
        if (id < n && index.is_byte(id)) {
            pending.push_back(static_cast<char>(index.byte(id)));
            continue;
        }
        if (!pending.empty()) {
            utf8::append_lossy(out, pending);
            pending.clear();
        }
        if (id < n) out += index.display(id);
    }
    if (!pending.empty()) utf8::append_lossy(out, pending);
    if (!out.empty() && out.front() == ' ') out.erase(0, 1);
    return out;
}

}  // namespace larkspur

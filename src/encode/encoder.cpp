#include "encode/encoder.hpp"

#include <algorithm>

#include "common/errors.hpp"
#include "common/utf8.hpp"
#include "encode/word_cache.hpp"
#include "vocab/char_class.hpp"

namespace larkspur {

namespace {

constexpr char32_t kWordMarkerCp = 0x2581, kLatinMarkerCp = 0x2582;
constexpr std::string_view kWordMarkerText = "\xE2\x96\x81", kLatinMarkerText = "\xE2\x96\x82";
constexpr std::string_view kDanda = "\xE0\xA5\xA4";

inline bool alnum_byte(std::string_view t, std::size_t i) {
    return i < t.size() && utf8::is_ascii_alnum(static_cast<unsigned char>(t[i]));
}

// A position of the marked text. The text itself holds no markers: the leading one is
// implied and every other one stands in place of a space. A marker position names the
// byte where the characters after it begin (0 for the leading marker, s + 1 for the space
// at s); a character position names the character's first byte, and the character
// position at the text's length is the end.
struct Pos {
    bool marker;
    std::size_t at;
    static Pos marker_before(std::size_t at) { return Pos{true, at}; }
    static Pos char_at(std::size_t at) { return Pos{false, at}; }
};

enum class MarkerKind : std::uint8_t { Word, Latin };  // U+2581, U+2582

// One unit of a run: a word marker, or a byte range of the text. Its code points are
// cps[cp_off .. cp_off + chars).
struct Unit {
    enum class Kind : std::uint8_t { Text, WordMarker, LatinMarker } kind;
    std::size_t begin, end;  // the byte range of a Text unit
    std::size_t cp_off, chars;
};

}  // namespace

// Reusable buffers of the encoder, so that encoding many short texts allocates nothing
// per text.
struct EncodeScratch::Buffers {
    std::vector<std::size_t> ends;
    std::vector<Unit> units;
    std::vector<char32_t> cps;
};

EncodeScratch::EncodeScratch() : b_(std::make_unique<Buffers>()) {}
EncodeScratch::~EncodeScratch() = default;

namespace {

template <class Id>
class Encoder {
   public:
    Encoder(const EncodeContext& ctx, std::string_view text, std::vector<Id>& out, EncodeScratch::Buffers& scratch,
            WordCache* cache = nullptr, std::size_t worker = 0)
        : ctx_(ctx),
          idx_(ctx.index),
          t_(text),
          out_(out),
          ends_(scratch.ends),
          units_(scratch.units),
          cps_(scratch.cps),
          cache_(ctx.vocab.size() <= 0xFFFFFFFFu ? cache : nullptr),
          worker_(worker) {
        std::size_t mtc = ctx.vocab.max_token_chars();
        budget_ = mtc > 1 ? mtc : 1;
    }

    // Encodes up to `stop` (the end, or a space), word by word: a word is a marker and the
    // characters up to the next space. Runs never cross a marker and the abbreviation step
    // never matches across one, so each word is encoded on its own; only a superword,
    // tried first at each marker, takes several words at once.
    void run(std::size_t stop, bool first) {
        stop_ = stop;
        superwords_ = ctx_.options.superwords && idx_.has_superwords();
        std::size_t b = first ? 0 : 1;  // a later segment starts at the space of its marker
        for (;;) {
            std::size_t e = t_.find(' ', b);
            if (e > stop) e = stop;
            if (superwords_) {
                e = superword_word(b, e);
            } else if (cache_) {
                cached_word(b, e);
            } else {
                encode_word(Pos::marker_before(b), e);
            }
            if (e >= stop) break;
            b = e + 1;
        }
    }

   private:
    // The marker before byte b is U+2582 when the character there is an ASCII letter or digit,
    // or with Latin joins when the first one after its punctuation is.
    bool latin_marker(Pos p) const {
        return alnum_byte(t_, p.at) || (ctx_.options.latin_joins && latin_after_punctuation(t_, p.at));
    }
    Pos after(Pos p) const {
        const std::size_t next = p.marker ? p.at : p.at + utf8::seq_len(static_cast<unsigned char>(t_[p.at]));
        if (next < t_.size() && t_[next] == ' ') return Pos::marker_before(next + 1);
        return Pos::char_at(next);
    }
    bool at_end(Pos p) const { return !p.marker && p.at == t_.size(); }

    void emit(std::optional<TokenId> id) {
        if (id) out_.push_back(static_cast<Id>(*id));
    }
    void byte_fallback(std::string_view bytes) {
        for (unsigned char b : bytes) emit(idx_.byte_id(b));
    }

    // encode_word through the cache. A word encodes the same wherever it stands unless
    // the abbreviation step can reach it: that step looks for "." or U+0964 from each run
    // of the word up to seed_max_len positions ahead (at most four bytes each), so a word
    // without either in that reach is cached and any other is encoded every time.
    // `hash`: the word's hash_bytes() when the caller has it.
    void cached_word(std::size_t b, std::size_t e, bool superword_first = true,
                     std::optional<std::uint64_t> hash = std::nullopt) {
        if (ctx_.seed_max_len > 0) {
            const std::size_t reach = std::min(t_.size(), e + 4 * ctx_.seed_max_len);
            const std::string_view near = t_.substr(b, reach - b);
            if (near.find('.') != std::string_view::npos || near.find(kDanda) != std::string_view::npos) {
                encode_word(Pos::marker_before(b), e, superword_first);
                return;
            }
        }
        const std::string_view word = t_.substr(b, e - b);
        const std::uint64_t h = hash ? *hash : hash_bytes(word);
        std::span<const std::uint32_t> ids;
        if (cache_->find(word, h, ids)) {
            out_.insert(out_.end(), ids.begin(), ids.end());
            return;
        }
        const std::size_t before = out_.size();
        encode_word(Pos::marker_before(b), e, superword_first);
        cache_->insert(word, h, std::span<const Id>(out_).subspan(before), worker_);
    }

    // From w up to e (a space or the stop), within a word. A superword at a marker (after a
    // line feed or tab, with whitespace tokens) may carry the encoding past e, to the end of
    // a later word: returns where the encoding stopped (the space or the stop after the last
    // word encoded).
    std::size_t encode_word(Pos w, std::size_t e, bool superword_first = true) {
        for (bool first = true; w.marker || w.at < e; first = false) {
            if (w.marker && superwords_ && (superword_first || !first)) {
                if (const std::size_t q = superword_at(w.at); q != 0) {
                    w = Pos::char_at(q);
                    if (q > e) e = std::min(t_.find(' ', q), stop_);
                    continue;
                }
            }
            if (ctx_.seed_max_len > 0 && try_abbreviation(w)) continue;
            w = encode_run(w, e);
        }
        return e;
    }

    // The word at b, up to the space or stop e, with superwords: a superword when one starts
    // here, else the word as without them (through the cache when it has no line feed or tab,
    // after which another superword could start). Returns where the encoding stopped.
    std::size_t superword_word(std::size_t b, std::size_t e) {
        const std::size_t q = word_end(b);
        if (q < e) return encode_word(Pos::marker_before(b), e);
        const std::string_view word = t_.substr(b, q - b);
        const std::uint64_t h = hash_bytes(word);
        if (idx_.may_start_superword(h)) {
            if (const SurfaceIndex::Superword* s = idx_.superword(word)) {
                if (const std::size_t end = superword_at(b, s); end != 0) {
                    // It ended at a space or the stop, or at a line feed or tab inside a word.
                    if (end >= stop_ || t_[end] == ' ') return end;
                    return encode_word(Pos::char_at(end), std::min(t_.find(' ', end), stop_));
                }
            }
        }
        if (cache_) {
            cached_word(b, e, false, h);
            return e;
        }
        encode_word(Pos::marker_before(b), e, false);
        return e;
    }

    // Where the word at b ends for superwords: at a space, a line feed or a tab.
    std::size_t word_end(std::size_t b) const {
        std::size_t q = b;
        while (q < stop_ && t_[q] != ' ' && t_[q] != '\n' && t_[q] != '\t') ++q;
        return q;
    }

    // The longest superword that the words from b spell, ending where a word ends: emits it
    // and returns the byte after its last word, or 0 (emitting nothing) when there is none.
    // Words are followed one space at a time, as far as some superword goes on.
    // `first` is the entry of the first word when the caller looked it up already.
    std::size_t superword_at(std::size_t b, const SurfaceIndex::Superword* first = nullptr) {
        std::optional<TokenId> best;
        std::size_t best_end = 0;
        for (std::size_t q = word_end(b);; q = word_end(q + 1)) {
            if (q == b) break;  // an empty word: no superword holds one
            const SurfaceIndex::Superword* s = first ? first : idx_.superword(t_.substr(b, q - b));
            first = nullptr;
            if (!s) break;
            if (s->id) {
                best = *s->id;
                best_end = q;
            }
            if (!s->longer || q >= stop_ || t_[q] != ' ' || q + 1 >= stop_ || t_[q + 1] == ' ') break;
        }
        if (!best) return 0;
        emit(best);
        return best_end;
    }

    // The abbreviation step at position w: a seeded surface of 2..seed_max_len characters
    // that contains "." or U+0964 and starts at w (or right after the marker at w).
    bool try_abbreviation(Pos& w) {
        const std::size_t window = ctx_.seed_max_len;
        bool found = false;
        Pos p = w;
        for (std::size_t k = 0; k < window && !at_end(p); ++k, p = after(p)) {
            if (p.marker) continue;
            if (t_[p.at] == '.' || t_.compare(p.at, 3, kDanda) == 0) {
                found = true;
                break;
            }
        }
        if (!found) return false;
        const std::size_t g = w.at;  // the first character of the candidate
        if (g == t_.size()) return false;
        // Byte ends of the first 1..L characters from g, L capped at seed_max_len. With
        // whitespace tokens a line feed or tab ends the candidate as a space does: it is
        // always a token of its own, followed by a marker that decoding drops again.
        ends_.clear();
        // A literal word marker in the text ends the candidate too: in a surface a marker
        // stands for a word start, so matching one would decode the character as a space.
        for (std::size_t q = g; q != t_.size() && t_[q] != ' ' && ends_.size() < window;) {
            const auto byte = static_cast<unsigned char>(t_[q]);
            if (ctx_.options.whitespace_tokens && is_whitespace_token_char(byte)) break;
            std::size_t next = q;
            const char32_t c = utf8::next(t_, next);
            if (c == kWordMarkerCp || c == kLatinMarkerCp) break;
            q = next;
            ends_.push_back(q);
        }
        if (ends_.size() < 2 || idx_.empty()) return false;
        for (std::size_t l = ends_.size(); l >= 2; --l) {
            std::optional<TokenId> id = idx_.lookup(t_.substr(g, ends_[l - 1] - g));
            if (!id) continue;
            if (w.marker) emit(latin_marker(w) ? idx_.latin_marker_id() : idx_.word_marker_id());
            emit(id);
            w = Pos::char_at(ends_[l - 1]);
            return true;
        }
        return false;
    }

    // Encodes the run that starts at w, within a word that ends at byte e, and returns the
    // position where the next run starts.
    Pos encode_run(Pos w, std::size_t e) {
        const EncodeOptions& opt = ctx_.options;
        Script k;
        std::size_t body = w.at, h = w.at;
        if (w.marker) {
            k = latin_marker(w) ? Script::LAT : Script::DEV;
        } else {
            const char32_t c = utf8::next(t_, h);
            if (opt.whitespace_tokens && is_whitespace_token_char(c)) return whitespace_token(c, body);
            k = char_class(c);
            if (k == Script::PUN && opt.edge_joins) k = Script::DEV;
        }
        // With edge joins, punctuation joins the Devanagari or Latin run it stands in, for
        // the matcher to join a word to its danda or quotation marks, the halves of a
        // hyphenated pair, or an abbreviation with its full stops.
        const bool mixed = (k == Script::DEV || k == Script::LAT) && opt.edge_joins;
        // A Latin marker before punctuation (Latin joins) opens the run with it.
        bool leading = k == Script::LAT && w.marker;
        while (h < e) {
            std::size_t i = h;
            const char32_t c = utf8::next(t_, i);
            const Script kc = char_class(c);
            if (kc != k && !((mixed || leading) && kc == Script::PUN)) break;
            leading = leading && kc == Script::PUN;
            if (opt.whitespace_tokens && is_whitespace_token_char(c)) break;
            h = i;
        }
        std::string_view text = t_.substr(body, h - body);
        switch (k) {
            case Script::MAL:
                if (opt.codepoint_fallback) {
                    single_characters(text, false);
                } else {
                    byte_fallback(text);
                }
                break;
            case Script::PUN:
                single_characters(text, true);
                break;
            case Script::FMT:
                if (!idx_.empty()) {
                    for (std::size_t i = 0; i < text.size(); i += 3) emit(idx_.zwnj_id());
                }
                break;
            case Script::DEV:
            case Script::LAT: {
                std::optional<MarkerKind> marker;
                if (w.marker) marker = latin_marker(w) ? MarkerKind::Latin : MarkerKind::Word;
                match_units(k, marker, body, h);
                break;
            }
        }
        return Pos::char_at(h);
    }

    // Each character as its one-character token, or as bytes when it has none. Outside
    // punctuation a literal word marker or byte symbol stays bytes, since its token would
    // decode to a space or to a byte.
    void single_characters(std::string_view text, bool punctuation) {
        for (std::size_t i = 0; i < text.size();) {
            const std::size_t s = i;
            const char32_t c = utf8::next(text, i);
            std::optional<TokenId> id = char_token(c);
            if (id && !punctuation && (c == kWordMarkerCp || c == kLatinMarkerCp || idx_.is_byte(*id))) id.reset();
            if (id) {
                emit(id);
            } else {
                byte_fallback(text.substr(s, i - s));
            }
        }
    }

    // A line feed or tab at byte b: its own token (bytes when it has
    // none). What follows starts the way a text does, with a marker, unless it is the end
    // or another such character.
    Pos whitespace_token(char32_t c, std::size_t b) {
        if (std::optional<TokenId> id = char_token(c)) {
            emit(id);
        } else {
            byte_fallback(t_.substr(b, 1));
        }
        const std::size_t next = b + 1;
        if (next < t_.size() && !is_whitespace_token_char(static_cast<unsigned char>(t_[next]))) {
            return Pos::marker_before(next);
        }
        return Pos::char_at(next);
    }

    // The one-character surface of c, if the vocabulary has one.
    std::optional<TokenId> char_token(char32_t c) const {
        if (OptIndex n = idx_.child(SurfaceIndex::kRoot, c)) return idx_.id_at(*n);
        return std::nullopt;
    }

    // The longest surface that continues the trie walk from `node` over the code points of
    // t_[at, end), and in `taken` the byte where it ends.
    std::optional<TokenId> longest_code_points(SurfaceIndex::Node node, std::size_t at, std::size_t end,
                                               std::size_t& taken) const {
        std::optional<TokenId> best;
        for (std::size_t q = at; q < end;) {
            OptIndex next = idx_.child(node, utf8::next(t_, q));
            if (!next) break;
            node = *next;
            if (std::optional<TokenId> id = idx_.id_at(node)) {
                best = id;
                taken = q;
            }
        }
        return best;
    }

    // An akshara that no surface covers, spelled as the longest surfaces within its own
    // code points; a code point that starts none goes to bytes.
    void spell_code_points(std::size_t at, std::size_t end) {
        while (at < end) {
            std::size_t best_end = at;
            const std::optional<TokenId> best = longest_code_points(SurfaceIndex::kRoot, at, end, best_end);
            if (best) {
                emit(best);
                at = best_end;
            } else {
                std::size_t q = at;
                utf8::next(t_, q);
                byte_fallback(t_.substr(at, q - at));
                at = q;
            }
        }
    }

    // Produces units lazily from [pos_, end_) into the window, decoding each once.
    bool produce() {
        if (pos_ == end_) return false;
        const std::size_t b = pos_, off = cps_.size();
        std::size_t e;
        if (dev_ && b >= dev_end_) {
            // The next stretch: one punctuation character, or the Devanagari up to the next one.
            std::size_t q = b;
            if (char_class(utf8::next(t_, q)) == Script::PUN) {
                dev_end_ = b;
            } else {
                dev_end_ = q;
                while (dev_end_ < end_) {
                    q = dev_end_;
                    if (char_class(utf8::next(t_, q)) == Script::PUN) break;
                    dev_end_ = q;
                }
            }
        }
        if (dev_ && b < dev_end_) {
            e = b + ctx_.dfa.first_akshara(t_.substr(b, dev_end_ - b), cps_);
        } else {
            e = b;
            cps_.push_back(utf8::next(t_, e));
        }
        units_.push_back(Unit{Unit::Kind::Text, b, e, off, cps_.size() - off});
        pos_ = e;
        return true;
    }

    // The longest surface over whole units from unit `from`, within the character budget:
    // its id and the unit it ends before.
    std::optional<TokenId> longest_from(std::size_t from, std::size_t& best_end) {
        SurfaceIndex::Node node = SurfaceIndex::kRoot;
        std::size_t chars = 0, j = from;
        std::optional<TokenId> best;
        for (;;) {
            if (j == units_.size() && !produce()) break;
            const Unit& u = units_[j];
            chars += u.chars;
            if (chars > budget_) break;
            bool walked = true;
            for (std::size_t c = u.cp_off, end = u.cp_off + u.chars; c < end; ++c) {
                OptIndex next = idx_.child(node, cps_[c]);
                if (!next) {
                    walked = false;
                    break;
                }
                node = *next;
            }
            if (!walked) break;  // no surface starts with this
            ++j;
            if (std::optional<TokenId> id = idx_.id_at(node)) {
                best = id;
                best_end = j;
            }
        }
        return best;
    }

    // The word marker at head_ matched only alone, and the akshara after it starts no
    // surface, so it will be spelled as code points: the marker then takes the longest run
    // of its first code points that forms a surface with it ("▁क" of an unknown "क्ष"), as
    // it would with a whole akshara. Returns false, changing nothing, when there is none.
    bool marker_joins_spelled_unit() {
        const std::size_t next = head_ + 1;
        if (next == units_.size() && !produce()) return false;
        if (units_[next].kind != Unit::Kind::Text) return false;
        std::size_t ignored;
        if (longest_from(next, ignored)) return false;
        const Unit u = units_[next];
        const OptIndex marker = idx_.child(SurfaceIndex::kRoot, kWordMarkerCp);
        if (!marker) return false;
        std::size_t taken = u.begin;
        const std::optional<TokenId> id = longest_code_points(*marker, u.begin, u.end, taken);
        if (!id || taken >= u.end) return false;
        emit(id);
        spell_code_points(taken, u.end);
        head_ = next + 1;
        return true;
    }

    // The greedy longest-match matcher over the units of one Devanagari or Latin run whose
    // characters are t_[body, h), after its marker if it starts with one. In a Devanagari
    // run the units are aksharas, and each punctuation character (with edge joins) is one.
    void match_units(Script k, std::optional<MarkerKind> marker, std::size_t body, std::size_t h) {
        if (idx_.empty()) return;  // no byte tokens either: nothing can be emitted
        dev_ = k == Script::DEV;
        pos_ = body;
        // Without edge joins a Devanagari run holds no punctuation: its aksharas run to h,
        // and produce() never looks for the next punctuation character.
        dev_end_ = ctx_.options.edge_joins ? body : h;
        end_ = h;
        units_.clear();
        cps_.clear();
        head_ = 0;
        if (marker) {
            const bool latin = *marker == MarkerKind::Latin;
            cps_.push_back(latin ? kLatinMarkerCp : kWordMarkerCp);
            units_.push_back(Unit{latin ? Unit::Kind::LatinMarker : Unit::Kind::WordMarker, 0, 0, 0, 1});
        }
        for (;;) {
            if (head_ == units_.size() && !produce()) break;
            std::size_t best_end = 0;
            const std::optional<TokenId> best = longest_from(head_, best_end);
            if (best && best_end == head_ + 1 && units_[head_].kind == Unit::Kind::WordMarker && dev_ &&
                ctx_.options.codepoint_fallback && marker_joins_spelled_unit()) {
                continue;
            }
            if (best) {
                emit(best);
                head_ = best_end;
            } else {
                const Unit& u = units_[head_];
                switch (u.kind) {
                    case Unit::Kind::WordMarker:
                        byte_fallback(kWordMarkerText);
                        break;
                    case Unit::Kind::LatinMarker:
                        byte_fallback(kLatinMarkerText);
                        break;
                    case Unit::Kind::Text:
                        if (dev_ && ctx_.options.codepoint_fallback) {
                            spell_code_points(u.begin, u.end);
                        } else {
                            byte_fallback(t_.substr(u.begin, u.end - u.begin));
                        }
                        break;
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
    std::vector<std::size_t>& ends_;
    std::vector<Unit>& units_;
    std::vector<char32_t>& cps_;
    WordCache* cache_;
    std::size_t worker_;
    std::size_t head_ = 0, pos_ = 0, dev_end_ = 0, end_ = 0, stop_ = 0;
    bool dev_ = false, superwords_ = false;
};

}  // namespace

Script char_script(char32_t c) { return char_class(c); }

void encode_normalized(const EncodeContext& ctx, std::string_view text, std::vector<TokenId>& out) {
    EncodeScratch::Buffers scratch;
    Encoder<TokenId>(ctx, text, out, scratch).run(text.size(), true);
}

void encode_normalized(const EncodeContext& ctx, std::string_view text, std::vector<std::uint32_t>& out) {
    EncodeScratch scratch;
    encode_normalized(ctx, text, out, scratch);
}

void encode_normalized(const EncodeContext& ctx, std::string_view text, std::vector<std::uint32_t>& out,
                       EncodeScratch& scratch, WordCache* cache, std::size_t worker) {
    if (ctx.vocab.size() > 0xFFFFFFFFu) throw_runtime("vocabulary too large for 32-bit ids");
    Encoder<std::uint32_t>(ctx, text, out, scratch.buffers(), cache, worker).run(text.size(), true);
}

void encode_segment(const EncodeContext& ctx, std::string_view text, std::size_t stop, bool first,
                    std::vector<TokenId>& out, WordCache* cache) {
    EncodeScratch::Buffers scratch;
    Encoder<TokenId>(ctx, text, out, scratch, cache).run(stop, first);
}

std::string decode(const SurfaceIndex& index, std::span<const TokenId> ids, bool whitespace_tokens) {
    std::string out, pending;
    const std::size_t n = index.size();
    // Whether the next marker is one the encoder put after a line feed or tab (only the
    // first marker after one is).
    bool implied = false;
    auto after_whitespace = [&] {
        return whitespace_tokens && !out.empty() && is_whitespace_token_char(static_cast<unsigned char>(out.back()));
    };
    for (TokenId id : ids) {
        if (id < n && index.is_byte(id)) {
            pending.push_back(static_cast<char>(index.byte(id)));
            continue;
        }
        if (!pending.empty()) {
            utf8::append_lossy(out, pending);
            pending.clear();
            implied = after_whitespace();
        }
        if (id >= n) continue;
        std::string_view d = index.display(id);
        const bool drop = implied && !d.empty() && d.front() == ' ' && index.starts_with_marker(id);
        if (drop) d.remove_prefix(1);
        out += d;
        if (drop || !d.empty()) implied = !d.empty() && after_whitespace();
    }
    if (!pending.empty()) utf8::append_lossy(out, pending);
    if (!out.empty() && out.front() == ' ') out.erase(0, 1);
    return out;
}

}  // namespace larkspur

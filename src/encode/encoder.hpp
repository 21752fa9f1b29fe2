// Encoding normalized text to token ids, and decoding ids back to text.
//
// The text is marked at word boundaries (a marker at the start and in place of every
// U+0020: U+2582 before an ASCII letter or digit, U+2581 otherwise), cut into runs of one
// script class, and each run encoded by its class: Devanagari runs as aksharas and Latin
// runs as characters, joined greedily into the longest vocabulary surfaces; punctuation
// and U+200C one by one; anything uncovered as byte tokens. Encoding is one pass over the
// text with no allocation per unit or per candidate; its working memory does not grow
// with the length of the text.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "encode/surface_index.hpp"
#include "text/akshara_dfa.hpp"
#include "vocab/vocabulary.hpp"

namespace larkspur {

class WordCache;

// Encoding choices beyond the default scheme, each off by default (the default is the
// scheme described above, which stored vocabularies and their callers rely on).
struct EncodeOptions {
    // A Devanagari akshara that no surface covers is spelled as the longest surfaces
    // within its own code points (one per code point once the vocabulary holds every
    // code point of the block), with bytes only for what those miss.
    bool codepoint_fallback = false;
    // Line feed and tab are tokens of their own (bytes when missing),
    // and what follows one starts with a word marker of its own, as at the start of a
    // text; decoding drops that marker again.
    bool whitespace_tokens = false;
    // Punctuation within a word joins the Devanagari or Latin run it stands in (the word
    // marker included), so that the matcher can join a word to the danda or comma that
    // ends it, a marker to the quotation mark after it, the halves of a hyphenated pair,
    // and the letters and full stops of an abbreviation.
    bool edge_joins = false;
    // At each word start, the longest superword (a token of whole words) that the words
    // from there spell is taken first; it must end where a word ends (see SurfaceIndex).
    bool superwords = false;
    // A word whose leading punctuation stands before an ASCII letter or digit ("(the",
    // "--help") is a Latin word: its marker is the Latin one and the punctuation opens its
    // Latin run.
    bool latin_joins = false;
};

struct EncodeContext {
    const Vocabulary& vocab;
    const SurfaceIndex& index;
    const AksharaDFA& dfa;
    std::size_t seed_max_len;
    EncodeOptions options{};
};

// The script class of a character of the text as the encoder cuts runs (a literal word
// marker character is MAL).
Script char_script(char32_t c);

// Line feed and tab: the characters that whitespace_tokens makes tokens.
// (A carriage return is not one: the vocabulary file cannot hold a surface that ends in
// one, since a CR before the line end is part of the line end.)
inline bool is_whitespace_token_char(char32_t c) { return c == '\n' || c == '\t'; }

// Working buffers of the encoder, kept by a caller that encodes many short texts (the
// word counter) so that each text allocates nothing.
class EncodeScratch {
   public:
    struct Buffers;
    EncodeScratch();
    ~EncodeScratch();
    Buffers& buffers() { return *b_; }

   private:
    std::unique_ptr<Buffers> b_;
};

// Appends the ids of already normalized text to `out`.
void encode_normalized(const EncodeContext& ctx, std::string_view text, std::vector<TokenId>& out);
// The same as 32-bit ids, for tables of many word types.
void encode_normalized(const EncodeContext& ctx, std::string_view text, std::vector<std::uint32_t>& out);
void encode_normalized(const EncodeContext& ctx, std::string_view text, std::vector<std::uint32_t>& out,
                       EncodeScratch& scratch, WordCache* cache = nullptr, std::size_t worker = 0);

// Encodes a segment of a longer normalized text: text[0..stop), where `stop` is the end
// or the position of a space, with the rest of `text` as lookahead (the abbreviation step
// looks up to seed_max_len characters ahead). Only the first segment of a text gets the
// leading word marker; the others start at the space that ended the previous one.
// With a cache, words seen before are copied from it (see word_cache.hpp); the ids are the
// same either way.
void encode_segment(const EncodeContext& ctx, std::string_view text, std::size_t stop, bool first,
                    std::vector<TokenId>& out, WordCache* cache = nullptr);

// Byte tokens are gathered and decoded as UTF-8 (invalid sequences become U+FFFD); other
// ids append their surface with word markers as spaces; unknown ids add nothing. One
// leading space is removed. With `whitespace_tokens`, the marker that starts a surface
// right after a line feed or tab adds nothing either (the encoder put it
// there).
std::string decode(const SurfaceIndex& index, std::span<const TokenId> ids, bool whitespace_tokens = false);

}  // namespace larkspur

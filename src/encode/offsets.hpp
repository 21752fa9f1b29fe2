// Where each token of an encoding lies in the text it came from.
//
// Decoding a token gives back exactly the piece of normalized text it covers (a word
// marker that replaced a space gives that space, a byte token its byte), so the spans
// follow from the ids by walking the text; the marker put at the start of every text
// covers nothing. The spans are then carried back from the normalized text to the text
// as the caller gave it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "encode/surface_index.hpp"
#include "text/normalizer.hpp"

namespace larkspur {

using Span = std::pair<std::size_t, std::size_t>;  // [begin, end)

// Byte spans in `normalized` of the ids that encoding it gave (with the encoder's
// whitespace_tokens setting).
std::vector<Span> token_byte_spans(const SurfaceIndex& index, std::string_view normalized,
                                   std::span<const std::uint32_t> ids, bool whitespace_tokens = false);

// Maps positions of N(input) to positions of `input`, in characters. Exact where
// normalization changed nothing or only removed U+200D; within a word that composition or
// a folding rule rewrote, positions are spread evenly over the word.
class NormalizedToInput {
   public:
    NormalizedToInput(const Normalizer& normalizer, std::string_view input, std::string_view normalized);
    // Character position in `input` of the character that starts at byte `b` of the
    // normalized text (b may be its size).
    std::size_t char_at(std::size_t b) const { return char_of_byte_[b]; }

   private:
    std::vector<std::size_t> char_of_byte_;
};

// Character spans in `input` of the ids that encoding N(input) gave. A span that starts
// or ends inside a character widens to the whole character, so the bytes of a character
// spelled as byte tokens each get that character's span.
std::vector<Span> token_char_spans(const SurfaceIndex& index, const Normalizer& normalizer, std::string_view input,
                                   std::string_view normalized, std::span<const std::uint32_t> ids,
                                   bool whitespace_tokens = false);

}  // namespace larkspur

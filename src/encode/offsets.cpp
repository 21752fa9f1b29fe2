#include "encode/offsets.hpp"

#include <algorithm>

#include "common/utf8.hpp"
#include "encode/encoder.hpp"

namespace larkspur {

std::vector<Span> token_byte_spans(const SurfaceIndex& index, std::string_view text,
                                   std::span<const std::uint32_t> ids, bool whitespace_tokens) {
    std::vector<Span> spans;
    spans.reserve(ids.size());
    const std::size_t n = text.size();
    std::size_t pos = 0;
    // The marker at the start of the text is not in it, nor is the one the encoder puts
    // after a line feed or tab when they are tokens.
    bool start_marker = true;
    auto after_whitespace_token = [&](std::size_t at) {
        return whitespace_tokens && at > 0 && is_whitespace_token_char(static_cast<unsigned char>(text[at - 1]));
    };
    for (std::uint32_t id : ids) {
        if (id >= index.size()) {
            spans.emplace_back(pos, pos);
            continue;
        }
        if (index.is_byte(id)) {
            const std::size_t b = std::min(pos, n);
            pos = std::min(pos + 1, n);
            spans.emplace_back(b, pos);
            start_marker = after_whitespace_token(pos);
            continue;
        }
        std::string_view d = index.display(id);
        const std::size_t begin = pos;
        const bool drop = start_marker && !d.empty() && d.front() == ' ' && index.starts_with_marker(id);
        if (drop) d.remove_prefix(1);
        pos = std::min(pos + d.size(), n);
        spans.emplace_back(begin, pos);
        if (drop || !d.empty()) start_marker = !d.empty() && after_whitespace_token(pos);
    }
    return spans;
}

NormalizedToInput::NormalizedToInput(const Normalizer& normalizer, std::string_view input,
                                     std::string_view normalized)
    : char_of_byte_(normalized.size() + 1, 0) {
    // Normalization never reaches across a space unless a folding rule holds one, so the
    // two texts are aligned word by word (a word here includes the space before it).
    std::vector<std::size_t> cuts_in{0}, cuts_out{0};
    NormalizeScratch scratch;
    if (normalizer.splits_at_spaces()) {
        std::size_t out = 0;
        for (std::size_t i = 1; i <= input.size(); ++i) {
            if (i < input.size() && input[i] != ' ') continue;
            const std::string_view piece = input.substr(cuts_in.back(), i - cuts_in.back());
            out += normalizer.normalize_view(piece, scratch).size();
            cuts_in.push_back(i);
            cuts_out.push_back(std::min(out, normalized.size()));
        }
    }
    if (cuts_out.back() != normalized.size() || cuts_in.back() != input.size()) {
        cuts_in = {0, input.size()};
        cuts_out = {0, normalized.size()};
    }
    std::size_t in_chars = 0;
    for (std::size_t k = 0; k + 1 < cuts_in.size(); ++k) {
        const std::string_view a = input.substr(cuts_in[k], cuts_in[k + 1] - cuts_in[k]);
        const std::string_view b = normalized.substr(cuts_out[k], cuts_out[k + 1] - cuts_out[k]);
        const std::size_t a_chars = utf8::count_chars(a), b_chars = utf8::count_chars(b);
        // Walk both: equal characters align; a U+200D of the input that normalization
        // dropped is skipped; anything else spreads the rest of the word evenly.
        std::size_t i = 0, j = 0, ci = 0, cj = 0, last = 0;
        bool even = false;
        while (j < b.size()) {
            std::size_t jn = j;
            const char32_t cb = utf8::next(b, jn);
            std::size_t target;
            if (!even) {
                for (;;) {
                    if (i >= a.size()) {
                        even = true;
                        break;
                    }
                    std::size_t in = i;
                    const char32_t ca = utf8::next(a, in);
                    if (ca == cb) break;
                    if (ca == 0x200D) {
                        i = in;
                        ++ci;
                        continue;
                    }
                    even = true;
                    break;
                }
            }
            if (even) {
                target = std::max(last, b_chars ? cj * a_chars / b_chars : 0);
            } else {
                target = ci;
                std::size_t in = i;
                utf8::next(a, in);
                i = in;
                ++ci;
            }
            last = target;
            for (std::size_t q = j; q < jn; ++q) char_of_byte_[cuts_out[k] + q] = in_chars + target;
            j = jn;
            ++cj;
        }
        in_chars += a_chars;
    }
    char_of_byte_[normalized.size()] = in_chars;
}

std::vector<Span> token_char_spans(const SurfaceIndex& index, const Normalizer& normalizer, std::string_view input,
                                   std::string_view normalized, std::span<const std::uint32_t> ids,
                                   bool whitespace_tokens) {
    std::vector<Span> spans = token_byte_spans(index, normalized, ids, whitespace_tokens);
    const NormalizedToInput map(normalizer, input, normalized);
    auto char_start = [&](std::size_t b) {
        while (b > 0 && (static_cast<unsigned char>(normalized[b]) & 0xC0) == 0x80) --b;
        return b;
    };
    for (Span& s : spans) {
        if (s.second <= s.first) {
            const std::size_t at = map.char_at(s.first < normalized.size() ? char_start(s.first) : s.first);
            s = {at, at};
            continue;
        }
        // From the first character to just past the last one, so that characters the
        // normalizer dropped next to a token (U+200D in LM mode) stay outside its span.
        const std::size_t begin = map.char_at(char_start(s.first));
        const std::size_t end = map.char_at(char_start(s.second - 1)) + 1;
        s = {begin, std::max(begin, end)};
    }
    return spans;
}

}  // namespace larkspur

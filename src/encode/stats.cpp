#include "encode/stats.hpp"

#include <algorithm>

#include "common/utf8.hpp"

namespace larkspur {

std::uint64_t count_words(std::string_view text) {
    std::uint64_t words = 0;
    bool in_word = false;
    for (std::size_t i = 0; i < text.size();) {
        bool ws = utf8::is_white_space(utf8::next(text, i));
        if (!ws && !in_word) ++words;
        in_word = !ws;
    }
    return words;
}

bool verify_roundtrip(const Normalizer& normalizer, const EncodeContext& ctx, std::string_view s) {
    NormalizeScratch scratch;
    std::string_view n = normalizer.normalize_view(s, scratch);
    std::vector<TokenId> ids;
    encode_normalized(ctx, n, ids);
    return decode(ctx.index, ids, ctx.options.whitespace_tokens) == n;
}

bool is_byte_fallback_token(const Vocabulary& vocab, TokenId id) {
    return id >= vocab.size() || vocab.token(id)->kind == TokenKind::Byte;
}

void add_text_stats(CorpusStats& st, const EncodeContext& ctx, std::string_view n,
                    std::span<const std::uint32_t> ids) {
    ++st.texts;
    st.chars += utf8::count_chars(n);
    st.bytes += n.size();
    st.words += count_words(n);
    st.tokens += ids.size();
    for (std::uint32_t id : ids) {
        ++st.script_tokens[std::min(static_cast<int>(ctx.vocab.script(id)), 4)];
        st.byte_tokens += is_byte_fallback_token(ctx.vocab, id);
    }
    std::vector<TokenId> wide(ids.begin(), ids.end());
    st.roundtrip_passes += decode(ctx.index, wide, ctx.options.whitespace_tokens) == n;
}

void add_counts(CorpusStats& st, const CorpusStats& o) {
    st.texts += o.texts;
    st.tokens += o.tokens;
    st.words += o.words;
    st.chars += o.chars;
    st.bytes += o.bytes;
    st.byte_tokens += o.byte_tokens;
    st.roundtrip_passes += o.roundtrip_passes;
    for (int k = 0; k < 5; ++k) st.script_tokens[k] += o.script_tokens[k];
}

void finish_stats(CorpusStats& st, const Vocabulary& vocab) {
    auto ratio = [](std::uint64_t num, std::uint64_t den) {
        return static_cast<double>(num) / static_cast<double>(den ? den : 1);
    };
    st.fertility = ratio(st.tokens, st.words);
    st.tokens_per_char = ratio(st.tokens, st.chars);
    st.byte_fallback_rate = ratio(st.script_tokens[static_cast<int>(Script::MAL)], st.tokens);
    st.roundtrip_pass_rate = ratio(st.roundtrip_passes, st.texts);
    st.vocab_size = vocab.size();
    st.dev_budget_share = ratio(vocab.count_script(Script::DEV), st.vocab_size);
    st.lat_budget_share = ratio(vocab.count_script(Script::LAT), st.vocab_size);
}

CorpusStats corpus_stats(const Normalizer& normalizer, const EncodeContext& ctx,
                         const std::vector<std::string>& texts) {
    CorpusStats st;
    NormalizeScratch scratch;
    std::vector<std::uint32_t> ids;
    for (const auto& t : texts) {
        ids.clear();
        const std::string_view n = normalizer.normalize_view(t, scratch);
        encode_normalized(ctx, n, ids);
        add_text_stats(st, ctx, n, ids);
    }
    finish_stats(st, ctx.vocab);
    return st;
}

}  // namespace larkspur

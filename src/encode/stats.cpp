#include "encode/stats.hpp"

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

CorpusStats corpus_stats(const Normalizer& normalizer, const EncodeContext& ctx,
                         const std::vector<std::string>& texts) {
    CorpusStats st;
    std::uint64_t mal = 0, passes = 0;
    NormalizeScratch scratch;
    std::vector<TokenId> ids;
    for (const auto& t : texts) {
        std::string_view n = normalizer.normalize_view(t, scratch);
        st.chars += utf8::count_chars(n);
        st.bytes += n.size();
        st.words += count_words(n);
        ids.clear();
        encode_normalized(ctx, n, ids);
        st.tokens += ids.size();
        for (TokenId id : ids) mal += ctx.vocab.script(id) == Script::MAL;
        passes += decode(ctx.index, ids, ctx.options.whitespace_tokens) == n;
    }
    st.texts = texts.size();
    auto ratio = [](std::uint64_t num, std::uint64_t den) {
        return static_cast<double>(num) / static_cast<double>(den ? den : 1);
    };
    st.fertility = ratio(st.tokens, st.words);
    st.tokens_per_char = ratio(st.tokens, st.chars);
    st.byte_fallback_rate = ratio(mal, st.tokens);
    st.roundtrip_pass_rate = ratio(passes, st.texts);
    st.vocab_size = ctx.vocab.size();
    st.dev_budget_share = ratio(ctx.vocab.count_script(Script::DEV), st.vocab_size);
    st.lat_budget_share = ratio(ctx.vocab.count_script(Script::LAT), st.vocab_size);
    return st;
}

}  // namespace larkspur

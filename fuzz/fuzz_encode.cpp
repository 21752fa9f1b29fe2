// Any text round-trips: with a seeded vocabulary (every byte token present, no seed equal
// to a byte symbol), decode(encode(N(s))) equals N(s), with the default encoding and with
// every option of the companion package on, superwords included; the character spans of
// the ids lie within the text, in order.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/utf8.hpp"
#include "tokenizer/frozen.hpp"
#include "tokenizer/tokenizer.hpp"

using namespace larkspur;

namespace {
Tokenizer& tokenizer() {
    static Tokenizer* tok = [] {
        auto* t = new Tokenizer(FoldMode::LM, {{"\u0970", "."}}, {});
        SeedLists lists;
        lists.aksharas = {"क", "कि", "र्", "ना", "म", "ल"};
        lists.seed_morphemes = {"कर", "ने", "डा.", "e.g."};
        lists.punctuation = {"।", ",", "."};
        t->initialize_vocab(lists);
        return t;
    }();
    return *tok;
}

const FrozenTokenizer& with_options() {
    static const FrozenTokenizer* tok = [] {
        auto t = std::make_shared<Tokenizer>(FoldMode::LM, Normalizer::RulePairs{}, Normalizer::RulePairs{});
        Scheme scheme{true, true, true, true, true};
        scheme.superword_words = 4;
        t->set_scheme(scheme);
        SeedLists lists;
        lists.aksharas = {"क", "मा", "र्", "है"};
        // Superwords among the seeds: "▁क▁मा", "▁है▁क▁है।", "▂N.▂N." and one opening with
        // punctuation under Latin joins, "▂(N▂N.".
        lists.seed_morphemes = {"\u2581\u0915", "\u2581\u0939\u0948\u0964", "\u0915-\u0915", "N.", "\u2581\"",
                                "\u2581\u0915\u2581\u092e\u093e", "\u2581\u0939\u0948\u2581\u0915\u2581\u0939\u0948\u0964",
                                "\u2582N.\u2582N.", "\u2582(N", "\u2582(N\u2582N.", "(N", "N's"};
        lists.punctuation = {"\u0964", ",", ".", "-", "\"", "(", "'"};
        t->initialize_vocab(lists);
        t->add_fallback_tokens({"\u2212", "\u5143"});
        return new FrozenTokenizer(t, {"<s>"});
    }();
    return *tok;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) return 0;
    std::string_view in(reinterpret_cast<const char*>(data), size);
    if (!utf8::is_valid(in)) return 0;
    Tokenizer& t = tokenizer();
    std::string n = t.normalize(in);
    if (t.decode(t.encode(in)) != n) std::abort();
    if (!t.verify_roundtrip(in)) std::abort();
    // The same bytes read as a list of ids, in range or not: decoding never fails and
    // always gives valid UTF-8.
    std::vector<TokenId> ids;
    for (std::size_t i = 0; i + 2 <= size; i += 2) {
        unsigned v = data[i] | (data[i + 1] << 8);
        ids.push_back(v % 3 == 0 ? ~TokenId(0) - v : TokenId(v % (t.vocab_size() + 2)));
    }
    if (!utf8::is_valid(t.decode(ids))) std::abort();

    const FrozenTokenizer& o = with_options();
    const std::string on = o.base().normalize(in);
    std::vector<Span> spans;
    std::vector<std::uint32_t> got;
    o.encode(in, {}, got, &spans);
    if (!in.empty() && o.decode(std::vector<std::uint64_t>(got.begin(), got.end()), false) != on) std::abort();
    const std::size_t chars = utf8::count_chars(in);
    std::size_t last = 0;
    for (const Span& s : spans) {
        if (s.first > s.second || s.second > chars || s.first < last) std::abort();
        last = s.first;
    }
    return 0;
}

// Tests of core internals that the Python surface does not expose directly: number
// formats, fingerprints, the legality test and priority key, the candidate order, the
// hash map and the lossy UTF-8 decoder. A failed check is reported and counted; the
// process exits non-zero when any failed.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "checkpoint/format.hpp"
#include "common/flat_map.hpp"
#include "common/utf8.hpp"
#include "train/corpus.hpp"
#include "common/ordered_blocks.hpp"
#include "tokenizer/frozen.hpp"
#include "tokenizer/tokenizer.hpp"
#include "train/trainer.hpp"
#include "vocab/paradigms.hpp"
#include "vocab/seeding.hpp"

using namespace larkspur;

#include "check.hpp"

static void test_float_format() {
    CHECK_EQ(format_float(1.0), std::string("1"));
    CHECK_EQ(format_float(0.25), std::string("0.25"));
    CHECK_EQ(format_float(1e20), std::string("100000000000000000000"));
    CHECK_EQ(format_float(1e-7), std::string("0.0000001"));
    CHECK_EQ(format_float(3.5), std::string("3.5"));
    CHECK_EQ(format_float(-2.0), std::string("-2"));
    CHECK_EQ(format_float(0.1), std::string("0.1"));
    CHECK_EQ(format_float(123.456), std::string("123.456"));
    CHECK_EQ(format_float(std::nan("")), std::string("NaN"));
    CHECK_EQ(format_float(HUGE_VAL), std::string("inf"));
    CHECK_EQ(format_float(-HUGE_VAL), std::string("-inf"));
    // Shortest text that reads back to the same value, for many values.
    std::mt19937_64 rng(7);
    for (int i = 0; i < 20000; ++i) {
        std::uint64_t bits = rng();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        if (!std::isfinite(v)) continue;
        std::string s = format_float(v);
        CHECK(s.find('e') == std::string::npos);
        double back = 0;
        CHECK(parse_float(s, back));
        CHECK(back == v || (v == 0 && back == 0));
    }
}

static void test_float_parse() {
    double v = 0;
    CHECK(parse_float("1e3", v) && v == 1000);
    CHECK(parse_float("+2.5", v) && v == 2.5);
    CHECK(parse_float("-.5", v) && v == -0.5);
    CHECK(parse_float("5.", v) && v == 5);
    CHECK(parse_float("INF", v) && std::isinf(v) && v > 0);
    CHECK(parse_float("-Infinity", v) && std::isinf(v) && v < 0);
    CHECK(parse_float("nan", v) && std::isnan(v));
    CHECK(parse_float("1e400", v) && std::isinf(v));
    CHECK(parse_float("1e-400", v) && v == 0);
    CHECK(!parse_float("", v));
    CHECK(!parse_float(".", v));
    CHECK(!parse_float("e5", v));
    CHECK(!parse_float("1e", v));
    CHECK(!parse_float(" 1", v));
    CHECK(!parse_float("1 ", v));
    CHECK(!parse_float("0x10", v));
    CHECK(!parse_float("nan(1)", v));
}

static void test_integers_and_names() {
    std::uint64_t v = 0;
    CHECK(parse_u64("+7", v) && v == 7);
    CHECK(!parse_u64("-7", v));
    CHECK(!parse_u64("+", v));
    CHECK(!parse_u64("", v));
    CHECK(!parse_u64("18446744073709551616", v));
    CHECK(parse_u64("18446744073709551615", v) && v == UINT64_MAX);
    CHECK_EQ(step_dir_name(0), std::string("step_000000000000"));
    CHECK_EQ(step_dir_name(1000), std::string("step_000000001000"));
    CHECK_EQ(step_dir_name(123456789012345ULL), std::string("step_123456789012345"));
}

static void test_escape() {
    std::string s = "\t\\n";
    CHECK_EQ(ckpt_escape(s), std::string("\\t\\\\n"));
    CHECK_EQ(ckpt_unescape(ckpt_escape(s)), s);
    CHECK_EQ(ckpt_unescape("\\q"), std::string("\\q"));
    CHECK_EQ(ckpt_unescape("ab\\"), std::string("ab\\"));
    CHECK_EQ(ckpt_escape("a\rb"), std::string("a\\rb"));
    std::mt19937 rng(3);
    const char alphabet[] = {'\\', '\t', '\n', '\r', 'a', 'n', 't', 'r'};
    for (int i = 0; i < 2000; ++i) {
        std::string x;
        for (int k = rng() % 10; k > 0; --k) x += alphabet[rng() % 8];
        CHECK_EQ(ckpt_unescape(ckpt_escape(x)), x);
    }
}

static void test_fingerprints() {
    Corpus empty = Corpus::from_sequences({});
    CHECK_EQ(empty.fingerprint, 0ULL);
    Corpus one = Corpus::from_sequences({{0}});
    CHECK_EQ(one.fingerprint, 17803328600181204561ULL);
    WordCounts a, b;
    a.add(a.entry(std::vector<std::uint32_t>{1, 2}), 3);
    a.add(a.entry(std::vector<std::uint32_t>{4}), 5);
    b.add(b.entry(std::vector<std::uint32_t>{4}), 5);
    b.add(b.entry(std::vector<std::uint32_t>{1, 2}), 3);
    CHECK_EQ(Corpus::from_word_counts(std::move(a)).fingerprint, Corpus::from_word_counts(std::move(b)).fingerprint);
    // Ids above 2^31 are carried as they are, in the fingerprint too.
    Corpus big = Corpus::from_sequences({{(1ULL << 40) + 3, 5}});
    std::vector<TokenId> ids;
    big.word_ids(0, ids);
    CHECK(ids == (std::vector<TokenId>{(1ULL << 40) + 3, 5}));

    ParadigmRegistry reg;
    CHECK_EQ(fingerprint_paradigms(reg), 0ULL);
    Transitions t;
    t["a"].insert("b");
    reg.add(7, t);
    CHECK_EQ(fingerprint_paradigms(reg), 14601805495398755167ULL);
}

static void test_pair_counts() {
    Corpus c = Corpus::from_sequences({{5, 5, 5}});
    c.words[0].count = 3;
    c.recompute_all_frequencies();
    const std::uint64_t* v = c.pair_counts.find(pair_key(5, 5));
    CHECK(v && *v == 6);
    Corpus d = Corpus::from_sequences({{1, 2}, {1, 2}, {9}});
    CHECK_EQ(d.word_count(), std::size_t{3});
    v = d.pair_counts.find(pair_key(1, 2));
    CHECK(v && *v == 2);
    CHECK_EQ(d.pair_counts.size(), std::size_t{1});
}

// A small vocabulary: ids 0..3 DEV seeds a, b, c, d; 4, 5 LAT; 6, 7 PUN.
static ConstrainedBPETrainer make_trainer() {
    ConstrainedBPETrainer t;
    for (const char* s : {"a", "b", "c", "d"}) t.vocab.add_token(Token::with_text(TokenKind::Seed, s), s, false, false);
    for (const char* s : {"x", "y"}) t.vocab.add_token(Token::with_text(TokenKind::Latin, s), s, false, false);
    for (const char* s : {",", ";"}) t.vocab.add_token(Token::with_text(TokenKind::Punct, s), s, false, false);
    return t;
}

static void test_legal() {
    ConstrainedBPETrainer empty;
    CHECK(!empty.legal(0, 1, 5));
    ConstrainedBPETrainer t = make_trainer();
    CHECK(t.legal(0, 1, 1));
    CHECK(!t.legal(0, 99, 1));  // no script: MAL
    CHECK(!t.legal(0, 4, 1));   // DEV + LAT
    CHECK(!t.legal(4, 5, 1));   // LAT in the DEV phase
    CHECK(!t.legal(0, 6, 1));   // DEV + PUN
    CHECK(t.legal(6, 7, 1));    // PUN + PUN
    t.phase = Phase::LAT;
    CHECK(t.legal(4, 5, 1));
    CHECK(!t.legal(0, 1, 1));
    t.vocab.set_strict(5);
    CHECK(t.legal(4, 5, 1));  // no seed protection in the Latin pass
    t.phase = Phase::DEV;

    t.vocab.set_strict(1);
    CHECK(!t.legal(0, 1, 1000));
    CHECK(!t.legal(1, 2, 1000));
    t.vocab.set_ambiguous(3);
    CHECK(!t.legal(0, 3, 1000));
    t.theta = 10;
    CHECK(t.legal(3, 2, 10));
    CHECK(!t.legal(3, 2, 9));

    // Morph: a's roots must allow b after a in at least one paradigm.
    Transitions p1, p2;
    p1["a"].insert("z");
    p2["a"].insert("c");
    t.registry.add(1, p1);
    t.registry.add(2, p2);
    t.vocab.set_root_set(0, {1});
    CHECK(!t.legal(0, 2, 5));
    t.vocab.set_root_set(0, {1, 2});
    CHECK(t.legal(0, 2, 5));
    t.vocab.set_root_set(0, {});
    CHECK(t.legal(0, 2, 5));
}

// The optional rules: joins at word edges, and paradigms that see stems without markers.
static void test_optional_merge_rules() {
    ConstrainedBPETrainer t;
    const char* dev[] = {"\xE2\x96\x81", "\xE0\xA4\x95", "\xE0\xA4\xB0"};  // marker, ka, ra
    for (const char* s : dev) t.vocab.add_token(Token::with_text(TokenKind::Seed, s), s, false, false);
    const TokenId marker = 0, ka = 1, ra = 2;
    const TokenId danda = t.vocab.add_token(Token::with_text(TokenKind::Punct, "\xE0\xA5\xA4"), "\xE0\xA5\xA4",
                                            false, false);
    const TokenId ka_danda = t.vocab.add_token(Token::merge({ka, danda}), "\xE0\xA4\x95\xE0\xA5\xA4", false, false);
    t.vocab.set_script(ka_danda, Script::DEV);
    CHECK(!t.legal(ka, danda, 1));  // the default rules keep scripts apart
    t.rules.edge_joins = true;
    CHECK(t.legal(ka, danda, 1));
    CHECK(t.legal(marker, danda, 1));
    CHECK(t.legal(ka_danda, danda, 1));  // more punctuation
    CHECK(t.legal(ka_danda, ra, 1));     // and on into a word (a hyphenated pair)
    CHECK(t.legal(danda, ka, 1));
    const TokenId x = t.vocab.add_token(Token::with_text(TokenKind::Latin, "x"), "x", false, false);
    CHECK(!t.legal(danda, x, 1));  // Latin joins only in its own pass
    CHECK(!t.legal(x, danda, 1));
    t.phase = Phase::LAT;
    CHECK(t.legal(x, danda, 1));   // "N" + "."
    CHECK(!t.legal(danda, x, 1));  // a Latin pass merge starts with a Latin token
    CHECK(!t.legal(ka, danda, 1));
    t.phase = Phase::DEV;
    t.vocab.set_ambiguous(ka);
    t.theta = 10;
    CHECK(!t.legal(ka, danda, 9));
    CHECK(t.legal(ka, danda, 10));
    t.vocab.clear_ambiguous(ka);
    // Punctuation is no morpheme: a root set that refuses everything still lets it join.
    Transitions p;
    p["\xE0\xA4\x95"].insert("\xE0\xA4\xB0");  // ka -> ra
    t.registry.add(7, p);
    t.vocab.set_root_set(ka, {7});
    CHECK(t.legal(ka, danda, 1));

    // A marker+stem token is asked about its stem only with marker_stems.
    t.vocab.set_ambiguous(ra);
    CHECK(!t.legal(danda, ra, 1000));  // a seed is never absorbed, not even by punctuation
    t.vocab.clear_ambiguous(ra);
    const TokenId marker_ka = t.vocab.add_token(Token::merge({marker, ka}), "\xE2\x96\x81\xE0\xA4\x95", false, false);
    t.vocab.set_script(marker_ka, Script::DEV);
    t.vocab.set_root_set(marker_ka, {7});
    CHECK(!t.legal(marker_ka, ra, 1));
    t.rules.marker_stems = true;
    CHECK(t.legal(marker_ka, ra, 1));
    CHECK(!t.legal(marker_ka, ka, 1));
    CHECK_EQ(std::string(t.morph_surface(marker_ka)), std::string("\xE0\xA4\x95"));
    CHECK_EQ(std::string(t.morph_surface(ka)), std::string("\xE0\xA4\x95"));
    t.vocab.set_strict(ra);
    CHECK(!t.legal(ra, danda, 1));  // a validated morpheme is never extended, not even by a danda

    // tag_roots looks word-initial surfaces up without their marker only when asked.
    Vocabulary v;
    v.add_token(Token::with_text(TokenKind::Seed, "\xE2\x96\x81\xE0\xA4\x95"), "\xE2\x96\x81\xE0\xA4\x95", false,
                false);
    tag_roots(v, t.registry, {});
    CHECK(v.root_set(0).empty());
    tag_roots(v, t.registry, {}, true);
    CHECK_EQ(v.root_set(0), std::vector<RootId>{7});
}

// Skipping heap entries for falling counts changes the heap, never the merges: both
// kinds of loop train the same tokens in the same order from random corpora, with an
// ambiguous seed whose pairs cross the frequency threshold both ways, a token weight
// that scales keys off multiples of 1024, edge joins, and heap sizes in the progress
// lines that show the lazy heap is the smaller one.
static void test_lazy_decreases() {
    struct Lines : LineSink {
        std::size_t last_heap = 0;
        void write_line(std::string_view line) noexcept override {
            const std::size_t at = line.find("| heap ");
            if (at != std::string_view::npos) last_heap = std::strtoull(line.data() + at + 7, nullptr, 10);
        }
    };
    std::mt19937 rng(5);
    std::size_t smaller = 0;
    for (int round = 0; round < 30; ++round) {
        std::vector<std::vector<TokenId>> words(40 + rng() % 200);
        for (auto& w : words) {
            w.resize(2 + rng() % 9);
            for (TokenId& id : w) id = rng() % 10 < 8 ? rng() % 4 : 6 + rng() % 2;
        }
        std::vector<std::uint64_t> counts(words.size());
        for (auto& c : counts) c = 1 + rng() % 7;
        std::vector<std::vector<std::string>> trained;
        std::vector<std::size_t> heaps;
        for (bool lazy : {false, true}) {
            ConstrainedBPETrainer t = make_trainer();
            t.rules.edge_joins = round % 2 == 0;
            t.lazy_decreases = lazy;
            t.vocab.set_ambiguous(1);
            t.theta = 6;
            t.token_weights[2] = 0.37;
            Corpus c = Corpus::from_sequences(words);
            for (std::size_t w = 0; w < words.size(); ++w) c.words[w].count = counts[w];
            c.recompute_all_frequencies();
            Lines lines;
            train(t, c, t.vocab.size() + 80, 1, nullptr, lines);
            std::vector<std::string> out;
            for (TokenId id = 0; id < t.vocab.size(); ++id) {
                std::string row = t.vocab.surface(id);
                for (TokenId part : t.vocab.token(id)->parts) row += " " + std::to_string(part);
                out.push_back(row);
            }
            trained.push_back(out);
            heaps.push_back(lines.last_heap);
        }
        CHECK(trained[0] == trained[1]);
        CHECK(heaps[1] <= heaps[0]);
        smaller += heaps[1] < heaps[0];
    }
    CHECK(smaller > 0);
}

static void test_priority() {
    ConstrainedBPETrainer t = make_trainer();
    auto k = t.priority_key(0, 1, 3);
    CHECK(k.first == 2 && k.second == 3072);
    CHECK(t.priority_key(6, 7, 3).first == 1);
    t.phase = Phase::LAT;
    CHECK(t.priority_key(4, 5, 3).first == 0);
    t.phase = Phase::DEV;

    Transitions allow, refuse;
    allow["a"].insert("b");
    refuse["a"].insert("q");
    t.registry.add(1, refuse);  // r1 refuses
    t.registry.add(2, allow);   // r2 allows
    t.vocab.set_root_set(0, {1, 2});
    t.root_prior = {{1, 3.0}, {2, 1.0}};
    t.probabilistic_k = true;
    // P_allowed = 1 / (3 + 1) = 0.25.
    CHECK_EQ(t.priority_key(0, 1, 4).second, std::uint64_t{1024});
    t.root_set_cap = 1;
    CHECK_EQ(t.priority_key(0, 1, 4).second, std::uint64_t{0});
    CHECK(t.legal(0, 1, 4));  // still legal through r2
    t.root_set_cap = 0;
    t.root_prior = {{99, 5.0}};  // roots missing from a non-empty prior weigh 1
    CHECK_EQ(t.priority_key(0, 1, 4).second, std::uint64_t{2048});
    t.root_prior = {{1, std::nan("")}, {2, 1.0}};  // NaN weighs nothing
    CHECK_EQ(t.priority_key(0, 1, 4).second, std::uint64_t{4096});
    t.probabilistic_k = false;
    CHECK_EQ(t.priority_key(0, 1, 4).second, std::uint64_t{4096});

    t.token_weights = {{0, 2.0}};
    CHECK_EQ(t.priority_key(0, 1, 3).second, std::uint64_t{6144});
    t.token_weights = {{0, 0.0}};
    CHECK_EQ(t.priority_key(0, 1, 3).second, std::uint64_t{0});
    t.token_weights = {{0, -1.0}};
    CHECK_EQ(t.priority_key(0, 1, 3).second, std::uint64_t{0});
    t.token_weights = {{0, 1e300}};
    CHECK_EQ(t.priority_key(0, 1, 3).second, UINT64_MAX);
    t.token_weights = {{0, std::nan("")}};
    CHECK_EQ(t.priority_key(0, 1, 3).second, std::uint64_t{0});
    t.token_weights = {{0, 0.3}};  // 3 * 0.3 * 1024 = 921.6 -> 921
    CHECK_EQ(t.priority_key(0, 1, 3).second, std::uint64_t{921});
}

static void test_candidate_order() {
    MergeCandidate a{2, 10, 5, 1, 0}, b{2, 10, 4, 9, 0}, c{2, 11, 0, 0, 0}, d{1, 999, 9, 9, 0},
        e{2, 10, 5, 2, 0};
    CHECK(b < a);  // larger left first
    CHECK(a < e);  // then larger right
    CHECK(a < c);  // higher key first
    CHECK(d < b);  // higher rank first
}

static void test_flat_map() {
    FlatMap<std::uint64_t, std::uint64_t> m;
    std::unordered_map<std::uint64_t, std::uint64_t> ref;
    std::mt19937_64 rng(11);
    for (int i = 0; i < 200000; ++i) {
        std::uint64_t k = rng() % 5000;
        switch (rng() % 3) {
            case 0:
                m[k] += i;
                ref[k] += i;
                break;
            case 1:
                CHECK_EQ(m.erase(k), ref.erase(k) > 0);
                break;
            default: {
                const std::uint64_t* v = m.find(k);
                auto it = ref.find(k);
                CHECK_EQ(v != nullptr, it != ref.end());
                if (v && it != ref.end()) CHECK_EQ(*v, it->second);
            }
        }
    }
    CHECK_EQ(m.size(), ref.size());
    std::size_t seen = 0;
    m.for_each([&](std::uint64_t k, std::uint64_t v) {
        ++seen;
        CHECK_EQ(ref.at(k), v);
    });
    CHECK_EQ(seen, ref.size());
}

static void test_lossy_utf8() {
    auto lossy = [](std::string_view s) {
        std::string out;
        utf8::append_lossy(out, s);
        return out;
    };
    const std::string fffd = "\xEF\xBF\xBD";
    CHECK_EQ(lossy("\x80"), fffd);
    CHECK_EQ(lossy("a\xE0\xA4"), "a" + fffd);              // truncated sequence: one replacement
    CHECK_EQ(lossy("\xE0\xA4\xA8"), std::string("\xE0\xA4\xA8"));
    CHECK_EQ(lossy("\xE0\x80\x80"), fffd + fffd + fffd);   // overlong: each byte
    CHECK_EQ(lossy("\xF0\x9F\x98"), fffd);
    CHECK_EQ(lossy("\xED\xA0\x80"), fffd + fffd + fffd);   // surrogate
    CHECK_EQ(lossy("\xC3\x28"), fffd + "(");
    CHECK(utf8::is_valid("\xE0\xA4\xA8\xE0\xA5\x8D"));
    CHECK(!utf8::is_valid("abc\xFF"));
    CHECK(!utf8::is_valid("\xED\xA0\x80"));
}

static void test_kind_of_loaded_surface() {
    const ByteSymbols& s = ByteSymbols::standard();
    auto kind = [&](std::string_view x) { return kind_of_loaded_surface(x, s); };
    CHECK(kind("a").first == TokenKind::Latin);
    CHECK(kind("Z").first == TokenKind::Latin);
    CHECK(kind("7").first == TokenKind::Latin);
    CHECK(kind("abc123").first == TokenKind::Latin);
    CHECK(kind("\xE2\x96\x82" "abc").first == TokenKind::Latin);
    CHECK(kind("\xE2\x96\x82" "ab-c").first == TokenKind::Other);
    CHECK(kind("!").first == TokenKind::Byte && kind("!").second == 0x21);
    CHECK(kind("\xC4\x80").first == TokenKind::Byte && kind("\xC4\x80").second == 0x00);
    CHECK(kind("\xE0\xA5\xA4").first == TokenKind::Other);
    CHECK(kind("\xE0\xA4\x95").first == TokenKind::Other);
    CHECK(kind("").first == TokenKind::Latin);
    CHECK(kind("\xE2\x80\x8C").first == TokenKind::Format);
    CHECK(kind("\xE2\x96\x81").first == TokenKind::Seed);
    CHECK(s.symbol(0x20) == 0x120 && s.symbol(0x7F) == 0x121 && s.symbol(0xA0) == 0x142 && s.symbol(0xAD) == 0x143);
}

// Long texts and batches go through the word cache, shared by the threads of a batch;
// short texts and Tokenizer::encode do not. Every way must give the same ids, also for
// words the abbreviation step reaches: a "." or "।" within the next seed_max_len (6)
// characters lets "कर" be taken whole as a seeded surface, so "कर ." is not "कर" + ".".
static void test_word_cache() {
    auto plain = std::make_shared<Tokenizer>(FoldMode::LM, Normalizer::RulePairs{}, Normalizer::RulePairs{});
    auto with_options = std::make_shared<Tokenizer>(FoldMode::LM, Normalizer::RulePairs{}, Normalizer::RulePairs{});
    with_options->set_scheme(Scheme{true, true, true, true});
    for (Tokenizer* t : {plain.get(), with_options.get()}) {
        SeedLists lists;
        lists.aksharas = {"\u0915", "\u092E\u093E", "\u0930\u094D", "\u0939\u0948", "\u0921\u093E"};
        lists.seed_morphemes = {"\u2581\u0915", "\u0915\u0930", "\u0921\u093E.", "e.g.", "\u2581\u0939\u0948\u0964", "N.Z.A."};
        lists.punctuation = {"\u0964", ",", ".", "-"};
        t->initialize_vocab(lists);
    }
    with_options->add_fallback_tokens({});
    const char* pool[] = {"\u0915\u0930", "\u0915\u092E\u093E", "\u0921\u093E.", "\u0921\u093E", "e.g.", "eg",
                          "\u0939\u0948\u0964", "\u0939\u0948", "\u0915-\u0915", "\u0930\u094D\u0915", "N.Z.",
                          "\n\u0915\u0930", "x\ty", "\u0915\u094D\u0937", "", "\u0964", "."};
    std::mt19937 rng(11);
    std::vector<std::string> texts(40);
    for (std::string& text : texts) {
        const std::size_t words = 200 + rng() % 2000;
        for (std::size_t w = 0; w < words; ++w) {
            if (w) text += ' ';
            text += pool[rng() % (sizeof pool / sizeof *pool)];
        }
    }
    // A table that fills up (many distinct words in little text) and words too long to keep.
    std::string distinct, long_words;
    for (std::size_t w = 0; w < 6000; ++w) {
        distinct += w ? " " : "";
        for (std::size_t c = 0; c < 2 + rng() % 4; ++c) distinct += pool[rng() % 10];
    }
    for (std::size_t w = 0; w < 8; ++w) long_words += std::string(600 + 500 * w, 'a') + " \u0915\u0930 ";
    texts.push_back(distinct);
    texts.push_back(long_words);
    std::string all;
    for (const std::string& text : texts) all += text + " ";
    for (const std::shared_ptr<Tokenizer>& t : {plain, with_options}) {
        std::vector<std::string_view> views(texts.begin(), texts.end());
        views.push_back(all);
        const FrozenTokenizer frozen(t, {});
        for (std::size_t threads : {1, 2, 3}) {
            std::vector<std::vector<std::uint32_t>> batch(views.size());
            std::size_t next = 0;
            frozen.encode_batch(
                views, {}, threads,
                [&](std::size_t first, std::size_t last, std::vector<std::vector<std::uint32_t>>& ids) {
                    CHECK(first == next);  // blocks come in order
                    next = last;
                    for (std::size_t i = first; i < last; ++i) batch[i] = std::move(ids[i]);
                },
                never_interrupted);
            CHECK(next == views.size());
            for (std::size_t i = 0; i < views.size(); ++i) {
                const std::vector<TokenId> one = t->encode(views[i]);
                CHECK(std::vector<TokenId>(batch[i].begin(), batch[i].end()) == one);
            }
        }
        // The streaming encoder of the exact class, fed in small pieces.
        std::size_t at = 0;
        std::vector<TokenId> streamed;
        t->encode_stream(
            [&](std::string& buf) {
                const std::size_t n = std::min<std::size_t>(977, all.size() - at);
                buf.append(all, at, n);
                at += n;
                return at < all.size();
            },
            [&](std::span<const TokenId> ids) { streamed.insert(streamed.end(), ids.begin(), ids.end()); });
        CHECK(streamed == t->encode(all));
    }
}

void run_companion_tests();

int g_failures = 0;

int main() {
    run_companion_tests();
    test_float_format();
    test_float_parse();
    test_integers_and_names();
    test_escape();
    test_fingerprints();
    test_pair_counts();
    test_legal();
    test_optional_merge_rules();
    test_lazy_decreases();
    test_priority();
    test_candidate_order();
    test_flat_map();
    test_lossy_utf8();
    test_kind_of_loaded_surface();
    test_word_cache();
    if (g_failures) {
        std::fprintf(stderr, "core_tests: %d check(s) failed\n", g_failures);
        return 1;
    }
    std::printf("core_tests: all checks passed\n");
    return 0;
}

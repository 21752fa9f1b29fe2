// The core's pieces that the companion package drives: word tables and counting, the
// scheme, the ordered-block scheduler, fallback tokens and pruning, the training plan and
// the built tokenizer with its special tokens.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <cstdint>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "common/errors.hpp"
#include "common/markers.hpp"
#include "common/ordered_blocks.hpp"
#include "common/utf8.hpp"
#include "common/word_table.hpp"
#include "text/harvest.hpp"
#include "tokenizer/build.hpp"
#include <sys/stat.h>
#include "train/word_texts.hpp"
#include "vocab/char_class.hpp"
#include "vocab/extra_tokens.hpp"
#include "vocab/seeding.hpp"

using namespace larkspur;

namespace {

std::string temp_path(const char* name) { return "/tmp/larkspur-core-test-" + std::to_string(::getpid()) + "-" + name; }

using Pairs = std::vector<std::pair<std::string_view, std::uint64_t>>;

std::map<std::string, std::uint64_t> as_map(const WordTable& t) {
    std::map<std::string, std::uint64_t> m;
    for (std::size_t i = 0; i < t.size(); ++i) m[std::string(t.word(i))] = t.count(i);
    return m;
}

void test_word_table() {
    std::mt19937 rng(5);
    const char* pool[] = {"क", "कर", "a", "ab", "\xE0\xA4\x95\xE0\xA5\x8D", "Z", "é", "🙂", "करना", "b"};
    for (int round = 0; round < 50; ++round) {
        std::vector<std::string> words;
        std::vector<std::uint64_t> counts;
        std::map<std::string, std::uint64_t> want_a, want_b;
        Pairs a, b;
        for (int i = 0; i < 1 + static_cast<int>(rng() % 30); ++i) words.push_back(pool[rng() % 10] + std::string(pool[rng() % 10]));
        for (const std::string& w : words) {
            const std::uint64_t n = rng() % 5;
            if (rng() % 2) {
                a.emplace_back(w, n);
                want_a[w] += n;
            } else {
                b.emplace_back(w, n);
                want_b[w] += n;
            }
        }
        const WordTable ta = WordTable::from_pairs(a), tb = WordTable::from_pairs(b);
        CHECK(as_map(ta) == want_a);
        for (std::size_t i = 1; i < ta.size(); ++i) CHECK(ta.word(i - 1) < ta.word(i));
        std::map<std::string, std::uint64_t> both = want_a;
        for (const auto& [w, n] : want_b) both[w] += n;
        const WordTable sum = WordTable::sum(ta, tb);
        CHECK(as_map(sum) == both);
        CHECK(WordTable::sum(tb, ta) == sum);
        for (const auto& [w, n] : both) CHECK(sum.find(w) == std::optional<std::uint64_t>(n));
        CHECK(!sum.find("absent").has_value() && !sum.find("").has_value());
        CHECK(WordTable::from_bytes(sum.to_bytes()) == sum);
        for (const auto& [w, n] : as_map(sum.at_least(3))) CHECK(n >= 3 && both[w] == n);
    }
    // Equal words add up; an empty word and a sum past 2^64 - 1 are refused.
    CHECK(as_map(WordTable::from_pairs(Pairs{{"x", 2}, {"y", 1}, {"x", 3}})) ==
          (std::map<std::string, std::uint64_t>{{"x", 5}, {"y", 1}}));
    CHECK_THROWS(ErrorKind::Value, WordTable::from_pairs(Pairs{{"", 1}}));
    CHECK_THROWS(ErrorKind::Value, WordTable::from_pairs(Pairs{{"x", UINT64_MAX}, {"x", 1}}));
    // Bytes that are not a table: truncated, trailing, out of order.
    const std::string good = WordTable::from_pairs(Pairs{{"a", 1}, {"b", 2}}).to_bytes();
    CHECK_THROWS(ErrorKind::Value, WordTable::from_bytes(good.substr(0, good.size() - 1)));
    CHECK_THROWS(ErrorKind::Value, WordTable::from_bytes(good + "x"));
    CHECK_THROWS(ErrorKind::Value, WordTable::from_bytes("nonsense"));
    std::string swapped = good;
    std::swap(swapped[7], swapped[10]);  // "b" before "a"
    CHECK_THROWS(ErrorKind::Value, WordTable::from_bytes(swapped));
}

void test_word_table_files() {
    const std::string path = temp_path("counts.tsv");
    const WordTable t = WordTable::from_pairs(Pairs{{"कर", 3}, {"a", 1}, {"é", 7}});
    t.save(path);
    CHECK(WordTable::load(path) == t);
    {
        std::ofstream f(path, std::ios::binary);
        f << "b\t2\r\n\nकर\t1\nb\t5\nword with spaces\t4\n";
    }
    CHECK(as_map(WordTable::load(path)) ==
          (std::map<std::string, std::uint64_t>{{"b", 7}, {"कर", 1}, {"word with spaces", 4}}));
    for (const char* bad : {"x\n", "x\t\n", "\t3\n", "x\t-1\n", "x\t1e3\n", "x\t99999999999999999999999\n"}) {
        {
            std::ofstream f(path, std::ios::binary);
            f << "ok\t1\n" << bad;
        }
        try {
            WordTable::load(path);
            CHECK(false);
        } catch (const Error& e) {
            CHECK(e.kind() == ErrorKind::Value && std::string(e.what()).find(path + ":2: expected word<TAB>count") == 0);
        }
    }
    CHECK_THROWS(ErrorKind::Value, WordTable::from_pairs(Pairs{{"a\tb", 1}}).save(path));
    ::unlink(path.c_str());
    try {
        WordTable::load(path);
        CHECK(false);
    } catch (const Error& e) {
        CHECK(e.kind() == ErrorKind::Io && e.errnum() == ENOENT && e.path() == path);
    }
    // A failed save leaves neither the file nor a temporary behind.
    CHECK_THROWS(ErrorKind::Io, t.save("/nonexistent-dir/counts.tsv"));
}

// Counting files on any number of threads gives the counts of a plain count of the lines.
void test_counting() {
    std::mt19937 rng(9);
    const char* pool[] = {"क", "करना", "है।", "New", "Delhi", "🙂", "e.g."};
    std::string text;
    std::map<std::string, std::uint64_t> want;
    std::uint64_t lines = 0;
    for (int line = 0; line < 3000; ++line) {
        const int n = static_cast<int>(rng() % 12);
        for (int w = 0; w < n; ++w) {
            const std::string word = std::string(pool[rng() % 7]) + (rng() % 3 ? "" : std::to_string(rng() % 500));
            text += (w ? (rng() % 9 ? " " : "\t ") : "") + word;
            ++want[word];
        }
        text += "\n";
        ++lines;
        if (line % 700 == 0) {
            text += "\xFF broken line\n";  // not UTF-8: skipped and counted
        }
    }
    const std::string path = temp_path("corpus.txt");
    {
        std::ofstream f(path, std::ios::binary);
        f << text;
    }
    const Normalizer normalizer(FoldMode::LM, {});
    WordTable first;
    for (std::size_t threads : {1, 2, 3}) {
        const WordTable t = *count_word_texts({path, path}, normalizer, threads).table();
        std::map<std::string, std::uint64_t> twice = want;
        for (auto& [w, n] : twice) n *= 2;
        CHECK(as_map(t) == twice);
        CHECK_EQ(t.source.lines, 2 * lines);
        CHECK_EQ(t.source.invalid_lines, std::uint64_t{10});
        CHECK_EQ(t.source.bytes, 2 * text.size());
        if (threads == 1) first = t;
        CHECK(t == first);
    }
    // Within a tiny memory limit the tables spill to disk as runs: the counts are the same,
    // in memory or on disk, and no temporary file stays behind.
    const std::string tmp = temp_path("spill");
    ::mkdir(tmp.c_str(), 0700);
    for (std::uint64_t limit : {std::uint64_t{1} << 14, std::uint64_t{1} << 16, std::uint64_t{1} << 20}) {
        for (std::size_t threads : {1, 2}) {
            // Tables as small as these limits ask spill too (not just from 2 MiB on).
            const CountStore spilled = count_word_texts({path, path}, normalizer, threads,
                                                        CountOptions{SpillSettings{limit, tmp, {}, 0}, false, {}, {}, {}});
            CHECK(spilled == CountStore(first));
            CHECK_EQ(spilled.source().lines, first.source.lines);
            CHECK_EQ(spilled.source().invalid_lines, first.source.invalid_lines);
            CHECK(spilled.on_disk() == (limit < (std::uint64_t{1} << 20)));
            std::vector<std::string> left;
            files::list_dir(tmp, left);
            CHECK_EQ(left.size(), std::size_t(spilled.on_disk() ? 1 : 0));  // the store's own directory
            if (spilled.on_disk()) {
                for (const auto& [w, n] : as_map(first)) CHECK(spilled.find(w) == std::optional<std::uint64_t>(n));
                CHECK(!spilled.find("absent").has_value());
                std::size_t i = 0;
                spilled.scan(100, 130, [&](std::string_view w, std::uint64_t n) {
                    CHECK(w == first.word(100 + i) && n == first.count(100 + i));
                    ++i;
                    return true;
                });
                CHECK_EQ(i, std::size_t{30});
                CHECK(WordTable::from_bytes(spilled.to_bytes()) == first);
                const CountStore twice = CountStore::sum(spilled, spilled, SpillSettings{limit, tmp, {}});
                for (const auto& [w, n] : as_map(first)) CHECK(twice.find(w) == std::optional<std::uint64_t>(2 * n));
                const std::string saved = temp_path("saved.tsv");
                spilled.save(saved);
                CHECK(CountStore::load({saved, saved}, SpillSettings{limit, tmp, {}}) == twice);
                CHECK(CountStore(WordTable::load(saved)) == spilled);
                ::unlink(saved.c_str());
                // Training takes the most frequent words that fit, and says what it left out.
                const WordSelection sel = select_words(spilled, std::uint64_t{40} << 20);
                CHECK(sel.left_out_types == 0 && sel.min_count == 1 && sel.words->size() == first.size());
            }
        }
        std::vector<std::string> left;
        files::list_dir(tmp, left);
        CHECK(left.empty());
    }
    // The same text in blocks (as a decompressed stream arrives) counts the same, within a
    // limit or not; lines are numbered per source, so strict counting names the first bad one.
    std::uint64_t first_bad = 0, line_no = 0;
    std::vector<std::pair<std::string, std::uint64_t>> blocks;  // whole lines, first line
    {
        std::string block;
        std::uint64_t block_first = 1;
        std::size_t at = 0;
        while (at < text.size()) {
            std::size_t nl = text.find('\n', at);
            if (nl == std::string::npos) nl = text.size() - 1;
            const std::string_view line(text.data() + at, nl - at);
            ++line_no;
            if (!first_bad && !utf8::is_valid(line)) first_bad = line_no;
            block.append(text, at, nl + 1 - at);
            at = nl + 1;
            if (block.size() > 700 || at >= text.size()) {
                blocks.emplace_back(std::move(block), block_first);
                block.clear();
                block_first = line_no + 1;
            }
        }
    }
    for (std::uint64_t limit : {std::uint64_t{0}, std::uint64_t{1} << 14}) {
        for (std::size_t threads : {1, 3}) {
            BlockCounter counter(normalizer, threads, CountOptions{SpillSettings{limit, tmp, {}, 0}, false, {}, {}, {}}, {"a", "b"});
            for (std::size_t source : {0, 1}) {
                for (const auto& [b, line] : blocks) CHECK(counter.add(b, source, line));
            }
            CountReport report;
            CHECK(counter.finish(&report) == CountStore(first));
            CHECK(report.invalid_lines == std::vector<std::uint64_t>({5, 5}));
        }
    }
    CHECK(first_bad > 0);
    try {
        BlockCounter counter(normalizer, 2, CountOptions{{}, true, {}, {}, {}}, {"a", "b"});
        for (const auto& [b, line] : blocks) counter.add(b, 1, line);
        counter.finish();
        CHECK(false);
    } catch (const Error& e) {
        CHECK(e.kind() == ErrorKind::Value && std::string(e.what()).find("b:" + std::to_string(first_bad) + ":") == 0);
    }
    {
        // Dropped unfinished, the counter stops its workers and removes its runs.
        BlockCounter counter(normalizer, 2, CountOptions{SpillSettings{1 << 12, tmp, {}, 0}, false, {}, {}, {}}, {"a"});
        for (const auto& [b, line] : blocks) counter.add(b, 0, line);
    }
    std::vector<std::string> left;
    files::list_dir(tmp, left);
    CHECK(left.empty());
    files::remove_tree(tmp);
    ::unlink(path.c_str());
    CHECK_THROWS(ErrorKind::Io, count_word_texts({temp_path("missing")}, normalizer, 1));
}

void test_scheme() {
    const Scheme all = scheme_from({{"codepoint_fallback", true}, {"whitespace_tokens", true},
                                    {"edge_joins", true}, {"marker_stems", true}});
    CHECK(all.encode_options().codepoint_fallback && all.encode_options().whitespace_tokens &&
          all.encode_options().edge_joins && all.merge_rules().edge_joins && all.merge_rules().marker_stems);
    CHECK(scheme_from({}) == Scheme{});
    CHECK(scheme_from(scheme_values(all)) == all);
    CHECK_EQ(scheme_values(Scheme{}).size(), scheme_fields().size());
    CHECK_THROWS(ErrorKind::Value, scheme_from({{"faster", true}}));
    CHECK_THROWS(ErrorKind::Value, scheme_from({{"edge_joins", std::int64_t{1}}}));
}

void test_ordered_blocks() {
    std::mt19937 rng(3);
    for (int round = 0; round < 40; ++round) {
        const std::size_t n = rng() % 3000, block = 1 + rng() % 300, threads = 1 + rng() % 4;
        std::vector<std::uint64_t> slots(n);
        std::size_t next = 0;
        bool in_order = true;
        run_ordered_blocks(
            n, block, threads,
            [&](std::size_t first, std::size_t last, std::size_t) {
                for (std::size_t i = first; i < last; ++i) slots[i] = i * i;
            },
            [&](std::size_t first, std::size_t last) {
                in_order &= first == next && last <= n;
                for (std::size_t i = first; i < last; ++i) in_order &= slots[i] == i * i;
                next = last;
            },
            never_interrupted);
        CHECK(in_order && next == n);
    }
    // A failing block stops the run; nothing after it is consumed.
    std::size_t consumed = 0;
    CHECK_THROWS(ErrorKind::Value, run_ordered_blocks(
                                       1000, 10, 3,
                                       [](std::size_t first, std::size_t, std::size_t) {
                                           if (first == 500) throw_value("block 50");
                                       },
                                       [&](std::size_t, std::size_t last) { consumed = last; }, never_interrupted));
    CHECK(consumed <= 500);
    // An interrupt while the caller waits ends the call with Interrupted. The other thread's
    // block waits for the interrupt (two seconds at most); the caller's own takes a moment,
    // so that the other thread has started and taken a block by then.
    std::atomic<bool> release{false};
    bool interrupted = false;
    try {
        run_ordered_blocks(
            2, 1, 2,
            [&](std::size_t, std::size_t, std::size_t worker) {
                if (worker == 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                    return;
                }
                const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
                while (!release && std::chrono::steady_clock::now() < until) std::this_thread::yield();
            },
            [](std::size_t, std::size_t) {},
            [&] {
                release = true;
                return true;
            });
    } catch (const Interrupted&) {
        interrupted = true;
    }
    CHECK(interrupted);
}

// The symbol predicate of the inventories and the encoder's script classes agree: a symbol
// is what the encoder leaves to bytes (MAL) from U+00A0 on, less the joiner, the markers
// and white space.
void test_symbols_and_classes() {
    for (char32_t c = 0; c < 0x30000; ++c) {
        const bool expect = c >= 0xA0 && char_class(c) == Script::MAL && c != 0x200D && !markers::is_marker(c) &&
                            !utf8::is_white_space(c);
        if (is_symbol_char(c) != expect) {
            CHECK(false);
            std::fprintf(stderr, "  at U+%04X\n", static_cast<unsigned>(c));
            break;
        }
    }
}

std::shared_ptr<Tokenizer> options_tokenizer() {
    auto t = std::make_shared<Tokenizer>(FoldMode::LM, Normalizer::RulePairs{}, Normalizer::RulePairs{});
    t->set_scheme(Scheme{true, true, true, false});
    return t;
}

void test_fallback_tokens_and_pruning() {
    auto t = options_tokenizer();
    const WordTable words = WordTable::from_pairs(Pairs{{"करना", 40}, {"करता", 30}, {"पढ़ना", 20}, {"पढ़ता", 12},
                                                        {"है।", 50}, {"घर", 9}, {"°C", 3}});
    t->initialize_vocab(SeedLists{t->harvest_from_words(words, 1), {}, {"।"}, {}, {}});
    const std::size_t base = t->add_fallback_tokens({"°"});
    CHECK_EQ(t->add_fallback_tokens({"°"}), base);  // adding again adds nothing
    CHECK_THROWS(ErrorKind::Value, t->add_fallback_tokens({"ab"}));
    CHECK_THROWS(ErrorKind::Value, t->add_fallback_tokens({"\xC2\x85"}));  // a control character
    std::vector<std::uint64_t> none;
    CHECK_THROWS(ErrorKind::Value, t->prune_merges(none, 1));
    FileTrainOptions opt;
    std::vector<std::uint64_t> use;
    opt.token_use = &use;
    const std::size_t size = t->train_from_word_texts(words, base + 30, 0, 100, opt);
    CHECK(size > base + 5);
    const std::vector<TokenRow> before = t->export_tokens();
    const std::size_t drop = 5;
    CHECK_EQ(t->prune_merges(use, drop), size - drop);
    const std::vector<TokenRow> after = t->export_tokens();
    std::map<std::string, const TokenRow*> kept;
    for (const TokenRow& r : after) kept[r.surface] = &r;
    std::size_t gone = 0;
    const std::size_t marker = *t->find(markers::kWord);
    for (const TokenRow& r : before) {
        if (kept.count(r.surface)) continue;
        ++gone;
        CHECK(r.kind == 'M' && r.script == Script::DEV);
        // A word marker joined with a base akshara stays: an unseen word starts with it.
        const std::size_t comma = r.payload.find(',');
        CHECK(comma != std::string::npos);
        const std::size_t left = std::stoul(r.payload.substr(0, comma)), right = std::stoul(r.payload.substr(comma + 1));
        CHECK(!(left == marker && before[right].kind == 'A'));
    }
    CHECK_EQ(gone, drop);
    for (std::size_t i = 0; i < after.size(); ++i) CHECK_EQ(after[i].id, i);
    const std::string text = "करना करता पढ़ना है। घर °C";
    CHECK_EQ(t->decode(t->encode(text)), text);
}

TrainingRequest small_request(std::size_t vocab_size) {
    TrainingRequest r;
    r.scheme = Scheme{true, true, true, true};
    r.recipe.punctuation = {"।", ","};
    r.recipe.akshara_share = 0.15;
    r.recipe.prune_share = 0.15;
    r.recipe.latin_share = 0.1;
    r.vocab_size = vocab_size;
    r.special_tokens = {"<s>", "</s>"};
    return r;
}

void test_plan_and_built_tokenizer() {
    const WordTable words = WordTable::from_pairs(Pairs{{"करना", 40}, {"करता", 30}, {"पढ़ना", 20}, {"New", 12},
                                                        {"Delhi", 10}, {"है।", 50}, {"घर", 9}, {"°C", 3}});
    // Too small: the message names the smallest size, and that size plans.
    try {
        plan_training(words, small_request(10));
        CHECK(false);
    } catch (const Error& e) {
        const std::string m = e.what();
        CHECK(m.find("vocab_size 10 is below the smallest possible size ") == 0);
        const std::size_t smallest = std::stoul(m.substr(std::string("vocab_size 10 is below the smallest possible size ").size()));
        const TrainingPlan p = plan_training(words, small_request(smallest));
        CHECK_EQ(p.base_size + 2, smallest);
        CHECK_THROWS(ErrorKind::Value, plan_training(words, small_request(smallest - 1)));
    }
    const TrainingRequest req = small_request(600);
    const TrainingPlan plan = plan_training(words, req);
    CHECK_EQ(plan.trained_size, std::size_t{598});
    CHECK_EQ(plan.lat_budget, std::size_t{60});  // 59.8 rounded
    CHECK_EQ(plan.dev_budget + plan.lat_budget, plan.trained_size);
    CHECK_EQ(plan.symbols, std::vector<std::string>{"°"});
    const FrozenTokenizer tok = train_tokenizer(words, req, plan, RunSettings{}, stderr_sink());
    CHECK(tok.base_size() <= plan.trained_size);
    CHECK_EQ(tok.size(), tok.base_size() + 2);
    const std::size_t bos = tok.base_size(), eos = bos + 1;
    std::vector<std::uint32_t> ids;
    tok.encode("", {}, ids);
    CHECK(ids.empty());  // an empty text has no tokens at all
    const std::vector<std::size_t> both{bos, eos};
    tok.encode("<s>करना New</s>", both, ids);
    CHECK(ids.front() == bos && ids.back() == eos);
    std::vector<std::uint64_t> wide(ids.begin(), ids.end());
    CHECK_EQ(tok.decode(wide, false), std::string("<s>करना New</s>"));
    CHECK_EQ(tok.decode(wide, true), std::string("करना New"));
    ids.clear();
    tok.encode("<s>करना", {}, ids);  // not allowed: plain text
    CHECK(std::find(ids.begin(), ids.end(), bos) == ids.end());
    CHECK_THROWS(ErrorKind::Value, tok.check_id(tok.size()));
    const std::vector<std::size_t> not_special{0};
    CHECK_THROWS(ErrorKind::Value, tok.encode("x", not_special, ids));
    CHECK_THROWS(ErrorKind::Value, tok.with_special_tokens({"<s>"}));
    CHECK_THROWS(ErrorKind::Value, tok.with_special_tokens({"New"}));
    const FrozenTokenizer more = tok.with_special_tokens({"<tool>"});
    CHECK(more.token_id("<tool>") == std::optional<std::size_t>(tok.size()) && more.base_size() == tok.base_size());
    // A loaded table encodes as the trained tokenizer does.
    const FrozenTokenizer loaded = load_tokenizer(req, tok.export_columns(), tok.base().seed_max_len());
    std::vector<std::uint32_t> a, b;
    tok.encode("घर करता है। °C Delhi", {}, a);
    loaded.encode("घर करता है। °C Delhi", {}, b);
    CHECK(a == b && !a.empty());
}

// Training keeps every word counted at least k times for the smallest k whose words fit.
void test_select_words() {
    const CountStore store(WordTable::from_pairs(
        Pairs{{"a", 5}, {"b", 4}, {"cc", 3}, {"d", 3}, {"e", 1}, {"f", 1}, {"g", 2}}));
    const std::uint64_t held = store.memory_bytes() + (std::uint64_t{32} << 20);
    const std::uint64_t need = 3 * training_bytes(1) + training_bytes(2);  // a, b, cc, d
    WordSelection sel = select_words(store, held + need);
    CHECK(sel.min_count == 3 && sel.left_out_types == 3 && sel.left_out_occurrences == 4 && sel.words->size() == 4);
    sel = select_words(store, held + need - 1);
    CHECK(sel.min_count == 4 && sel.left_out_types == 5 && sel.words->size() == 2);
    sel = select_words(store, 1);  // the most frequent words stay even when they alone do not fit
    CHECK(sel.min_count == 5 && sel.left_out_types == 6 && sel.words->size() == 1);
    for (std::uint64_t limit : {std::uint64_t{0}, std::uint64_t{1} << 40}) {
        sel = select_words(store, limit);
        CHECK(sel.min_count == 1 && sel.left_out_types == 0 && sel.words.get() == store.table());  // shared, not copied
    }
}

}  // namespace

void run_companion_tests() {
    test_select_words();
    test_word_table();
    test_word_table_files();
    test_counting();
    test_scheme();
    test_ordered_blocks();
    test_symbols_and_classes();
    test_fallback_tokens_and_pruning();
    test_plan_and_built_tokenizer();
}

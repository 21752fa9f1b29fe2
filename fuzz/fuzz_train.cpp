// Arbitrary bytes as a corpus file: the akshara harvest and file training read them
// without faults (lines that are not UTF-8 are skipped), whatever the line lengths, and
// the trained vocabulary still encodes and decodes every valid line exactly; with the
// companion package's options (picked by the input's length) too, after giving back some of
// the least used merges.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "common/errors.hpp"
#include "common/utf8.hpp"
#include "tokenizer/tokenizer.hpp"
#include "text/harvest.hpp"

using namespace larkspur;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 8192) return 0;
    std::string path = "/tmp/fuzz_train." + std::to_string(getpid());
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(data + 1, 1, size - 1, f);
    std::fclose(f);
    const std::uint8_t knobs = data[0];
    Tokenizer t((knobs & 1) ? FoldMode::OCR : FoldMode::LM, {{"\u0930\u093C", "\u0931"}},
                {{"\u0930\u093C", "\u0931"}});
    SeedLists lists;
    lists.aksharas = t.harvest_aksharas(path, 1 + (knobs >> 1) % 3);
    for (const auto& a : lists.aksharas) {
        if (a.empty() || !utf8::is_valid(a)) std::abort();
    }
    lists.seed_morphemes = {"\u0915\u0930", "\u0928\u0947"};
    lists.punctuation = {"\u0964", "."};
    t.initialize_vocab(lists);
    const bool options = (size & 1) != 0;
    if (options) {
        t.set_scheme(Scheme{true, true, true, true, true});
        t.add_fallback_tokens({});
    }
    std::vector<std::uint64_t> use;
    FileTrainOptions opt;
    opt.token_use = &use;
    opt.progress_lines = 0;
    opt.progress_merges = 0;
    opt.min_word_freq = 1 + (knobs >> 3) % 2;
    const std::size_t before = t.vocab_size();
    const std::size_t budget = before + (knobs >> 4) * 4;
    try {
        if (knobs & 2)
            t.train_latin_from_file(path, (knobs >> 4) * 4, opt);
        else
            t.train_from_file(path, budget, 1 + (knobs >> 5), opt);
    } catch (const Error&) {
        std::abort();  // a readable file never fails to train
    }
    if (t.vocab_size() < before || t.vocab_size() > before + (knobs >> 4) * 4) std::abort();
    if (options) {
        const std::size_t trained = t.vocab_size();
        if (use.size() != trained) std::abort();
        if (t.prune_merges(use, 3) + 3 < trained) std::abort();
    }
    // Every valid line comes back from encoding and decoding.
    std::string_view all(reinterpret_cast<const char*>(data + 1), size - 1);
    while (!all.empty()) {
        std::size_t nl = all.find('\n');
        std::string_view line = all.substr(0, nl);
        all = nl == std::string_view::npos ? std::string_view{} : all.substr(nl + 1);
        if (!utf8::is_valid(line)) continue;
        if (!t.verify_roundtrip(line)) std::abort();
    }
    std::remove(path.c_str());
    return 0;
}

// The vocabulary file reader raises only the system's own errors, whatever the bytes, and
// what it loads saves and reloads to the same surfaces.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/errors.hpp"
#include "tokenizer/tokenizer.hpp"

using namespace larkspur;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) return 0;
    std::string path = "/tmp/fuzz_vocab_tsv." + std::to_string(getpid());
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    Tokenizer t(FoldMode::LM, {}, {});
    try {
        t.load_vocab_tsv(path, size > 0 && (data[0] & 1));
        t.save_vocab_tsv(path);
        Tokenizer u(FoldMode::LM, {}, {});
        u.load_vocab_tsv(path, false);
        if (u.vocab_size() != t.vocab_size()) std::abort();
        for (TokenId id = 0; id < t.vocab_size(); ++id) {
            // CR is written as it is, so a surface ending in CR loses that CR on reloading;
            // everything else survives.
            std::string expect = t.surface(id);
            if (!expect.empty() && expect.back() == '\r') expect.pop_back();
            if (u.surface(id) != expect) std::abort();
        }
    } catch (const Error&) {
    }
    std::remove(path.c_str());
    return 0;
}

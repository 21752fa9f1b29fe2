// Checkpoint readers raise only the system's own errors, whatever the bytes of the files,
// and a resume from such a directory either fails cleanly or trains on.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "checkpoint/readers.hpp"
#include "common/errors.hpp"
#include "common/files.hpp"
#include "lib/tokenizer.hpp"

using namespace larkspur;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) return 0;
    std::string dir = "/tmp/fuzz_checkpoint." + std::to_string(getpid());
    std::string step = dir + "/step_000000000001";
    files::remove_tree(dir);
    files::make_dirs(step);
    // The input is split at 0xFF bytes into the files of one step directory.
    const char* names[] = {"meta.tsv", "vocab.tsv", "corpus.tsv", "weights.tsv", "prior.tsv", "lexicon.tsv", "LATEST"};
    std::size_t from = 0;
    for (const char* name : names) {
        std::size_t to = from;
        while (to < size && data[to] != 0xFF) ++to;
        std::string path = std::string(name) == "LATEST" ? dir + "/LATEST" : step + "/" + name;
        FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(data + from, 1, to - from, f);
        std::fclose(f);
        from = to < size ? to + 1 : to;
    }
    files::write_lines(step + "/COMPLETE", {""});
    try {
        Tokenizer::checkpoint_info(dir);
    } catch (const Error&) {
    }
    Tokenizer t(FoldMode::LM, {}, {});
    Tokenizer::ResumeOptions opt;
    opt.progress_merges = 0;
    opt.allow_mode_mismatch = opt.allow_paradigm_mismatch = true;
    try {
        // Budgets read from the bytes may be huge; the corpus bounds the work.
        t.resume_from_checkpoint(dir, opt);
    } catch (const Error&) {
    }
    files::remove_tree(dir);
    return 0;
}

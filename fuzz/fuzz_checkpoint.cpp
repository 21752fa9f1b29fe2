// Checkpoint readers raise only the system's own errors, whatever the directory holds:
// any bytes in any of its files, files missing, COMPLETE missing, several step
// directories, LATEST naming any of them or nothing. checkpoint_info and a resume agree
// on whether there is a checkpoint, and a failed resume leaves the object as it was.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "checkpoint/readers.hpp"
#include "common/errors.hpp"
#include "common/files.hpp"
#include "tokenizer/tokenizer.hpp"

using namespace larkspur;

namespace {
void write_file(const std::string& path, const std::uint8_t* data, std::size_t n) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return;
    std::fwrite(data, 1, n, f);
    std::fclose(f);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2 || size > 8192) return 0;
    // Byte 0: which of the six step files are absent (bits 0-5), whether COMPLETE is
    // absent (bit 6), whether a second, older complete step exists (bit 7).
    // Byte 1: LATEST absent (bit 0); resume options (bits 1-3).
    const std::uint8_t absent = data[0], knobs = data[1];
    std::string dir = "/tmp/fuzz_checkpoint." + std::to_string(getpid());
    std::string step = dir + "/step_000000000002";
    files::remove_tree(dir);
    files::make_dirs(step);
    // The rest of the input is split at 0xFF bytes into the files, in this order.
    const char* names[] = {"meta.tsv", "vocab.tsv", "corpus.tsv", "weights.tsv", "prior.tsv", "lexicon.tsv", "LATEST"};
    std::size_t from = 2;
    for (int k = 0; k < 7; ++k) {
        std::size_t to = from;
        while (to < size && data[to] != 0xFF) ++to;
        bool is_latest = k == 6;
        if (is_latest ? !(knobs & 1) : !((absent >> k) & 1))
            write_file(is_latest ? dir + "/LATEST" : step + "/" + names[k], data + from, to - from);
        from = to < size ? to + 1 : to;
    }
    if (!(absent & 0x40)) files::write_lines(step + "/COMPLETE", {""});
    if (absent & 0x80) {
        // An older step with the same files, so LATEST and the fallback to the newest
        // step can disagree.
        std::string older = dir + "/step_000000000001";
        files::make_dirs(older);
        for (const char* name : {"meta.tsv", "vocab.tsv", "corpus.tsv"}) {
            std::string src = step + "/" + name;
            if (FILE* f = std::fopen(src.c_str(), "rb")) {
                std::string bytes;
                char buf[4096];
                for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) bytes.append(buf, n);
                std::fclose(f);
                write_file(older + "/" + name, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
            }
        }
        files::write_lines(older + "/COMPLETE", {""});
    }
    std::optional<CheckpointInfo> info;
    try {
        info = Tokenizer::checkpoint_info(dir);
    } catch (const Error&) {
    }
    Tokenizer t(FoldMode::LM, {}, {});
    SeedLists lists;
    lists.aksharas = {"\u0915", "\u0915\u093F"};
    t.initialize_vocab(lists);
    const std::size_t size_before = t.vocab_size();
    ResumeOptions opt;
    opt.progress_merges = 0;
    opt.allow_mode_mismatch = knobs & 2;
    opt.allow_paradigm_mismatch = knobs & 4;
    opt.checkpoint_every = (knobs & 8) ? 1 : 0;
    opt.checkpoint_keep = 1;
    try {
        // Budgets read from the bytes may be huge; the corpus bounds the work.
        t.resume_from_checkpoint(dir, opt);
    } catch (const Error&) {
        if (t.vocab_size() != size_before) std::abort();
    }
    files::remove_tree(dir);
    return 0;
}

#include "checkpoint/writer.hpp"

#include <cerrno>
#include <cstdio>
#include <vector>

#include "checkpoint/format.hpp"
#include "checkpoint/readers.hpp"
#include "common/errors.hpp"
#include "common/files.hpp"

namespace larkspur {

namespace {

constexpr const char* kPartialPrefix = ".partial-";

struct SaveError {
    int err;
};

void check(int err) {
    if (err) throw SaveError{err};
}

void write_step_files(const std::string& path, const ConstrainedBPETrainer& t, const Corpus& corpus,
                      std::uint64_t step) {
    std::vector<CkptRow> rows = export_ckpt_rows(t.vocab);
    {
        files::FileWriter w;
        check(w.create(files::join(path, "vocab.tsv"), 1 << 20));
        for (const auto& r : rows) {
            w.write(format_vocab_row(r));
            w.put('\n');
        }
        check(w.finish());
    }
    {
        files::FileWriter w;
        check(w.create(files::join(path, "corpus.tsv"), 1 << 20));
        std::string line;
        std::vector<TokenId> ids;
        for (std::size_t i = 0; i < corpus.word_count(); ++i) {
            line = std::to_string(corpus.words[i].count);
            line += '\t';
            corpus.word_ids(i, ids);
            append_u64_list(line, ids);
            line += '\n';
            w.write(line);
        }
        check(w.finish());
    }
    std::vector<std::string> lines;
    for (const auto& [id, w] : t.token_weights) lines.push_back(std::to_string(id) + "\t" + format_float(w));
    check(files::write_lines(files::join(path, "weights.tsv"), lines));
    lines.clear();
    for (const auto& [root, p] : t.root_prior) lines.push_back(std::to_string(root) + "\t" + format_float(p));
    check(files::write_lines(files::join(path, "prior.tsv"), lines));
    lines.clear();
    for (const auto& [surface, root] : t.ckpt.lexicon) {
        lines.push_back(ckpt_escape(surface) + "\t" + std::to_string(root));
    }
    check(files::write_lines(files::join(path, "lexicon.tsv"), lines));
    lines = {
        "version\t4.1",
        "mode\t" + t.ckpt.mode,
        std::string("phase\t") + phase_name(t.phase),
        "theta\t" + std::to_string(t.theta),
        "dev_budget\t" + std::to_string(t.ckpt.dev_budget),
        "total_budget\t" + std::to_string(t.ckpt.total_budget),
        "merges_done\t" + std::to_string(step),
        "vocab_len\t" + std::to_string(rows.size()),
        "word_types\t" + std::to_string(corpus.word_count()),
        "seed_max_len\t" + std::to_string(t.ckpt.seed_max_len),
        std::string("use_probabilistic_k\t") + (t.probabilistic_k ? "1" : "0"),
        "root_set_cap\t" + std::to_string(t.root_set_cap),
        "corpus_fingerprint\t" + std::to_string(corpus.fingerprint),
        "paradigm_fingerprint\t" + std::to_string(t.ckpt.paradigm_fingerprint),
    };
    check(files::write_lines(files::join(path, "meta.tsv"), lines));
    check(files::write_lines(files::join(path, "COMPLETE"), {""}));
}

// Moves the finished temporary directory to its final name.
void move_into_place(const std::string& tmp, const std::string& final_path) {
    if (!files::exists(final_path)) {
        if (std::rename(tmp.c_str(), final_path.c_str()) != 0) throw SaveError{errno};
        return;
    }
    // Swap with the earlier directory of the same name, then drop the earlier one.
    const int swapped = files::exchange(tmp, final_path);
    if (swapped == 0) {
        files::remove_tree(tmp);
        return;
    }
    if (swapped != EINVAL && swapped != ENOSYS) throw SaveError{swapped};
    // No atomic exchange on this file system: move the old one aside first.
    std::string aside = tmp + ".old";
    files::remove_tree(aside);
    if (std::rename(final_path.c_str(), aside.c_str()) != 0) throw SaveError{errno};
    if (std::rename(tmp.c_str(), final_path.c_str()) != 0) {
        int err = errno;
        std::rename(aside.c_str(), final_path.c_str());
        throw SaveError{err};
    }
    files::remove_tree(aside);
}

}  // namespace

void remove_partial_steps(const std::string& dir) {
    std::vector<std::string> names;
    if (files::list_dir(dir, names) != 0) return;
    for (const auto& n : names) {
        if (n.compare(0, std::char_traits<char>::length(kPartialPrefix), kPartialPrefix) == 0) {
            files::remove_tree(files::join(dir, n));
        }
    }
}

SaveOutcome CheckpointWriter::save(const ConstrainedBPETrainer& t, const Corpus& corpus,
                                   std::uint64_t step) {
    if (!t.ckpt.dir) return {};
    const std::string& dir = *t.ckpt.dir;
    const std::string name = step_dir_name(step);
    const std::string final_path = files::join(dir, name);
    try {
        check(files::make_dirs(dir));
        // Something that is not a directory in the way cannot be replaced.
        if (files::exists(final_path) && !files::is_dir(final_path)) throw SaveError{ENOTDIR};
        remove_partial_steps(dir);  // leftovers of an interrupted save
        const std::string tmp = files::join(dir, kPartialPrefix + name);
        check(files::make_dirs(tmp));
        write_step_files(tmp, t, corpus, step);
        move_into_place(tmp, final_path);
        check(files::write_lines(files::join(dir, "LATEST"), {name}));
    } catch (const SaveError& e) {
        return {SaveOutcome::Kind::Failed, os_error_text(e.err)};
    }
    if (t.ckpt.keep != 0) {
        std::vector<std::string> steps = step_dirs(dir);
        if (steps.size() > t.ckpt.keep) {
            std::size_t to_remove = steps.size() - t.ckpt.keep;
            for (const auto& p : steps) {
                if (to_remove == 0) break;
                if (p == final_path) continue;
                files::remove_tree(p);
                --to_remove;
            }
        }
    }
    return {SaveOutcome::Kind::Written, final_path};
}

}  // namespace larkspur

// Methods of training, resuming and checkpoint inspection.
#include "lib/methods.hpp"

namespace larkspur::py {

namespace {

// The shared tail of the three file drivers' parameters, starting at index `first`.
FileTrainOptions file_options(const Args& a, std::size_t first) {
    FileTrainOptions o;
    o.min_word_freq = a.u64(first);
    o.progress_lines = a.u64(first + 1);
    o.progress_merges = a.u64(first + 2);
    o.checkpoint_dir = a.opt_string(first + 3);
    o.checkpoint_every = a.u64(first + 4);
    o.checkpoint_keep = a.usize(first + 5);
    return o;
}

}  // namespace

LARKSPUR_METHOD(train_bpe) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(train_bpe), args, nargs, kwnames);
        auto sequences = a.id_lists(0);
        std::size_t budget = a.usize(1);
        std::uint64_t theta = a.u64(2);
        ExclusiveBorrow borrow(borrow_of(self));
        return to_py_int(state_of(self).train_bpe(sequences, budget, theta));
    });
}

LARKSPUR_METHOD(train_from_text) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(train_from_text), args, nargs, kwnames);
        auto texts = a.str_list(0);
        std::size_t budget = a.usize(1);
        std::uint64_t theta = a.u64(2);
        ExclusiveBorrow borrow(borrow_of(self));
        return to_py_int(state_of(self).train_from_text(texts, budget, theta));
    });
}

LARKSPUR_METHOD(train_from_file) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(train_from_file), args, nargs, kwnames);
        std::string path = a.string(0);
        std::size_t budget = a.usize(1);
        std::uint64_t theta = a.u64(2);
        FileTrainOptions opt = file_options(a, 3);
        ExclusiveBorrow borrow(borrow_of(self));
        std::size_t size;
        {
            ReleaseGil nogil;
            size = state_of(self).train_from_file(path, budget, theta, opt);
        }
        return to_py_int(size);
    });
}

LARKSPUR_METHOD(train_bilingual_from_file) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(train_bilingual_from_file), args, nargs, kwnames);
        std::string path = a.string(0);
        std::size_t dev_budget = a.usize(1);
        std::size_t lat_budget = a.usize(2);
        std::uint64_t theta = a.u64(3);
        FileTrainOptions opt = file_options(a, 4);
        ExclusiveBorrow borrow(borrow_of(self));
        std::size_t size;
        {
            ReleaseGil nogil;
            size = state_of(self).train_bilingual_from_file(path, dev_budget, lat_budget, theta, opt);
        }
        return to_py_int(size);
    });
}

LARKSPUR_METHOD(train_latin_from_file) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(train_latin_from_file), args, nargs, kwnames);
        std::string path = a.string(0);
        std::size_t lat_budget = a.usize(1);
        FileTrainOptions opt = file_options(a, 2);
        ExclusiveBorrow borrow(borrow_of(self));
        std::size_t size;
        {
            ReleaseGil nogil;
            size = state_of(self).train_latin_from_file(path, lat_budget, opt);
        }
        return to_py_int(size);
    });
}

LARKSPUR_METHOD(resume_from_checkpoint) {
    return guarded([&] {
        Args a(LARKSPUR_SIG(resume_from_checkpoint), args, nargs, kwnames);
        std::string dir = a.string(0);
        ResumeOptions opt;
        opt.progress_merges = a.u64(1);
        opt.checkpoint_every = a.u64(2);
        opt.checkpoint_keep = a.usize(3);
        opt.allow_mode_mismatch = a.flag(4);
        opt.allow_paradigm_mismatch = a.flag(5);
        ExclusiveBorrow borrow(borrow_of(self));
        std::size_t size;
        {
            ReleaseGil nogil;
            size = state_of(self).resume_from_checkpoint(dir, opt);
        }
        return to_py_int(size);
    });
}

LARKSPUR_METHOD(checkpoint_info) {
    return guarded([&]() -> PyObject* {
        Args a(LARKSPUR_SIG(checkpoint_info), args, nargs, kwnames);
        std::string dir = a.string(0);
        SharedBorrow borrow(borrow_of(self));
        auto info = Tokenizer::checkpoint_info(dir);
        if (!info) return to_py_none();
        const CheckpointMeta& m = info->meta;
        return DictBuilder()
            .put("path", to_py_str(info->path))
            .put("version", to_py_str(m.version))
            .put("mode", to_py_str(m.mode))
            .put("phase", to_py_str(phase_name(m.phase)))
            .put("merges_done", to_py_int(m.merges_done))
            .put("vocab_len", to_py_int(m.vocab_len))
            .put("word_types", to_py_int(m.word_types))
            .put("theta", to_py_int(m.theta))
            .put("dev_budget", to_py_int(m.dev_budget))
            .put("total_budget", to_py_int(m.total_budget))
            .put("corpus_fingerprint", to_py_int(m.corpus_fingerprint))
            .put("paradigm_fingerprint", to_py_int(m.paradigm_fingerprint))
            .release();
    });
}

}  // namespace larkspur::py

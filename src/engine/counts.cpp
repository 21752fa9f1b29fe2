// Word counts: the native store (larkspur.WordCounts wraps it) and the counting calls.

#include "engine/convert.hpp"
#include "tokenizer/build.hpp"

namespace larkspur::engine {

namespace {

using namespace nb::literals;

// The limit, the directory, and a callback told the words merged (None: none).
SpillSettings spill_of(std::uint64_t memory_limit, const std::string& tmp_dir, nb::object merged = nb::none()) {
    SpillSettings s{memory_limit, tmp_dir, {}};
    if (BytesProgress p = bytes_progress(std::move(merged))) s.merge_progress = [p](std::uint64_t n) { p(n, 0); };
    return s;
}

nb::tuple count_files(const std::vector<std::string>& paths, const std::string& mode, const Normalizer::RulePairs& rules,
                      std::size_t threads, nb::object progress, std::uint64_t memory_limit, const std::string& tmp_dir,
                      nb::object merged, bool strict, const PyTokenizer* runs_of) {  // (counts, lines not UTF-8 per file)
    const Normalizer normalizer(parse_fold_mode(mode), rules);
    CountOptions opt{spill_of(memory_limit, tmp_dir, std::move(merged)), strict, bytes_progress(std::move(progress)), {},
                     runs_of ? word_runs(runs_of->tok) : nullptr};
    CountReport report;
    CountStore counts = unlocked(true, [&](auto poll) {
        opt.interrupted = poll;
        return count_word_texts(paths, normalizer, threads, opt, &report);
    });
    return nb::make_tuple(std::move(counts), report.invalid_lines);
}

}  // namespace

void bind_counts(nb::module_& m) {
    nb::class_<CountStore>(m, "WordTable")
        .def(nb::init<>())
        .def_static("from_pairs", [](const std::vector<std::pair<std::string, std::uint64_t>>& pairs) {
            return CountStore(WordTable::from_pairs({pairs.begin(), pairs.end()}));
        }, "pairs"_a, nb::call_guard<nb::gil_scoped_release>())
        .def_static("from_bytes", [](nb::bytes b) { return CountStore::from_bytes({b.c_str(), b.size()}); }, "data"_a)
        .def("to_bytes", [](const CountStore& t) { const std::string b = t.to_bytes(); return nb::bytes(b.data(), b.size()); })
        .def_static("load", [](const std::vector<std::string>& paths, std::uint64_t memory_limit, const std::string& tmp_dir,
                               nb::object merged) {
            const SpillSettings spill = spill_of(memory_limit, tmp_dir, std::move(merged));
            nb::gil_scoped_release nogil;
            return CountStore::load(paths, spill);
        }, "paths"_a, "memory_limit"_a = 0, "tmp_dir"_a = "", "merged"_a.none() = nb::none())
        .def("save", &CountStore::save, "path"_a, nb::call_guard<nb::gil_scoped_release>())
        .def("__len__", &CountStore::size)
        .def("get", &CountStore::find, "word"_a)
        .def("items", &CountStore::items, "start"_a, "stop"_a)
        .def("total", &CountStore::total)
        .def_prop_ro("source", [](const CountStore& t) { const CountSource& s = t.source(); return std::tuple(s.lines, s.bytes, s.invalid_lines); })
        .def_prop_ro("on_disk", &CountStore::on_disk)
        .def("sum", [](const CountStore& a, const CountStore& b, std::uint64_t memory_limit, const std::string& tmp_dir) {
            return CountStore::sum(a, b, SpillSettings{memory_limit, tmp_dir, {}});
        }, "other"_a, "memory_limit"_a = 0, "tmp_dir"_a = "", nb::call_guard<nb::gil_scoped_release>())
        .def("__eq__", [](const CountStore& a, const CountStore& b) { return a == b; });
    m.def("count_words", &count_files, "paths"_a, "mode"_a, "folding_rules"_a, "num_threads"_a, "progress"_a.none(),
          "memory_limit"_a = 0, "tmp_dir"_a = "", "merged"_a.none() = nb::none(), "strict"_a = false, "runs_of"_a.none() = nb::none());
    // Counts text handed over in blocks while the caller reads on.
    nb::class_<BlockCounter>(m, "Counter")
        .def("__init__", [](BlockCounter* self, const std::string& mode, const Normalizer::RulePairs& rules,
                            std::size_t threads, std::uint64_t memory_limit, const std::string& tmp_dir, bool strict,
                            std::vector<std::string> sources, nb::object merged, const PyTokenizer* runs_of) {
            CountOptions opt{spill_of(memory_limit, tmp_dir, std::move(merged)), strict, {}, {},
                             runs_of ? word_runs(runs_of->tok) : nullptr};
            new (self) BlockCounter(Normalizer(parse_fold_mode(mode), rules), threads, std::move(opt), std::move(sources));
        }, "mode"_a, "folding_rules"_a, "num_threads"_a, "memory_limit"_a, "tmp_dir"_a, "strict"_a, "sources"_a, "merged"_a.none(),
             "runs_of"_a.none() = nb::none())
        .def("add", [](BlockCounter& c, nb::bytes b, std::size_t source, std::uint64_t first_line) {
            std::string lines(b.c_str(), b.size());
            nb::gil_scoped_release nogil;
            return c.add(std::move(lines), source, first_line);
        }, "lines"_a, "source"_a, "first_line"_a)
        .def("add_texts", [](BlockCounter& c, std::vector<std::string> texts, std::size_t source, std::uint64_t first_line) {
            nb::gil_scoped_release nogil;
            return c.add_texts(std::move(texts), source, first_line);
        }, "texts"_a, "source"_a, "first_line"_a)
        .def("finish", [](BlockCounter& c) {
            CountReport report;
            CountStore counts = unlocked(true, [&](auto) { return c.finish(&report); });
            return nb::make_tuple(std::move(counts), report.invalid_lines);
        })
        .def("close", &BlockCounter::cancel, nb::call_guard<nb::gil_scoped_release>());
}

}  // namespace larkspur::engine

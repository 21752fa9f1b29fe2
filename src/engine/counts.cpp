// Word counts: the native store (larkspur.WordCounts wraps it) and the counting calls.

#include "engine/convert.hpp"

namespace larkspur::engine {

namespace {

using namespace nb::literals;

CountStore from_pairs(const std::vector<std::pair<std::string, std::uint64_t>>& pairs) {
    nb::gil_scoped_release nogil;
    return CountStore(WordTable::from_pairs({pairs.begin(), pairs.end()}));
}

// The limit, the directory, and a callback told the words merged (None: none).
SpillSettings spill_of(std::uint64_t memory_limit, const std::string& tmp_dir, nb::object merged = nb::none()) {
    SpillSettings s{memory_limit, tmp_dir, {}};
    if (BytesProgress p = bytes_progress(std::move(merged))) s.merge_progress = [p](std::uint64_t n) { p(n, 0); };
    return s;
}

CountStore count_files(const std::vector<std::string>& paths, const std::string& mode,
                       const Normalizer::RulePairs& rules, std::size_t threads, nb::object progress,
                       std::uint64_t memory_limit, const std::string& tmp_dir, nb::object merged) {
    const Normalizer normalizer(parse_mode(mode), rules);
    BytesProgress report = bytes_progress(std::move(progress));
    const SpillSettings spill = spill_of(memory_limit, tmp_dir, std::move(merged));
    return unlocked(true, [&](auto poll) { return count_word_texts(paths, normalizer, threads, report, spill, poll); });
}

CountStore count_texts(nb::handle texts, const std::string& mode, const Normalizer::RulePairs& rules) {
    const Normalizer normalizer(parse_mode(mode), rules);
    nb::object hold;
    const std::vector<std::string_view> views = views_of(texts, hold, "texts");
    nb::gil_scoped_release nogil;
    return CountStore(count_word_texts(views, normalizer));
}

}  // namespace

void bind_counts(nb::module_& m) {
    nb::class_<CountStore>(m, "WordTable")
        .def(nb::init<>())
        .def_static("from_pairs", &from_pairs, "pairs"_a)
        .def_static("from_bytes", [](nb::bytes b) { return CountStore::from_bytes({b.c_str(), b.size()}); }, "data"_a)
        .def("to_bytes", [](const CountStore& t) {
            const std::string b = t.to_bytes();
            return nb::bytes(b.data(), b.size());
        })
        .def_static("load", [](const std::vector<std::string>& paths, std::uint64_t memory_limit, const std::string& tmp_dir,
                               nb::object merged) {
            const SpillSettings spill = spill_of(memory_limit, tmp_dir, std::move(merged));
            nb::gil_scoped_release nogil;
            return CountStore::load(paths, spill);
        }, "paths"_a, "memory_limit"_a = 0, "tmp_dir"_a = "", "merged"_a.none() = nb::none())
        .def("save", [](const CountStore& t, const std::string& path) {
            nb::gil_scoped_release nogil;
            t.save(path);
        }, "path"_a)
        .def("__len__", &CountStore::size)
        .def("get", &CountStore::find, "word"_a)
        .def("items", &CountStore::items, "start"_a, "stop"_a)
        .def("total", &CountStore::total)
        .def_prop_ro("source", [](const CountStore& t) {
            return nb::make_tuple(t.source().lines, t.source().bytes, t.source().invalid_lines);
        })
        .def_prop_ro("on_disk", &CountStore::on_disk)
        .def("memory_bytes", &CountStore::memory_bytes)
        .def("sum", [](const CountStore& a, const CountStore& b, std::uint64_t memory_limit, const std::string& tmp_dir) {
            nb::gil_scoped_release nogil;
            return CountStore::sum(a, b, spill_of(memory_limit, tmp_dir));
        }, "other"_a, "memory_limit"_a = 0, "tmp_dir"_a = "")
        .def("__eq__", [](const CountStore& a, const CountStore& b) { return a == b; });
    m.def("count_words", &count_files, "paths"_a, "mode"_a, "folding_rules"_a, "num_threads"_a, "progress"_a.none(),
          "memory_limit"_a = 0, "tmp_dir"_a = "", "merged"_a.none() = nb::none());
    m.def("count_words_in_texts", &count_texts, "texts"_a, "mode"_a, "folding_rules"_a);
}

}  // namespace larkspur::engine

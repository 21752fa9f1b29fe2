// Word counts: the native table (larkspur.WordCounts wraps it) and the counting calls.
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include "engine/convert.hpp"

namespace larkspur::engine {

namespace {

using namespace nb::literals;

// Words [start, stop) as a list of str (clamped to the table).
nb::list words_of(const WordTable& t, std::size_t start, std::size_t stop) {
    stop = std::min(stop, t.size());
    start = std::min(start, stop);
    nb::list out = new_list(stop - start);
    for (std::size_t i = start; i < stop; ++i) {
        const std::string_view w = t.word(i);
        PyObject* s = PyUnicode_DecodeUTF8(w.data(), static_cast<Py_ssize_t>(w.size()), "strict");
        if (!s) throw nb::python_error();
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i - start), s);
    }
    return out;
}

nb::list counts_of(const WordTable& t, std::size_t start, std::size_t stop) {
    stop = std::min(stop, t.size());
    start = std::min(start, stop);
    nb::list out = new_list(stop - start);
    for (std::size_t i = start; i < stop; ++i) {
        PyObject* n = PyLong_FromUnsignedLongLong(t.count(i));
        if (!n) throw nb::python_error();
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i - start), n);
    }
    return out;
}

// A table from (word, count) pairs; the caller has checked the types.
WordTable from_pairs(nb::list pairs) {
    nb::object hold;
    std::vector<std::pair<std::string_view, std::uint64_t>> items;
    items.reserve(nb::len(pairs));
    for (nb::handle item : pairs) {
        nb::handle word = item[0];
        Py_ssize_t size;
        const char* p = PyUnicode_AsUTF8AndSize(word.ptr(), &size);
        if (!p) throw nb::python_error();
        items.emplace_back(std::string_view(p, static_cast<std::size_t>(size)), nb::cast<std::uint64_t>(item[1]));
    }
    // The views point into the strs of `pairs`, which the caller holds.
    nb::gil_scoped_release nogil;
    return WordTable::from_pairs(std::move(items));
}

nb::dict to_dict(const WordTable& t) {
    nb::dict d;
    for (std::size_t i = 0; i < t.size(); ++i) {
        const std::string_view w = t.word(i);
        d[nb::str(w.data(), w.size())] = t.count(i);
    }
    return d;
}

nb::dict source_of(const WordTable& t) {
    nb::dict d;
    d["lines"] = t.source.lines;
    d["bytes"] = t.source.bytes;
    d["invalid_lines"] = t.source.invalid_lines;
    return d;
}

WordTable count_files(const std::vector<std::string>& paths, const std::string& mode,
                      const Normalizer::RulePairs& rules, std::size_t threads, nb::object progress) {
    const Normalizer normalizer(parse_mode(mode), rules);
    BytesProgress report = bytes_progress(std::move(progress));
    nb::gil_scoped_release nogil;
    return count_word_texts(paths, normalizer, threads, report);
}

WordTable count_texts(nb::handle texts, const std::string& mode, const Normalizer::RulePairs& rules) {
    const Normalizer normalizer(parse_mode(mode), rules);
    nb::object hold;
    const std::vector<std::string_view> views = views_of(texts, hold, "texts");
    std::vector<std::string> copies(views.begin(), views.end());
    nb::gil_scoped_release nogil;
    return count_word_texts(copies, normalizer);
}

}  // namespace

void bind_counts(nb::module_& m) {
    nb::class_<WordTable>(m, "WordTable")
        .def(nb::init<>())
        .def_static("from_pairs", &from_pairs, "pairs"_a)
        .def_static("from_bytes", [](nb::bytes b) { return WordTable::from_bytes({b.c_str(), b.size()}); }, "data"_a)
        .def("to_bytes", [](const WordTable& t) {
            const std::string b = t.to_bytes();
            return nb::bytes(b.data(), b.size());
        })
        .def_static("load", [](const std::string& path) {
            nb::gil_scoped_release nogil;
            return WordTable::load(path);
        }, "path"_a)
        .def("save", [](const WordTable& t, const std::string& path) {
            nb::gil_scoped_release nogil;
            t.save(path);
        }, "path"_a)
        .def("__len__", &WordTable::size)
        .def("get", [](const WordTable& t, std::string_view w) { return t.find(w); }, "word"_a)
        .def("words", &words_of, "start"_a, "stop"_a)
        .def("counts", &counts_of, "start"_a, "stop"_a)
        .def("to_dict", &to_dict)
        .def("total", &WordTable::total)
        .def_prop_ro("source", &source_of)
        .def("memory_bytes", &WordTable::memory_bytes)
        .def("at_least", &WordTable::at_least, "min"_a)
        .def("__add__", [](const WordTable& a, const WordTable& b) {
            nb::gil_scoped_release nogil;
            return WordTable::sum(a, b);
        })
        .def("__eq__", [](const WordTable& a, const WordTable& b) { return a == b; });
    m.def("count_words", &count_files, "paths"_a, "mode"_a, "folding_rules"_a, "num_threads"_a, "progress"_a.none());
    m.def("count_words_in_texts", &count_texts, "texts"_a, "mode"_a, "folding_rules"_a);
}

}  // namespace larkspur::engine

#include "checkpoint/readers.hpp"

#include <algorithm>
#include <unordered_map>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/numbers.hpp"
#include "common/utf8.hpp"

namespace larkspur {

namespace {

// Reads every line of a required file; throws Io(error text) on open, read or UTF-8 failure.
template <class F>
void read_required(const std::string& path, std::size_t buffer, F&& on_line) {
    files::LineReader r;
    if (int err = r.open(path, buffer)) throw_io(os_error_text(err));
    const files::LinesEnd end = files::for_each_line(r, files::OnInvalidUtf8::Stop, on_line);
    if (end.kind == files::LinesEnd::Kind::ReadError) throw_io(os_error_text(end.error));
    if (end.kind == files::LinesEnd::Kind::InvalidUtf8) throw_io(kInvalidUtf8Text);
}

// Reads an optional file; stops quietly at the first failure.
template <class F>
void read_optional(const std::string& path, F&& on_line) {
    files::LineReader r;
    if (r.open(path, 8 * 1024)) return;
    files::for_each_line(r, files::OnInvalidUtf8::Stop, on_line);
}

}  // namespace

CheckpointMeta load_meta(const std::string& step_dir) {
    std::unordered_map<std::string, std::string> kv;
    read_required(files::join(step_dir, "meta.tsv"), 8 * 1024, [&](std::string_view line) {
        if (line.empty() || line.front() == '#') return;
        std::size_t tab = line.find('\t');
        if (tab == std::string_view::npos) return;
        kv[std::string(line.substr(0, tab))] = std::string(line.substr(tab + 1));
    });
    CheckpointMeta m;
    auto text = [&](const char* key) {
        auto it = kv.find(key);
        return it == kv.end() ? std::string() : it->second;
    };
    auto num = [&](const char* key) -> std::uint64_t {
        std::uint64_t v;
        auto it = kv.find(key);
        return it != kv.end() && parse_u64(it->second, v) ? v : 0;
    };
    m.version = text("version");
    m.mode = text("mode");
    m.phase = text("phase") == "LAT" ? Phase::LAT : Phase::DEV;
    m.theta = num("theta");
    m.dev_budget = num("dev_budget");
    m.total_budget = num("total_budget");
    m.merges_done = num("merges_done");
    m.vocab_len = num("vocab_len");
    m.word_types = num("word_types");
    m.seed_max_len = num("seed_max_len");
    m.use_probabilistic_k = num("use_probabilistic_k") == 1 && kv.count("use_probabilistic_k");
    m.root_set_cap = num("root_set_cap");
    m.corpus_fingerprint = num("corpus_fingerprint");
    m.paradigm_fingerprint = num("paradigm_fingerprint");
    return m;
}

std::unordered_map<std::size_t, double> load_num_map(const std::string& path) {
    std::unordered_map<std::size_t, double> out;
    read_optional(path, [&](std::string_view line) {
        std::size_t tab = line.find('\t');
        if (tab == std::string_view::npos) return;
        std::uint64_t k;
        double v;
        if (!parse_u64(line.substr(0, tab), k) || !parse_float(line.substr(tab + 1), v)) return;
        out[static_cast<std::size_t>(k)] = v;
    });
    return out;
}

Lexicon load_lexicon(const std::string& path) {
    Lexicon out;
    read_optional(path, [&](std::string_view line) {
        std::size_t tab = line.find('\t');
        if (tab == std::string_view::npos) return;
        std::uint64_t root;
        if (!parse_u64(line.substr(tab + 1), root)) return;
        out[ckpt_unescape(line.substr(0, tab))] = static_cast<RootId>(root);
    });
    return out;
}

std::vector<std::pair<std::uint64_t, std::vector<TokenId>>> load_corpus_rows(const std::string& path) {
    std::vector<std::pair<std::uint64_t, std::vector<TokenId>>> rows;
    read_required(path, 1 << 20, [&](std::string_view line) {
        std::size_t tab = line.find('\t');
        std::string_view count_field = line.substr(0, tab);
        std::uint64_t count;
        if (count_field.empty() || !parse_u64(count_field, count)) return;
        std::string_view rest = tab == std::string_view::npos ? std::string_view() : line.substr(tab + 1);
        std::vector<TokenId> ids;
        split_u64_list(rest, ids);
        if (ids.empty()) return;
        rows.emplace_back(count, std::move(ids));
    });
    return rows;
}

std::vector<CkptRow> load_vocab_rows(const std::string& path) {
    std::vector<CkptRow> rows;
    CkptRow row;
    read_required(path, 8 * 1024, [&](std::string_view line) {
        if (parse_vocab_row(line, row)) rows.push_back(row);
    });
    return rows;
}

std::vector<std::string> step_dirs(const std::string& dir) {
    std::vector<std::string> names;
    if (files::list_dir(dir, names)) return {};
    std::vector<std::string> kept;
    for (auto& n : names) {
        if (n.size() < 5 || n.compare(0, 5, "step_") != 0 || !utf8::is_valid(n)) continue;
        if (!files::is_dir(files::join(dir, n))) continue;
        kept.push_back(std::move(n));
    }
    std::sort(kept.begin(), kept.end());
    for (auto& n : kept) n = files::join(dir, n);
    return kept;
}

namespace {

// A LATEST entry must stay inside the checkpoint directory: relative, and without any
// ".." component.
bool stays_inside(std::string_view name) {
    if (!name.empty() && name.front() == '/') return false;
    std::size_t from = 0;
    for (;;) {
        std::size_t slash = name.find('/', from);
        std::string_view part = name.substr(from, slash == std::string_view::npos ? std::string_view::npos : slash - from);
        if (part == "..") return false;
        if (slash == std::string_view::npos) return true;
        from = slash + 1;
    }
}

}  // namespace

std::optional<std::string> resolve_latest(const std::string& dir) {
    std::string latest;
    if (files::read_file(files::join(dir, "LATEST"), latest) == 0 && utf8::is_valid(latest)) {
        std::string_view name = utf8::trim_white_space(latest);
        if (stays_inside(name)) {
            std::string path = name.empty() ? (dir.empty() || dir.back() == '/' ? dir : dir + "/")
                                             : files::join(dir, std::string(name));
            if (files::exists(files::join(path, "COMPLETE"))) return path;
        }
    }
    auto steps = step_dirs(dir);
    for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
        if (files::exists(files::join(*it, "COMPLETE"))) return *it;
    }
    return std::nullopt;
}

}  // namespace larkspur

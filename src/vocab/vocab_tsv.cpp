#include "vocab/vocab_tsv.hpp"

#include <optional>

#include "common/errors.hpp"
#include "common/escape.hpp"
#include "common/numbers.hpp"
#include "common/files.hpp"
#include "common/report.hpp"
#include "common/utf8.hpp"

namespace larkspur {

std::string escape_tsv(std::string_view s) { return escape_field(s, EscapeCr::No); }
std::string unescape_tsv(std::string_view s) { return unescape_field(s, EscapeCr::No); }

void save_vocab_tsv(const Vocabulary& vocab, FoldMode mode, const std::string& path, bool name_path) {
    files::FileWriter w;
    if (int err = w.create(path, 8 * 1024)) {
        if (name_path) throw_os(path, err);
        throw_io("create " + path + ": " + os_error_text(err));
    }
    w.write("# tamsil-v4 mode=");
    w.write(fold_mode_name(mode));
    w.put('\n');
    for (TokenId id = 0; id < vocab.size(); ++id) {
        w.write(std::to_string(id));
        w.put('\t');
        w.write(escape_tsv(vocab.surface(id)));
        w.put('\n');
    }
    if (int err = w.finish()) {
        if (name_path) throw_os(path, err);
        throw_io("write: " + os_error_text(err));
    }
}

std::vector<std::pair<std::size_t, std::string>> read_vocab_tsv(const std::string& path,
                                                                FoldMode mode,
                                                                bool allow_mode_mismatch,
                                                                LineSink& lines) {
    files::LineReader reader;
    if (int err = reader.open(path, 8 * 1024)) {
        throw_io("open " + path + ": " + os_error_text(err));
    }
    std::optional<FoldMode> header;
    std::vector<std::pair<std::size_t, std::string>> pairs;
    const files::LinesEnd end = files::for_each_line(reader, files::OnInvalidUtf8::Stop, [&](std::string_view line) {
        if (line.empty()) return;
        if (line.front() == '#') {
            std::string_view rest = line.substr(1);
            std::size_t at = rest.find("mode=");
            if (at != std::string_view::npos) header = fold_mode_from_tag(rest.substr(at + 5));
            return;
        }
        std::size_t tab = line.find('\t');
        std::string_view id_field = line.substr(0, tab);
        std::string_view surface = tab == std::string_view::npos ? std::string_view() : line.substr(tab + 1);
        std::uint64_t id;
        if (!parse_u64(id_field, id)) return;
        pairs.emplace_back(static_cast<std::size_t>(id), unescape_tsv(surface));
    });
    if (end.kind == files::LinesEnd::Kind::ReadError) throw_io("read: " + os_error_text(end.error));
    if (end.kind == files::LinesEnd::Kind::InvalidUtf8) throw_io(std::string("read: ") + kInvalidUtf8Text);
    if (!header) {
        report(lines, "[load] warning: %s has no mode header; assuming mode=%s\n",
                     path.c_str(), fold_mode_name(mode));
    } else if (*header != mode && !allow_mode_mismatch) {
        throw_value(std::string("folding-mode mismatch: vocab was built with mode=") +
                    fold_mode_name(*header) + " but this tokenizer is mode=" +
                    fold_mode_name(mode) +
                    ". Modes are a build-time fork \xE2\x80\x94 one tokenizer, one vocabulary, "
                    "one model per mode. Rebuild, or pass allow_mode_mismatch=True if you know "
                    "what you are doing.");
    }
    return pairs;
}

std::vector<std::string> read_vocab_surfaces(const std::string& path, FoldMode mode) {
    struct Warned final : LineSink {
        bool any = false;
        void write_line(std::string_view) noexcept override { any = true; }
    } warned;
    std::vector<std::pair<std::size_t, std::string>> pairs = read_vocab_tsv(path, mode, false, warned);
    if (warned.any) throw_value("has no mode header");
    std::vector<std::string> surfaces;
    surfaces.reserve(pairs.size());
    for (auto& [id, s] : pairs) {
        if (id != surfaces.size()) throw_value("ids must run from 0 without gaps");
        surfaces.push_back(std::move(s));
    }
    return surfaces;
}

}  // namespace larkspur

#include "vocab/vocab_tsv.hpp"

#include <limits>
#include <optional>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/report.hpp"
#include "common/utf8.hpp"

namespace larkspur {

std::string escape_tsv(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string unescape_tsv(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c != '\\' || i + 1 == s.size()) {
            out += c;
            continue;
        }
        char n = s[++i];
        if (n == 't') {
            out += '\t';
        } else if (n == 'n') {
            out += '\n';
        } else if (n == '\\') {
            out += '\\';
        } else {
            out += '\\';
            out += n;
        }
    }
    return out;
}

bool parse_unsigned(std::string_view s, std::uint64_t& out) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return false;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        auto d = static_cast<std::uint64_t>(c - '0');
        if (v > (std::numeric_limits<std::uint64_t>::max() - d) / 10) return false;
        v = v * 10 + d;
    }
    out = v;
    return true;
}

void save_vocab_tsv(const Vocabulary& vocab, FoldMode mode, const std::string& path) {
    files::FileWriter w;
    if (int err = w.create(path, 8 * 1024)) {
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
    if (int err = w.finish()) throw_io("write: " + os_error_text(err));
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
    std::string_view line;
    for (;;) {
        auto st = reader.next(line);
        if (st == files::LineReader::Status::Eof) break;
        if (st == files::LineReader::Status::Error) {
            throw_io("read: " + os_error_text(reader.error()));
        }
        if (!utf8::is_valid(line)) throw_io(std::string("read: ") + kInvalidUtf8Text);
        if (line.empty()) continue;
        if (line.front() == '#') {
            std::string_view rest = line.substr(1);
            std::size_t at = rest.find("mode=");
            if (at != std::string_view::npos) header = fold_mode_from_tag(rest.substr(at + 5));
            continue;
        }
        std::size_t tab = line.find('\t');
        std::string_view id_field = line.substr(0, tab);
        std::string_view surface = tab == std::string_view::npos ? std::string_view() : line.substr(tab + 1);
        std::uint64_t id;
        if (!parse_unsigned(id_field, id)) continue;
        pairs.emplace_back(static_cast<std::size_t>(id), unescape_tsv(surface));
    }
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

}  // namespace larkspur

#include "text/harvest.hpp"

#include <algorithm>
#include <unordered_map>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/utf8.hpp"

namespace larkspur {

std::vector<std::string> harvest_aksharas(const std::string& path, std::uint64_t min_freq,
                                          const Normalizer& normalizer, const AksharaDFA& dfa) {
    files::LineReader reader;
    if (int err = reader.open(path, 1 << 20)) {
        throw_io("open " + path + ": " + os_error_text(err));
    }
    std::unordered_map<std::string, std::uint64_t, StringHash, std::equal_to<>> counts;
    NormalizeScratch scratch;
    std::string_view line;
    for (;;) {
        auto st = reader.next(line);
        if (st == files::LineReader::Status::Eof) break;
        if (st == files::LineReader::Status::Error) {
            throw_io("read: " + os_error_text(reader.error()));
        }
        if (!utf8::is_valid(line)) continue;
        std::string_view text = normalizer.normalize_view(line, scratch);
        for_each_devanagari_run(text, [&](std::size_t b, std::size_t e) {
            std::string_view run = text.substr(b, e - b);
            dfa.segment(run, [&](std::size_t ab, std::size_t ae) {
                std::string_view ak = run.substr(ab, ae - ab);
                auto it = counts.find(ak);
                if (it != counts.end()) {
                    ++it->second;
                } else {
                    counts.emplace(std::string(ak), 1);
                }
            });
        });
    }
    std::vector<std::pair<std::uint64_t, const std::string*>> kept;
    kept.reserve(counts.size());
    for (const auto& [text, count] : counts) {
        if (count >= min_freq) kept.emplace_back(count, &text);
    }
    std::sort(kept.begin(), kept.end(), [](const auto& x, const auto& y) {
        if (x.first != y.first) return x.first > y.first;
        return *x.second < *y.second;  // std::string compares bytes as unsigned char
    });
    std::vector<std::string> out;
    out.reserve(kept.size());
    for (const auto& k : kept) out.push_back(*k.second);
    return out;
}

}  // namespace larkspur

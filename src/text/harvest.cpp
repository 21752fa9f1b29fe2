#include "text/harvest.hpp"

#include <algorithm>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/string_counter.hpp"
#include "common/utf8.hpp"

namespace larkspur {

std::vector<std::string> sorted_inventory(const StringCounter& aksharas, std::uint64_t min_freq) {
    std::vector<std::pair<std::uint64_t, std::string_view>> kept;
    for (const auto& e : aksharas.entries()) {
        if (e.count >= min_freq) kept.emplace_back(e.count, aksharas.key(e));
    }
    std::sort(kept.begin(), kept.end(), [](const auto& x, const auto& y) {
        if (x.first != y.first) return x.first > y.first;
        return x.second < y.second;  // string_view compares bytes as unsigned char
    });
    std::vector<std::string> out;
    out.reserve(kept.size());
    for (const auto& k : kept) out.emplace_back(k.second);
    return out;
}

std::vector<std::string> harvest_aksharas(const std::string& path, std::uint64_t min_freq,
                                          const Normalizer& normalizer, const AksharaDFA& dfa) {
    files::LineReader reader;
    if (int err = reader.open(path, 1 << 20)) {
        throw_io("open " + path + ": " + os_error_text(err));
    }
    // Words repeat, so whole Devanagari runs are counted first and each distinct run is
    // segmented once, its aksharas counted with the run's count. The run table is flushed
    // whenever it reaches a fixed size, which keeps memory independent of the file's length.
    constexpr std::size_t kRunTableLimit = 1 << 16;
    StringCounter runs, aksharas;
    auto flush = [&] {
        for (const auto& e : runs.entries()) {
            std::string_view run = runs.key(e);
            dfa.segment(run, [&](std::size_t b, std::size_t end) { aksharas.add(run.substr(b, end - b), e.count); });
        }
        runs.clear();
    };
    NormalizeScratch scratch;
    struct Run {
        std::size_t begin, end;
        std::uint64_t hash;
    };
    std::vector<Run> line_runs;
    const files::LinesEnd end = files::for_each_line(reader, files::OnInvalidUtf8::Skip, [&](std::string_view line) {
        normalizer.normalize_pieces(line, scratch, [&](std::string_view text) {
            // Find the piece's runs and start loading their slots before counting them,
            // so the lookups wait on memory together.
            line_runs.clear();
            for_each_devanagari_run(text, [&](std::size_t b, std::size_t e) {
                std::uint64_t h = hash_bytes(text.substr(b, e - b));
                runs.prefetch(h);
                line_runs.push_back(Run{b, e, h});
            });
            for (const Run& r : line_runs) {
                runs.add_hashed(text.substr(r.begin, r.end - r.begin), r.hash);
                if (runs.size() >= kRunTableLimit) flush();
            }
        });
    });
    if (end.kind == files::LinesEnd::Kind::ReadError) throw_io("read: " + os_error_text(end.error));
    flush();
    return sorted_inventory(aksharas, min_freq);
}

}  // namespace larkspur


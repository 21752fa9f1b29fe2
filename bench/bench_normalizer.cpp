// Throughput of the normalizer N against bare ICU, on the Hindi development text.
//
// Build (Release) and run:
//   cmake -S . -B build/bench -G Ninja -DLARKSPUR_MODULE=OFF -DLARKSPUR_BENCH=ON \
//         -DCMAKE_BUILD_TYPE=Release && cmake --build build/bench
//   build/bench/bench_normalizer [corpus-dir] [--reps N]
//   build/bench/bench_normalizer --time-lines FILE [--reps N]
//
// The second form is a helper for bench_harvest.py: it runs N (LM, no rules) over the
// valid UTF-8 lines of FILE as they are, one call per line, exactly as the harvest does,
// and prints one machine-readable line "lines=.. bytes=.. best_seconds=..".
//
// The text is hi-dev.txt put into NFC first (so the ICU figures are those of text that is
// already composed, the common case). Each figure is the best of several passes, per line
// (one call per line, lines without their line feed) and over the whole text in one call.
// The raw file, not in NFC, is measured as well.
//
// The corpus is read from ../shared/corpus relative to the project (the project root is
// found from this source file's path), or from the directory given as first argument.

#include <sys/utsname.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <unicode/normalizer2.h>
#include <unicode/stringpiece.h>

#include "text/normalizer.hpp"

namespace fs = std::filesystem;
using larkspur::FoldMode;
using larkspur::Normalizer;
using larkspur::NormalizeScratch;

namespace {

volatile std::size_t g_sink = 0;  // keeps results alive so no pass is optimised away

std::string first_line_of(const std::string& cmd) {
    std::string out;
    if (FILE* p = popen((cmd + " 2>/dev/null").c_str(), "r")) {
        char buf[512];
        if (fgets(buf, sizeof buf, p)) out = buf;
        pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out.empty() ? "?" : out;
}

std::string cpu_model() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            auto c = line.find(':');
            if (c != std::string::npos) {
                std::string m = line.substr(c + 1);
                m.erase(0, m.find_first_not_of(" \t"));
                return m;
            }
        }
    }
    return "?";
}

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

void print_header(const fs::path& root) {
    std::string commit = first_line_of("git -C " + quoted(root) + " rev-parse --short HEAD");
    std::string dirty = first_line_of("git -C " + quoted(root) + " status --porcelain --untracked-files=no | head -1");
    if (dirty != "?") commit += " (+ uncommitted changes)";
    fs::path venv_py = root / ".venv" / "bin" / "python";
    std::string py = first_line_of((fs::exists(venv_py) ? quoted(venv_py) : std::string("python3")) + " -V");
    utsname u{};
    uname(&u);
    std::cout << "== bench_normalizer: normalizer N vs ICU NFC (C++ core)\n"
              << "commit    " << commit << "\n"
              << "compiler  " << first_line_of("g++ --version | head -1") << " (this binary: "
#if defined(__clang__)
              << "clang "
#else
              << "gcc "
#endif
              << __VERSION__ << ")\n"
              << "python    " << py << "\n"
              << "machine   " << u.machine << " | " << cpu_model() << " | "
              << std::thread::hardware_concurrency() << " cores\n\n";
}

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t nl = text.find('\n', from);
        if (nl == std::string_view::npos) nl = text.size();
        lines.push_back(text.substr(from, nl - from));
        from = nl + 1;
    }
    return lines;
}

// The same 200 rules, in the same order, as folding_rules_200() in _common.py:
//  - 37 + 37: consonant (U+0915..U+0939) + a South-Indian vowel sign (short E U+0946,
//    short O U+094A) -> consonant + the Hindi sign (U+0947, U+094B); very rare in Hindi;
//  - 37 + 37: consonant + a Vedic accent (udatta U+0951, anudatta U+0952) -> consonant;
//  - 26: Cyrillic and Greek look-alikes of Latin letters -> the Latin letter;
//  - 26: punctuation and space variants (full-width forms, typographic quotes, primes,
//    no-break and thin spaces, minus sign, doubled en dash, doubled full stop) -> ASCII.
// Most lines match none of them; the typographic quotes and ".." do occur now and then.
Normalizer::RulePairs folding_rules_200() {
    auto utf8 = [](char32_t cp) {
        std::string s;
        if (cp < 0x80) {
            s += static_cast<char>(cp);
        } else if (cp < 0x800) {
            s += static_cast<char>(0xC0 | (cp >> 6));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            s += static_cast<char>(0xE0 | (cp >> 12));
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            s += static_cast<char>(0xF0 | (cp >> 18));
            s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        }
        return s;
    };
    Normalizer::RulePairs rules;
    const std::pair<char32_t, char32_t> signs[] = {{0x0946, 0x0947}, {0x094A, 0x094B}};
    for (auto [from, to] : signs)
        for (char32_t c = 0x0915; c <= 0x0939; ++c) rules.emplace_back(utf8(c) + utf8(from), utf8(c) + utf8(to));
    for (char32_t accent : {char32_t{0x0951}, char32_t{0x0952}})
        for (char32_t c = 0x0915; c <= 0x0939; ++c) rules.emplace_back(utf8(c) + utf8(accent), utf8(c));
    const std::pair<char32_t, char> lookalikes[] = {
        {0x0430, 'a'}, {0x0435, 'e'}, {0x043E, 'o'}, {0x0440, 'p'}, {0x0441, 'c'}, {0x0443, 'y'},
        {0x0445, 'x'}, {0x0410, 'A'}, {0x0412, 'B'}, {0x0415, 'E'}, {0x041A, 'K'}, {0x041C, 'M'},
        {0x041D, 'H'}, {0x041E, 'O'}, {0x0420, 'P'}, {0x0421, 'C'}, {0x0422, 'T'}, {0x0425, 'X'},
        {0x0391, 'A'}, {0x0392, 'B'}, {0x0395, 'E'}, {0x039A, 'K'}, {0x039C, 'M'}, {0x039D, 'N'},
        {0x039F, 'O'}, {0x03A1, 'P'},
    };
    for (auto [from, to] : lookalikes) rules.emplace_back(utf8(from), std::string(1, to));
    const std::pair<char32_t, const char*> punct[] = {
        {0xFF08, "("},  {0xFF09, ")"},  {0xFF0C, ","},  {0xFF0E, "."},  {0xFF1A, ":"},
        {0xFF1B, ";"},  {0xFF01, "!"},  {0xFF1F, "?"},  {0xFF02, "\""}, {0xFF07, "'"},
        {0xFF3B, "["},  {0xFF3D, "]"},  {0xFF0D, "-"},  {0xFF0F, "/"},  {0x2018, "'"},
        {0x2019, "'"},  {0x201C, "\""}, {0x201D, "\""}, {0x2032, "'"},  {0x2033, "\""},
        {0x00A0, " "},  {0x2009, " "},  {0x202F, " "},  {0x2212, "-"},
    };
    for (auto [from, to] : punct) rules.emplace_back(utf8(from), to);
    rules.emplace_back(utf8(0x2013) + utf8(0x2013), utf8(0x2014));
    rules.emplace_back("..", ".");
    return rules;
}

struct Timing {
    double seconds;
    int passes;
};

// Best of at least `min_reps` passes, continuing up to `max_reps` while under `budget_s`.
Timing best_of(const std::function<std::size_t()>& pass, int min_reps, int max_reps, double budget_s) {
    using clock = std::chrono::steady_clock;
    double best = 1e300;
    auto start = clock::now();
    int n = 0;
    for (; n < max_reps; ++n) {
        auto t0 = clock::now();
        g_sink = g_sink + pass();
        double dt = std::chrono::duration<double>(clock::now() - t0).count();
        best = std::min(best, dt);
        if (n + 1 >= min_reps && std::chrono::duration<double>(clock::now() - start).count() > budget_s) {
            ++n;
            break;
        }
    }
    return {best, n};
}

struct Row {
    std::string name;
    std::string unit;  // "per line" or "whole"
    std::size_t bytes;
    Timing t;
};

void print_rows(const std::vector<Row>& rows) {
    std::printf("%-44s %-9s %10s %10s %8s %7s\n", "operation", "calls", "MB", "ms (best)", "GB/s", "passes");
    std::printf("%s\n", std::string(93, '-').c_str());
    for (const Row& r : rows) {
        std::printf("%-44s %-9s %10.2f %10.3f %8.3f %7d\n", r.name.c_str(), r.unit.c_str(), r.bytes / 1e6,
                    r.t.seconds * 1e3, r.bytes / r.t.seconds / 1e9, r.t.passes);
    }
    std::printf("\n");
}

}  // namespace

// One line of output for bench_harvest.py: the normalization share of a file scan.
int time_lines(const fs::path& file, int min_reps, int max_reps, double budget) {
    if (!fs::is_regular_file(file)) {
        std::fprintf(stderr, "no such file: %s\n", file.c_str());
        return 2;
    }
    const std::string raw = read_file(file);
    const auto lines = split_lines(raw);
    std::size_t bytes = 0;
    for (auto l : lines) bytes += l.size();
    const Normalizer plain(FoldMode::LM, {});
    NormalizeScratch scratch;
    Timing t = best_of(
        [&] {
            std::size_t acc = 0;
            for (auto l : lines) acc += plain.normalize_view(l, scratch).size();
            return acc;
        },
        min_reps, max_reps, budget);
    std::printf("lines=%zu bytes=%zu best_seconds=%.9f passes=%d\n", lines.size(), bytes, t.seconds, t.passes);
    return 0;
}

int main(int argc, char** argv) {
    fs::path src = fs::path(__FILE__);
    fs::path root = src.is_absolute() ? src.parent_path().parent_path() : fs::current_path();
    fs::path corpus = (root / ".." / "shared" / "corpus").lexically_normal();
    int min_reps = 5, max_reps = 30;
    double budget = 1.5;
    fs::path time_file;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--reps" && i + 1 < argc) {
            min_reps = max_reps = std::max(1, std::atoi(argv[++i]));
            budget = 0;
        } else if (a == "--time-lines" && i + 1 < argc) {
            time_file = argv[++i];
        } else if (a == "-h" || a == "--help") {
            std::printf("usage: %s [corpus-dir] [--reps N]\n       %s --time-lines FILE [--reps N]\n", argv[0],
                        argv[0]);
            return 0;
        } else {
            corpus = a;
        }
    }
    if (!time_file.empty()) return time_lines(time_file, min_reps, max_reps, budget);
    fs::path hi = corpus / "hi-dev.txt";
    if (!fs::is_regular_file(hi)) {
        std::fprintf(stderr,
                     "corpus file missing: %s\nThe benchmark reads the development corpus from "
                     "../shared/corpus relative to the project, or from the directory given as argument.\n",
                     hi.c_str());
        return 2;
    }

    print_header(root);

    const std::string raw = read_file(hi);
    std::string text;
    Normalizer::nfc(raw, text);
    const auto lines = split_lines(text);
    const auto raw_lines = split_lines(raw);
    std::size_t line_bytes = 0, raw_line_bytes = 0, raw_not_nfc = 0;
    for (auto l : lines) line_bytes += l.size();
    for (auto l : raw_lines) {
        raw_line_bytes += l.size();
        raw_not_nfc += Normalizer::is_nfc(l) ? 0 : 1;
    }

    const Normalizer plain(FoldMode::LM, {});
    const auto rule_pairs = folding_rules_200();
    const Normalizer ruled(FoldMode::LM, rule_pairs);

    std::size_t matched_lines = 0;
    {
        NormalizeScratch s1, s2;
        for (auto l : lines) {
            std::string a(plain.normalize_view(l, s1));
            if (ruled.normalize_view(l, s2) != a) ++matched_lines;
        }
    }
    std::printf("text      hi-dev.txt: %.2f MB, %zu lines; raw file has %zu lines not in NFC\n",
                raw.size() / 1e6, lines.size(), raw_not_nfc);
    std::printf("rules     %zu folding rules; they change %zu of %zu lines (%.2f%%)\n\n", rule_pairs.size(),
                matched_lines, lines.size(), 100.0 * matched_lines / std::max<std::size_t>(1, lines.size()));

    auto per_line = [&](const std::vector<std::string_view>& ls, auto&& f) {
        return [&ls, f]() {
            std::size_t acc = 0;
            for (auto l : ls) acc += f(l);
            return acc;
        };
    };

    std::string out;
    NormalizeScratch scratch;
    // Bare ICU: its own check (quick check plus the full check where that says "maybe").
    const icu::Normalizer2* icu_nfc2 = [] {
        UErrorCode ec = U_ZERO_ERROR;
        return icu::Normalizer2::getNFCInstance(ec);
    }();
    auto icu_check = [icu_nfc2](std::string_view l) -> std::size_t {
        UErrorCode ec = U_ZERO_ERROR;
        return icu_nfc2->isNormalizedUTF8(icu::StringPiece(l.data(), static_cast<int32_t>(l.size())), ec) ? 1 : 0;
    };
    auto our_check = [](std::string_view l) -> std::size_t { return Normalizer::is_nfc(l) ? 1 : 0; };
    auto icu_nfc = [&out](std::string_view l) -> std::size_t {
        Normalizer::nfc(l, out);
        return out.size();
    };
    auto ours = [&scratch](const Normalizer& n) {
        return [&scratch, &n](std::string_view l) -> std::size_t { return n.normalize_view(l, scratch).size(); };
    };

    std::vector<Row> rows;
    auto run = [&](const std::string& name, const std::vector<std::string_view>& ls, std::size_t lbytes,
                   std::string_view whole, auto f) {
        rows.push_back({name, "per line", lbytes, best_of(per_line(ls, f), min_reps, max_reps, budget)});
        rows.push_back({name, "whole", whole.size(), best_of([&] { return f(whole); }, min_reps, max_reps, budget)});
    };

    run("ICU isNormalizedUTF8", lines, line_bytes, text, icu_check);
    run("ours: composition check (is_nfc)", lines, line_bytes, text, our_check);
    run("ICU NFC (Normalizer::nfc)", lines, line_bytes, text, icu_nfc);
    run("ours: N, LM, no rules", lines, line_bytes, text, ours(plain));
    run("ours: N, LM, 200 rules", lines, line_bytes, text, ours(ruled));
    run("raw file: ICU NFC", raw_lines, raw_line_bytes, raw, icu_nfc);
    run("raw file: ours, no rules", raw_lines, raw_line_bytes, raw, ours(plain));
    run("raw file: ours, 200 rules", raw_lines, raw_line_bytes, raw, ours(ruled));

    std::printf("Throughput (hi-dev.txt in NFC unless marked raw; best of the passes)\n");
    print_rows(rows);

    auto find = [&](const std::string& name, const std::string& unit) -> const Row& {
        for (const Row& r : rows)
            if (r.name == name && r.unit == unit) return r;
        std::abort();
    };
    auto gbs = [](const Row& r) { return r.bytes / r.t.seconds / 1e9; };
    std::printf("Ratios (>1 means ours is faster; for rules, time with 200 rules / time without)\n");
    std::printf("%-52s %10s %10s\n", "comparison", "per line", "whole");
    std::printf("%s\n", std::string(74, '-').c_str());
    for (const char* peer : {"ICU NFC (Normalizer::nfc)", "ICU isNormalizedUTF8"}) {
        std::string label = std::string("ours (no rules) vs ") + peer;
        std::printf("%-52s %10.2f %10.2f\n", label.c_str(),
                    gbs(find("ours: N, LM, no rules", "per line")) / gbs(find(peer, "per line")),
                    gbs(find("ours: N, LM, no rules", "whole")) / gbs(find(peer, "whole")));
    }
    std::printf("%-52s %10.2f %10.2f\n", "raw file: ours (no rules) vs ICU NFC",
                gbs(find("raw file: ours, no rules", "per line")) / gbs(find("raw file: ICU NFC", "per line")),
                gbs(find("raw file: ours, no rules", "whole")) / gbs(find("raw file: ICU NFC", "whole")));
    std::printf("%-52s %10.2f %10.2f\n", "200 rules / no rules (time)",
                find("ours: N, LM, 200 rules", "per line").t.seconds / find("ours: N, LM, no rules", "per line").t.seconds,
                find("ours: N, LM, 200 rules", "whole").t.seconds / find("ours: N, LM, no rules", "whole").t.seconds);
    std::printf("%-52s %10.2f %10.2f\n", "raw file: 200 rules / no rules (time)",
                find("raw file: ours, 200 rules", "per line").t.seconds /
                    find("raw file: ours, no rules", "per line").t.seconds,
                find("raw file: ours, 200 rules", "whole").t.seconds / find("raw file: ours, no rules", "whole").t.seconds);
    std::printf("\n");
    return g_sink == 0xFFFFFFFFu ? 1 : 0;
}

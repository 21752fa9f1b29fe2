#include "checkpoint/format.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <locale.h>

#include "common/utf8.hpp"
#include "common/escape.hpp"
#include "common/numbers.hpp"

namespace larkspur {

std::string ckpt_escape(std::string_view s) { return escape_field(s, EscapeCr::Yes); }
std::string ckpt_unescape(std::string_view s) { return unescape_field(s, EscapeCr::Yes); }

std::string format_float(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
    std::string out;
    if (sci.front() == '-') {
        out += '-';
        sci.remove_prefix(1);
    }
    std::size_t e = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e)) {
        if (c != '.') digits += c;
    }
    int exp = std::stoi(std::string(sci.substr(e + 1)));
    // The value is 0.d1d2... x 10^point.
    long point = static_cast<long>(exp) + 1;
    auto ndigits = static_cast<long>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= ndigits) {
        out += digits;
        out.append(static_cast<std::size_t>(point - ndigits), '0');
    } else {
        out += digits.substr(0, static_cast<std::size_t>(point));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(point));
    }
    return out;
}

bool parse_float(std::string_view s, double& out) {
    bool neg = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        neg = s.front() == '-';
        s.remove_prefix(1);
    }
    auto lower_eq = [](std::string_view a, std::string_view b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            char c = a[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (c != b[i]) return false;
        }
        return true;
    };
    if (lower_eq(s, "inf") || lower_eq(s, "infinity")) {
        out = neg ? -HUGE_VAL : HUGE_VAL;
        return true;
    }
    if (lower_eq(s, "nan")) {
        out = neg ? -std::nan("") : std::nan("");
        return true;
    }
    // digits [. digits] [e [sign] digits], with at least one mantissa digit.
    std::size_t i = 0, mant = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++mant;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++mant;
    }
    if (mant == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        std::size_t d = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++d;
        if (d == 0) return false;
    }
    if (i != s.size()) return false;
    // strtod_l in the C locale: exact rounding, infinity on overflow and zero on underflow,
    // whatever locale the host process has set.
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    std::string text(s);
    double v = strtod_l(text.c_str(), nullptr, c_locale);
    out = neg ? -v : v;
    return true;
}

std::string step_dir_name(std::uint64_t merges_done) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "step_%012llu", static_cast<unsigned long long>(merges_done));
    return buf;
}

namespace {

std::string join_ids(const std::vector<std::size_t>& ids) {
    std::string s;
    append_u64_list(s, ids);
    return s;
}

std::vector<std::size_t> split_ids(std::string_view s) {
    std::vector<std::size_t> out;
    split_u64_list(s, out);
    return out;
}

}  // namespace

std::string format_vocab_row(const CkptRow& r) {
    std::string line = std::to_string(r.id);
    line += '\t';
    line += r.kind;
    line += '\t';
    line += script_letter(r.script);
    line += '\t';
    line += std::to_string(r.flags);
    line += '\t';
    line += r.payload;
    line += '\t';
    line += r.root_set.empty() ? std::string("-") : join_ids(r.root_set);
    line += '\t';
    line += r.induced_count ? format_float(*r.induced_count) : std::string("-");
    line += '\t';
    line += ckpt_escape(r.surface);
    return line;
}

bool parse_vocab_row(std::string_view line, CkptRow& r) {
    std::string_view f[8];
    std::size_t from = 0;
    for (int k = 0; k < 8; ++k) {
        std::size_t tab = line.find('\t', from);
        if (tab == std::string_view::npos) {
            if (k < 7) return false;
            f[k] = line.substr(from);
        } else {
            f[k] = line.substr(from, tab - from);
            from = tab + 1;
        }
    }
    std::uint64_t v;
    r.id = parse_u64(f[0], v) ? static_cast<std::size_t>(v) : 0;
    r.kind = f[1].empty() ? 'O' : f[1].front();
    r.script = f[2].empty() ? Script::MAL : script_of_letter(f[2].front());
    r.flags = parse_u64(f[3], v) && v <= 255 ? static_cast<std::uint8_t>(v) : 0;
    r.payload = std::string(f[4]);
    r.root_set = f[5] == "-" ? std::vector<RootId>{} : split_ids(f[5]);
    double d;
    if (f[6] == "-" || !parse_float(f[6], d)) {
        r.induced_count.reset();
    } else {
        r.induced_count = d;
    }
    r.surface = ckpt_unescape(f[7]);
    return true;
}

}  // namespace larkspur

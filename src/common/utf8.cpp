#include "common/utf8.hpp"

#include <cstring>

namespace larkspur::utf8 {

namespace {

// Bounds of the second byte for each lead byte; the later bytes are always 80..BF.
struct LeadInfo {
    unsigned char len, lo, hi;
};

inline LeadInfo lead_info(unsigned char b) {
    if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
    if (b == 0xE0) return {3, 0xA0, 0xBF};
    if (b >= 0xE1 && b <= 0xEC) return {3, 0x80, 0xBF};
    if (b == 0xED) return {3, 0x80, 0x9F};
    if (b >= 0xEE && b <= 0xEF) return {3, 0x80, 0xBF};
    if (b == 0xF0) return {4, 0x90, 0xBF};
    if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
    if (b == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

// Length of the valid sequence at s[i], or 0 when invalid; `consumed` is the length of
// the maximal subpart that a lossy decoder replaces by one U+FFFD.
inline std::size_t check_seq(const unsigned char* s, std::size_t n, std::size_t i,
                             std::size_t& consumed) {
    LeadInfo li = lead_info(s[i]);
    if (li.len == 0) {
        consumed = 1;
        return 0;
    }
    std::size_t k = 1;
    for (; k < li.len; ++k) {
        if (i + k >= n) break;
        unsigned char c = s[i + k];
        unsigned char lo = k == 1 ? li.lo : 0x80, hi = k == 1 ? li.hi : 0xBF;
        if (c < lo || c > hi) break;
    }
    consumed = k;
    return k == li.len ? k : 0;
}

}  // namespace

bool is_valid(std::string_view sv) {
    auto s = reinterpret_cast<const unsigned char*>(sv.data());
    const std::size_t n = sv.size();
    std::size_t i = 0;
    while (i < n) {
        // ASCII fast path, eight bytes at a time.
        if (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, s + i, 8);
            if (!(w & 0x8080808080808080ULL)) {
                i += 8;
                continue;
            }
        }
        unsigned char b = s[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        // Three-byte sequences (all of Devanagari) first: E1..EC and EE..EF take any
        // continuation bytes; E0 and ED restrict the second byte.
        if ((b & 0xF0) == 0xE0) {
            if (i + 2 >= n) return false;
            unsigned char c1 = s[i + 1], c2 = s[i + 2];
            if ((c2 & 0xC0) != 0x80) return false;
            if (b == 0xE0 ? (c1 < 0xA0 || c1 > 0xBF) : b == 0xED ? (c1 < 0x80 || c1 > 0x9F) : (c1 & 0xC0) != 0x80)
                return false;
            i += 3;
            continue;
        }
        std::size_t consumed;
        std::size_t len = check_seq(s, n, i, consumed);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::string_view trim_white_space(std::string_view s) {
    while (!s.empty()) {
        std::size_t i = 0;
        if (!is_white_space(next(s, i))) break;
        s.remove_prefix(i);
    }
    while (!s.empty()) {
        std::size_t start = s.size() - 1;
        while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
        std::size_t i = start;
        if (!is_white_space(next(s, i))) break;
        s.remove_suffix(s.size() - start);
    }
    return s;
}

void append(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void append_lossy(std::string& out, std::string_view bytes) {
    auto s = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t n = bytes.size(), i = 0;
    while (i < n) {
        if (s[i] < 0x80) {
            out.push_back(static_cast<char>(s[i++]));
            continue;
        }
        std::size_t consumed;
        std::size_t len = check_seq(s, n, i, consumed);
        if (len) {
            out.append(bytes.data() + i, len);
            i += len;
        } else {
            out.append("\xEF\xBF\xBD");
            i += consumed;
        }
    }
}

}  // namespace larkspur::utf8

// Segmentation never loses or invents text: the aksharas of any text, under the default
// grammar or an automaton built from the input itself, join back to the text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/utf8.hpp"
#include "text/akshara_dfa.hpp"

using namespace larkspur;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) return 0;
    std::string_view in(reinterpret_cast<const char*>(data), size);
    // The first bytes, while they last, describe extra transitions: state, char, next, flag.
    AksharaDFA dfa = AksharaDFA::devanagari_default();
    std::size_t i = 0;
    if (size > 0 && (data[0] & 1)) dfa.clear();
    for (int t = 0; t < (size > 1 ? data[1] % 8 : 0) && i + 6 <= size; ++t, i += 6) {
        char32_t ch = 0x0900 + (data[i + 3] % 0x90);
        if (data[i + 4] & 1) ch = 'a' + data[i + 4] % 26;
        dfa.add_transition(data[i + 2] % 10, ch, data[i + 5] % 10, data[i + 4] & 2);
    }
    std::string_view text = in.substr(std::min(i, size));
    if (!utf8::is_valid(text)) return 0;
    std::string joined;
    for (const auto& a : dfa.tokenize(text)) {
        if (a.empty()) std::abort();
        joined += a;
    }
    if (joined != text) std::abort();
    return 0;
}

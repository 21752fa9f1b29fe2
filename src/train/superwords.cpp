#include "train/superwords.hpp"

#include <atomic>
#include <string>
#include <unordered_map>

#include "common/errors.hpp"
#include "common/flat_map.hpp"
#include "common/markers.hpp"
#include "common/utf8.hpp"
#include "train/plain_bpe.hpp"

namespace larkspur {

namespace {

constexpr std::string_view kDanda = "\xE0\xA5\xA4", kDoubleDanda = "\xE0\xA5\xA5";

// Each cutter has a number of its own, so that a thread's cache of word tokens never
// answers for another tokenizer (an address may be reused; a number is not).
std::atomic<std::uint64_t> next_cutter{1};

struct TokenCache {
    std::uint64_t owner = 0;
    std::unordered_map<std::string, std::uint32_t, StringHash, std::equal_to<>> tokens;  // kNone: not one token
};
constexpr std::uint32_t kNone = 0xFFFFFFFFu;
constexpr std::size_t kCacheWords = std::size_t{1} << 18;

// Calls emit(begin, end, ids) for each run of `text` (see superwords.hpp): [begin, end) its
// bytes, ids its words' tokens.
template <class Token, class Emit>
void for_each_run(std::string_view text, Token&& token, Emit&& emit) {
    std::vector<TokenId> ids;
    std::size_t begin = 0, end = 0;
    bool latin = false, closed = true;
    auto flush = [&] {
        if (ids.size() >= 2) emit(begin, end, ids);
        ids.clear();
        closed = true;
    };
    utf8::for_each_word(text, [&](std::size_t s, std::size_t e, bool) {
        const std::string_view word = text.substr(s, e - s);
        const std::optional<TokenId> id = token(word);
        if (!id) {
            flush();
            return;
        }
        const bool is_latin = utf8::is_ascii_alnum(static_cast<unsigned char>(word[0]));
        const bool joins = !closed && s == end + 1 && text[end] == ' ' && is_latin == latin && ids.size() < kMaxRunWords;
        if (!joins) {
            flush();
            begin = s;
        }
        ids.push_back(*id);
        end = e;
        latin = is_latin;
        closed = false;
        if (ends_sentence(word)) flush();
    });
    flush();
}

}  // namespace

bool ends_sentence(std::string_view word) {
    if (word.empty()) return false;
    const char c = word.back();
    return c == '.' || c == '?' || c == '!' || word.ends_with(kDanda) || word.ends_with(kDoubleDanda);
}

std::optional<TokenId> SuperwordRuns::word_token(std::string_view word) const {
    thread_local TokenCache cache;
    thread_local EncodeScratch scratch;
    thread_local std::vector<std::uint32_t> ids;
    if (cache.owner != serial_ || cache.tokens.size() >= kCacheWords) {
        cache.tokens.clear();
        cache.owner = serial_;
    }
    auto it = cache.tokens.find(word);
    if (it == cache.tokens.end()) {
        ids.clear();
        encode_normalized(ctx_, word, ids, scratch);
        it = cache.tokens.emplace(std::string(word), ids.size() == 1 ? ids[0] : kNone).first;
    }
    if (it->second == kNone) return std::nullopt;
    // A word that opens with punctuation and reads as Latin (Latin joins) is not joined: a
    // superword's markers must each stand before the character that decides their kind.
    if (!word.empty() && !utf8::is_ascii_alnum(static_cast<unsigned char>(word[0])) &&
        ctx_.vocab.surface(it->second).starts_with(markers::kLatin)) {
        return std::nullopt;
    }
    return it->second;
}

SuperwordRuns::SuperwordRuns(EncodeContext ctx) : ctx_(ctx), serial_(next_cutter.fetch_add(1)) {}

void SuperwordRuns::cut(std::string_view text, const std::function<void(std::string_view)>& add) const {
    for_each_run(
        text, [&](std::string_view w) { return word_token(w); },
        [&](std::size_t b, std::size_t e, const std::vector<TokenId>&) { add(text.substr(b, e - b)); });
}

std::vector<SuperwordMerge> train_superwords(const WordTable& runs, const SuperwordRuns& cutter,
                                             std::size_t vocab_size, std::size_t merges, std::size_t max_words,
                                             const std::function<bool()>& interrupted) {
    if (vocab_size + merges >= kNone) throw_value("vocabulary too large for superwords");
    PlainBpe bpe;
    std::vector<std::uint32_t> seq;
    for (std::size_t r = 0; r < runs.size(); ++r) {
        if ((r & 0xFFFF) == 0xFFFF && interrupted && interrupted()) throw Interrupted();
        const std::uint64_t count = runs.count(r);
        for_each_run(
            runs.word(r), [&](std::string_view w) { return cutter.word_token(w); },
            [&](std::size_t, std::size_t, const std::vector<TokenId>& ids) {
                seq.assign(ids.begin(), ids.end());
                bpe.add(seq, count);
            });
    }
    // How many words each unit holds: one for a word's token, the sum for a merge.
    std::vector<std::uint8_t> words_of(vocab_size, 1);
    std::vector<SuperwordMerge> out;
    bpe.run(
        merges, static_cast<std::uint32_t>(vocab_size), 2,
        [&](std::uint32_t a, std::uint32_t b) { return std::size_t{words_of[a]} + words_of[b] <= max_words; },
        [&](std::uint32_t a, std::uint32_t b, std::uint32_t) {
            out.push_back({a, b});
            words_of.push_back(static_cast<std::uint8_t>(words_of[a] + words_of[b]));
        },
        [](const PlainBpe::Merge&) {},
        interrupted);
    return out;
}

}  // namespace larkspur

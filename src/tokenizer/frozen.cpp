#include "tokenizer/frozen.hpp"

#include "common/errors.hpp"
#include "common/ordered_blocks.hpp"
#include "common/utf8.hpp"
#include "encode/word_cache.hpp"

namespace larkspur {

namespace {

// Texts per block of a batch: enough to make a block worth a hand-over, few enough that
// the calling thread's conversion overlaps the encoding.
constexpr std::size_t kBlock = 256;

}  // namespace

// One thread's working buffers, and the word cache the threads of a batch share.
struct FrozenTokenizer::Buffers {
    NormalizeScratch norm;
    EncodeScratch enc;
    WordCache* cache = nullptr;
    std::size_t worker = 0;
};

FrozenTokenizer::FrozenTokenizer(std::shared_ptr<const Tokenizer> tok, std::vector<std::string> specials)
    : tok_(std::move(tok)), index_(tok_->surface_index()) {
    for (const auto& t : specials) {
        if (tok_->find(t)) throw_value("special token " + t + " is already a token of the vocabulary");
    }
    specials_ = SpecialTokens(std::move(specials), tok_->vocab_size());
}

FrozenTokenizer FrozenTokenizer::with_special_tokens(const std::vector<std::string>& more) const {
    std::vector<std::string> all = specials_.texts();
    all.insert(all.end(), more.begin(), more.end());
    return FrozenTokenizer(tok_, std::move(all));
}

void FrozenTokenizer::check_id(std::uint64_t id) const {
    const std::size_t n = size();
    if (id >= n) {
        throw_value("id " + std::to_string(id) + " is not in the vocabulary (ids run from 0 to " +
                    std::to_string(n == 0 ? 0 : n - 1) + ")");
    }
}

void FrozenTokenizer::check_allowed(std::span<const std::size_t> allowed) const {
    for (std::size_t id : allowed) {
        if (!specials_.is_special(id)) throw_value("id " + std::to_string(id) + " is not a special token");
    }
}

std::string FrozenTokenizer::token_text(std::uint64_t id) const {
    check_id(id);
    if (specials_.is_special(id)) return specials_.text(id);
    return tok_->surface(static_cast<TokenId>(id));
}

std::optional<std::size_t> FrozenTokenizer::token_id(std::string_view text) const {
    if (auto id = specials_.id_of(text)) return id;
    if (auto id = tok_->find(text)) return *id;
    return std::nullopt;
}

void FrozenTokenizer::encode_piece(std::string_view piece, std::vector<std::uint32_t>& out, Buffers& b) const {
    encode_normalized(tok_->encode_context(*index_), tok_->normalize(piece, b.norm), out, b.enc, b.cache, b.worker);
}

void FrozenTokenizer::encode_with(std::string_view text, std::span<const std::size_t> allowed,
                                  std::vector<std::uint32_t>& out, std::vector<Span>* spans, Buffers& b) const {
    if (allowed.empty() && !spans) {
        if (!text.empty()) encode_piece(text, out, b);
        return;
    }
    std::size_t chars_before = 0, bytes_before = 0;  // characters before the piece
    for (const SpecialTokens::Piece& p : specials_.split(text, allowed)) {
        const std::string_view piece = text.substr(p.begin, p.end - p.begin);
        if (spans) {
            chars_before += utf8::count_chars(text.substr(bytes_before, p.begin - bytes_before));
            bytes_before = p.begin;
        }
        if (p.special) {
            out.push_back(static_cast<std::uint32_t>(*p.special));
            if (spans) spans->emplace_back(chars_before, chars_before + utf8::count_chars(piece));
            continue;
        }
        if (!spans) {
            encode_piece(piece, out, b);
            continue;
        }
        const std::string_view normalized = tok_->normalize(piece, b.norm);
        std::vector<std::uint32_t> ids;
        encode_normalized(tok_->encode_context(*index_), normalized, ids, b.enc);
        for (const Span& s : token_char_spans(*index_, tok_->normalizer(), piece, normalized, ids,
                                              scheme().whitespace_tokens)) {
            spans->emplace_back(s.first + chars_before, s.second + chars_before);
        }
        out.insert(out.end(), ids.begin(), ids.end());
    }
}

void FrozenTokenizer::encode(std::string_view text, std::span<const std::size_t> allowed,
                             std::vector<std::uint32_t>& out, std::vector<Span>* spans) const {
    check_allowed(allowed);
    Buffers b;
    encode_with(text, allowed, out, spans, b);
}

std::vector<std::string> FrozenTokenizer::tokenize(std::string_view text, std::span<const std::size_t> allowed) const {
    std::vector<std::uint32_t> ids;
    encode(text, allowed, ids);
    std::vector<std::string> out;
    out.reserve(ids.size());
    for (std::uint32_t id : ids) out.push_back(token_text(id));
    return out;
}

std::string FrozenTokenizer::decode(std::span<const std::uint64_t> ids, bool skip_special) const {
    std::string out;
    std::vector<TokenId> run;
    const bool ws = scheme().whitespace_tokens;
    for (std::uint64_t id : ids) {
        check_id(id);
        if (!specials_.is_special(id)) {
            run.push_back(static_cast<TokenId>(id));
            continue;
        }
        if (!run.empty()) {
            out += larkspur::decode(*index_, run, ws);
            run.clear();
        }
        if (!skip_special) out += specials_.text(id);
    }
    if (!run.empty()) out += larkspur::decode(*index_, run, ws);
    return out;
}

void FrozenTokenizer::encode_batch(std::span<const std::string_view> texts, std::span<const std::size_t> allowed,
                                   std::size_t threads, const IdBlock& consume, const Interrupt& interrupted) const {
    check_allowed(allowed);
    const std::size_t n = texts.size();
    threads = std::min(resolve_threads(threads), std::max<std::size_t>((n + kBlock - 1) / kBlock, 1));
    // The threads share one word cache: with one each, every thread would encode every
    // word type once.
    std::size_t total = 0;
    for (std::string_view t : texts) total += t.size();
    std::optional<WordCache> cache;
    if (total >= WordCache::kWorthFrom) cache.emplace(total, threads);
    std::vector<Buffers> buffers(threads);
    for (std::size_t w = 0; w < threads; ++w) {
        buffers[w].cache = cache ? &*cache : nullptr;
        buffers[w].worker = w;
    }
    std::vector<std::vector<std::uint32_t>> all(n);
    run_ordered_blocks(
        n, kBlock, threads,
        [&](std::size_t first, std::size_t last, std::size_t w) {
            for (std::size_t i = first; i < last; ++i) encode_with(texts[i], allowed, all[i], nullptr, buffers[w]);
        },
        [&](std::size_t first, std::size_t last) {
            consume(first, last, all);
            for (std::size_t i = first; i < last; ++i) std::vector<std::uint32_t>().swap(all[i]);
        },
        interrupted);
}

FrozenTokenizer::IdArray FrozenTokenizer::encode_to_array(std::span<const std::string_view> texts,
                                                          std::span<const std::size_t> allowed,
                                                          std::optional<std::size_t> eos, std::size_t threads,
                                                          const Interrupt& interrupted) const {
    if (eos) check_id(*eos);
    IdArray out;
    out.is_narrow = size() <= 65536;
    out.offsets.assign(1, 0);
    out.offsets.reserve(texts.size() + 1);
    auto append = [&](auto& dst, const std::vector<std::uint32_t>& ids) {
        using T = typename std::remove_reference_t<decltype(dst)>::value_type;
        dst.insert(dst.end(), ids.begin(), ids.end());  // every id fits T: checked above
        if (eos) dst.push_back(static_cast<T>(*eos));
    };
    encode_batch(
        texts, allowed, threads,
        [&](std::size_t first, std::size_t last, std::vector<std::vector<std::uint32_t>>& ids) {
            for (std::size_t i = first; i < last; ++i) {
                if (out.is_narrow) {
                    append(out.narrow, ids[i]);
                } else {
                    append(out.wide, ids[i]);
                }
                out.offsets.push_back(static_cast<std::int64_t>(out.is_narrow ? out.narrow.size() : out.wide.size()));
            }
        },
        interrupted);
    return out;
}

void FrozenTokenizer::decode_batch(std::span<const std::vector<std::uint64_t>> batch, bool skip_special,
                                   std::size_t threads, const TextBlock& consume, const Interrupt& interrupted) const {
    std::vector<std::string> out(batch.size());
    run_ordered_blocks(
        batch.size(), kBlock, threads,
        [&](std::size_t first, std::size_t last, std::size_t) {
            for (std::size_t i = first; i < last; ++i) out[i] = decode(batch[i], skip_special);
        },
        [&](std::size_t first, std::size_t last) {
            consume(first, last, out);
            for (std::size_t i = first; i < last; ++i) std::string().swap(out[i]);
        },
        interrupted);
}

CorpusStats FrozenTokenizer::stats(std::span<const std::string_view> texts, std::size_t threads,
                                   const Interrupt& interrupted) const {
    threads = resolve_threads(threads);
    std::vector<CorpusStats> per_worker(threads);
    std::vector<Buffers> buffers(threads);
    const EncodeContext ctx = tok_->encode_context(*index_);
    run_ordered_blocks(
        texts.size(), kBlock, threads,
        [&](std::size_t first, std::size_t last, std::size_t w) {
            std::vector<std::uint32_t> ids;
            for (std::size_t i = first; i < last; ++i) {
                ids.clear();
                const std::string_view n = tok_->normalize(texts[i], buffers[w].norm);
                encode_normalized(ctx, n, ids, buffers[w].enc);
                add_text_stats(per_worker[w], ctx, n, ids);
            }
        },
        [](std::size_t, std::size_t) {}, interrupted);
    CorpusStats st;
    for (const CorpusStats& s : per_worker) add_counts(st, s);
    finish_stats(st, tok_->vocab());
    return st;
}

}  // namespace larkspur

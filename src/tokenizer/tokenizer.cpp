#include "tokenizer/tokenizer.hpp"

#include <optional>

#include "common/errors.hpp"
#include "common/markers.hpp"
#include "common/utf8.hpp"
#include "encode/word_cache.hpp"
#include "text/harvest.hpp"
#include "vocab/extra_tokens.hpp"
#include "vocab/vocab_tsv.hpp"

namespace larkspur {

Tokenizer::Tokenizer(FoldMode mode, const Normalizer::RulePairs& folding_rules,
                     const Normalizer::RulePairs& minimal_folding_rules)
    : normalizer_(mode, mode == FoldMode::LM ? folding_rules : minimal_folding_rules),
      dfa_(AksharaDFA::devanagari_default()),
      byte_symbols_(ByteSymbols::standard()) {}

std::shared_ptr<const SurfaceIndex> Tokenizer::surface_index() const {
    std::lock_guard<std::mutex> lock(index_mu_);
    if (!index_ || index_->generation() != m_.vocab.generation() || index_->latin_joins() != options_.latin_joins) {
        index_ = std::make_shared<const SurfaceIndex>(m_.vocab, byte_symbols_, options_.latin_joins);
    }
    return index_;
}

std::vector<std::string> Tokenizer::harvest_aksharas(const std::string& path, std::uint64_t min_freq) const {
    return larkspur::harvest_aksharas(path, min_freq, normalizer_, dfa_);
}

const std::string& Tokenizer::surface(TokenId id) const {
    if (id >= m_.vocab.size()) throw_value("Invalid token ID");
    return m_.vocab.surface(id);
}

std::size_t Tokenizer::initialize_vocab(const SeedLists& lists) {
    m_.seed_max_len = larkspur::initialize_vocab(m_.vocab, lists, byte_symbols_);
    return m_.vocab.size();
}

std::size_t Tokenizer::load_vocab(std::vector<std::pair<std::size_t, std::string>> pairs) {
    m_.seed_max_len = larkspur::load_vocab(m_.vocab, std::move(pairs), byte_symbols_);
    return m_.vocab.size();
}

std::size_t Tokenizer::load_vocab_tsv(const std::string& path, bool allow_mode_mismatch) {
    return load_vocab(read_vocab_tsv(path, normalizer_.mode(), allow_mode_mismatch, *lines_));
}

void Tokenizer::save_vocab_tsv(const std::string& path) const {
    larkspur::save_vocab_tsv(m_.vocab, normalizer_.mode(), path);
}

bool Tokenizer::set_token_weight(std::string_view surface, double weight) {
    auto id = m_.vocab.find(surface);
    if (id) m_.token_weights[*id] = weight;
    return id.has_value();
}

std::vector<RootId> Tokenizer::root_set(std::string_view surface) const {
    if (auto id = m_.vocab.find(surface)) return m_.vocab.root_set(*id);
    return {};
}

std::size_t Tokenizer::build_paradigm_embedding(bool seed_ambiguous_by_prior) {
    std::size_t count = 0;
    paradigm_ids_ =
        larkspur::build_paradigm_embedding(m_.vocab, m_.lexicon, m_.root_prior, seed_ambiguous_by_prior, count);
    return count;
}

std::vector<std::int64_t> Tokenizer::paradigm_embedding_ids() const {
    std::vector<std::int64_t> u(m_.vocab.size(), -1);
    for (TokenId t = 0; t < m_.vocab.size() && t < paradigm_ids_.size(); ++t) {
        if (paradigm_ids_[t]) u[t] = static_cast<std::int64_t>(*paradigm_ids_[t]);
    }
    return u;
}

// ---- encoding ---------------------------------------------------------------------------

std::vector<TokenId> Tokenizer::encode(std::string_view text) const {
    auto index = surface_index();
    NormalizeScratch scratch;
    std::vector<TokenId> ids;
    encode_normalized(encode_context(*index), normalizer_.normalize_view(text, scratch), ids);
    return ids;
}

namespace {

// The last space of `text` after which at least `chars` characters follow, or npos.
std::size_t last_space_with_lookahead(std::string_view text, std::size_t chars) {
    std::size_t lim = text.size(), counted = 0;
    while (lim > 0 && counted < chars) {
        --lim;
        counted += (static_cast<unsigned char>(text[lim]) & 0xC0) != 0x80;
    }
    if (counted < chars || lim == 0) return std::string_view::npos;
    return text.rfind(' ', lim - 1);
}

}  // namespace

void Tokenizer::encode_stream(const TextPieces& next_piece, const IdBatches& emit) const {
    constexpr std::size_t kSegment = 1 << 16;
    auto index = surface_index();
    const EncodeContext ctx = encode_context(*index);
    std::string raw, normalized;
    NormalizeScratch scratch;
    std::vector<TokenId> ids;
    // Long texts repeat their words: from the second segment (or a first one of some
    // length) on, words are remembered. A short text is encoded without the cache, which
    // would cost more to set up than it saves.
    std::optional<WordCache> cache;
    bool first = true, more = true;
    while (more) {
        more = next_piece(raw);
        if (more && (raw.size() < kSegment || !normalizer_.splits_at_spaces())) continue;
        // Normalize up to the last space of the raw text (all of it at the end).
        std::size_t cut = raw.size();
        if (more) {
            cut = raw.rfind(' ');
            if (cut == std::string::npos || cut == 0) continue;
        }
        normalized += normalizer_.normalize_view(std::string_view(raw).substr(0, cut), scratch);
        raw.erase(0, cut);
        // Encode up to a space that leaves the abbreviation step its lookahead.
        std::size_t stop = normalized.size();
        if (more) {
            stop = last_space_with_lookahead(normalized, m_.seed_max_len + 2);
            if (stop == std::string::npos || stop == 0) continue;
        }
        ids.clear();
        if (!cache && (more || stop >= WordCache::kWorthFrom)) cache.emplace(more ? 0 : stop);
        encode_segment(ctx, normalized, stop, first, ids, cache ? &*cache : nullptr);
        first = false;
        normalized.erase(0, stop);
        if (!ids.empty()) emit(ids);
    }
}

std::string Tokenizer::decode(std::span<const TokenId> ids) const {
    return larkspur::decode(*surface_index(), ids, options_.whitespace_tokens);
}

std::vector<std::string> Tokenizer::tokenize_to_strings(std::string_view text) const {
    std::vector<std::string> out;
    for (TokenId id : encode(text)) {
        if (id < m_.vocab.size()) out.push_back(m_.vocab.surface(id));
    }
    return out;
}

bool Tokenizer::verify_roundtrip(std::string_view s) const {
    auto index = surface_index();
    return larkspur::verify_roundtrip(normalizer_, encode_context(*index), s);
}

CorpusStats Tokenizer::corpus_stats(const std::vector<std::string>& texts) const {
    auto index = surface_index();
    return larkspur::corpus_stats(normalizer_, encode_context(*index), texts);
}

// ---- training -----------------------------------------------------------------------------

TrainingDriver Tokenizer::driver() { return TrainingDriver(m_, normalizer_.mode(), *lines_, checkpoint_sink_); }

std::size_t Tokenizer::train_bpe(const std::vector<std::vector<TokenId>>& sequences, std::size_t vocab_budget,
                                 std::uint64_t theta) {
    return driver().train_bpe(sequences, vocab_budget, theta);
}

std::size_t Tokenizer::train_from_text(const std::vector<std::string>& texts, std::size_t vocab_budget,
                                       std::uint64_t theta) {
    auto index = surface_index();
    return driver().train_from_text(normalizer_, encode_context(*index), texts, vocab_budget, theta);
}

std::size_t Tokenizer::train_from_file(const std::string& path, std::size_t vocab_budget, std::uint64_t theta,
                                       const FileTrainOptions& opt) {
    auto index = surface_index();
    return driver().train_from_file(normalizer_, encode_context(*index), path, vocab_budget, theta, opt);
}

std::size_t Tokenizer::train_latin_from_file(const std::string& path, std::size_t lat_budget,
                                             const FileTrainOptions& opt) {
    auto index = surface_index();
    return driver().train_latin_from_file(normalizer_, encode_context(*index), path, lat_budget, opt);
}

std::size_t Tokenizer::train_bilingual_from_file(const std::string& path, std::size_t dev_budget,
                                                 std::size_t lat_budget, std::uint64_t theta,
                                                 const FileTrainOptions& opt) {
    auto index = surface_index();
    return driver().train_bilingual_from_file(normalizer_, encode_context(*index), path, dev_budget, lat_budget,
                                              theta, opt);
}

std::size_t Tokenizer::resume_from_checkpoint(const std::string& dir, const ResumeOptions& opt) {
    TrainingDriver d = driver();
    return larkspur::resume_from_checkpoint(d, m_, normalizer_.mode(), dir, opt, *lines_);
}

// ---- for the companion package ---------------------------------------------------------

std::size_t Tokenizer::add_fallback_tokens(const std::vector<std::string>& symbols) {
    return larkspur::add_fallback_tokens(m_.vocab, options_.codepoint_fallback, options_.whitespace_tokens, symbols);
}

std::size_t Tokenizer::prune_merges(std::span<const std::uint64_t> use, std::size_t drop) {
    const std::size_t n = m_.vocab.size();
    const std::vector<std::optional<TokenId>> renumbered = larkspur::prune_merges(m_.vocab, use, drop);
    TokenWeights weights;
    weights.reserve(m_.token_weights.size());
    for (const auto& [id, w] : m_.token_weights) {
        if (id < n && renumbered[id]) weights[*renumbered[id]] = w;
    }
    m_.token_weights = std::move(weights);
    paradigm_ids_.clear();
    return m_.vocab.size();
}

void Tokenizer::import_tokens(std::vector<TokenRow> rows, std::size_t seed_max_len) {
    import_token_rows(m_.vocab, std::move(rows));
    m_.seed_max_len = seed_max_len;
}

std::size_t Tokenizer::train_from_word_texts(const WordTable& words, std::size_t dev_budget, std::size_t lat_budget,
                                             std::uint64_t theta, const FileTrainOptions& opt) {
    auto index = surface_index();
    return driver().train_from_word_texts(encode_context(*index), words, dev_budget, lat_budget, theta, opt);
}

}  // namespace larkspur

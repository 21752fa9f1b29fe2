// A tokenizer once built: a Tokenizer that no call changes any more, with its special
// tokens. Training, resuming and loading make one (tokenizer/build.hpp); afterwards every
// operation is const, so any number of threads share it without a lock.
//
// Special tokens take the ids after the trained vocabulary. Text never turns into a
// special token unless the caller allows that special; the text between allowed specials
// is encoded piece by piece, each piece as a text of its own (with its own leading word
// marker), so that decoding gives every piece back. An empty text has no tokens at all,
// not even the word marker a text starts with.
//
// Batches run on the ordered-block scheduler (common/ordered_blocks.hpp): the results
// come to the caller block by block in input order, identical for any thread count.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "encode/offsets.hpp"
#include "encode/stats.hpp"
#include "tokenizer/specials.hpp"
#include "tokenizer/tokenizer.hpp"

namespace larkspur {

class FrozenTokenizer {
   public:
    // Takes the built tokenizer; `specials` get the ids from its vocabulary size on.
    // ValueError for a special that is already a token of the vocabulary.
    FrozenTokenizer(std::shared_ptr<const Tokenizer> tok, std::vector<std::string> specials);

    const Tokenizer& base() const { return *tok_; }
    FoldMode mode() const { return tok_->fold_mode(); }
    const Scheme& scheme() const { return tok_->scheme(); }
    // Trained ids, then every id with the specials.
    std::size_t base_size() const { return tok_->vocab_size(); }
    std::size_t size() const { return tok_->vocab_size() + specials_.size(); }
    const SpecialTokens& specials() const { return specials_; }
    // The same tokenizer with `more` specials after the ones it has (ValueError for one
    // that is a token or a special already).
    FrozenTokenizer with_special_tokens(const std::vector<std::string>& more) const;

    // ValueError "id {} is not in the vocabulary (ids run from 0 to {})".
    void check_id(std::uint64_t id) const;
    // ValueError "id {} is not a special token" for an allowed id that is none.
    void check_allowed(std::span<const std::size_t> allowed) const;

    // The surface of a trained id or the text of a special.
    std::string token_text(std::uint64_t id) const;
    std::optional<std::size_t> token_id(std::string_view text) const;

    // The ids of `text` (after N), the specials named in `allowed` recognised in it; with
    // `spans`, each id's [start, end) in characters of `text` as given.
    void encode(std::string_view text, std::span<const std::size_t> allowed, std::vector<std::uint32_t>& out,
                std::vector<Span>* spans = nullptr) const;
    std::pair<std::vector<std::uint32_t>, std::vector<Span>> encode_with_spans(
        std::string_view text, std::span<const std::size_t> allowed) const {
        std::pair<std::vector<std::uint32_t>, std::vector<Span>> out;
        encode(text, allowed, out.first, &out.second);
        return out;
    }
    std::vector<std::string> tokenize(std::string_view text, std::span<const std::size_t> allowed) const;
    // Runs of trained ids decode together; specials give their text, or nothing with
    // `skip_special`. ValueError for an id outside the vocabulary.
    std::string decode(std::span<const std::uint64_t> ids, bool skip_special) const;

    // Encodes texts in blocks on `threads` threads (0: every core) and calls
    // consume(first, last, ids) on the calling thread for each block in order, ids[i] being
    // the ids of texts[i] (the vectors may be taken). `interrupted` is asked while the call
    // waits (see ordered_blocks.hpp).
    using Interrupt = std::function<bool()>;
    using IdBlock = std::function<void(std::size_t first, std::size_t last, std::vector<std::vector<std::uint32_t>>& ids)>;
    void encode_batch(std::span<const std::string_view> texts, std::span<const std::size_t> allowed,
                      std::size_t threads, const IdBlock& consume, const Interrupt& interrupted) const;

    // Every text's ids end to end, each followed by `eos` when given, and where each text
    // starts: text i is ids[offsets[i]:offsets[i + 1]]. 16-bit ids when every id fits.
    struct IdArray {
        std::vector<std::uint16_t> narrow;
        std::vector<std::uint32_t> wide;
        bool is_narrow = true;
        std::vector<std::int64_t> offsets;
    };
    IdArray encode_to_array(std::span<const std::string_view> texts, std::span<const std::size_t> allowed,
                            std::optional<std::size_t> eos, std::size_t threads, const Interrupt& interrupted) const;

    using TextBlock = std::function<void(std::size_t first, std::size_t last, std::vector<std::string>& texts)>;
    void decode_batch(std::span<const std::vector<std::uint64_t>> batch, bool skip_special, std::size_t threads,
                      const TextBlock& consume, const Interrupt& interrupted) const;

    // Counts over texts (see encode/stats.hpp), encoded on `threads` threads.
    CorpusStats stats(std::span<const std::string_view> texts, std::size_t threads, const Interrupt& interrupted) const;

    // The trained vocabulary as the bundle's columns.
    TokenColumns export_columns() const { return to_columns(tok_->export_tokens()); }

   private:
    // Encodes one piece of plain text with the caller's buffers.
    struct Buffers;
    void encode_piece(std::string_view piece, std::vector<std::uint32_t>& out, Buffers& b) const;
    void encode_with(std::string_view text, std::span<const std::size_t> allowed, std::vector<std::uint32_t>& out,
                     std::vector<Span>* spans, Buffers& b) const;

    std::shared_ptr<const Tokenizer> tok_;
    std::shared_ptr<const SurfaceIndex> index_;
    SpecialTokens specials_;
};

}  // namespace larkspur

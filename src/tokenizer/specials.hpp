// Special tokens: texts with ids of their own after the trained vocabulary (<pad>, <s>,
// ...). Text never turns into a special token unless the caller allows that special; an
// allowed one is found in the text, leftmost first and the longest where several start at
// the same place, and the text between is encoded as usual, each piece as a text of its
// own (with its own leading word marker), so that decoding gives every piece back.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace larkspur {

class SpecialTokens {
   public:
    SpecialTokens() = default;
    // ValueError for an empty text or one given twice.
    SpecialTokens(std::vector<std::string> texts, std::size_t first_id);

    std::size_t size() const { return texts_.size(); }
    std::size_t first_id() const { return first_id_; }
    bool is_special(std::uint64_t id) const { return id >= first_id_ && id - first_id_ < texts_.size(); }
    const std::string& text(std::uint64_t id) const { return texts_[id - first_id_]; }
    const std::vector<std::string>& texts() const { return texts_; }
    std::optional<std::size_t> id_of(std::string_view text) const;

    // A piece of text: either plain text [begin, end) or the special with that id.
    struct Piece {
        std::size_t begin, end;
        std::optional<std::size_t> special;
    };
    // The text cut at the allowed specials (ids). Empty plain pieces are left out.
    std::vector<Piece> split(std::string_view text, std::span<const std::size_t> allowed) const;

   private:
    std::vector<std::string> texts_;
    std::size_t first_id_ = 0;
};

}  // namespace larkspur

#include "encode/surface_index.hpp"

#include "common/utf8.hpp"
#include "vocab/seeding.hpp"

namespace larkspur {

SurfaceIndex::SurfaceIndex(const Vocabulary& vocab, const ByteSymbols& symbols)
    : generation_(vocab.generation()), empty_(vocab.empty()), root_dense_(kRootDense, kNoNode) {
    node_ids_.push_back(kNone);
    std::size_t total = 0;
    for (TokenId id = 0; id < vocab.size(); ++id) total += vocab.surface(id).size();
    edges_.reserve(total / 2 + 16);
    // Ascending ids, so that of two equal surfaces the later id wins, as in the surface map.
    for (TokenId id = 0; id < vocab.size(); ++id) {
        const std::string& s = vocab.surface(id);
        Node node = kRoot;
        std::size_t i = 0;
        while (i < s.size()) {
            char32_t cp = utf8::next(s, i);
            Node next;
            if (node == kRoot && cp < kRootDense) {
                next = root_dense_[cp];
                if (next == kNoNode) {
                    next = root_dense_[cp] = static_cast<Node>(node_ids_.size());
                    node_ids_.push_back(kNone);
                }
            } else {
                auto [slot, created] = edges_.try_emplace(edge_key(node, cp));
                if (created) {
                    *slot = static_cast<Node>(node_ids_.size());
                    node_ids_.push_back(kNone);
                }
                next = *slot;
            }
            node = next;
        }
        node_ids_[node] = static_cast<std::int64_t>(id);
    }
    for (int b = 0; b < 256; ++b) byte_ids_[b] = lookup(symbols.text(static_cast<std::uint8_t>(b)));
    word_marker_id_ = lookup(kWordMarker);
    latin_marker_id_ = lookup(kLatinMarker);
    zwnj_id_ = lookup(kZwnj);

    byte_of_.assign(vocab.size(), -1);
    display_off_.reserve(vocab.size() + 1);
    display_off_.push_back(0);
    for (TokenId id = 0; id < vocab.size(); ++id) {
        const Token& t = *vocab.token(id);
        if (t.kind == TokenKind::Byte) {
            byte_of_[id] = t.byte;
        } else {
            const std::string& s = vocab.surface(id);
            std::size_t from = 0;
            for (std::size_t at; (at = s.find("\xE2\x96", from)) != std::string::npos;) {
                // U+2581 and U+2582 are E2 96 81 and E2 96 82.
                if (at + 2 < s.size() && (s[at + 2] == '\x81' || s[at + 2] == '\x82')) {
                    display_.append(s, from, at - from);
                    display_ += ' ';
                    from = at + 3;
                } else {
                    display_.append(s, from, at + 2 - from);
                    from = at + 2;
                }
            }
            display_.append(s, from, std::string::npos);
        }
        display_off_.push_back(display_.size());
    }
}

std::int64_t SurfaceIndex::lookup(std::string_view surface) const {
    Node node = kRoot;
    std::size_t i = 0;
    while (i < surface.size()) {
        node = child(node, utf8::next(surface, i));
        if (node == kNoNode) return kNone;
    }
    return node_ids_[node];
}

}  // namespace larkspur

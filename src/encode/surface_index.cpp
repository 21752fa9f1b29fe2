#include "encode/surface_index.hpp"

#include <array>

#include "common/errors.hpp"
#include "common/flat_map.hpp"
#include "common/utf8.hpp"
#include "common/markers.hpp"
#include "common/string_counter.hpp"
#include "vocab/char_class.hpp"

namespace larkspur {

SurfaceIndex::SurfaceIndex(const Vocabulary& vocab, const ByteSymbols& symbols, bool latin_joins)
    : generation_(vocab.generation()), empty_(vocab.empty()), latin_joins_(latin_joins), root_dense_(kRootDense) {
    // Build with a hash map of edges, then lay the children of each node out as one sorted
    // run, nodes renumbered so that a node's children are contiguous.
    struct Edge {
        Node parent;
        char32_t cp;
        Node child;
    };
    FlatMap<std::uint64_t, Node> edges;
    std::vector<Edge> edge_list;
    std::vector<OptIndex> ids(1);
    auto key = [](Node n, char32_t cp) { return (static_cast<std::uint64_t>(n) << 21) | cp; };
    // Ascending ids, so that of two equal surfaces the later id wins, as in the surface map.
    if (vocab.size() >= 0xFFFFFFFFu) throw_runtime("vocabulary too large for the encoder");
    for (TokenId id = 0; id < vocab.size(); ++id) {
        const std::string& s = vocab.surface(id);
        Node node = kRoot;
        std::size_t i = 0;
        while (i < s.size()) {
            char32_t cp = utf8::next(s, i);
            auto [slot, created] = edges.try_emplace(key(node, cp));
            if (created) {
                *slot = static_cast<Node>(ids.size());
                ids.emplace_back();
                if (ids.size() >= 0xFFFFFFFFu) throw_runtime("vocabulary too large for the encoder");
                edge_list.push_back(Edge{node, cp, *slot});
            }
            node = *slot;
        }
        ids[node] = static_cast<std::uint32_t>(id);
    }
    // Breadth-first renumbering: children of a node sorted by code point.
    std::vector<std::vector<std::pair<char32_t, Node>>> children(ids.size());
    for (const Edge& e : edge_list) children[e.parent].emplace_back(e.cp, e.child);
    std::vector<Node> order{kRoot}, renumber(ids.size(), 0);
    renumber[kRoot] = kRoot;
    for (std::size_t k = 0; k < order.size(); ++k) {
        auto& ch = children[order[k]];
        std::sort(ch.begin(), ch.end());
        for (auto& [cp, c] : ch) {
            renumber[c] = static_cast<Node>(order.size());
            order.push_back(c);
        }
    }
    constexpr std::size_t kWide = 16;  // nodes with more children get a direct table
    nodes_.resize(ids.size() + 1);
    child_cp_.reserve(edge_list.size());
    child_node_.reserve(edge_list.size());
    for (std::size_t k = 0; k < order.size(); ++k) {
        const auto& ch = children[order[k]];
        NodeInfo& info = nodes_[k];
        info.id = ids[order[k]];
        info.first_child = static_cast<std::uint32_t>(child_cp_.size());
        info.dense = OptIndex();
        if (ch.size() > kWide && k != kRoot) {
            info.dense = static_cast<std::uint32_t>(dense_.size() / 256);
            dense_.resize(dense_.size() + 256);
        }
        for (auto& [cp, c] : ch) {
            const Node to = renumber[c];
            child_cp_.push_back(cp);
            child_node_.push_back(to);
            if (k == kRoot && cp < kRootDense) root_dense_[cp] = to;
            if (info.dense) {
                if (cp < 0x80) dense_[*info.dense * 256 + cp] = to;
                if (cp - 0x0900 < 0x80) dense_[*info.dense * 256 + 128 + (cp - 0x0900)] = to;
            }
        }
    }
    nodes_[order.size()] = NodeInfo{static_cast<std::uint32_t>(child_cp_.size()), OptIndex(), OptIndex()};

    // A byte's token is the one its symbol names, unless that surface belongs to a token
    // that decodes to other bytes (a character token that shares a byte symbol's
    // surface) and a Byte token of that byte exists beside it: then it is the last one.
    // Seeding that gives the surface to a punctuation token first leaves no Byte token,
    // and that token stands for the byte.
    std::array<std::optional<TokenId>, 256> last_byte_token{};
    for (TokenId id = 0; id < vocab.size(); ++id) {
        const Token& t = *vocab.token(id);
        if (t.kind == TokenKind::Byte) last_byte_token[t.byte] = id;
    }
    for (int b = 0; b < 256; ++b) {
        const auto byte = static_cast<std::uint8_t>(b);
        byte_ids_[b] = lookup(symbols.text(byte));
        if (!byte_ids_[b]) continue;
        const Token& t = *vocab.token(*byte_ids_[b]);
        const bool decodes_to_b = t.kind == TokenKind::Byte ? t.byte == byte
                                                            : vocab.surface(*byte_ids_[b]) == std::string(1, char(b));
        if (!decodes_to_b && last_byte_token[b]) byte_ids_[b] = last_byte_token[b];
    }
    word_marker_id_ = lookup(markers::kWord);
    latin_marker_id_ = lookup(markers::kLatin);
    zwnj_id_ = lookup(markers::kZwnj);

    byte_of_.assign(vocab.size(), std::nullopt);
    marker_first_.assign(vocab.size(), 0);
    display_off_.reserve(vocab.size() + 1);
    display_off_.push_back(0);
    for (TokenId id = 0; id < vocab.size(); ++id) {
        const Token& t = *vocab.token(id);
        if (t.kind == TokenKind::Byte) {
            byte_of_[id] = t.byte;
        } else {
            const std::string& s = vocab.surface(id);
            marker_first_[id] = s.starts_with(markers::kWord) || s.starts_with(markers::kLatin);
            std::size_t from = 0;
            for (std::size_t at; (at = s.find(markers::kLead, from)) != std::string::npos;) {
                if (at + 2 < s.size() && (s[at + 2] == markers::kWordLast || s[at + 2] == markers::kLatinLast)) {
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
    // A superword starts with a marker and has one inside; its text is its display without
    // the leading space. It must read as the encoder marks text: every marker followed by a
    // word (no marker, line feed or tab in it) and of the kind that word's first character
    // takes. Each of its shorter word prefixes is noted as one that goes on.
    for (TokenId id = 0; id < vocab.size(); ++id) {
        if (marker_first_[id] && is_superword(vocab.surface(id), latin_joins)) {
            const std::string_view text = display(id).substr(1);
            superwords_[std::string(text)].id = static_cast<std::uint32_t>(id);
            for (std::size_t at = text.find(' '); at != std::string_view::npos; at = text.find(' ', at + 1)) {
                superwords_[std::string(text.substr(0, at))].longer = true;
            }
            const std::uint64_t h = hash_bytes(text.substr(0, text.find(' ')));
            first_words_[(h >> 6) & kFilterMask] |= std::uint64_t{1} << (h & 63);
        }
    }
}

bool SurfaceIndex::is_superword(std::string_view s, bool latin_joins) {
    std::size_t markers = 0;
    for (std::size_t i = 0; i < s.size();) {
        const char32_t c = utf8::next(s, i);
        if (c == '\n' || c == '\t') return false;
        if (!markers::is_marker(c)) continue;
        ++markers;
        if (i == s.size()) return false;
        const auto next = static_cast<unsigned char>(s[i]);
        std::size_t j = i;
        if (markers::is_marker(utf8::next(s, j))) return false;
        // The marker the encoder would put before this word (a marker ends the word).
        const bool latin = utf8::is_ascii_alnum(next) || (latin_joins && latin_after_punctuation(s, i));
        if ((c == markers::kLatinCp) != latin) return false;
    }
    return markers >= 2;
}

std::optional<TokenId> SurfaceIndex::lookup(std::string_view surface) const {
    Node node = kRoot;
    std::size_t i = 0;
    while (i < surface.size()) {
        OptIndex next = child(node, utf8::next(surface, i));
        if (!next) return std::nullopt;
        node = *next;
    }
    return id_at(node);
}

}  // namespace larkspur

#include "train/extension.hpp"

#include <algorithm>
#include <string>

#include "common/errors.hpp"
#include "train/plain_bpe.hpp"

namespace larkspur {

std::uint8_t merged_extension_class(std::uint8_t left, std::uint8_t right) {
    const std::uint8_t lk = left & 0x7F, rk = right & 0x7F;
    if (right & kExtendLeadMarker) return kExtendNone;  // the right token continues a word
    std::uint8_t kind = kExtendNone;
    switch (lk) {
        case kExtendMarker:  // a marker joins the word that follows it
            if (rk == kExtendLetters || rk == kExtendDigits || rk == kExtendPunct || rk == kExtendLettersPunct) kind = rk;
            break;
        case kExtendLetters:
            if (rk == kExtendLetters) kind = kExtendLetters;
            if (rk == kExtendPunct || rk == kExtendAsciiPunct || rk == kExtendLettersPunct) kind = kExtendLettersPunct;
            break;
        case kExtendLettersPunct:
            if (rk == kExtendPunct || rk == kExtendAsciiPunct) kind = kExtendLettersPunct;
            break;
        case kExtendDigits:
        case kExtendPunct:
            if (rk == lk) kind = lk;
            break;
        default:
            break;
    }
    if (kind == kExtendNone) return kExtendNone;
    return static_cast<std::uint8_t>(kind | (left & kExtendLeadMarker) | (lk == kExtendMarker ? kExtendLeadMarker : 0));
}

std::vector<ExtensionMerge> learn_extension_merges(const std::vector<std::uint32_t>& units,
                                                   const std::vector<std::uint32_t>& lengths,
                                                   const std::vector<std::uint64_t>& counts,
                                                   std::vector<std::uint8_t>& classes, std::size_t merges,
                                                   std::uint64_t min_count, const std::function<bool()>& interrupted) {
    if (lengths.size() != counts.size()) throw Error(ErrorKind::Value, "one count is needed for each sequence");
    PlainBpe bpe;
    std::vector<std::uint32_t> seq;
    std::size_t at = 0;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        if (lengths[i] > units.size() - at) throw Error(ErrorKind::Value, "the sequences' lengths exceed their units");
        seq.assign(units.begin() + at, units.begin() + at + lengths[i]);
        for (std::uint32_t u : seq) {
            if (u >= classes.size()) throw Error(ErrorKind::Value, "unit " + std::to_string(u) + " has no class");
        }
        at += lengths[i];
        if (seq.size() > 1 && counts[i] > 0) bpe.add(seq, counts[i]);
    }
    if (at != units.size()) throw Error(ErrorKind::Value, "the sequences' lengths do not add up to their units");
    std::vector<ExtensionMerge> made;
    const auto first = static_cast<std::uint32_t>(classes.size());
    bpe.run(
        merges, first, std::max<std::uint64_t>(min_count, 1),
        [&](std::uint32_t l, std::uint32_t r) { return merged_extension_class(classes[l], classes[r]) != kExtendNone; },
        [&](std::uint32_t l, std::uint32_t r, std::uint32_t m) {
            classes.push_back(merged_extension_class(classes[l], classes[r]));
            made.emplace_back(l, r, m);
        },
        [](const PlainBpe::Merge&) {}, interrupted);
    return made;
}

}  // namespace larkspur

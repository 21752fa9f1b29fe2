#include "tokenizer/scheme.hpp"

#include "common/errors.hpp"

namespace larkspur {

namespace {

constexpr SchemeField kFields[] = {
    {"codepoint_fallback", &Scheme::codepoint_fallback,
     "aksharas without a token are spelled with code-point tokens; symbols of the training words get tokens"},
    {"whitespace_tokens", &Scheme::whitespace_tokens, "line feed and tab are tokens; the word after one keeps its marker"},
    {"edge_joins", &Scheme::edge_joins, "words and the punctuation inside or around them join"},
    {"marker_stems", &Scheme::marker_stems, "paradigms see word-initial stems without their word marker"},
    {"latin_joins", &Scheme::latin_joins, "Latin words join the punctuation before and inside them"},
    {"superword_words", &Scheme::superword_words, "the most words a token may join across word markers (0: none)"},
};

const char* type_name(const SchemeValue& v) {
    return std::holds_alternative<bool>(v) ? "a bool" : std::holds_alternative<std::int64_t>(v) ? "an int" : "a float";
}

}  // namespace

std::span<const SchemeField> scheme_fields() { return kFields; }

std::vector<std::pair<std::string, SchemeValue>> scheme_values(const Scheme& scheme) {
    std::vector<std::pair<std::string, SchemeValue>> out;
    for (const SchemeField& f : kFields) {
        std::visit([&](auto member) { out.emplace_back(f.name, SchemeValue(scheme.*member)); }, f.member);
    }
    return out;
}

Scheme scheme_from(const std::vector<std::pair<std::string, SchemeValue>>& values) {
    Scheme scheme;
    for (const auto& entry : values) {
        // Plain references rather than a structured binding: the lambda below uses them, and
        // capturing a binding needs a newer clang than the fuzzing build may have.
        const std::string& name = entry.first;
        const SchemeValue& value = entry.second;
        const SchemeField* field = nullptr;
        for (const SchemeField& f : kFields) {
            if (name == f.name) field = &f;
        }
        if (!field) {
            std::string known;
            for (const SchemeField& f : kFields) known += (known.empty() ? "" : ", ") + std::string(f.name);
            throw_value("unknown scheme field '" + name + "' (known: " + known + ")");
        }
        std::visit(
            [&](auto member) {
                using T = std::remove_reference_t<decltype(scheme.*member)>;
                if (const T* v = std::get_if<T>(&value)) {
                    scheme.*member = *v;
                } else if constexpr (std::is_same_v<T, double>) {
                    // An int where a float belongs is the same number.
                    if (const auto* i = std::get_if<std::int64_t>(&value)) {
                        scheme.*member = static_cast<double>(*i);
                        return;
                    }
                    throw_value("scheme field '" + name + "' must be a float, not " + type_name(value));
                } else {
                    throw_value(std::string("scheme field '") + name + "' must be " +
                                type_name(SchemeValue(T{})) + ", not " + type_name(value));
                }
            },
            field->member);
    }
    if (scheme.superword_words < 0 || scheme.superword_words > kMaxSuperwordWords) {
        throw_value("scheme field 'superword_words' must be from 0 to " + std::to_string(kMaxSuperwordWords) + ", not " +
                    std::to_string(scheme.superword_words));
    }
    return scheme;
}

}  // namespace larkspur

// The method table as data: one row per method, in the order of the class's method
// table, with its parameter list and doc text. The binding builds each docstring as
// "name($self, params)\n--\n\n" + doc (CPython's text-signature convention, which
// inspect.signature reads) and parses the parameter names from the same row, so the
// signature shown and the arguments accepted cannot drift apart.
#pragma once

#include <cstddef>
#include <type_traits>

namespace larkspur::py {

struct MethodDoc {
    const char* name;
    const char* params;  // "a, b=1": a parameter without "=" is required
    const char* doc;
};

// clang-format off
inline constexpr MethodDoc kMethodDocs[] = {
    {"fold_mode", "",
         ""},
    {"normalize", "s",
         ""},
    {"validate_folding_rules", "",
         "[EQ-8] Empty list => N is idempotent for the configured rule set."},
    {"encode", "text",
         ""},
    {"decode", "ids",
         ""},
    {"verify_roundtrip", "s",
         ""},
    {"initialize_vocab", "aksharas, seed_morphemes, punctuation, v_strict, v_ambiguous",
         ""},
    {"harvest_aksharas", "path, min_freq=1",
         "[EQ-1] Stream a corpus and return the akshara inventory the DFA actually\n"
         "produces, most frequent first. Feed this to `initialize_vocab(aksharas=…)`\n"
         "so BaseAksharas covers the corpus and unseen-akshara byte fallback stays\n"
         "near zero."},
    {"clear_dfa", "",
         ""},
    {"add_dfa_transition", "state, ch, next_state, accepting",
         ""},
    {"dfa_has_transition", "state, ch",
         ""},
    {"dfa_get_transitions", "state",
         ""},
    {"dfa_tokenize_debug", "text",
         ""},
    {"vocab_contains", "surface",
         ""},
    {"vocab_get_id", "surface",
         ""},
    {"vocab_get_surface", "id",
         ""},
    {"vocab_size", "",
         ""},
    {"add_paradigm", "root_id, transitions",
         ""},
    {"set_root_prior", "prior",
         "[EQ-3] P(root): root-frequency prior, normally derived from FST analysis\n"
         "over the corpus (E5). Values need not sum to 1 — the posterior\n"
         "renormalizes over RootSet(a)."},
    {"set_token_weight", "surface, weight",
         "[EQ-3] W(a), keyed by surface. Default 1 for anything unset."},
    {"enable_probabilistic_k", "enabled, root_set_cap=0",
         "[EQ-3] Toggle E1. OFF => K reduces exactly to v2's (ScriptRank, Freq)."},
    {"assign_initial_roots", "",
         ""},
    {"get_root_set", "surface",
         ""},
    {"induce_ambiguous_seeds", "candidates, c_lo",
         "Induced units enter as V_ambiguous ONLY, gated by c(u) >= c_lo. There is\n"
         "deliberately no path from here to V_strict."},
    {"promote_to_strict", "surface, human_validated=False",
         "Promotion V_ambiguous -> V_strict. Requires `human_validated=True`;\n"
         "c(u) alone can never promote."},
    {"set_lexicon", "lexicon",
         "L : surface -> RootID. Required for suppletion (गयो/जानु share nothing)."},
    {"build_paradigm_embedding", "seed_ambiguous_by_prior=False",
         ""},
    {"paradigm_embedding_ids", "",
         "U(t) per token id, -1 for ⊥. Feed straight into nn.Embedding."},
    {"script_ids", "",
         "script(t) per token id: 0=DEV 1=LAT 2=PUN 3=FMT 4=MAL."},
    {"train_bpe", "sequences, vocab_budget, theta",
         ""},
    {"train_from_text", "texts, vocab_budget, theta",
         "[EQ-7] Splits on whitespace and trains over word TYPES, so `same_word` is\n"
         "enforced on this path too. The old version handed whole texts to the\n"
         "trainer, which let merges cross word boundaries in violation of Freq's\n"
         "side condition."},
    {"train_from_file", "path, vocab_budget, theta, min_word_freq=1, progress_lines=500000, progress_merges=1000, checkpoint_dir=None, checkpoint_every=0, checkpoint_keep=3",
         ""},
    {"train_bilingual_from_file", "path, dev_budget, lat_budget, theta, min_word_freq=1, progress_lines=500000, progress_merges=1000, checkpoint_dir=None, checkpoint_every=0, checkpoint_keep=3",
         ""},
    {"train_latin_from_file", "path, lat_budget, min_word_freq=1, progress_lines=500000, progress_merges=1000, checkpoint_dir=None, checkpoint_every=0, checkpoint_keep=3",
         ""},
    {"checkpoint_info", "dir",
         "Inspect the newest valid checkpoint without loading it. Useful for a\n"
         "launcher that decides between \"start fresh\" and \"resume\"."},
    {"resume_from_checkpoint", "dir, progress_merges=1000, checkpoint_every=0, checkpoint_keep=3, allow_mode_mismatch=False, allow_paradigm_mismatch=False",
         "[EQ-10] Restore Sigma_n and continue.\n"
         "\n"
         "The source corpus is NOT re-read: C_n is loaded from the checkpoint,\n"
         "because re-encoding the corpus with V_n gives a different partition than\n"
         "applying merges 1..n in order. For the same reason `tag_roots()` is NOT\n"
         "called here — that would overwrite path-dependent narrowed root sets with\n"
         "un-narrowed registry ones and silently loosen `Morph`.\n"
         "\n"
         "Guards, all overridable but none silent:\n"
         "  - folding mode must match (ids mean different things per mode);\n"
         "  - paradigm fingerprint must match (P is a build input, re-supplied by\n"
         "    the driver via add_paradigm before resuming, not serialized).\n"
         "\n"
         "Phase handling: a checkpoint taken during the Devanagari pass resumes\n"
         "Phase 3 to `dev_budget` and then runs the Phase 4 Latin pass to\n"
         "`total_budget`; one taken during the Latin pass resumes Phase 4 only."},
    {"corpus_stats", "texts",
         "Intrinsic metrics computed by the SAME encode path the model will use,\n"
         "so eval can't silently drift from training.\n"
         "  fertility        = tokens / whitespace-word\n"
         "  tokens_per_char  = tokens / char of N(s)\n"
         "  byte_fallback_rate = MAL tokens / tokens\n"
         "  dev_budget_share = |{t : script(t)=DEV}| / |V|\n"
         "BPC is deliberately NOT here: it needs model log-probs. Compute it as\n"
         "(Σ -log2 p(token)) / (bytes of N(s)) with the byte count this returns."},
    {"load_vocab", "pairs",
         ""},
    {"escape_tsv", "s",
         ""},
    {"load_vocab_tsv", "path, allow_mode_mismatch=False",
         "[EQ-5] Reads the `# tamsil-v4 mode=…` header and REFUSES a vocabulary\n"
         "built under a different folding mode. This is the build-time fork made\n"
         "unbypassable: the ids of an N_LM vocab do not mean the same thing under\n"
         "N_OCR. Headerless (pre-v4) files are accepted with a warning."},
    {"save_vocab_tsv", "path",
         ""},
    {"get_token_surface", "id",
         ""},
    {"get_vocab_dict", "",
         ""},
    {"tokenize_to_strings", "text",
         ""},
};
// clang-format on

inline constexpr std::size_t kMethodCount = sizeof(kMethodDocs) / sizeof(kMethodDocs[0]);
static_assert(kMethodCount == 44);

// The constructor's parameters; the class docstring is its text signature.
inline constexpr const char* kConstructorParams = "folding_rules=None, minimal_folding_rules=None, mode=\"LM\"";

// Number of parameters of a row's parameter list.
constexpr std::size_t param_count(const char* params) {
    if (!*params) return 0;
    std::size_t n = 1;
    for (; *params; ++params) n += *params == ',';
    return n;
}

}  // namespace larkspur::py

namespace larkspur::py {

// Index of a method in kMethodDocs, for compile-time lookups by name.
constexpr std::size_t method_index(const char* name) {
    for (std::size_t i = 0; i < kMethodCount; ++i) {
        const char* a = kMethodDocs[i].name;
        const char* b = name;
        while (*a && *a == *b) ++a, ++b;
        if (*a == *b) return i;
    }
    return kMethodCount;
}

}  // namespace larkspur::py

// The parsed signature of a method, by name, resolved at compile time.
#define LARKSPUR_SIG(name)                                                                        \
    ::larkspur::py::signature(                                                                    \
        std::integral_constant<std::size_t, ::larkspur::py::method_index(#name)>::value)

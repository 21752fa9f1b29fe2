"""Type information for the LarkspurTokenization extension module."""

from typing import Dict, List, Mapping, Optional, Sequence, Tuple, Union

_Rules = Optional[Sequence[Tuple[str, str]]]

class PyLarkspurTokenization:
    """A morphologically constrained BPE tokenizer for Devanagari text with Latin alongside.

    One object holds everything: the fold mode and folding rules, the akshara automaton,
    the vocabulary, paradigms, lexicon, token weights and root prior. Typical use:
    harvest_aksharas, initialize_vocab, add_paradigm, train_bilingual_from_file,
    save_vocab_tsv; later load_vocab_tsv and encode on an object of the same mode.

    A call that conflicts with another call running on the same object fails with
    RuntimeError("Already borrowed") or RuntimeError("Already mutably borrowed").
    Wrong argument types raise TypeError (OverflowError for a negative integer).
    See docs/reference.md for the full reference.
    """

    def __init__(
        self,
        folding_rules: _Rules = None,
        minimal_folding_rules: _Rules = None,
        mode: str = "LM",
    ) -> None:
        """Create a tokenizer with an empty vocabulary and the built-in akshara grammar.

        Args:
            folding_rules: (from, to) string pairs applied during normalization in LM mode.
            minimal_folding_rules: (from, to) pairs used instead in OCR mode.
            mode: "LM" or "OCR" (case and surrounding spaces ignored); fixed for the
                object's life.

        Raises:
            ValueError: "mode must be 'LM' or 'OCR'".
        """
    def fold_mode(self) -> str:
        """Return the fold mode, "LM" or "OCR"."""
    def normalize(self, s: str) -> str:
        """Return the normalized text: NFC, folding rules, U+200D removed in LM mode, NFC."""
    def validate_folding_rules(self) -> List[str]:
        """Report rules whose output another rule would rewrite on a second normalization.

        Returns:
            One "<from> -> <to> re-triggers <pattern>" message per case; empty when
            normalizing twice equals normalizing once.
        """
    def encode(self, text: str) -> List[int]:
        """Normalize the text and return its token ids.

        Text the vocabulary does not cover is spelled as byte tokens; never raises.
        """
    def decode(self, ids: Sequence[int]) -> str:
        """Return the text of a list of token ids.

        Word markers become spaces (the leading one dropped), byte tokens are decoded as
        UTF-8 (invalid sequences give U+FFFD), and unknown ids are skipped.
        """
    def verify_roundtrip(self, s: str) -> bool:
        """Return whether decode(encode(s)) equals the normalized text of s."""
    def initialize_vocab(
        self,
        aksharas: Sequence[str],
        seed_morphemes: Sequence[str],
        punctuation: Sequence[str],
        v_strict: Sequence[str],
        v_ambiguous: Sequence[str],
    ) -> int:
        """Seed the vocabulary and return its size.

        Adds, in order: aksharas, seed morphemes, the word markers, punctuation, fifteen
        typographic marks (always), a-z A-Z 0-9, the 256 byte tokens and U+200C. Surfaces
        already present keep their id. Empty lists on a new object give 274 tokens.

        Args:
            aksharas: base aksharas, normally from harvest_aksharas.
            seed_morphemes: morphemes to protect (suffixes, postpositions, abbreviations).
            punctuation: punctuation marks, looked up one by one and merged only together.
            v_strict: seed morphemes made strict seeds: never absorbed as the right part
                of a merge, never extended.
            v_ambiguous: seed morphemes made ambiguous seeds: never absorbed as the right
                part of a merge, extended only by pairs seen at least theta times.
        """
    def harvest_aksharas(self, path: str, min_freq: int = 1) -> List[str]:
        """Return the akshara inventory of a corpus file, most frequent first.

        Args:
            path: the corpus file (UTF-8; invalid lines are skipped).
            min_freq: occurrences an akshara needs to be listed; the ones left out will
                be encoded as byte tokens.

        Raises:
            IOError: "open <path>: <error>" or "read: <error>".
        """
    def clear_dfa(self) -> None:
        """Remove every transition; text is then cut into single characters."""
    def add_dfa_transition(self, state: int, ch: str, next_state: int, accepting: bool) -> None:
        """Add or replace the transition from state on the one character ch.

        Args:
            state: the state it leaves (segmentation starts in state 0).
            ch: exactly one character.
            next_state: the state it enters.
            accepting: if True, next_state becomes accepting; False removes nothing.
        """
    def dfa_has_transition(self, state: int, ch: str) -> bool:
        """Return whether state has a transition on the one character ch."""
    def dfa_get_transitions(self, state: int) -> List[Tuple[str, int, bool]]:
        """Return (character, next_state, next_state_is_accepting) for each transition, unordered."""
    def dfa_tokenize_debug(self, text: str) -> List[str]:
        """Return the aksharas of the text, which is not normalized first."""
    def vocab_contains(self, surface: str) -> bool:
        """Return whether the exact surface (not normalized) is a token."""
    def vocab_get_id(self, surface: str) -> Optional[int]:
        """Return the id of the exact surface, or None when it is not a token."""
    def vocab_get_surface(self, id: int) -> str:
        """Return the surface of a token id.

        Raises:
            ValueError: "Invalid token ID" for an id at or beyond vocab_size().
        """
    def vocab_size(self) -> int:
        """Return the number of tokens."""
    def add_paradigm(self, root_id: int, transitions: Mapping[str, Sequence[str]]) -> None:
        """Register which surfaces may follow which under a root.

        A merge whose left token has roots is allowed only if one of its roots' paradigms
        lists the right surface after the left one. Not saved in checkpoints.

        Args:
            root_id: the root.
            transitions: surface -> surfaces that may follow it.
        """
    def set_root_prior(self, prior: Mapping[int, float]) -> None:
        """Replace the root prior (root id -> how likely the root is).

        Orders root sets and weighs them in the probabilistic priority. Values need not
        sum to 1; roots without an entry count as 1.0.
        """
    def set_token_weight(self, surface: str, weight: float) -> bool:
        """Set the token weight: the factor on the priority of merges with it on the left.

        Tokens without a weight weigh 1; 0 or less gives the lowest priority.

        Returns:
            True if the surface is a token, False (nothing stored) otherwise.
        """
    def enable_probabilistic_k(self, enabled: bool, root_set_cap: int = 0) -> None:
        """Switch the probabilistic priority for later training calls.

        When on, a Devanagari pair's frequency is also scaled by the share of the left
        token's root prior whose paradigms allow the merge. When off, pairs compete by
        script, then frequency times token weight.

        Args:
            enabled: True to switch it on.
            root_set_cap: how many of the most probable roots count; 0 means all.
        """
    def assign_initial_roots(self) -> None:
        """Give Devanagari tokens the roots of the paradigms that have their surface as a key.

        Roots are ordered by root prior (then by id). Training does this itself, except
        train_latin_from_file and resume_from_checkpoint.
        """
    def get_root_set(self, surface: str) -> List[int]:
        """Return the token's root set for the exact surface; [] if none."""
    def induce_ambiguous_seeds(self, candidates: Sequence[Tuple[str, float]], c_lo: float) -> int:
        """Add corpus-induced units as ambiguous seeds; never as strict seeds.

        Args:
            candidates: (surface, count) pairs.
            c_lo: the lowest count accepted; NaN counts and empty surfaces are rejected.

        Returns:
            The number of candidates accepted.
        """
    def promote_to_strict(self, surface: str, human_validated: bool = False) -> bool:
        """Make a token a strict seed (removing it from the ambiguous seeds).

        Args:
            surface: the token's surface.
            human_validated: must be True; a count alone never promotes.

        Returns:
            True if promoted; False if not validated or not a token.
        """
    def set_lexicon(self, lexicon: Mapping[str, int]) -> None:
        """Replace the lexicon (surface -> root id), needed for suppletive forms.

        It takes precedence over root sets in build_paradigm_embedding.
        """
    def build_paradigm_embedding(self, seed_ambiguous_by_prior: bool = False) -> int:
        """Give each token one root for the model's paradigm embedding.

        The lexicon's root, else the only root of its root set, else none.

        Args:
            seed_ambiguous_by_prior: give a token with several roots the most probable one.

        Returns:
            The number of tokens that received a root.
        """
    def paradigm_embedding_ids(self) -> List[int]:
        """Return one root id per token id, -1 where there is none; for an embedding layer."""
    def script_ids(self) -> bytes:
        """Return one script per token id: 0 Devanagari, 1 Latin, 2 punctuation, 3 U+200C, 4 byte."""
    def train_bpe(self, sequences: Sequence[Sequence[int]], vocab_budget: int, theta: int) -> int:
        """Train a Devanagari pass on lists of token ids (each list one word), silently.

        Args:
            sequences: token id lists; ids not in the vocabulary never merge.
            vocab_budget: the vocabulary size to stop at, in tokens, base tokens included.
            theta: times a pair must be seen before an ambiguous seed may be extended by it.

        Returns:
            The vocabulary size.
        """
    def train_from_text(self, texts: Sequence[str], vocab_budget: int, theta: int) -> int:
        """Train a Devanagari pass over the word types of in-memory texts, silently.

        Args:
            texts: strings, normalized and split at white space.
            vocab_budget: the vocabulary size to stop at, in tokens, base tokens included.
            theta: times a pair must be seen before an ambiguous seed may be extended by it.

        Returns:
            The vocabulary size.
        """
    def train_from_file(
        self,
        path: str,
        vocab_budget: int,
        theta: int,
        min_word_freq: int = 1,
        progress_lines: int = 500000,
        progress_merges: int = 1000,
        checkpoint_dir: Optional[str] = None,
        checkpoint_every: int = 0,
        checkpoint_keep: int = 3,
    ) -> int:
        """Train a Devanagari pass over the word types of a corpus file.

        Args:
            path: the corpus file.
            vocab_budget: the vocabulary size to stop at, in tokens, base tokens included.
            theta: times a pair must be seen before an ambiguous seed may be extended by it.
            min_word_freq: word types seen fewer times are dropped.
            progress_lines: a progress line every this many lines; 0 for none.
            progress_merges: a progress line every this many merges; 0 for none.
            checkpoint_dir: where to write checkpoints, or None.
            checkpoint_every: merges between checkpoints; 0 for only the final one.
            checkpoint_keep: step directories kept; 0 keeps all.

        Returns:
            The vocabulary size.

        Raises:
            IOError: "open <path>: <error>".
        """
    def train_bilingual_from_file(
        self,
        path: str,
        dev_budget: int,
        lat_budget: int,
        theta: int,
        min_word_freq: int = 1,
        progress_lines: int = 500000,
        progress_merges: int = 1000,
        checkpoint_dir: Optional[str] = None,
        checkpoint_every: int = 0,
        checkpoint_keep: int = 3,
    ) -> int:
        """Train a Devanagari pass, then a Latin pass, over the word types of a corpus file.

        Args:
            path: the corpus file.
            dev_budget: the vocabulary size at which the Devanagari pass stops, in tokens,
                base vocabulary included.
            lat_budget: tokens the Latin pass adds on top; it stops at dev_budget +
                lat_budget in all, so it adds more when the Devanagari pass stopped early.
            theta: times a pair must be seen before an ambiguous seed may be extended by it.
            min_word_freq, progress_lines, progress_merges, checkpoint_dir,
                checkpoint_every, checkpoint_keep: as for train_from_file.

        Returns:
            The vocabulary size.

        Raises:
            IOError: "open <path>: <error>".
        """
    def train_latin_from_file(
        self,
        path: str,
        lat_budget: int,
        min_word_freq: int = 1,
        progress_lines: int = 500000,
        progress_merges: int = 1000,
        checkpoint_dir: Optional[str] = None,
        checkpoint_every: int = 0,
        checkpoint_keep: int = 3,
    ) -> int:
        """Add a Latin pass to an existing vocabulary, from the Latin words of a corpus file.

        Args:
            path: the corpus file; only words with an ASCII letter or digit count.
            lat_budget: how many tokens to add to the current vocabulary.
            min_word_freq, progress_lines, progress_merges, checkpoint_dir,
                checkpoint_every, checkpoint_keep: as for train_from_file.

        Returns:
            The vocabulary size.

        Raises:
            RuntimeError: "train_latin_from_file: vocab is empty — call load_vocab_tsv first".
            IOError: "open <path>: <error>".
        """
    def checkpoint_info(self, dir: str) -> Optional[Dict[str, Union[str, int]]]:
        """Return the newest complete checkpoint's metadata without loading it.

        Returns:
            None when there is none; else a dict with path, version, mode, phase,
            merges_done, vocab_len, word_types, theta, dev_budget, total_budget,
            corpus_fingerprint and paradigm_fingerprint.

        Raises:
            IOError: "read meta: <error>".
        """
    def resume_from_checkpoint(
        self,
        dir: str,
        progress_merges: int = 1000,
        checkpoint_every: int = 0,
        checkpoint_keep: int = 3,
        allow_mode_mismatch: bool = False,
        allow_paradigm_mismatch: bool = False,
    ) -> int:
        """Restore the newest complete checkpoint and continue the run to its end.

        Build the object as the run was built (same mode, same add_paradigm calls) first.
        The corpus file is not read again. A failed resume leaves the object unchanged.

        Args:
            dir: the checkpoint directory; further checkpoints go there too.
            progress_merges, checkpoint_every, checkpoint_keep: as for train_from_file.
            allow_mode_mismatch: resume a checkpoint of the other fold mode anyway.
            allow_paradigm_mismatch: resume although the paradigms differ.

        Returns:
            The vocabulary size.

        Raises:
            FileNotFoundError: "no COMPLETE checkpoint under <dir>".
            ValueError: "checkpoint was built with mode=... but this tokenizer is
                mode=..." or "paradigm registry fingerprint ... does not match the
                checkpoint's ...".
            IOError: when a checkpoint file cannot be read.
        """
    def corpus_stats(self, texts: Sequence[str]) -> Dict[str, Union[int, float]]:
        """Measure the tokenizer on sample texts through the encode path.

        Returns:
            texts, tokens, words, chars, bytes, fertility, tokens_per_char,
            byte_fallback_rate, roundtrip_pass_rate, vocab_size, dev_budget_share and
            lat_budget_share.
        """
    def load_vocab(self, pairs: Sequence[Tuple[int, str]]) -> int:
        """Replace the vocabulary with (id, surface) pairs and return its size.

        Pairs are sorted by id and renumbered densely; the word markers are appended if
        missing; scripts come from the surfaces; seeds and root sets are cleared.
        """
    @staticmethod
    def escape_tsv(s: str) -> str:
        """Return s as written in a vocabulary file (tab, line feed, backslash escaped)."""
    def load_vocab_tsv(self, path: str, allow_mode_mismatch: bool = False) -> int:
        """Read a vocabulary file, replacing the vocabulary as load_vocab does; return the size.

        Args:
            path: the file.
            allow_mode_mismatch: load a file of the other fold mode anyway.

        Raises:
            IOError: "open <path>: <error>" or "read: <error>".
            ValueError: "folding-mode mismatch: vocab was built with mode=... but this
                tokenizer is mode=...".
        """
    def save_vocab_tsv(self, path: str) -> None:
        """Write the vocabulary file: mode header, then id and escaped surface per line.

        Raises:
            IOError: "create <path>: <error>" or "write: <error>".
        """
    def get_token_surface(self, id: int) -> str:
        """Return the surface of a token id (same as vocab_get_surface).

        Raises:
            ValueError: "Invalid token ID".
        """
    def get_vocab_dict(self) -> Dict[str, int]:
        """Return every surface with its id, in no particular order."""
    def tokenize_to_strings(self, text: str) -> List[str]:
        """Return the surfaces of encode(text), word markers included."""

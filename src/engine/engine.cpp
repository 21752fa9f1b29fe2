// larkspur._engine: the companion package's native part, a second binding over the core.
//
// It converts values and calls the core; the loops over texts, words and ids run in C++,
// with the interpreter lock released for everything long (training, counting, batch
// encoding and decoding). One Engine is one tokenizer plus its special tokens. It may be
// used from many Python threads at once: readers share a lock, the few operations that
// change it take it alone.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <thread>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "common/parallel.hpp"
#include "encode/word_cache.hpp"
#include "tokenizer/specials.hpp"
#include "tokenizer/tokenizer.hpp"
#include "vocab/vocab_tsv.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace larkspur::engine {

namespace {

// Lines of the core are not printed: the package shows progress bars instead. A Python
// callable, if given, is told the vocabulary size as training goes.
class CallbackSink final : public LineSink {
   public:
    explicit CallbackSink(nb::object callback) : callback_(std::move(callback)) {}
    void write_line(std::string_view) noexcept override {}
    void vocab_progress(std::size_t vocab_size) noexcept override {
        if (callback_.is_none()) return;
        nb::gil_scoped_acquire gil;
        try {
            callback_(vocab_size);
        } catch (nb::python_error& e) {
            e.discard_as_unraisable("larkspur progress callback");
        }
    }

   private:
    nb::object callback_;
};

// Locks of an Engine, taken so that a thread never waits for one while it holds the
// interpreter lock (the holder may need the interpreter lock to report progress).
template <class Lock>
class LockReleasingGil {
   public:
    explicit LockReleasingGil(std::shared_mutex& m) : lock_(m, std::try_to_lock) {
        if (!lock_.owns_lock()) {
            nb::gil_scoped_release nogil;
            lock_.lock();
        }
    }

   private:
    Lock lock_;
};
using ReadLock = LockReleasingGil<std::shared_lock<std::shared_mutex>>;
using WriteLock = LockReleasingGil<std::unique_lock<std::shared_mutex>>;

// Keeps the lines of a read that the caller decides about (a vocabulary file without a
// mode header).
class KeepLines final : public LineSink {
   public:
    void write_line(std::string_view line) noexcept override { text.append(line); }
    std::string text;
};

// The UTF-8 text of each str of a list, without copying it: CPython keeps it in the str,
// and `hold` (a tuple of the items) keeps the strs alive while other threads may change
// the list. TypeError naming the position of an item that is not a str; a str with lone
// surrogates raises the codec's error.
std::vector<std::string_view> views_of(nb::list list, nb::object& hold) {
    hold = nb::steal(PyList_AsTuple(list.ptr()));
    if (!hold.is_valid()) throw nb::python_error();
    std::vector<std::string_view> out;
    const Py_ssize_t n = PyTuple_GET_SIZE(hold.ptr());
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(hold.ptr(), i);
        if (!PyUnicode_Check(item)) {
            throw nb::type_error(("texts[" + std::to_string(i) + "] must be str, not " + Py_TYPE(item)->tp_name).c_str());
        }
        Py_ssize_t size;
        const char* p = PyUnicode_AsUTF8AndSize(item, &size);
        if (!p) throw nb::python_error();
        out.emplace_back(p, static_cast<std::size_t>(size));
    }
    return out;
}

// Holds off the interpreter's cyclic garbage collector while a batch result is built.
// Each new list counts towards the next collection, and every collection walks the
// young lists with all their ints: a batch of 48,000 texts spent a tenth of its time
// there. The lists built here refer only to ints, so there is nothing for the collector
// to find in them. The earlier state is restored (a collector the caller switched off
// stays off). Before 3.10 there is no C call for this and the collector runs as usual.
class GcPause {
   public:
    GcPause() {
#if PY_VERSION_HEX >= 0x030A0000
        was_enabled_ = PyGC_Disable() != 0;
#endif
    }
    ~GcPause() {
#if PY_VERSION_HEX >= 0x030A0000
        if (was_enabled_) PyGC_Enable();
#endif
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

   private:
    bool was_enabled_ = false;
};

nb::list new_list(std::size_t n) {
    PyObject* p = PyList_New(static_cast<Py_ssize_t>(n));
    if (!p) throw nb::python_error();
    return nb::steal<nb::list>(p);
}

FoldMode parse_mode(const std::string& tag) {
    auto m = fold_mode_from_tag(tag);
    if (!m) throw Error(ErrorKind::Value, "mode must be 'LM' or 'OCR', not '" + tag + "'");
    return *m;
}

using WordList = std::vector<std::pair<std::string, std::uint64_t>>;

WordList zip_words(std::vector<std::string> words, const std::vector<std::uint64_t>& counts) {
    if (words.size() != counts.size()) throw Error(ErrorKind::Value, "words and counts differ in length");
    WordList out;
    out.reserve(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) out.emplace_back(std::move(words[i]), counts[i]);
    return out;
}

Script script_of_letter(char c) {
    switch (c) {
        case 'D':
            return Script::DEV;
        case 'L':
            return Script::LAT;
        case 'P':
            return Script::PUN;
        case 'F':
            return Script::FMT;
        default:
            return Script::MAL;
    }
}

constexpr char kScriptLetters[] = {'D', 'L', 'P', 'F', 'M'};

class Engine {
   public:
    Engine(const std::string& mode, const Normalizer::RulePairs& rules)
        : tok_(std::make_unique<Tokenizer>(parse_mode(mode), rules, rules)) {
        tok_->set_line_sink(quiet_);
        set_options(false, false, false, false);
    }

    std::string mode() const { return fold_mode_name(tok_->fold_mode()); }

    // ---- building ------------------------------------------------------------------------
    std::size_t initialize_vocab(SeedLists lists) {
        WriteLock lock(mu_);
        return tok_->initialize_vocab(lists);
    }
    // The encoding choices and merge rules beyond the exact module's defaults; training
    // and encoding both follow them.
    void set_options(bool codepoint_fallback, bool whitespace_tokens, bool edge_joins, bool marker_stems) {
        WriteLock lock(mu_);
        // The companion's merge loop always skips heap entries for falling counts: the
        // merges are the same either way (only the exact module's progress lines, which
        // report the heap size, need the other kind).
        tok_->set_options(EncodeOptions{codepoint_fallback, whitespace_tokens, edge_joins},
                          MergeRules{edge_joins, marker_stems, true});
    }
    nb::dict options() const {
        ReadLock lock(mu_);
        const EncodeOptions& e = tok_->encode_options();
        nb::dict d;
        d["codepoint_fallback"] = e.codepoint_fallback;
        d["whitespace_tokens"] = e.whitespace_tokens;
        d["edge_joins"] = e.edge_joins;
        d["marker_stems"] = tok_->merge_rules().marker_stems;
        return d;
    }
    std::size_t add_fallback_tokens(const std::vector<std::string>& symbols) {
        WriteLock lock(mu_);
        return tok_->add_fallback_tokens(symbols);
    }
    void add_paradigm(RootId root, const std::vector<std::pair<std::string, std::vector<std::string>>>& t) {
        Transitions transitions;
        for (const auto& [key, nexts] : t) transitions[key].insert(nexts.begin(), nexts.end());
        WriteLock lock(mu_);
        tok_->add_paradigm(root, std::move(transitions));
    }
    void set_lexicon(const std::vector<std::pair<std::string, RootId>>& entries) {
        Lexicon lex(entries.begin(), entries.end());
        WriteLock lock(mu_);
        tok_->set_lexicon(std::move(lex));
    }
    std::vector<std::string> harvest_from_words(std::vector<std::string> words, const std::vector<std::uint64_t>& counts,
                                                std::uint64_t min_freq) const {
        WordList list = zip_words(std::move(words), counts);
        nb::gil_scoped_release nogil;
        std::shared_lock<std::shared_mutex> lock(mu_);
        return tok_->harvest_from_words(list, min_freq);
    }
    // The akshara inventory and the symbol inventory of the same words, which then cross
    // into C++ once.
    std::pair<std::vector<std::string>, std::vector<std::string>> harvest_inventories(
        std::vector<std::string> words, const std::vector<std::uint64_t>& counts, std::uint64_t min_freq,
        std::uint64_t symbol_min_freq, std::size_t symbol_limit) const {
        WordList list = zip_words(std::move(words), counts);
        nb::gil_scoped_release nogil;
        std::shared_lock<std::shared_mutex> lock(mu_);
        return {tok_->harvest_from_words(list, min_freq), symbol_inventory(list, symbol_min_freq, symbol_limit)};
    }
    std::size_t train(std::vector<std::string> words, const std::vector<std::uint64_t>& counts, std::size_t dev_budget,
                      std::size_t lat_budget, std::uint64_t theta, std::uint64_t min_word_freq,
                      std::optional<std::string> checkpoint_dir, std::uint64_t checkpoint_every,
                      std::size_t checkpoint_keep, std::uint64_t progress_every, nb::object progress) {
        WordList list = zip_words(std::move(words), counts);
        FileTrainOptions opt;
        opt.min_word_freq = min_word_freq;
        opt.progress_merges = progress.is_none() ? 0 : std::max<std::uint64_t>(progress_every, 1);
        opt.checkpoint_dir = std::move(checkpoint_dir);
        opt.checkpoint_every = checkpoint_every;
        opt.checkpoint_keep = checkpoint_keep;
        opt.token_use = &last_use_;
        return run_reporting(std::move(progress), [&] {
            return tok_->train_from_word_texts(list, dev_budget, lat_budget, theta, opt);
        });
    }
    // Drops the least used merges of the last training or resumed run.
    std::size_t prune_merges(std::size_t drop) {
        WriteLock lock(mu_);
        return tok_->prune_merges(last_use_, drop);
    }
    std::size_t resume(const std::string& dir, std::uint64_t checkpoint_every, std::size_t checkpoint_keep,
                       std::uint64_t progress_every, nb::object progress) {
        ResumeOptions opt;
        opt.progress_merges = progress.is_none() ? 0 : std::max<std::uint64_t>(progress_every, 1);
        opt.checkpoint_every = checkpoint_every;
        opt.checkpoint_keep = checkpoint_keep;
        opt.token_use = &last_use_;
        return run_reporting(std::move(progress), [&] { return tok_->resume_from_checkpoint(dir, opt); });
    }

    // ---- special tokens and the vocabulary -------------------------------------------------
    void set_special_tokens(std::vector<std::string> texts) {
        WriteLock lock(mu_);
        for (const auto& t : texts) {
            if (tok_->find(t)) throw Error(ErrorKind::Value, "special token " + t + " is already a token of the vocabulary");
        }
        specials_ = SpecialTokens(std::move(texts), tok_->vocab_size());
    }
    std::vector<std::string> special_tokens() const {
        ReadLock lock(mu_);
        return specials_.texts();
    }
    // Trained tokens, without the specials.
    std::size_t base_size() const {
        ReadLock lock(mu_);
        return tok_->vocab_size();
    }
    std::size_t size() const {
        ReadLock lock(mu_);
        return tok_->vocab_size() + specials_.size();
    }
    std::string id_to_token(std::uint64_t id) const {
        ReadLock lock(mu_);
        check_id(id);
        if (specials_.is_special(id)) return specials_.text(id);
        return tok_->surface(static_cast<TokenId>(id));
    }
    std::optional<std::size_t> token_to_id(std::string_view s) const {
        ReadLock lock(mu_);
        if (auto sp = specials_.id_of(s)) return sp;
        if (auto id = tok_->find(s)) return *id;
        return std::nullopt;
    }
    nb::dict get_vocab() const {
        ReadLock lock(mu_);
        nb::dict d;
        tok_->for_each_surface([&](TokenId id, std::string_view s) { d[nb::str(s.data(), s.size())] = id; });
        for (std::size_t k = 0; k < specials_.size(); ++k) {
            d[nb::str(specials_.texts()[k].c_str())] = specials_.first_id() + k;
        }
        return d;
    }
    std::size_t seed_max_len() const {
        ReadLock lock(mu_);
        return tok_->seed_max_len();
    }
    // (surfaces, kind letters, script letters, seed flags, root sets) of the trained tokens.
    nb::tuple export_tokens() const {
        ReadLock lock(mu_);
        std::vector<CkptRow> rows = tok_->export_tokens();
        std::vector<std::string> surfaces;
        std::string kinds, scripts;
        std::vector<std::pair<std::size_t, std::vector<RootId>>> roots;
        std::string flag_bytes;
        for (auto& r : rows) {
            surfaces.push_back(std::move(r.surface));
            kinds += r.kind;
            scripts += kScriptLetters[std::min<int>(static_cast<int>(r.script), 4)];
            flag_bytes += static_cast<char>(r.flags);
            if (!r.root_set.empty()) roots.emplace_back(r.id, std::move(r.root_set));
        }
        return nb::make_tuple(surfaces, kinds, scripts, nb::bytes(flag_bytes.data(), flag_bytes.size()), roots);
    }
    void import_tokens(std::vector<std::string> surfaces, const std::string& kinds, const std::string& scripts,
                       nb::bytes flags, const std::vector<std::pair<std::size_t, std::vector<RootId>>>& roots,
                       std::size_t seed_max_len) {
        const std::size_t n = surfaces.size();
        if (kinds.size() != n || scripts.size() != n || flags.size() != n) {
            throw Error(ErrorKind::Value, "token kinds, scripts and flags must each have one entry per token");
        }
        const ByteSymbols& symbols = ByteSymbols::standard();
        std::vector<CkptRow> rows(n);
        const char* f = static_cast<const char*>(flags.data());
        for (std::size_t i = 0; i < n; ++i) {
            CkptRow& r = rows[i];
            r.id = i;
            r.kind = kinds[i];
            if (std::string_view("APZBSMTO").find(r.kind) == std::string_view::npos) {
                throw Error(ErrorKind::Value, std::string("token ") + std::to_string(i) + " has an unknown kind '" +
                                                  r.kind + "'");
            }
            r.script = script_of_letter(scripts[i]);
            r.flags = static_cast<std::uint8_t>(f[i]) & 3;
            if (r.kind == 'B') {
                auto [kind, byte] = kind_of_loaded_surface(surfaces[i], symbols);
                if (kind != TokenKind::Byte) {
                    throw Error(ErrorKind::Value, "token " + std::to_string(i) + " is a byte token but its surface is not a byte symbol");
                }
                r.payload = std::to_string(byte);
            }
            r.surface = std::move(surfaces[i]);
        }
        for (const auto& [id, set] : roots) {
            if (id >= n) throw Error(ErrorKind::Value, "a root set names token " + std::to_string(id) + ", beyond the vocabulary");
            rows[id].root_set = set;
        }
        WriteLock lock(mu_);
        tok_->import_tokens(std::move(rows), seed_max_len);
        specials_ = SpecialTokens(specials_.texts(), tok_->vocab_size());
    }

    // ---- encoding and decoding ----------------------------------------------------------
    nb::list encode(const std::string& text, const std::vector<std::size_t>& allowed) const {
        ReadLock lock(mu_);
        check_allowed(allowed);
        std::vector<std::uint32_t> out;
        {
            std::optional<nb::gil_scoped_release> nogil;
            if (text.size() > (1 << 16)) nogil.emplace();
            encode_into(text, allowed, out, nullptr);
        }
        return id_list(out);
    }
    // Texts are encoded in blocks on worker threads while this thread, holding the
    // interpreter lock, turns the finished blocks into lists in order (and encodes blocks
    // itself whenever the next one is not ready), so the conversion overlaps the encoding.
    nb::list encode_batch(nb::list text_list, const std::vector<std::size_t>& allowed, std::size_t threads) const {
        nb::object hold;
        const std::vector<std::string_view> texts = views_of(text_list, hold);
        ReadLock lock(mu_);
        check_allowed(allowed);
        constexpr std::size_t kBlock = 256;
        const std::size_t n = texts.size(), blocks = (n + kBlock - 1) / kBlock;
        threads = std::min(resolve_threads(threads), std::max<std::size_t>(blocks, 1));
        std::vector<std::vector<std::uint32_t>> all(n);
        std::vector<std::atomic<bool>> done(blocks);
        std::atomic<std::size_t> next{0};
        std::exception_ptr error;
        std::mutex error_mu;
        // The threads share one word cache; thread 0 is this one.
        std::size_t total = 0;
        for (std::string_view t : texts) total += t.size();
        std::optional<WordCache> cache;
        if (total >= WordCache::kWorthFrom) cache.emplace(total, threads);
        auto encode_block = [&](std::size_t b, std::size_t worker) {
            try {
                const std::size_t first = b * kBlock, last = std::min(n, first + kBlock);
                if (allowed.empty()) {
                    std::vector<std::vector<std::uint32_t>> part = tok_->encode_batch(
                        std::span<const std::string_view>(texts.data() + first, last - first), 1,
                        cache ? &*cache : nullptr, worker);
                    for (std::size_t i = first; i < last; ++i) {
                        // An empty text has no tokens, as encode gives it.
                        if (!texts[i].empty()) all[i] = std::move(part[i - first]);
                    }
                } else {
                    for (std::size_t i = first; i < last; ++i) encode_into(texts[i], allowed, all[i], nullptr);
                }
            } catch (...) {
                std::lock_guard<std::mutex> g(error_mu);
                if (!error) error = std::current_exception();
            }
            done[b].store(true, std::memory_order_release);
        };
        auto take = [&](std::size_t worker) {
            const std::size_t b = next.fetch_add(1, std::memory_order_relaxed);
            if (b < blocks) encode_block(b, worker);
            return b < blocks;
        };
        std::vector<std::thread> pool;
        {
            nb::gil_scoped_release nogil;
            for (std::size_t w = 1; w < threads; ++w) {
                try {
                    pool.emplace_back([&take, w] { while (take(w)) {} });
                } catch (...) {
                    break;  // fewer threads: this one does the rest
                }
            }
        }
        struct Join {
            std::vector<std::thread>& pool;
            ~Join() {
                nb::gil_scoped_release nogil;
                for (auto& t : pool) t.join();
            }
        } join{pool};
        nb::list out = new_list(n);
        GcPause pause;
        for (std::size_t b = 0; b < blocks; ++b) {
            if (!done[b].load(std::memory_order_acquire)) {
                nb::gil_scoped_release nogil;
                while (!done[b].load(std::memory_order_acquire)) {
                    if (!take(0)) std::this_thread::yield();
                }
            }
            if (error) break;
            for (std::size_t i = b * kBlock, last = std::min(n, (b + 1) * kBlock); i < last; ++i) {
                PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), id_list(all[i]).release().ptr());
                std::vector<std::uint32_t>().swap(all[i]);
            }
        }
        if (error) {
            // Let the workers finish before their buffers go.
            for (std::size_t b = 0; b < blocks; ++b) {
                nb::gil_scoped_release nogil;
                while (!done[b].load(std::memory_order_acquire)) {
                    if (!take(0)) std::this_thread::yield();
                }
            }
            std::rethrow_exception(error);
        }
        return out;
    }
    nb::tuple encode_to_array(nb::list text_list, bool append_eos, std::optional<std::size_t> eos,
                              const std::vector<std::size_t>& allowed, std::size_t threads) const {
        nb::object hold;
        const std::vector<std::string_view> texts = views_of(text_list, hold);
        ReadLock lock(mu_);
        check_allowed(allowed);
        if (append_eos && !eos) throw Error(ErrorKind::Value, "append_eos needs an end-of-text token, and this tokenizer has none");
        const bool narrow = tok_->vocab_size() + specials_.size() <= 65536;
        std::vector<std::int64_t>* offsets = new std::vector<std::int64_t>(texts.size() + 1, 0);
        nb::capsule offsets_owner(offsets, [](void* p) noexcept { delete static_cast<std::vector<std::int64_t>*>(p); });
        nb::object ids;
        {
            nb::gil_scoped_release nogil;
            std::vector<std::vector<std::uint32_t>> parts = batch(texts, allowed, threads);
            for (std::size_t i = 0; i < parts.size(); ++i) {
                (*offsets)[i + 1] = (*offsets)[i] + static_cast<std::int64_t>(parts[i].size() + (append_eos ? 1 : 0));
            }
            const std::size_t total = static_cast<std::size_t>(offsets->back());
            auto fill = [&](auto* dst) {
                std::size_t at = 0;
                for (auto& p : parts) {
                    for (std::uint32_t id : p) dst[at++] = static_cast<std::remove_pointer_t<decltype(dst)>>(id);
                    if (append_eos) dst[at++] = static_cast<std::remove_pointer_t<decltype(dst)>>(*eos);
                    std::vector<std::uint32_t>().swap(p);
                }
            };
            if (narrow) {
                auto* v = new std::vector<std::uint16_t>(total);
                fill(v->data());
                nb::gil_scoped_acquire gil;
                nb::capsule owner(v, [](void* p) noexcept { delete static_cast<std::vector<std::uint16_t>*>(p); });
                ids = nb::cast(nb::ndarray<nb::numpy, std::uint16_t, nb::ndim<1>>(v->data(), {total}, owner));
            } else {
                auto* v = new std::vector<std::uint32_t>(total);
                fill(v->data());
                nb::gil_scoped_acquire gil;
                nb::capsule owner(v, [](void* p) noexcept { delete static_cast<std::vector<std::uint32_t>*>(p); });
                ids = nb::cast(nb::ndarray<nb::numpy, std::uint32_t, nb::ndim<1>>(v->data(), {total}, owner));
            }
        }
        nb::object off = nb::cast(nb::ndarray<nb::numpy, std::int64_t, nb::ndim<1>>(offsets->data(), {offsets->size()}, offsets_owner));
        return nb::make_tuple(ids, off);
    }
    nb::tuple encode_with_offsets(const std::string& text, const std::vector<std::size_t>& allowed) const {
        ReadLock lock(mu_);
        check_allowed(allowed);
        std::vector<std::uint32_t> ids;
        std::vector<Span> spans;
        encode_into(text, allowed, ids, &spans);
        return nb::make_tuple(ids, spans);
    }
    std::string decode(const std::vector<std::uint64_t>& ids, bool skip_special) const {
        ReadLock lock(mu_);
        std::optional<nb::gil_scoped_release> nogil;
        if (ids.size() > (1 << 14)) nogil.emplace();
        return decode_ids(ids, skip_special);
    }
    std::vector<std::string> decode_batch(const std::vector<std::vector<std::uint64_t>>& batch_ids, bool skip_special,
                                          std::size_t threads) const {
        ReadLock lock(mu_);
        nb::gil_scoped_release nogil;
        std::vector<std::string> out(batch_ids.size());
        parallel_for(batch_ids.size(), resolve_threads(threads),
                     [&](std::size_t i, std::size_t) { out[i] = decode_ids(batch_ids[i], skip_special); });
        return out;
    }
    std::vector<std::string> tokenize(const std::string& text, const std::vector<std::size_t>& allowed) const {
        ReadLock lock(mu_);
        check_allowed(allowed);
        std::vector<std::uint32_t> ids;
        encode_into(text, allowed, ids, nullptr);
        std::vector<std::string> out;
        out.reserve(ids.size());
        for (std::uint32_t id : ids) out.push_back(specials_.is_special(id) ? specials_.text(id) : tok_->surface(id));
        return out;
    }
    // Raw counts over texts: texts, words, tokens, byte tokens, texts that came back
    // unchanged from decoding, and tokens per script (DEV, LAT, PUN, FMT, MAL).
    nb::dict stats(const std::vector<std::string>& texts) const {
        ReadLock lock(mu_);
        std::uint64_t words = 0, tokens = 0, bytes = 0, passes = 0, chars = 0;
        std::uint64_t by_script[5] = {0, 0, 0, 0, 0};
        {
            nb::gil_scoped_release nogil;
            std::vector<std::string_view> views(texts.begin(), texts.end());
            std::vector<std::vector<std::uint32_t>> all = tok_->encode_batch(views, 0);
            for (std::size_t i = 0; i < texts.size(); ++i) {
                const std::string n = tok_->normalize(texts[i]);
                words += count_words(n);
                chars += utf8::count_chars(n);
                tokens += all[i].size();
                for (std::uint32_t id : all[i]) {
                    const Script s = tok_->script(id);
                    ++by_script[std::min<int>(static_cast<int>(s), 4)];
                    bytes += tok_->is_byte_token(id);
                }
                std::vector<TokenId> wide(all[i].begin(), all[i].end());
                passes += tok_->decode(wide) == n;
            }
        }
        nb::dict d;
        d["texts"] = texts.size();
        d["words"] = words;
        d["chars"] = chars;
        d["tokens"] = tokens;
        d["byte_tokens"] = bytes;
        d["roundtrip_passes"] = passes;
        nb::dict scripts;
        const char* names[5] = {"DEV", "LAT", "PUN", "FMT", "MAL"};
        for (int k = 0; k < 5; ++k) scripts[names[k]] = by_script[k];
        d["script_tokens"] = scripts;
        return d;
    }

    void save_vocab_tsv(const std::string& path) const {
        ReadLock lock(mu_);
        tok_->save_vocab_tsv(path);
    }

   private:
    // Runs a training call alone on the engine without the interpreter lock, its progress
    // going to `progress` (a callable or None), and quiet again afterwards however it ends.
    template <class F>
    std::size_t run_reporting(nb::object progress, F&& f) {
        CallbackSink sink(std::move(progress));
        nb::gil_scoped_release nogil;
        std::unique_lock<std::shared_mutex> lock(mu_);
        tok_->set_line_sink(sink);
        struct Restore {
            Tokenizer& t;
            LineSink& s;
            ~Restore() { t.set_line_sink(s); }
        } restore{*tok_, quiet_};
        return f();
    }

    // A list of the ids, sharing one int object per id (made once per vocabulary size)
    // instead of a new int per position. Called with the interpreter lock held.
    nb::list id_list(const std::vector<std::uint32_t>& ids) const {
        const std::size_t n = tok_->vocab_size() + specials_.size();
        if (!int_cache_.is_valid() || int_cache_size_ != n) {
            nb::list cache = new_list(n);
            for (std::size_t i = 0; i < n; ++i) {
                PyObject* o = PyLong_FromSize_t(i);
                if (!o) throw nb::python_error();
                PyList_SET_ITEM(cache.ptr(), static_cast<Py_ssize_t>(i), o);
            }
            int_cache_ = std::move(cache);
            int_cache_size_ = n;
        }
        PyObject* ints = int_cache_.ptr();
        nb::list out = new_list(ids.size());
        for (std::size_t j = 0; j < ids.size(); ++j) {
            PyObject* o;
            if (ids[j] < n) {
                o = PyList_GET_ITEM(ints, ids[j]);
                Py_INCREF(o);
            } else {
                o = PyLong_FromUnsignedLong(ids[j]);
                if (!o) throw nb::python_error();
            }
            PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(j), o);
        }
        return out;
    }

    void check_id(std::uint64_t id) const {
        const std::size_t n = tok_->vocab_size() + specials_.size();
        if (id >= n) {
            throw Error(ErrorKind::Value, "id " + std::to_string(id) + " is not in the vocabulary (ids run from 0 to " +
                                              std::to_string(n == 0 ? 0 : n - 1) + ")");
        }
    }
    void check_allowed(const std::vector<std::size_t>& allowed) const {
        for (std::size_t id : allowed) {
            if (!specials_.is_special(id)) throw Error(ErrorKind::Value, "id " + std::to_string(id) + " is not a special token");
        }
    }
    // Encodes text cut at the allowed specials; with `spans`, also where each id lies.
    void encode_into(std::string_view text, const std::vector<std::size_t>& allowed, std::vector<std::uint32_t>& out,
                     std::vector<Span>* spans) const {
        std::vector<SpecialTokens::Piece> pieces = specials_.split(text, allowed);
        std::size_t chars_before = 0, bytes_before = 0;  // characters before the piece
        for (const auto& p : pieces) {
            const std::string_view piece = text.substr(p.begin, p.end - p.begin);
            if (spans) {
                chars_before += utf8::count_chars(text.substr(bytes_before, p.begin - bytes_before));
                bytes_before = p.begin;
            }
            if (p.special) {
                out.push_back(static_cast<std::uint32_t>(*p.special));
                if (spans) spans->emplace_back(chars_before, chars_before + utf8::count_chars(piece));
            } else if (spans) {
                std::vector<Span> local;
                std::vector<std::uint32_t> ids = tok_->encode_with_spans(piece, local);
                out.insert(out.end(), ids.begin(), ids.end());
                for (auto& s : local) spans->emplace_back(s.first + chars_before, s.second + chars_before);
            } else {
                std::string_view one[1] = {piece};
                std::vector<std::vector<std::uint32_t>> ids = tok_->encode_batch(one, 1);
                out.insert(out.end(), ids[0].begin(), ids[0].end());
            }
        }
    }
    std::vector<std::vector<std::uint32_t>> batch(const std::vector<std::string_view>& texts,
                                                  const std::vector<std::size_t>& allowed, std::size_t threads) const {
        if (allowed.empty()) {
            std::vector<std::vector<std::uint32_t>> out = tok_->encode_batch(texts, threads);
            // An empty text has no tokens (not even the word marker a text starts with), as
            // encode gives it.
            for (std::size_t i = 0; i < texts.size(); ++i) {
                if (texts[i].empty()) out[i].clear();
            }
            return out;
        }
        std::vector<std::vector<std::uint32_t>> out(texts.size());
        parallel_for(texts.size(), resolve_threads(threads),
                     [&](std::size_t i, std::size_t) { encode_into(texts[i], allowed, out[i], nullptr); });
        return out;
    }
    // Runs of trained ids decode together (each run as a text of its own); specials give
    // their text or nothing.
    std::string decode_ids(const std::vector<std::uint64_t>& ids, bool skip_special) const {
        std::string out;
        std::vector<TokenId> run;
        for (std::uint64_t id : ids) {
            check_id(id);
            if (!specials_.is_special(id)) {
                run.push_back(static_cast<TokenId>(id));
                continue;
            }
            if (!run.empty()) {
                out += tok_->decode(run);
                run.clear();
            }
            if (!skip_special) out += specials_.text(id);
        }
        if (!run.empty()) out += tok_->decode(run);
        return out;
    }

    std::unique_ptr<Tokenizer> tok_;
    SpecialTokens specials_;
    // Each token's use in the corpus at the end of the last training or resumed run.
    std::vector<std::uint64_t> last_use_;
    CallbackSink quiet_{nb::none()};
    mutable std::shared_mutex mu_;
    // Guarded by the interpreter lock.
    mutable nb::object int_cache_;
    mutable std::size_t int_cache_size_ = 0;
};

// (words, counts, lines, occurrences), the lists built straight from the counts.
nb::tuple as_python(WordTextCounts& counts) {
    const std::size_t n = counts.words.size();
    nb::list words = new_list(n), numbers = new_list(n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto& [w, c] = counts.words[i];
        PyObject* s = PyUnicode_DecodeUTF8(w.data(), static_cast<Py_ssize_t>(w.size()), "strict");
        if (!s) throw nb::python_error();
        PyList_SET_ITEM(words.ptr(), static_cast<Py_ssize_t>(i), s);
        PyObject* k = PyLong_FromUnsignedLongLong(c);
        if (!k) throw nb::python_error();
        PyList_SET_ITEM(numbers.ptr(), static_cast<Py_ssize_t>(i), k);
    }
    {
        nb::gil_scoped_release nogil;
        WordTextCounts().words.swap(counts.words);
    }
    return nb::make_tuple(words, numbers, counts.lines, counts.occurrences);
}

nb::tuple count_words_of_texts(const std::vector<std::string>& texts, const std::string& mode,
                               const Normalizer::RulePairs& rules) {
    Normalizer normalizer(parse_mode(mode), rules);
    WordTextCounts counts;
    {
        nb::gil_scoped_release nogil;
        counts = count_word_texts(texts, normalizer);
    }
    return as_python(counts);
}

// {word: count}. Counting runs on a thread of its own (and its helpers) without the
// interpreter lock; this thread turns each shard of words into str and int objects as
// soon as it is merged, while later shards are still being merged, since the dict is
// the one part that cannot run in parallel.
nb::tuple count_words_of_files(const std::vector<std::string>& paths, const std::string& mode,
                               const Normalizer::RulePairs& rules, std::size_t threads, nb::object progress) {
    Normalizer normalizer(parse_mode(mode), rules);
    BytesProgress report;
    if (!progress.is_none()) {
        report = [&](std::uint64_t done, std::uint64_t total) {
            nb::gil_scoped_acquire gil;
            try {
                progress(done, total);
            } catch (nb::python_error& e) {
                e.discard_as_unraisable("larkspur progress callback");
            }
        };
    }
    WordUnitCounts counts;
    std::mutex mu;
    std::condition_variable cv;
    std::vector<bool> ready(WordUnitCounts::kShards, false);
    bool finished = false;
    std::exception_ptr error;
    std::thread counter([&] {
        try {
            count_word_units(paths, normalizer, threads, report, counts, [&](std::size_t s) {
                std::lock_guard<std::mutex> g(mu);
                ready[s] = true;
                cv.notify_one();
            });
        } catch (...) {
            error = std::current_exception();
        }
        std::lock_guard<std::mutex> g(mu);
        finished = true;
        cv.notify_one();
    });
    struct Join {
        std::thread& t;
        ~Join() {
            if (!t.joinable()) return;
            nb::gil_scoped_release nogil;
            t.join();
        }
    } join{counter};
    std::size_t total = 0;
    nb::dict out;
    for (std::size_t s = 0; s < WordUnitCounts::kShards; ++s) {
        {
            nb::gil_scoped_release nogil;
            std::unique_lock<std::mutex> lock(mu);
            cv.wait(lock, [&] { return ready[s] || finished; });
            if (!ready[s]) break;  // counting failed
        }
        WordUnitCounts::Shard& shard = counts.shards[s];
        if (s == 0) {
            // Shards are of about equal size: the dict is sized once for all the words
            // instead of growing (and rehashing) a dozen times.
            total = shard.words.size() * WordUnitCounts::kShards * 9 / 8;
#if PY_VERSION_HEX < 0x030E0000
            out = nb::steal<nb::dict>(_PyDict_NewPresized(static_cast<Py_ssize_t>(total)));
            if (!out.is_valid()) throw nb::python_error();
#endif
        }
        for (const WordUnitCounts::Word& w : shard.words) {
            nb::object str = nb::steal(PyUnicode_New(static_cast<Py_ssize_t>(w.length), static_cast<Py_UCS4>(w.max_char)));
            if (!str.is_valid()) throw nb::python_error();
            std::memcpy(PyUnicode_DATA(str.ptr()), shard.units.data() + w.offset,
                        w.length * WordUnitCounts::unit_width(w.max_char));
            nb::object n = nb::steal(PyLong_FromUnsignedLongLong(w.count));
            if (!n.is_valid() || PyDict_SetItem(out.ptr(), str.ptr(), n.ptr()) < 0) throw nb::python_error();
        }
        std::vector<WordUnitCounts::Word>().swap(shard.words);
        std::vector<unsigned char>().swap(shard.units);
    }
    {
        nb::gil_scoped_release nogil;
        counter.join();
    }
    if (error) std::rethrow_exception(error);
    return nb::make_tuple(out, counts.lines, counts.occurrences);
}

// (ids, surfaces, warning) of a vocabulary file; the warning is the line the file's
// missing mode header would print, or empty.
nb::tuple read_vocab_file(const std::string& path, const std::string& mode) {
    KeepLines warning;
    std::vector<std::pair<std::size_t, std::string>> pairs = read_vocab_tsv(path, parse_mode(mode), false, warning);
    std::vector<std::size_t> ids;
    std::vector<std::string> surfaces;
    for (auto& [id, s] : pairs) {
        ids.push_back(id);
        surfaces.push_back(std::move(s));
    }
    return nb::make_tuple(ids, surfaces, warning.text);
}

}  // namespace

NB_MODULE(_engine, m) {
    m.doc() = "The native part of larkspur: one tokenizer over the C++ core.";
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const Error& e) {
            switch (e.kind()) {
                case ErrorKind::Value:
                    PyErr_SetString(PyExc_ValueError, e.what());
                    break;
                case ErrorKind::Io:
                    PyErr_SetString(PyExc_OSError, e.what());
                    break;
                case ErrorKind::FileNotFound:
                    PyErr_SetString(PyExc_FileNotFoundError, e.what());
                    break;
                case ErrorKind::Runtime:
                    PyErr_SetString(PyExc_RuntimeError, e.what());
                    break;
            }
        }
    });

    nb::class_<Engine>(m, "Engine")
        .def(nb::init<const std::string&, const Normalizer::RulePairs&>(), "mode"_a, "folding_rules"_a)
        .def_prop_ro("mode", &Engine::mode)
        .def("initialize_vocab",
             [](Engine& e, std::vector<std::string> aksharas, std::vector<std::string> seeds,
                std::vector<std::string> punctuation, std::vector<std::string> strict,
                std::vector<std::string> ambiguous) {
                 return e.initialize_vocab(SeedLists{std::move(aksharas), std::move(seeds), std::move(punctuation),
                                                     std::move(strict), std::move(ambiguous)});
             },
             "aksharas"_a, "seeds"_a, "punctuation"_a, "strict"_a, "ambiguous"_a)
        .def("set_options", &Engine::set_options, "codepoint_fallback"_a, "whitespace_tokens"_a, "edge_joins"_a,
             "marker_stems"_a)
        .def_prop_ro("options", &Engine::options)
        .def("add_fallback_tokens", &Engine::add_fallback_tokens, "symbols"_a)
        .def("add_paradigm", &Engine::add_paradigm, "root_id"_a, "transitions"_a)
        .def("set_lexicon", &Engine::set_lexicon, "entries"_a)
        .def("harvest_from_words", &Engine::harvest_from_words, "words"_a, "counts"_a, "min_freq"_a)
        .def("harvest_inventories", &Engine::harvest_inventories, "words"_a, "counts"_a, "min_freq"_a,
             "symbol_min_freq"_a, "symbol_limit"_a)
        .def("train", &Engine::train, "words"_a, "counts"_a, "dev_budget"_a, "lat_budget"_a, "theta"_a,
             "min_word_freq"_a, "checkpoint_dir"_a.none(), "checkpoint_every"_a, "checkpoint_keep"_a,
             "progress_every"_a, "progress"_a.none())
        .def("resume", &Engine::resume, "checkpoint_dir"_a, "checkpoint_every"_a, "checkpoint_keep"_a,
             "progress_every"_a, "progress"_a.none())
        .def("prune_merges", &Engine::prune_merges, "drop"_a)
        .def("set_special_tokens", &Engine::set_special_tokens, "texts"_a)
        .def_prop_ro("special_tokens", &Engine::special_tokens)
        .def_prop_ro("base_size", &Engine::base_size)
        .def_prop_ro("size", &Engine::size)
        .def_prop_ro("seed_max_len", &Engine::seed_max_len)
        .def("id_to_token", &Engine::id_to_token, "id"_a)
        .def("token_to_id", &Engine::token_to_id, "token"_a)
        .def("get_vocab", &Engine::get_vocab)
        .def("export_tokens", &Engine::export_tokens)
        .def("import_tokens", &Engine::import_tokens, "surfaces"_a, "kinds"_a, "scripts"_a, "flags"_a,
             "root_sets"_a, "seed_max_len"_a)
        .def("encode", &Engine::encode, "text"_a, "allowed"_a)
        .def("encode_batch", &Engine::encode_batch, "texts"_a, "allowed"_a, "num_threads"_a)
        .def("encode_to_array", &Engine::encode_to_array, "texts"_a, "append_eos"_a, "eos_id"_a.none(), "allowed"_a,
             "num_threads"_a)
        .def("encode_with_offsets", &Engine::encode_with_offsets, "text"_a, "allowed"_a)
        .def("decode", &Engine::decode, "ids"_a, "skip_special"_a)
        .def("decode_batch", &Engine::decode_batch, "batch"_a, "skip_special"_a, "num_threads"_a)
        .def("tokenize", &Engine::tokenize, "text"_a, "allowed"_a)
        .def("stats", &Engine::stats, "texts"_a)
        .def("save_vocab_tsv", &Engine::save_vocab_tsv, "path"_a);

    m.def("count_words", &count_words_of_files, "paths"_a, "mode"_a, "folding_rules"_a, "num_threads"_a, "progress"_a.none());
    m.def("count_words_in_texts", &count_words_of_texts, "texts"_a, "mode"_a, "folding_rules"_a);
    m.def("checkpoint_info", [](const std::string& dir) -> nb::object {
        auto info = Tokenizer::checkpoint_info(dir);
        if (!info) return nb::none();
        const CheckpointMeta& m = info->meta;
        nb::dict d;
        d["path"] = info->path;
        d["mode"] = m.mode;
        d["phase"] = phase_name(m.phase);
        d["merges_done"] = m.merges_done;
        d["vocab_len"] = m.vocab_len;
        d["word_types"] = m.word_types;
        d["theta"] = m.theta;
        d["dev_budget"] = m.dev_budget;
        d["total_budget"] = m.total_budget;
        return d;
    }, "dir"_a);
    m.def("read_vocab_file", &read_vocab_file, "path"_a, "mode"_a);
    m.def("default_threads", [] { return resolve_threads(0); });
}

}  // namespace larkspur::engine

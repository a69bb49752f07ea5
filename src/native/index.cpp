// build_index: the fragment index fed from peptide columns, without one
// Python object per peptide; Index: the built index.
#include "native/records.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <iterator>
#include <cmath>
#include <limits>
#include <memory>
#include <string_view>
#include <unordered_map>

#ifdef __GLIBC__  // defined by the headers above
#include <malloc.h>
#endif

#include "native/buffers.hpp"
#include "tamrel/index_file.hpp"
#include "tamrel/parallel.hpp"

namespace tamrel::py::native {
namespace {

std::vector<Kind> ion_kinds_of(const std::string& letters) {
    std::vector<Kind> kinds;
    for (const char c : letters) {
        const auto at = std::string_view("abcxyz").find(c);
        if (at == std::string_view::npos)
            raise(PyExc_ValueError, "ion kinds are letters among 'abcxyz', not " + std::string(1, c));
        kinds.push_back(static_cast<Kind>(at));
    }
    return kinds;
}

// Peptide i is residues[offsets[i]:offsets[i + 1]], with one modification
// mass per residue; NaN terminal masses are absent.
PeptideTable peptides_of(const Args& a) {
    const Buffer<std::uint8_t> residues(a[0], "residues");
    const Buffer<std::int64_t> offsets(a[1], "offsets");
    const Buffer<float> masses(a[2], "masses");
    const Buffer<float> modifications(a[3], "modifications");
    const Buffer<float> nterm(a[4], "nterm");
    const Buffer<float> cterm(a[5], "cterm");
    const Buffer<std::uint8_t> missed(a[6], "missed_cleavages");
    const std::size_t n = masses.size();
    require_length("offsets", offsets.size(), n + 1);
    require_length("modifications", modifications.size(), residues.size());
    require_length("nterm", nterm.size(), n);
    require_length("cterm", cterm.size(), n);
    require_length("missed_cleavages", missed.size(), n);
    if (offsets[0] != 0 || static_cast<std::uint64_t>(offsets[n]) != residues.size())
        raise(PyExc_ValueError, "offsets must run from 0 to the number of residues");
    for (std::size_t i = 0; i < n; ++i) {
        if (offsets[i + 1] < offsets[i]) raise(PyExc_ValueError, "offsets must not decrease");
    }
    PeptideTable peptides;
    peptides.reserve(n, residues.size(), 0);
    const std::uint32_t group = peptides.add_group({});
    const auto* bytes = reinterpret_cast<const char*>(residues.items().data());
    // Each sequence is stored once, where it first occurs: the table (and
    // the index file) come out the same as from the digest's columns.
    std::unordered_map<std::string_view, std::uint32_t> placed;
    placed.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto begin = static_cast<std::size_t>(offsets[i]);
        const auto length = static_cast<std::size_t>(offsets[i + 1]) - begin;
        const auto [at, added] = placed.try_emplace(std::string_view(bytes + begin, length), 0);
        if (added) at->second = peptides.add_residues(at->first);
        const auto mods = modifications.items().subspan(begin, length);
        // Rows of +0.0 alone keep no masses (a -0.0 would still show in the results).
        const bool unmodified =
            std::all_of(mods.begin(), mods.end(), [](float m) { return std::bit_cast<std::uint32_t>(m) == 0; });
        peptides.add_row(at->second, static_cast<std::uint32_t>(length),
                         unmodified ? std::span<const float>() : mods, unless_nan(nterm[i]), unless_nan(cterm[i]),
                         masses[i], missed[i], unmodified ? PeptideTable::kUnmodified : 0, group);
    }
    return peptides;
}

// The settings after the peptide columns, from argument `first` on.
IndexBuildSettings settings_of(const Args& a, std::size_t first) {
    IndexBuildSettings settings;
    settings.bucket_size = arg<std::size_t>(a, first);
    if (settings.bucket_size == 0) raise(PyExc_ValueError, "bucket_size must be at least 1");
    settings.min_ion_index = arg<std::size_t>(a, first + 1);
    settings.decoy_tag = arg<std::string>(a, first + 2);
    settings.ion_kinds = ion_kinds_of(arg_or<std::string>(a, first + 3, "by"));
    settings.generate_decoys = arg_or<bool>(a, first + 4, true);
    return settings;
}

Ref built(const IndexBuildSettings& settings, PeptideTable peptides) {
    SharedDatabase db;
    {
        AllowThreads unlocked;
        db = std::make_shared<const IndexedDatabase>(build_indexed_database(settings, std::move(peptides)));
#ifdef __GLIBC__
        // The build's scratch, freed, would stay with the process for the whole search (about a tenth of
        // the scale search's peak): hand it back.
        malloc_trim(0);
#endif
    }
    return wrap(Index{std::move(db)});
}

PyObject* build_index(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static constexpr Param params[] = {
            {"residues"}, {"offsets"},     {"masses"},        {"modifications"},   {"nterm"},
            {"cterm"},    {"missed_cleavages"}, {"bucket_size"}, {"min_ion_index"}, {"decoy_tag"},
            {"ion_kinds", false}, {"decoys", false}};
        Args a("build_index", params, args, kwargs);
        const IndexBuildSettings settings = settings_of(a, 7);
        return built(settings, peptides_of(a));
    });
}

// Peptide i is distinct sequence k = sequence_index[i], the letters
// residues[sequence_offsets[k]:sequence_offsets[k + 1]]; its modification
// masses are mod_values[mod_offsets[i]:mod_offsets[i + 1]], one per residue or
// none at all. Rows of one sequence share its letters.
PeptideTable peptides_of_set(const Args& a) {
    const Buffer<std::uint8_t> residues(a[0], "residues");
    const Buffer<std::int64_t> sequence_offsets(a[1], "sequence_offsets");
    const Buffer<std::int64_t> sequence_index(a[2], "sequence_index");
    const Buffer<float> masses(a[3], "masses");
    const Buffer<std::int64_t> mod_offsets(a[4], "mod_offsets");
    const Buffer<float> mod_values(a[5], "mod_values");
    const Buffer<float> nterm(a[6], "nterm");
    const Buffer<float> cterm(a[7], "cterm");
    const Buffer<std::uint8_t> missed(a[8], "missed_cleavages");
    const std::size_t n = masses.size();
    require_length("sequence_index", sequence_index.size(), n);
    require_length("mod_offsets", mod_offsets.size(), n + 1);
    require_length("nterm", nterm.size(), n);
    require_length("cterm", cterm.size(), n);
    require_length("missed_cleavages", missed.size(), n);
    if (sequence_offsets.size() == 0) raise(PyExc_ValueError, "sequence_offsets must run from 0 to the number of residues");
    const std::size_t distinct = sequence_offsets.size() - 1;
    if (sequence_offsets[0] != 0 ||
        static_cast<std::uint64_t>(sequence_offsets[distinct]) != residues.size())
        raise(PyExc_ValueError, "sequence_offsets must run from 0 to the number of residues");
    for (std::size_t k = 0; k < distinct; ++k) {
        if (sequence_offsets[k + 1] < sequence_offsets[k])
            raise(PyExc_ValueError, "sequence_offsets must not decrease");
    }
    // Rows come by mass, so their sequences' offsets are read out of order:
    // each is prefetched a few rows ahead. Rows go in fixed blocks, each
    // block's letters and modification masses counted first and then written
    // from where the blocks before it end: the table is the same whatever the
    // thread count.
    constexpr std::size_t kAhead = 16, kRows = std::size_t{1} << 14;
    const std::int64_t* offsets = sequence_offsets.items().data();
    const std::int64_t* index = sequence_index.items().data();
    const std::size_t blocks = (n + kRows - 1) / kRows;
    // Each sequence the rows use is stored once, where it first occurs: its first row, found first.
    constexpr std::uint32_t kUnplaced = std::numeric_limits<std::uint32_t>::max();
    std::vector<std::uint32_t> first_row(distinct, kUnplaced);
    struct Extent {
        std::size_t residues = 0, mods = 0;
        std::size_t bad = std::numeric_limits<std::size_t>::max();  // the block's first bad row
        const char* why = nullptr;
    };
    std::vector<Extent> extent(blocks + 1);
    auto each_row = [&](std::size_t b, const auto& visit) {
        for (std::size_t i = b * kRows, end = std::min(n, (b + 1) * kRows); i < end; ++i) {
            if (i + kAhead < end) __builtin_prefetch(offsets + std::min<std::uint64_t>(static_cast<std::uint64_t>(index[i + kAhead]), distinct));
            if (!visit(i)) break;
        }
    };
    parallel_for(blocks, [&](std::size_t first, std::size_t last) {
        for (std::size_t b = first; b < last; ++b) {
            Extent& e = extent[b + 1];
            each_row(b, [&](std::size_t i) {
                const std::int64_t k = index[i];
                const std::int64_t begin = mod_offsets[i], count = mod_offsets[i + 1] - begin;
                if (k < 0 || static_cast<std::uint64_t>(k) >= distinct) {
                    e.why = "sequence_index must name a sequence of sequence_offsets";
                } else if (begin < 0 || static_cast<std::uint64_t>(mod_offsets[i + 1]) > mod_values.size() ||
                           (count != 0 && count != offsets[k + 1] - offsets[k])) {
                    e.why = "mod_offsets must give each row one mass per residue or none";
                }
                if (e.why != nullptr) {
                    e.bad = i;
                    return false;
                }
                e.mods += static_cast<std::size_t>(count);
                std::atomic_ref<std::uint32_t> row(first_row[static_cast<std::size_t>(k)]);
                for (std::uint32_t held = row.load(std::memory_order_relaxed);
                     i < held && !row.compare_exchange_weak(held, static_cast<std::uint32_t>(i), std::memory_order_relaxed);) {
                }
                return true;
            });
        }
    });
    for (std::size_t b = 0; b < blocks; ++b) {
        if (extent[b + 1].why != nullptr) raise(PyExc_ValueError, extent[b + 1].why);
    }
    AllowThreads unlocked;  // the buffers stay held
    parallel_for(blocks, [&](std::size_t first, std::size_t last) {
        for (std::size_t b = first; b < last; ++b) {
            each_row(b, [&](std::size_t i) {
                const auto k = static_cast<std::size_t>(index[i]);
                if (first_row[k] == i) extent[b + 1].residues += static_cast<std::size_t>(offsets[k + 1] - offsets[k]);
                return true;
            });
        }
    });
    for (std::size_t b = 0; b < blocks; ++b) {
        extent[b + 1].residues += extent[b].residues;
        extent[b + 1].mods += extent[b].mods;
    }
    PeptideTable peptides;
    const std::uint32_t group = peptides.add_group({});
    peptides.resize(n, extent[blocks].residues, extent[blocks].mods);
    const auto* bytes = reinterpret_cast<const char*>(residues.items().data());
    // Where each used sequence's letters go (its first row places them), then the rows, which read it.
    std::vector<std::uint32_t> placed(distinct);
    parallel_for(blocks, [&](std::size_t first, std::size_t last) {
        for (std::size_t b = first; b < last; ++b) {
            std::size_t letters = extent[b].residues;
            each_row(b, [&](std::size_t i) {
                const auto k = static_cast<std::size_t>(index[i]);
                if (first_row[k] != i) return true;
                const auto length = static_cast<std::size_t>(offsets[k + 1] - offsets[k]);
                std::copy_n(bytes + offsets[k], length, peptides.letters() + letters);
                placed[k] = static_cast<std::uint32_t>(letters);
                letters += length;
                return true;
            });
        }
    });
    parallel_for(blocks, [&](std::size_t first, std::size_t last) {
        for (std::size_t b = first; b < last; ++b) {
            std::size_t mod = extent[b].mods;
            each_row(b, [&](std::size_t i) {
                const auto k = static_cast<std::size_t>(index[i]);
                const auto length = static_cast<std::size_t>(offsets[k + 1] - offsets[k]);
                const auto mods = mod_values.items().subspan(static_cast<std::size_t>(mod_offsets[i]),
                                                             static_cast<std::size_t>(mod_offsets[i + 1] - mod_offsets[i]));
                peptides.set_row(i, placed[k], static_cast<std::uint32_t>(length), static_cast<std::uint32_t>(mod), mods,
                                 unless_nan(nterm[i]), unless_nan(cterm[i]), masses[i], missed[i],
                                 mods.empty() ? PeptideTable::kUnmodified : 0, group);
                mod += mods.size();
                return true;
            });
        }
    });
    return peptides;
}

// The columns come in a dict that is emptied once the table holds its own
// copy: arrays that only the dict held are freed before the fragments, the
// build's largest allocation, are made.
PyObject* build_index_of_set(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static constexpr Param params[] = {{"columns"}, {"bucket_size"}, {"min_ion_index"}, {"decoy_tag"},
                                           {"ion_kinds", false}, {"decoys", false}};
        static constexpr Param column_params[] = {
            {"residues"}, {"sequence_offsets"}, {"sequence_index"}, {"masses"}, {"mod_offsets"}, {"mod_values"},
            {"nterm"}, {"cterm"}, {"missed_cleavages"}};
        Args a("build_index_of_set", params, args, kwargs);
        const IndexBuildSettings settings = settings_of(a, 1);
        PyObject* columns = a[0];
        bool complete =
            PyDict_Check(columns) && PyDict_Size(columns) == static_cast<Py_ssize_t>(std::size(column_params));
        for (const Param& column : column_params)
            complete = complete && PyDict_GetItemString(columns, column.name) != nullptr;
        if (!complete) {
            raise(PyExc_TypeError, "columns must be a dict of residues, sequence_offsets, sequence_index, masses, "
                                   "mod_offsets, mod_values, nterm, cterm and missed_cleavages");
        }
        PeptideTable peptides = peptides_of_set(Args("build_index_of_set", column_params, nullptr, columns));
        PyDict_Clear(columns);
        return built(settings, std::move(peptides));
    });
}

PyObject* Index_fragment_count(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a("Index.fragment_count", {}, args, kwargs);
        return to_py(read_self<Index>(self)->db->fragments.size());
    });
}

PyObject* Index_peptide_count(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a("Index.peptide_count", {}, args, kwargs);
        return to_py(read_self<Index>(self)->db->peptides.size());
    });
}

PyObject* Index_save(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_input([&] {
        static constexpr Param params[] = {{"path"}};
        Args a("Index.save", params, args, kwargs);
        const auto path = arg<std::string>(a, 0);
        const SharedDatabase db = read_self<Index>(self)->db;
        {
            AllowThreads unlocked;
            save_index(*db, path);
        }
        return Ref::borrow(Py_None);
    });
}

PyObject* load_index(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_input([&] {
        static constexpr Param params[] = {{"path"}, {"verify", false}};
        Args a("load_index", params, args, kwargs);
        const auto path = arg<std::string>(a, 0);
        const bool verify = a[1] == nullptr || arg<bool>(a, 1);
        SharedDatabase db;
        {
            AllowThreads unlocked;
            db = std::make_shared<const IndexedDatabase>(tamrel::load_index(path, verify));
        }
        return wrap(Index{std::move(db)});
    });
}

PyMethodDef Index_methods[] = {
    {"fragment_count", as_cfunction(Index_fragment_count), METH_VARARGS | METH_KEYWORDS,
     "fragment_count($self)\n--\n\nNumber of indexed fragments."},
    {"peptide_count", as_cfunction(Index_peptide_count), METH_VARARGS | METH_KEYWORDS,
     "peptide_count($self)\n--\n\nNumber of peptides, decoys included."},
    {"save", as_cfunction(Index_save), METH_VARARGS | METH_KEYWORDS,
     "save($self, path)\n--\n\nWrites the index to `path`, for load_index on a machine of the same kind."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef functions[] = {
    {"build_index", as_cfunction(build_index), METH_VARARGS | METH_KEYWORDS,
     "build_index(residues, offsets, masses, modifications, nterm, cterm, missed_cleavages, bucket_size, "
     "min_ion_index, decoy_tag, ion_kinds='by', decoys=True)\n--\n\n"
     "The fragment index of peptides given as columns, sorted by mass: residues[offsets[i]:offsets[i + 1]]\n"
     "(uint8, int64), 32-bit masses, one modification mass per residue, terminal masses (NaN: none),\n"
     "missed cleavages (uint8). Decoys are added as the engine does."},
    {"build_index_of_set", as_cfunction(build_index_of_set), METH_VARARGS | METH_KEYWORDS,
     "build_index_of_set(columns, bucket_size, min_ion_index, decoy_tag, ion_kinds='by', decoys=True)\n--\n\n"
     "The same as build_index from a digest's columns, given in the dict `columns`: distinct sequences\n"
     "residues[sequence_offsets[k]:sequence_offsets[k + 1]] (uint8, int64), each row's sequence k\n"
     "(sequence_index, int64), 32-bit masses, modification masses mod_values[mod_offsets[i]:mod_offsets[i + 1]]\n"
     "(one per residue, or none), terminal masses nterm and cterm (NaN: none), missed_cleavages (uint8). Rows of\n"
     "one sequence share its letters. The dict is emptied once the engine holds its own copy of the rows."},
    {"load_index", as_cfunction(load_index), METH_VARARGS | METH_KEYWORDS,
     "load_index(path, verify=True)\n--\n\nThe index Index.save wrote to `path`; InputError for a damaged or foreign file.\n"
     "verify=False leaves out the checksum and the fragments' checks, for a file a verified load has read\n"
     "before and that has not changed since (its layout and shape are still checked)."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

// A search's index holds millions of records, and freeing them takes about a
// second: done without the interpreter lock, so that the search goes on while
// a thread of its own drops the last reference.
void dealloc_index(PyObject* self) {
    SharedDatabase db = std::move(reinterpret_cast<Instance<Index>*>(self)->value.db);
    dealloc<Index>(self);
    if (db.use_count() == 1) {
        Py_BEGIN_ALLOW_THREADS
        db.reset();
        Py_END_ALLOW_THREADS
    }
}

bool add_index(PyObject* module) { return add_class<Index>(module) && PyModule_AddFunctions(module, functions) == 0; }

}  // namespace tamrel::py::native

namespace tamrel::py {

const ClassDef PyClass<native::Index>::def = {
    "Index", "vornik_tamrel._native.Index", sizeof(Instance<native::Index>), [] {
        auto slots = base_slots(native::dealloc_index, "A built fragment index (see build_index).");
        slots.push_back({Py_tp_methods, native::Index_methods});
        return slots;
    }};

}  // namespace tamrel::py

// Digestion: `digest(proteome, rules...)` returns the modified peptides of a
// proteome (sequences joined by '\n') as a dict of buffers. The interpreter
// lock is released while digesting.
#include "native/families.hpp"
#include "tamrel/digest.hpp"

namespace tamrel::py::native {
namespace {

constexpr Param digest_params[] = {
    {"proteome"}, {"cleave"}, {"unless"}, {"after"}, {"missed_cleavages"}, {"min_length"}, {"max_length"},
    {"min_mass"}, {"max_mass"}, {"water"}, {"fixed"}, {"fixed_nterm"}, {"fixed_cterm"}, {"variable"},
    {"max_variable"}, {"memory_budget"}};

PyObject* digest(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_input([&] {
        Args a("digest", digest_params, args, kwargs);
        const std::string proteome = arg<std::string>(a, 0);
        DigestRules rules;
        rules.cleave = arg<std::string>(a, 1);
        rules.unless = arg<std::string>(a, 2);
        rules.after = arg<bool>(a, 3);
        rules.missed_cleavages = arg<std::uint32_t>(a, 4);
        rules.min_length = arg<std::uint32_t>(a, 5);
        rules.max_length = arg<std::uint32_t>(a, 6);
        rules.min_mass = arg<double>(a, 7);
        rules.max_mass = arg<double>(a, 8);
        rules.water = arg<double>(a, 9);
        const std::vector<double> fixed = arg<std::vector<double>>(a, 10);
        if (fixed.size() != 26) raise(PyExc_ValueError, "fixed must hold one mass per letter A..Z");
        std::copy(fixed.begin(), fixed.end(), rules.fixed);
        rules.fixed_nterm = arg<double>(a, 11);
        rules.fixed_cterm = arg<double>(a, 12);
        for_each_in_sequence(a[13], [&](PyObject* item, Py_ssize_t) {
            PyObject *site = nullptr, *masses = nullptr;
            if (!PyArg_ParseTuple(item, "UO", &site, &masses)) throw ErrorAlreadySet{};
            const std::string letter = From<std::string>::convert(site);
            if (letter.size() != 1) raise(PyExc_ValueError, "a variable modification site is one character");
            rules.variable.push_back({letter[0], From<std::vector<double>>::convert(masses)});
        });
        rules.max_variable = arg<std::uint32_t>(a, 14);
        rules.memory_budget = arg<std::uint64_t>(a, 15);
        Digest d;
        {
            AllowThreads unlocked;
            d = digest_proteome(proteome, rules);
        }
        Ref dict = Ref::checked(PyDict_New());
        dict_set(dict.get(), "residues",
                 Ref::checked(PyBytes_FromStringAndSize(d.residues.data(), static_cast<Py_ssize_t>(d.residues.size()))));
        using Ints = const std::vector<std::int64_t>*;
        for (auto [key, column] : {std::pair<const char*, Ints>{"sequence_offsets", &d.sequence_offsets},
                                   {"protein_offsets", &d.protein_offsets}, {"protein_ids", &d.protein_ids},
                                   {"sequence", &d.sequence}, {"mod_offsets", &d.mod_offsets}}) {
            set_buffer(dict.get(), key, *column);
        }
        using Floats = const std::vector<float>*;
        for (auto [key, column] : {std::pair<const char*, Floats>{"mass", &d.mass}, {"mod_values", &d.mod_values},
                                   {"nterm", &d.nterm}, {"cterm", &d.cterm}}) {
            set_buffer(dict.get(), key, *column);
        }
        set_buffer(dict.get(), "missed_cleavages", d.missed_cleavages);
        return dict;
    });
}

// (accessions, sequences) of a FASTA file's bytes in the plain layout, None for anything else.
PyObject* fasta_records(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static constexpr Param params[] = {{"data"}};
        Args a("fasta_records", params, args, kwargs);
        PyObject* data = a[0];
        if (!PyBytes_Check(data)) raise(PyExc_TypeError, "data must be bytes");
        std::optional<PlainFasta> records;
        {
            const std::string_view text(PyBytes_AS_STRING(data), static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
            AllowThreads unlocked;  // the bytes object is immutable and held by the caller
            records = plain_fasta(text);
        }
        if (!records) return Ref::borrow(Py_None);
        const auto n = static_cast<Py_ssize_t>(records->accessions.size());
        Ref accessions = Ref::checked(PyList_New(n)), sequences = Ref::checked(PyList_New(n));
        std::size_t begin = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            const std::string_view accession = records->accessions[static_cast<std::size_t>(i)];
            const std::size_t end = records->ends[static_cast<std::size_t>(i)];
            PyList_SET_ITEM(accessions.get(), i,
                            Ref::checked(PyUnicode_DecodeASCII(accession.data(), static_cast<Py_ssize_t>(accession.size()),
                                                               nullptr)).release());
            PyList_SET_ITEM(sequences.get(), i,
                            Ref::checked(PyUnicode_DecodeASCII(records->sequences.data() + begin,
                                                               static_cast<Py_ssize_t>(end - begin), nullptr)).release());
            begin = end;
        }
        return Ref::checked(PyTuple_Pack(2, accessions.get(), sequences.get()));
    });
}

PyMethodDef methods[] = {
    {"fasta_records", as_cfunction(fasta_records), METH_VARARGS | METH_KEYWORDS,
     "fasta_records(data)\n--\n\n"
     "(accessions, sequences) of a FASTA file's bytes in the plain layout ('>' header lines, then lines of\n"
     "ASCII letters; spaces and a trailing '*' dropped, letters in upper case); None for anything else."},
    {"digest", as_cfunction(digest), METH_VARARGS | METH_KEYWORDS,
     "digest(proteome, cleave, unless, after, missed_cleavages, min_length, max_length, min_mass, max_mass, "
     "water, fixed, fixed_nterm, fixed_cterm, variable, max_variable, memory_budget)\n--\n\n"
     "The modified peptides of a proteome (sequences joined by newlines), sorted by mass, as buffers; "
     "InputError when they would take more than memory_budget bytes once indexed (0: no limit)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_digestion(PyObject* module) { return PyModule_AddFunctions(module, methods) == 0; }

}  // namespace tamrel::py::native

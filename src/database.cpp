// PyIndexedDatabase: a shared, immutable fragment-indexed database. Built only
// by `from_peptides_and_config`; every read returns fresh Python objects.
#include <exception>
#include <memory>
#include <new>
#include <ranges>

#include "classes.hpp"

namespace tamrel::py {
namespace {

// Any failure of the build, on this thread or a worker, is reported with this
// one line; its own message is dropped.
constexpr const char* kBuildFailed = "internal failure during indexed database generation";

PyObject* PyIndexedDatabase_from_peptides_and_config(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static constexpr Param params[] = {{"peptides"},        {"bucket_size"},     {"ion_kinds"},
                                           {"min_ion_index"},   {"generate_decoys"}, {"decoy_tag"},
                                           {"peptide_min_mass"}, {"peptide_max_mass"}};
        Args a("PyIndexedDatabase.from_peptides_and_config", params, args, kwargs);
        auto peptides = arg<std::vector<Peptide>>(a, 0);
        IndexBuildSettings settings;
        settings.bucket_size = arg<std::size_t>(a, 1);
        settings.ion_kinds = arg<std::vector<Kind>>(a, 2);
        settings.min_ion_index = arg<std::size_t>(a, 3);
        settings.generate_decoys = arg<bool>(a, 4);
        settings.decoy_tag = arg<std::string>(a, 5);
        settings.peptide_min_mass = arg<float>(a, 6);
        settings.peptide_max_mass = arg<float>(a, 7);

        // The interpreter lock stays held: the build touches no Python object
        // and callers expect it to be atomic with respect to other threads.
        SharedDatabase db;
        try {
            PeptideTable table(peptides);
            peptides = {};  // the records are not held twice during the build
            db = std::make_shared<const IndexedDatabase>(build_indexed_database(settings, std::move(table)));
        } catch (const std::bad_alloc&) {
            throw;
        } catch (...) {
            raise(PyExc_RuntimeError, kBuildFailed);
        }
        return wrap(std::move(db));
    });
}

PyObject* PyIndexedDatabase_peptides(PyObject* self, void*) {
    return guarded([&] {
        auto db = read_self<SharedDatabase>(self);
        const PeptideTable& peptides = (*db)->peptides;
        return list_of(std::views::iota(std::size_t{0}, peptides.size()),
                       [&](std::size_t i) { return wrap(peptides.peptide(i)); });
    });
}

PyObject* PyIndexedDatabase_sequence_for(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static constexpr Param params[] = {{"pep_index"}};
        Args a("PyIndexedDatabase.sequence_for", params, args, kwargs);
        auto index = arg<std::size_t>(a, 0);
        auto db = read_self<SharedDatabase>(self);
        const auto& peptides = (*db)->peptides;
        if (index >= peptides.size()) return Ref::borrow(Py_None);
        return str_lenient(peptides[index].sequence);
    });
}

PyObject* PyIndexedDatabase_fragment_count(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a("PyIndexedDatabase.fragment_count", {}, args, kwargs);
        auto db = read_self<SharedDatabase>(self);
        return to_py((*db)->fragments.size());
    });
}

PyObject* PyIndexedDatabase_debug_fragment_summary(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a("PyIndexedDatabase.debug_fragment_summary", {}, args, kwargs);
        auto db = read_self<SharedDatabase>(self);
        return list_of((*db)->fragments, [](const Theoretical& t) {
            Ref mass = to_py(t.fragment_mass);
            Ref index = to_py(t.peptide_index);
            return Ref::checked(PyTuple_Pack(2, mass.get(), index.get()));
        });
    });
}

PyMethodDef PyIndexedDatabase_methods[] = {
    {"from_peptides_and_config", as_cfunction(PyIndexedDatabase_from_peptides_and_config),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_peptides_and_config(peptides, bucket_size, ion_kinds, min_ion_index, generate_decoys, decoy_tag, "
     "peptide_min_mass, peptide_max_mass)\n--\n\n"},
    {"sequence_for", as_cfunction(PyIndexedDatabase_sequence_for), METH_VARARGS | METH_KEYWORDS,
     "sequence_for($self, pep_index)\n--\n\n"},
    {"debug_fragment_summary", as_cfunction(PyIndexedDatabase_debug_fragment_summary), METH_VARARGS | METH_KEYWORDS,
     "debug_fragment_summary($self)\n--\n\nDebug helper: return a summary of all indexed fragments"},
    {"fragment_count", as_cfunction(PyIndexedDatabase_fragment_count), METH_VARARGS | METH_KEYWORDS,
     "fragment_count($self)\n--\n\nQuick count of total fragments"},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef PyIndexedDatabase_getset[] = {{"peptides", PyIndexedDatabase_peptides, nullptr, nullptr, nullptr},
                                          {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

const ClassDef PyClass<SharedDatabase>::def = {
    "PyIndexedDatabase", "vornik_tamrel.PyIndexedDatabase", sizeof(Instance<SharedDatabase>), [] {
        auto slots = base_slots(dealloc<SharedDatabase>, "");
        slots.push_back({Py_tp_getset, PyIndexedDatabase_getset});
        slots.push_back({Py_tp_methods, PyIndexedDatabase_methods});
        return slots;
    }};

}  // namespace tamrel::py

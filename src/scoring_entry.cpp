// PyScorer.score_many_spectra and PyScorer.score_spectra: the two scoring
// entry points. Both convert every input to core records and take their
// borrows first, release the interpreter lock while the core scores (the core
// only reads shared immutable records), and build Python results after taking
// the lock back.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "classes.hpp"
#include "tamrel/error.hpp"

namespace tamrel::py {
namespace {

// Writes `line` to file descriptor 1 directly (bypassing sys.stdout), the
// whole of it; a failure is an internal failure of the call.
void print_line(const std::string& line) {
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int err = errno;
            fail("failed printing to stdout: " + std::string(std::strerror(err)) + " (os error " +
                 std::to_string(err) + ")");
        }
        if (n == 0) fail("failed printing to stdout: failed to write whole buffer");
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}

PyObject* PyScorer_score_spectra(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static constexpr Param params[] = {{"db"}, {"spectrum"}};
        Args a("PyScorer.score_spectra", params, args, kwargs);
        auto settings = read_self<ScorerSettings>(self);
        auto db = arg<ByRef<SharedDatabase>>(a, 0);
        auto spectrum = arg<ByRef<SharedSpectrum>>(a, 1);
        const Scorer scorer = Scorer::assemble(*settings, *db);
        const SharedSpectrum shared = *spectrum;
        std::vector<Feature> features;
        {
            AllowThreads unlocked;
            features = scorer.score(*shared);
        }
        print_line("Scoring returned " + std::to_string(features.size()) + " features\n");

        const IndexedDatabase& database = **db;
        Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(features.size())));
        for (std::size_t i = 0; i < features.size(); ++i) {
            std::optional<Peptide> peptide = peptide_by_idx(database, features[i].peptide_idx);
            Ref item = wrap(FeatureObject{std::move(peptide), std::move(features[i])});
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
        }
        return list;
    });
}

// Scores every spectrum in one parallel loop; a failure on any spectrum fails
// the whole call and nothing is returned. Rows follow the input order.
PyObject* PyScorer_score_many_spectra(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static constexpr Param params[] = {{"db"}, {"spectra"}};
        Args a("PyScorer.score_many_spectra", params, args, kwargs);
        auto settings = read_self<ScorerSettings>(self);
        auto db = arg<ByRef<SharedDatabase>>(a, 0);
        // Each element is reader-borrowed just long enough to copy its shared spectrum.
        const std::vector<SharedSpectrum> spectra = arg<std::vector<SharedSpectrum>>(a, 1);
        const ScorerSettings copied = *settings;
        SharedDatabase database = *db;

        FeatureColumns columns;
        {
            AllowThreads unlocked;
            columns = score_batch(copied, database, spectra);
        }
        return wrap(std::move(columns));
    });
}

}  // namespace

PyMethodDef* PyScorer_methods() {
    static PyMethodDef methods[] = {
        {"score_many_spectra", as_cfunction(PyScorer_score_many_spectra), METH_VARARGS | METH_KEYWORDS,
         "score_many_spectra($self, db, spectra)\n--\n\n"},
        {"score_spectra", as_cfunction(PyScorer_score_spectra), METH_VARARGS | METH_KEYWORDS,
         "score_spectra($self, db, spectrum)\n--\n\nExecutes the scoring logic against the built database and a "
         "single spectrum."},
        {nullptr, nullptr, 0, nullptr}};
    return methods;
}

}  // namespace tamrel::py

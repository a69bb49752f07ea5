// A built fragment index written to a file and read back, so that workers of
// one search, and later searches, load an index instead of building it
// again. The fragment records are used where they lie in the mapped file:
// processes of one host that load the same index share those pages. The file is for this build of the engine on this kind
// of machine only: its header states the layout, and a file of another
// layout, a truncated or damaged file, or one that does not describe a
// well-formed index is refused, never half-used.
#pragma once

#include <string>

#include "tamrel/database.hpp"

namespace tamrel {

// Throws InputFailure "<path>: cannot write the index: <reason>".
void save_index(const IndexedDatabase& db, const std::string& path);

// Throws InputFailure "<path>: <reason>" for a file that cannot be read or
// is not an index file of this layout, and std::bad_alloc when memory runs out.
// Without `verify`, for a file that a verified load has read before and that
// has not changed since, its checksum and its fragments' peptide numbers are
// not checked: the pass over every fragment record is left out, and pages are
// mapped as scoring first reads them. Its layout and shape are still checked.
IndexedDatabase load_index(const std::string& path, bool verify = true);

}  // namespace tamrel

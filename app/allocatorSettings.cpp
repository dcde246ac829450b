// Linked into the viewer's executables together with mimalloc.
#include <mimalloc.h>

namespace {

// A date change frees the old grid and, within a second or two, fills the
// next one: keeping freed pages committed that long lets the new day reuse
// them instead of faulting fresh ones in (about a quarter of a large day's
// memory otherwise). They still go back to the system after two seconds;
// MIMALLOC_DECOMMIT_DELAY in the environment overrides this default.
const bool keepFreedPages = [] {
    mi_option_set_default(mi_option_decommit_delay, 2000);
    return true;
}();

} // namespace

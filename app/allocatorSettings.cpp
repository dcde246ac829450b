// Linked into the viewer's executables together with mimalloc.
#include <mimalloc.h>

namespace {

// A date change frees the old grid and, within a second or two, fills the
// next one: keeping freed pages committed that long lets the new day reuse
// them instead of faulting fresh ones in (about a quarter of a large day's
// memory otherwise). They still go back to the system after two seconds.
//
// A large day is hundreds of megabytes made in one burst. On Linux 2 MiB
// pages (transparent huge pages, which mimalloc asks for with madvise) take
// one fault where 4 KiB pages take 512: about 9 thousand faults instead of
// 340 thousand at 200k rows x 30, and a start-up one and a half to two times
// faster. Where the kernel gives none, mimalloc uses plain pages as before.
// Windows gives large pages only to accounts holding a special privilege,
// so they are not asked for there.
//
// MIMALLOC_DECOMMIT_DELAY and MIMALLOC_LARGE_OS_PAGES in the environment
// override these defaults.
const bool settings = [] {
    mi_option_set_default(mi_option_decommit_delay, 2000);
#ifdef __linux__
    mi_option_set_default(mi_option_large_os_pages, 1);
#endif
    return true;
}();

} // namespace

// Linked into the viewer's executables together with mimalloc. A day grid is
// millions of small items made together and freed together; asking for 2 MiB
// pages turns most of the page faults of first touching that memory into a
// few hundred, since the system grants transparent huge pages only on request.
#include <mimalloc.h>

namespace {

const bool largePages = [] {
    mi_option_enable(mi_option_large_os_pages);
    return true;
}();

} // namespace

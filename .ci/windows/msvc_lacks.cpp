// Compiled by windows-check.sh, which must report it: mingw-w64 has a
// <unistd.h>, MSVC does not. Proves the check of such includes still works.

#include <unistd.h>

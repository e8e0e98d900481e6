// Every Wine process these tests start runs in the prefix that the
// wine.prefix test made, and keeps Wine's own diagnostics off stderr, which
// the tests read. Set here, before any test runs, so the binary behaves the
// same under CTest and when started by hand.
#include <cstdlib>

namespace {

const bool wine_environment = [] {
    setenv("WINEPREFIX", MARVOK_WINEPREFIX, 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    return true;
}();

}  // namespace

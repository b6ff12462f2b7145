// What the reused command-line texts need from the platform. The page picks its
// language from the browser (navigator.language) and hands it over; the locale
// lookup of the command-line tool is never asked here.
#include "cli/Terminal.h"

namespace korbex::cli {

std::uint16_t SystemUiLanguage() { return 0; }

}  // namespace korbex::cli

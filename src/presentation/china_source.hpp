#pragma once

#include <string>
#include <string_view>

#include "model/app_language.hpp"

namespace nimbra::presentation {

// The China auto split's line on where its country data comes from and how old it is, from
// nimbrad's `china_source`. Debian's geoip-database is years older than its package date says:
// only its version ("…+really20191224…") tells the data's own date, so the line leads with that
// date. Without a version the age is said to be unknown, never guessed from the file. A daemon
// that could not load the data says why; an empty source (nothing loaded yet) shows nothing.
std::string chinaSourceLine(std::string_view source, AppLanguage language);

}  // namespace nimbra::presentation

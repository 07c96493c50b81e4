// The page quorvel-web serves at /: HTML, CSS and JavaScript in one text, built
// into the program (nothing is fetched from elsewhere).
#pragma once

namespace quorvel::web {

extern const char* const kPage;

}  // namespace quorvel::web

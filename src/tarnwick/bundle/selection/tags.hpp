#pragma once
// Turning the user's tag words into the set of instrument identifiers to update.
//
// A word is a category ("stock", "futures", "fund", "index", "option", "convertible"), "all",
// an identifier, or a futures underlying symbol. In this order:
//   1. the four listings (all instruments, options, futures, convertibles) are fetched once;
//   2. categories and "all" select instruments by type;
//   3. an underlying symbol is replaced by every futures contract listed under it;
//   4. identifiers are taken from the full listing; an option identifier brings in its
//      underlying; ".XHKG" identifiers are looked up in the Hong Kong stock listing;
//   5. with_derivatives adds futures on the selection, then options on the selection and on
//      those futures;
//   6. the underlying stock of every selected convertible bond is added;
//   7. words nothing resolved are reported on the console (the run goes on).
// The client's Beijing Stock Exchange data is switched on for the resolution where needed and
// a disabled setting is restored afterwards, also when a service error ends the resolution (a
// long-lived host process would otherwise keep the exchange on). Service errors propagate.
#include <set>
#include <string>
#include <vector>

namespace tarnwick::bundle::selection {

std::set<std::string> _merge_tags(const std::vector<std::string>& tags, bool with_derivatives,
                                  bool enable_bjse = false);

}  // namespace tarnwick::bundle::selection

// The string helpers of coil that the stand-in uses, declared as OpenRTM-aist 1.x declares them
// (split and toBool are the same in 2.x). Blanks are ' ' and '\t', as in coil.
#ifndef COIL_STRINGUTIL_H
#define COIL_STRINGUTIL_H

#include <string>
#include <vector>

namespace coil {

typedef std::vector<std::string> vstring;

// Turns every ASCII letter of `str` into its capital, in place.
void toUpper(std::string& str);
// Turns every ASCII letter of `str` into its small letter, in place.
void toLower(std::string& str);

// Removes the blanks at the head and at the tail of `str`, in place.
void eraseBothEndsBlank(std::string& str);

// Removes the blanks at both ends of `str` and turns its letters small, in place; returns the
// result.
std::string normalize(std::string& str);

// The pieces of `input` between occurrences of `delimiter`, each without the blanks at its ends;
// an empty piece is left out when `ignore_empty` is set. An empty input gives no pieces at all,
// an empty delimiter the whole input as one piece.
vstring split(const std::string& input, const std::string& delimiter, bool ignore_empty = false);

// True when `str` is `yes`, false when it is `no`, `default_value` when it is neither; the
// comparison ignores case and the blanks at both ends of `str`.
bool toBool(std::string str, std::string yes, std::string no, bool default_value = true);

}  // namespace coil

#endif

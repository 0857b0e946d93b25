#include <coil/stringutil.h>

#include <cctype>

namespace coil {

namespace {

const char* const kBlanks = " \t";

}  // namespace

void toUpper(std::string& str) {
    for (char& c : str) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

void toLower(std::string& str) {
    for (char& c : str) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

void eraseBothEndsBlank(std::string& str) {
    const auto begin = str.find_first_not_of(kBlanks);
    if (begin == std::string::npos) {
        str.clear();
        return;
    }
    str.erase(str.find_last_not_of(kBlanks) + 1);
    str.erase(0, begin);
}

std::string normalize(std::string& str) {
    eraseBothEndsBlank(str);
    toLower(str);
    return str;
}

vstring split(const std::string& input, const std::string& delimiter, bool ignore_empty) {
    vstring pieces;
    if (input.empty()) return pieces;
    std::string::size_type start = 0;
    for (;;) {
        const auto end = delimiter.empty() ? std::string::npos : input.find(delimiter, start);
        std::string piece = input.substr(start, end == std::string::npos ? end : end - start);
        eraseBothEndsBlank(piece);
        if (!piece.empty() || !ignore_empty) pieces.push_back(piece);
        if (end == std::string::npos) break;
        start = end + delimiter.size();
    }
    return pieces;
}

bool toBool(std::string str, std::string yes, std::string no, bool default_value) {
    eraseBothEndsBlank(str);
    toUpper(str);
    toUpper(yes);
    toUpper(no);
    if (str == yes) return true;
    if (str == no) return false;
    return default_value;
}

}  // namespace coil

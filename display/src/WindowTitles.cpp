#include "display/Display.h"

#include <map>
#include <mutex>

namespace display {

namespace {

std::mutex s_titlesMutex;               // guards s_titles
std::map<std::string, int> s_titles;  // titles held -> how many hold them

}  // namespace

std::string claimTitle(const std::string& title, const std::string& instance) {
    std::lock_guard<std::mutex> lock(s_titlesMutex);
    std::string claimed = title;
    if (s_titles.count(claimed) != 0) claimed = title + " (" + instance + ")";
    ++s_titles[claimed];
    return claimed;
}

void releaseTitle(const std::string& claimed) noexcept {
    std::lock_guard<std::mutex> lock(s_titlesMutex);
    const auto it = s_titles.find(claimed);
    if (it != s_titles.end() && --it->second == 0) s_titles.erase(it);
}

}  // namespace display

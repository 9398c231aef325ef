#include "pointNames.h"

#include <algorithm>
#include <cerrno>
#include <cstring>


namespace marld {

bool isWellFormedPointName(std::string_view name) noexcept
{
    return !name.empty() && name.size() <= kMaxPointNameLength && std::ranges::none_of(name, [](char c) {
               return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
           });
}

std::optional<PointNames> PointNames::fromList(std::istream& lines, std::string& error)
{
    PointNames names;
    names.listed_.emplace();
    std::string line;
    for (unsigned long number = 1; std::getline(lines, line); ++number) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line.front() == '#') {
            continue; // room for blank lines and comments
        }
        if (!isWellFormedPointName(line)) {
            error = "line " + std::to_string(number) + ": not a valid point name (1 to " +
                    std::to_string(kMaxPointNameLength) + " bytes, no control characters)";
            return std::nullopt;
        }
        names.listed_->insert(std::move(line));
    }
    if (lines.bad()) {
        error = std::string("cannot read it: ") + std::strerror(errno);
        return std::nullopt;
    }
    if (names.listed_->empty()) {
        error = "no point names in it: every point would be refused";
        return std::nullopt;
    }
    return names;
}

bool PointNames::isListed(std::string_view name) const
{
    return listed_->find(name) != listed_->end();
}

} // namespace marld

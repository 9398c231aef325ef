// Which point names the service accepts.
//
// A name is a byte string of 1 to kMaxPointNameLength bytes without NUL or
// other control bytes (below 0x20, and 0x7F). The length is what the 646-byte
// update limit leaves after the 46-byte record, so no acceptable name is too
// long to be updated. When the service was given a list of names, a name
// must also be on it.
#pragma once

#include <cstddef>
#include <istream>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "marlmsg.h"

namespace marld {

inline constexpr std::size_t kMaxPointNameLength = MARL_MAX_UPDATE_MSG_LENGTH - MARL_UPDATE_POINT_MSG_SIZE;

// True when `name` has an acceptable length and no control byte; says
// nothing about a list of known names.
[[nodiscard]] bool isWellFormedPointName(std::string_view name) noexcept;

class PointNames {
public:
    // Accepts every well-formed name.
    PointNames() = default;

    // The names of a points file: one name per line, a trailing CR dropped,
    // empty lines skipped. On a line that holds no well-formed name, returns
    // nothing and sets `error` to "line N: ..." .
    [[nodiscard]] static std::optional<PointNames> fromList(std::istream& lines, std::string& error);

    [[nodiscard]] bool accepts(std::string_view name) const
    {
        return isWellFormedPointName(name) && (!listed_ || isListed(name));
    }

private:
    [[nodiscard]] bool isListed(std::string_view name) const;

    std::optional<std::set<std::string, std::less<>>> listed_;
};

} // namespace marld

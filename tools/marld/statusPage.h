// The page that marld's HTTP side serves at "/": the raised points first,
// then the others, refreshed every few seconds from /points. One document,
// its style and script inline, with no asset from anywhere else.
#pragma once

#include <string_view>

namespace marld {

[[nodiscard]] std::string_view statusPage() noexcept;

} // namespace marld

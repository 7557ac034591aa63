#pragma once

#include <cstddef>
#include <string_view>

namespace platform {

enum class JsonShape { acceptable, tooDeep, tooManyValues };

// Walks a JSON text without building anything and says whether its nesting
// or its number of values (containers included) passes a bound. A tree of
// millions of tiny values costs gigabytes even when the text is small enough
// to read, so callers refuse such shapes before parsing into a tree. Syntax
// errors count as acceptable here: the real parse reports them better.
JsonShape checkJsonShape(std::string_view text, std::size_t maxDepth, std::size_t maxValues);

} // namespace platform

#include "platform/JsonShape.h"

#include <nlohmann/json.hpp>

namespace platform {

namespace {

using nlohmann::json;

struct ShapeGuard : nlohmann::json_sax<json> {
    ShapeGuard(std::size_t maxDepth, std::size_t maxValues)
        : maxDepth(maxDepth), maxValues(maxValues) {}

    const std::size_t maxDepth;
    const std::size_t maxValues;
    JsonShape shape = JsonShape::acceptable;
    std::size_t depth = 0;
    std::size_t values = 0;

    bool value() {
        if (++values <= maxValues) return true;
        shape = JsonShape::tooManyValues;
        return false;
    }
    bool open() {
        if (++depth <= maxDepth) return value();
        shape = JsonShape::tooDeep;
        return false;
    }
    bool null() override { return value(); }
    bool boolean(bool) override { return value(); }
    bool number_integer(number_integer_t) override { return value(); }
    bool number_unsigned(number_unsigned_t) override { return value(); }
    bool number_float(number_float_t, const string_t&) override { return value(); }
    bool string(string_t&) override { return value(); }
    bool binary(binary_t&) override { return value(); }
    bool start_object(std::size_t) override { return open(); }
    bool key(string_t&) override { return true; }
    bool end_object() override { return --depth, true; }
    bool start_array(std::size_t) override { return open(); }
    bool end_array() override { return --depth, true; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }
};

} // namespace

JsonShape checkJsonShape(std::string_view text, std::size_t maxDepth, std::size_t maxValues) {
    ShapeGuard guard(maxDepth, maxValues);
    json::sax_parse(text.begin(), text.end(), &guard);
    return guard.shape;
}

} // namespace platform

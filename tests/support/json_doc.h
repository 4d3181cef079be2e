// JSON documents written inline in tests.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include <json/json.h>

namespace plortest {

inline Json::Value json(const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value out;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &out, &errors)) {
        throw std::invalid_argument("bad test document: " + errors + " in " + text);
    }
    return out;
}

}  // namespace plortest

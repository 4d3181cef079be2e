// Where the host's own lines go (the console, in this program): whole
// lines, from any thread.
#pragma once

#include <string>

#include <json/json.h>

namespace smdhost {

class Output {
public:
    virtual ~Output() = default;
    virtual bool json() const = 0;
    // A text line in text mode; the JSON object as one line in JSON mode.
    virtual void emit(const std::string& text, const Json::Value& object) = 0;
    // Answers to commands and other plain text.
    virtual void text(const std::string& line, const char* kind = "message") = 0;
    // To standard error, whatever the mode.
    virtual void error(const std::string& line) = 0;
};

}  // namespace smdhost

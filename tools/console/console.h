// Everything the host prints goes through here, one whole line at a time,
// so lines from device threads, the supply and the command loop never mix.
//
// The plug-in writes its own diagnostic lines to standard output; those are
// caught on a pipe and dropped, kept in a file, or shown with a prefix.
#pragma once

#include <mutex>
#include <string>
#include <thread>

#include <json/json.h>

#include "clock_text.h"
#include "output.h"

namespace smdhost {

class Console : public Output {
public:
    explicit Console(bool json) : json_(json) {}
    bool json() const override { return json_; }

    // A text line in text mode; the JSON object as one line in JSON mode.
    void emit(const std::string& text, const Json::Value& object) override;
    // Answers to commands and other plain text; in JSON mode an object
    // {"event": kind, "text": line}.
    void text(const std::string& line, const char* kind = "message") override;
    // To standard error, whatever the mode.
    void error(const std::string& line) override;

    // Once the plug-in's output is caught, ours goes to the saved descriptor.
    void setOutputFd(int fd);

    // Standard output and standard error appended to FILE from here on;
    // reopenLog opens it anew (after a rotation renamed it). False, with
    // the reason, when the file cannot be opened: the old one stays.
    bool openLog(const std::string& path, std::string& why);
    bool reopenLog(std::string& why);

    static std::string jsonLine(const Json::Value& v);

private:
    void write(const std::string& line);
    bool json_;
    int fd_ = 1;
    std::string logPath_;
    std::mutex mutex_;
};

class PluginOutput {
public:
    enum Mode { drop, show, file };
    PluginOutput(Console& console, Mode mode, const std::string& path);
    ~PluginOutput();
    PluginOutput(const PluginOutput&) = delete;
    PluginOutput& operator=(const PluginOutput&) = delete;

    // Puts standard output back and forwards what is left.
    void restore();
    // Opens the plug-in log anew (after a rotation); false, with the
    // reason, when it cannot be: the lines keep going to the old one.
    bool reopen(std::string& why);

private:
    void pump();
    Console& console_;
    Mode mode_;
    std::string path_;
    std::mutex mutex_;  // logFd_ between reopen and restore
    int savedStdout_ = -1;
    int readFd_ = -1;
    int logFd_ = -1;
    std::thread thread_;
};

}  // namespace smdhost

// Runs smd-host as a child process for the command-line tests.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace smdtest {

class Process {
public:
    // Output goes to files in `dir`; standard input is `input` (/dev/null
    // when empty).
    Process(const std::vector<std::string>& argv, const std::string& dir,
            const std::string& input = std::string());
    ~Process();

    // Exit status, or -1 when the process did not end in time (it is then
    // killed). A death by signal gives 128 + the signal.
    int wait(int timeoutMs);
    void signal(int sig);
    std::string out() const;
    std::string err() const;
    // Waits until standard output holds `count` lines containing `text`.
    bool waitForOutput(const std::string& text, int count, int timeoutMs) const;

private:
    pid_t pid_ = -1;
    std::string outPath_, errPath_;
    int status_ = -2;
};

int countOf(const std::string& text, const std::string& what);
std::string slurp(const std::string& path);
// Waits until the file holds `count` lines containing `text`.
bool waitForFile(const std::string& path, const std::string& text, int count, int timeoutMs);
std::vector<std::string> linesWith(const std::string& text, const std::string& what);

}  // namespace smdtest

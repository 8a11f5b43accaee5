// Test helpers shared by every suite: scratch directories on the real
// filesystem, capture of the library's log lines, and child processes that a
// test starts and stops by pid.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace qvtest {

// A fresh directory under TMPDIR (or /tmp), removed with its content.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string file(const std::string &name) const { return path + "/" + name; }
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);

// Sends the library's log lines (threshold DEBUG) to a scratch file for the
// life of the object, then back to standard error at the previous threshold.
struct LogCapture {
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;
    std::string text() const;                       // everything logged so far
    bool contains(const std::string &needle) const;
    void clear();
  private:
    FILE *f_ = nullptr;
    int prev_level_ = -1;
};

// Runs a shell command, returns its exit status (-1 when it did not exit) and
// fills `out` with its standard output when given.
int run_command(const std::string &cmd, std::string *out = nullptr);

// Runs the Python script `tests/scripts/<script>` with Debian's python3 and
// the given arguments; stdin gets `input`; returns the exit status.
int run_python(const std::string &script, const std::vector<std::string> &args, const std::string &input,
               std::string *out);

// A child process started with execvp; stopped by pid (SIGTERM, then SIGKILL)
// when the object goes away.
struct ChildProcess {
    pid_t pid = -1;
    explicit ChildProcess(const std::vector<std::string> &argv, const std::string &stdout_path = "/dev/null");
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;
    bool running();
    int stop();  // returns the wait status
};

// True when `prog` is found on PATH.
bool have_program(const std::string &prog);

void sleep_ms(int ms);

// Polls `pred` every 10 ms until it holds or `ms` pass.
template <class F> bool wait_until(F pred, int ms) {
    for (int waited = 0; waited <= ms; waited += 10) {
        if (pred()) return true;
        sleep_ms(10);
    }
    return pred();
}

}  // namespace qvtest

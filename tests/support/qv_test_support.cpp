#include "qv_test_support.h"

#include "n_log.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

namespace qvtest {

TempDir::TempDir() {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qvtest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) abort();
    path = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), (std::streamsize)content.size());
}

LogCapture::LogCapture() {
    f_ = tmpfile();
    prev_level_ = get_log_level();
    set_log_file_fd(f_);
    set_log_level(LOG_DEBUG);
}

LogCapture::~LogCapture() {
    set_log_file_fd(stderr);
    set_log_level(prev_level_);
    fclose(f_);
}

std::string LogCapture::text() const {
    fflush(f_);
    std::string s;
    long end = ftell(f_);
    s.resize((size_t)end);
    if (end > 0) {
        fseek(f_, 0, SEEK_SET);
        size_t got = fread(s.data(), 1, (size_t)end, f_);
        s.resize(got);
        fseek(f_, 0, SEEK_END);
    }
    return s;
}

bool LogCapture::contains(const std::string &needle) const { return text().find(needle) != std::string::npos; }

void LogCapture::clear() {
    fflush(f_);
    if (ftruncate(fileno(f_), 0) == 0) fseek(f_, 0, SEEK_SET);
}

int run_command(const std::string &cmd, std::string *out) {
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) s.append(buf, n);
    int st = pclose(p);
    if (out) *out = s;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

static std::string shell_quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

int run_python(const std::string &script, const std::vector<std::string> &args, const std::string &input,
               std::string *out) {
    TempDir dir;
    std::string in = dir.file("stdin");
    write_file(in, input);
    std::string cmd = std::string(QV_PYTHON) + " " + shell_quote(std::string(QV_SOURCE_DIR) + "/tests/scripts/" + script);
    for (const auto &a : args) cmd += " " + shell_quote(a);
    cmd += " < " + shell_quote(in);
    return run_command(cmd, out);
}

ChildProcess::ChildProcess(const std::vector<std::string> &argv, const std::string &stdout_path) {
    pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int fd = open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        std::vector<char *> v;
        for (const auto &a : argv) v.push_back(const_cast<char *>(a.c_str()));
        v.push_back(nullptr);
        execvp(v[0], v.data());
        _exit(127);
    }
}

ChildProcess::~ChildProcess() { stop(); }

bool ChildProcess::running() {
    if (pid <= 0) return false;
    int st;
    pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == pid) {
        pid = -1;
        return false;
    }
    return r == 0;
}

int ChildProcess::stop() {
    if (pid <= 0) return 0;
    int st = 0;
    kill(pid, SIGTERM);
    for (int i = 0; i < 200; i++) {
        if (waitpid(pid, &st, WNOHANG) == pid) {
            pid = -1;
            return st;
        }
        sleep_ms(10);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
    pid = -1;
    return st;
}

bool have_program(const std::string &prog) {
    return run_command("command -v " + shell_quote(prog) + " >/dev/null 2>&1") == 0;
}

void sleep_ms(int ms) { usleep((useconds_t)ms * 1000); }

}  // namespace qvtest

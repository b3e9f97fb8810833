#pragma once

// Small RAII pieces for driving the real program: child processes, temporary directories,
// a pair of network namespaces joined by a veth pair, and an Xvfb server inside one of them.
// Every destructor tidies up after itself, so a failed assertion never leaves a namespace,
// an X server or a child behind.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace e2e {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Whether an executable of this name is on PATH (or is an executable path itself).
bool haveProgram(const std::string& name);

struct RunResult {
    int exitCode = -1; // -1: did not exit normally (signal or timeout)
    std::string out;   // standard output
    std::string err;   // standard error
};
// Runs argv to completion (killed after the timeout), capturing its output.
RunResult run(const std::vector<std::string>& argv, milliseconds timeout = milliseconds(15000));

// A directory under /tmp named after this process, removed with its content on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// A child process. The destructor kills it (SIGKILL) and reaps it if it still runs.
class Child {
public:
    struct Options {
        std::vector<std::string> argv;
        // Empty: inherit the test's environment.
        std::vector<std::string> env;
        bool pipeStdin = false;
        bool pipeStdout = false;
        // Where standard output (unless piped) and standard error go; empty: /dev/null.
        std::filesystem::path logFile;
        // Pass the write end of a fresh pipe to the child as this descriptor (Xvfb's -displayfd).
        int extraWriteFd = -1;
    };

    explicit Child(const Options& options);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return m_pid; }
    bool running();
    // The raw wait status once it has exited within the time, else nothing.
    std::optional<int> waitExit(milliseconds timeout);
    void signal(int sig);

    // One line from the piped standard output (or the extra pipe), without the newline.
    std::optional<std::string> readLine(milliseconds timeout, bool fromExtra = false);
    bool writeStdin(const std::string& text);
    void closeStdin();

private:
    pid_t m_pid = -1;
    std::optional<int> m_status;
    int m_stdin = -1;
    int m_stdout = -1;
    int m_extra = -1;
    std::string m_buf;
    std::string m_extraBuf;
};

// "exited with 0", "killed by signal 9", ...
std::string describeStatus(int status);

// Summed receive and send counters of a namespace's non-loopback interfaces.
struct Counters {
    std::uint64_t rx = 0;
    std::uint64_t tx = 0;
};

// Namespaces A and B joined by a veth pair: A holds 10.213.7.1/30, B 10.213.7.2/30.
// Both loopbacks are up; IPv6 is off so no neighbour discovery chatter adds bytes.
class NetnsPair {
public:
    static constexpr const char* kAddressA = "10.213.7.1";
    static constexpr const char* kAddressB = "10.213.7.2";

    explicit NetnsPair(const std::string& tag);
    ~NetnsPair();
    NetnsPair(const NetnsPair&) = delete;
    NetnsPair& operator=(const NetnsPair&) = delete;

    bool ok() const { return m_ok; }
    const std::string& error() const { return m_error; }
    const std::string& a() const { return m_a; }
    const std::string& b() const { return m_b; }

    // argv prefixed so that it runs inside namespace A (or B).
    std::vector<std::string> inA(std::vector<std::string> argv) const;
    std::vector<std::string> inB(std::vector<std::string> argv) const;

    // The kernel's counters of A's non-loopback interfaces, read from sysfs inside A.
    std::optional<Counters> countersA() const;
    // Process ids that live in namespace A.
    std::vector<pid_t> pidsInA() const;

    // Removes namespaces and temporary directories left behind by earlier runs whose test
    // process is gone (killed by a timeout, say).
    static void removeStale();

private:
    bool step(const std::vector<std::string>& argv);

    std::string m_a, m_b, m_vethA, m_vethB;
    bool m_createdA = false, m_createdB = false;
    bool m_ok = false;
    std::string m_error;
};

// Whether the process exists and is not a zombie.
bool processAlive(pid_t pid);

// The comm name of a process ("" when it is gone).
std::string processName(pid_t pid);

} // namespace e2e

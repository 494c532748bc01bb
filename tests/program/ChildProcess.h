// Runs another program with its output captured, for tests of whole programs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

/// A started child process. Standard output and standard error go to temporary
/// files, so a chatty child never blocks on a full pipe. The destructor kills a
/// child that is still running.
class ChildProcess {
  public:
    struct Options {
        std::string workingDirectory;            ///< empty: the caller's
        std::vector<std::string> unsetVariables; ///< removed from the child's environment
    };

    /// Starts argv[0] (a path, or a name looked up on PATH) with the given arguments. Throws
    /// std::runtime_error when the process cannot be created.
    ChildProcess(const std::vector<std::string>& argv, const Options& options);
    ~ChildProcess();

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    /// Waits up to the timeout; the exit status if the child exited normally by then.
    /// A child ended by a signal counts as exited with status 128 + signal.
    std::optional<int> waitFor(std::chrono::milliseconds timeout);

    /// True while the child has not yet been reaped.
    bool running();

    /// Sends a signal to the child if it is still running.
    void signal(int number);

    pid_t pid() const { return childPid; }
    std::string standardOutput() const;
    std::string standardError() const;

  private:
    pid_t childPid = -1;
    std::optional<int> exitStatus;
    std::string outputPath;
    std::string errorPath;
};

/// Runs a program to its end (killing it after the timeout) and returns its
/// standard output, or nothing if it failed or timed out.
std::optional<std::string> runForOutput(const std::vector<std::string>& argv,
                                        std::chrono::milliseconds timeout);

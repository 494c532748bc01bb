// Child processes for whole-program tests: fork, exec, capture and bounded waits.
#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

// How often a bounded wait looks at the child again.
constexpr std::chrono::milliseconds pollInterval(20);

std::string makeTemporaryFile(const char* role)
{
    std::string path = std::string("/tmp/tolvane-") + role + "-XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd < 0)
        throw std::runtime_error("cannot create a temporary file");
    close(fd);
    return path;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Options& options)
    : outputPath(makeTemporaryFile("stdout")), errorPath(makeTemporaryFile("stderr"))
{
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    childPid = fork();
    if (childPid < 0)
        throw std::runtime_error("cannot fork");
    if (childPid == 0) {
        // Only async-signal-safe work until exec, apart from unsetenv, which is
        // safe here because the test program has a single thread.
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(outputPath.c_str(), O_WRONLY | O_TRUNC);
        const int err = open(errorPath.c_str(), O_WRONLY | O_TRUNC);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(126);
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0)
            _exit(126);
        for (const std::string& name : options.unsetVariables)
            unsetenv(name.c_str());
        execvp(args[0], args.data());
        _exit(127);
    }
}

ChildProcess::~ChildProcess()
{
    if (running()) {
        kill(childPid, SIGKILL);
        waitFor(std::chrono::seconds(5));
    }
    std::remove(outputPath.c_str());
    std::remove(errorPath.c_str());
}

std::optional<int> ChildProcess::waitFor(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!exitStatus) {
        int status = 0;
        const pid_t done = waitpid(childPid, &status, WNOHANG);
        if (done == childPid) {
            exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(pollInterval);
    }
    return exitStatus;
}

bool ChildProcess::running()
{
    return !waitFor(std::chrono::milliseconds(0));
}

void ChildProcess::signal(int number)
{
    if (running())
        kill(childPid, number);
}

std::string ChildProcess::standardOutput() const
{
    return readFile(outputPath);
}

std::string ChildProcess::standardError() const
{
    return readFile(errorPath);
}

std::optional<std::string> runForOutput(const std::vector<std::string>& argv,
                                        std::chrono::milliseconds timeout)
{
    ChildProcess child(argv, {});
    const std::optional<int> status = child.waitFor(timeout);
    if (!status || *status != 0)
        return std::nullopt;
    return child.standardOutput();
}

// A program started for an end-to-end test, with its standard input and output as pipes.
// Every wait is bounded, and a child still alive when the object dies is killed, so a
// failing test can never hang the run.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::string& workingFolder);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    void Write(const std::string& bytes);
    void CloseInput();
    void Signal(int signal);

    // True once text has appeared times times in the child's output within timeoutMs.
    bool WaitForOutput(const std::string& text, int timeoutMs, int times = 1);
    std::string Output();

    // The exit status once the child has ended within timeoutMs; -1 when it had to be
    // killed, -2 when it ended by a signal.
    int WaitForExit(int timeoutMs);

private:
    void ReadOutput();

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    int status_ = 0;
    bool reaped_ = false;
    std::thread reader_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::string text_;  // guarded by lock_
};

}  // namespace testing_support

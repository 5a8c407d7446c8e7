#include "tests/support/child_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace testing_support {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& workingFolder) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(out[1], 2);
        if (::chdir(workingFolder.c_str()) != 0) ::_exit(126);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    output_ = out[0];
    reader_ = std::thread([this] { ReadOutput(); });
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
    }
    CloseInput();
    if (reader_.joinable()) reader_.join();
    if (output_ >= 0) ::close(output_);
}

void ChildProcess::Write(const std::string& bytes) {
    if (input_ >= 0) {
        ssize_t ignored = ::write(input_, bytes.data(), bytes.size());
        (void)ignored;
    }
}

void ChildProcess::CloseInput() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
}

void ChildProcess::Signal(int signal) {
    if (pid_ > 0 && !reaped_) ::kill(pid_, signal);
}

void ChildProcess::ReadOutput() {
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(output_, buffer, sizeof buffer);
        if (n <= 0) break;
        std::lock_guard<std::mutex> guard(lock_);
        text_.append(buffer, static_cast<size_t>(n));
        changed_.notify_all();
    }
}

bool ChildProcess::WaitForOutput(const std::string& text, int timeoutMs, int times) {
    auto seen = [&] {
        int count = 0;
        for (size_t at = text_.find(text); at != std::string::npos; at = text_.find(text, at + 1)) {
            if (++count >= times) return true;
        }
        return false;
    };
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), seen);
}

std::string ChildProcess::Output() {
    std::lock_guard<std::mutex> guard(lock_);
    return text_;
}

int ChildProcess::WaitForExit(int timeoutMs) {
    if (pid_ <= 0) return -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!reaped_) {
        pid_t done = ::waitpid(pid_, &status_, WNOHANG);
        if (done == pid_) {
            reaped_ = true;
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status_, 0);
            reaped_ = true;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (WIFEXITED(status_)) return WEXITSTATUS(status_);
    return -2;
}

}  // namespace testing_support

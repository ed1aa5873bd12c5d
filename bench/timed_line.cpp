#include "timed_line.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

extern char** environ;

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;
using sim::SimulatedEncoder;

SimulatedEncoder::Options optionsOf() {
  SimulatedEncoder::Options options;
  options.baudRate = 9600;
  options.swipeDelay = std::chrono::milliseconds(0);
  return options;
}

}  // namespace

TimedLine::TimedLine() : encoder_(optionsOf()) {
  // Called on the encoder's thread once a burst is on the line, and once
  // a frame has arrived whole.
  encoder_.setTrafficObserver(
      [this](SimulatedEncoder::Direction direction, const sim::Bytes&) {
        const auto now = Clock::now();
        std::lock_guard lock(mutex_);
        if (direction == SimulatedEncoder::Direction::Sent) {
          lastReplyByte_ = now;
        } else if (lastReplyByte_) {
          gapsMs_.push_back(Ms(now - *lastReplyByte_).count());
          lastReplyByte_.reset();
        }
      });
  if (!encoder_.start()) {
    std::fprintf(stderr, "simulated encoder: %s\n",
                 encoder_.errorText().c_str());
    std::exit(1);
  }
}

Run TimedLine::run(const std::vector<std::string>& argv,
                   const std::vector<std::string>& environment,
                   bool keepOutput) {
  {
    std::lock_guard lock(mutex_);
    gapsMs_.clear();
    lastReplyByte_.reset();
  }
  std::vector<std::string> all(argv);
  std::vector<char*> args;
  for (auto& a : all) args.push_back(a.data());
  args.push_back(nullptr);
  std::vector<std::string> env(environment);
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  int pipeFds[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (keepOutput && ::pipe(pipeFds) == 0) {
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  Run run;
  const auto start = Clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(),
                   envp.data()) != 0) {
    std::perror(args[0]);
    std::exit(1);
  }
  if (pipeFds[1] >= 0) {
    ::close(pipeFds[1]);
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
      run.output.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  posix_spawn_file_actions_destroy(&actions);
  std::lock_guard lock(mutex_);
  run.gapsMs = gapsMs_;
  return run;
}

double quantile(std::vector<double> samples, double q) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<std::size_t>(q * (samples.size() - 1) + 0.5)];
}

}  // namespace bench

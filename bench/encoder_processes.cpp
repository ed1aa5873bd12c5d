#include "encoder_processes.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

extern char** environ;

namespace encoder_processes {

pid_t spawn(const std::vector<std::string>& args, int stdoutFd,
            const std::string& stderrPath) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdoutFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0600);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
    pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

Encoder startEncoder(int swipeMs, const fs::path& record) {
  fs::remove(record);
  Encoder encoder;
  encoder.record = record.string();
  int out[2];
  if (::pipe(out) != 0) return encoder;
  encoder.pid = spawn({ENCODER_SIM_PROGRAM, "--swipe-delay",
                       std::to_string(swipeMs), "--record", encoder.record},
                      out[1]);
  ::close(out[1]);
  char c = 0;
  while (::read(out[0], &c, 1) == 1 && c != '\n') encoder.line += c;
  ::close(out[0]);
  return encoder;
}

void stopEncoder(Encoder& encoder) {
  if (encoder.pid <= 0) return;
  ::kill(encoder.pid, SIGTERM);
  ::waitpid(encoder.pid, nullptr, 0);
  encoder.pid = -1;
}

std::pair<int, double> runQuillon(const std::vector<std::string>& args) {
  const auto start = Clock::now();
  const pid_t pid = spawn(args, -1);
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return {-1, 0};
  const double seconds =
      std::chrono::duration<double>(Clock::now() - start).count();
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, seconds};
}

std::map<std::string, int> writtenCards(const std::vector<Encoder>& encoders,
                                        std::vector<int>& perEncoder) {
  std::map<std::string, int> times;
  for (const Encoder& encoder : encoders) {
    std::ifstream in(encoder.record);
    int here = 0;
    for (std::string line; std::getline(in, line);) {
      const auto json = nlohmann::json::parse(line, nullptr, false);
      if (!json.is_object() || json.value("status", "") != "p") continue;
      ++times[json.value("track2", "")];
      ++here;
    }
    perEncoder.push_back(here);
  }
  return times;
}

std::string number(long n) {
  char text[32];
  std::snprintf(text, sizeof text, "%010ld", n);
  return text;
}

}  // namespace encoder_processes

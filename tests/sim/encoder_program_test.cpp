// The quillon-encoder-sim program: prints its line, links it, serves it and cleans
// up on a stop signal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "encoder_test_fixture.h"

extern char** environ;

namespace sim::testing {
namespace {

namespace fs = std::filesystem;

// The program running with its stdout on a pipe.
class Program {
 public:
  explicit Program(std::vector<std::string> args) {
    args.insert(args.begin(), ENCODER_SIM_PROGRAM);
    int out[2];
    if (::pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null",
                                     O_RDONLY, 0);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(),
                      environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    stdout_ = out[0];
  }
  ~Program() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) ::close(stdout_);
  }

  /// Everything up to the first newline on stdout.
  std::string firstLine() {
    std::string line;
    char c = 0;
    while (::read(stdout_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }
  std::string allOutput() {
    std::string out;
    char buffer[512];
    for (ssize_t n; (n = ::read(stdout_, buffer, sizeof buffer)) > 0;) {
      out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }
  void signal(int number) { ::kill(pid_, number); }
  /// The exit code, or -1 when it did not exit normally.
  int wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
};

class EncoderProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (fs::temp_directory_path() / "encoder_sim_XXXXXX").string();
    dir = ::mkdtemp(pattern.data());
  }
  void TearDown() override { fs::remove_all(dir); }
  fs::path dir;
};

TEST_F(EncoderProgram, ServesItsLineUntilStoppedAndRemovesTheLink) {
  const std::string link = (dir / "encoder").string();
  const std::string record = (dir / "written.jsonl").string();
  std::ofstream(dir / "deck.txt") << "T1|T2|T3\n";
  Program program({"--link", link, "--swipe-delay", "0", "--deck",
                   (dir / "deck.txt").string(), "--record", record, "--baud",
                   "19200"});
  const std::string path = program.firstLine();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(fs::read_symlink(link).string(), path);

  SlavePort port(link);
  ASSERT_TRUE(port.isOpen());
  port.write(kEsc + "e");
  EXPECT_EQ(port.readReply(), bytesOf(kEsc + "y"));
  port.write(kEsc + "Bt" + kEsc + "j");
  EXPECT_EQ(port.readReply(), bytesOf(kEsc + "sT2AT3BT1?" + kFs + kEsc + "rp"));
  port.write(kEsc + "tW" + kGs + kEsc + "\\" + kEsc + "j");
  EXPECT_EQ(port.readReply(), bytesOf(kEsc + "rp"));
  port.close();

  program.signal(SIGTERM);
  EXPECT_EQ(program.wait(), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  std::ifstream in(record);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_NE(line.find("\"track2\":\"W\""), std::string::npos) << line;
}

TEST_F(EncoderProgram, StopsOnSigint) {
  Program program({"--swipe-delay", "0"});
  ASSERT_FALSE(program.firstLine().empty());
  program.signal(SIGINT);
  EXPECT_EQ(program.wait(), 0);
}

TEST_F(EncoderProgram, HelpAndBadArguments) {
  Program help({"--help"});
  EXPECT_NE(help.allOutput().find("--swipe-delay"), std::string::npos);
  EXPECT_EQ(help.wait(), 0);
  Program badNumber({"--baud", "fast"});
  EXPECT_EQ(badNumber.wait(), 2);
  Program missingDeck({"--deck", (dir / "none.txt").string()});
  EXPECT_EQ(missingDeck.wait(), 1);
}

}  // namespace
}  // namespace sim::testing

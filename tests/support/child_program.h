// Runs a built program as a child process with pipes on its standard streams, for the
// end-to-end tests.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kl::test {

class ChildProgram {
 public:
  // Starts `program` with `arguments` in `workingDirectory`; `environment` entries are set
  // (an empty value unsets the variable) on top of this process's environment. With a
  // `terminal` (a pseudo-terminal's slave) the program runs in a session of its own with that
  // terminal as its controlling terminal and standard input, as from a shell.
  ChildProgram(const std::string& program, const std::vector<std::string>& arguments,
               const std::map<std::string, std::string>& environment, const std::string& workingDirectory,
               const std::string& terminal = {});
  ~ChildProgram();
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  void writeInput(const std::string& text);
  void closeInput();
  // Reads standard output until it holds `text`; false when the program ends first or after
  // `timeoutMs`.
  bool waitForOutput(const std::string& text, int timeoutMs);
  int pid() const { return pid_; }
  // Delivers SIGINT (or another signal by number).
  void interrupt();
  void sendSignal(int signalNumber);
  // Waits for the end and reads what is left; the exit code, 128 + signal when a signal ended
  // it, or nothing when it did not end within `timeoutMs` (it is killed then).
  std::optional<int> wait(int timeoutMs);

  const std::string& output() const { return output_; }
  const std::string& errorOutput() const { return error_; }

 private:
  // Reads whatever is ready on the two output pipes within `timeoutMs`; false when both closed.
  bool pump(int timeoutMs);

  int pid_ = -1;
  int input_ = -1;
  int outputPipe_ = -1;
  int errorPipe_ = -1;
  std::string output_;
  std::string error_;
  std::optional<int> status_;
};

// A pipe whose read end stands in for a console's input.
class TestPipe {
 public:
  TestPipe();
  ~TestPipe();
  TestPipe(const TestPipe&) = delete;
  TestPipe& operator=(const TestPipe&) = delete;
  int readEnd() const { return read_; }
  int writeEnd() const { return write_; }
  void write(const std::string& text);
  void closeWriteEnd();
  // Everything until the write end is closed.
  std::string readAll();

 private:
  int read_ = -1;
  int write_ = -1;
};

// Interrupt and terminate signal numbers, so that tests need no system header.
int interruptSignal();
int terminateSignal();
int quitSignal();
int userSignal();

}  // namespace kl::test

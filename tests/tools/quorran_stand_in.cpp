// A stand-in for the maker's boot-loader tool, for the tests. It checks the command line it
// was started with (either job, then the output options and the mandatory -y), checks that
// the exchange file of the "-g" job is a new private file, copies a programmer image into
// it, and exits with a chosen code. What it saw goes into a record file:
//   STANDIN_RECORD      file to append "arg: ...", "terminal: normal|raw|none" and
//                       "port-lock: present|absent" lines (and "error: ..." for a bad call)
//   STANDIN_EXIT        exit code (default 0)
//   STANDIN_PROGRAMMER  file whose bytes go into the exchange file (default: none written)
//   STANDIN_PORT_LOCK   the port's lock file, which must be gone during the blank-chip job
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

namespace {

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::ofstream& Record() {
  static std::ofstream record(Variable("STANDIN_RECORD"), std::ios::app);
  return record;
}

int Refuse(const std::string& reason) {
  Record() << "error: " << reason << "\n";
  std::cerr << "quorran-stand-in: " << reason << "\n";
  return 64;
}

// The "-g" job's exchange file must be ours alone, new and empty, and no link.
std::string ExchangeFileProblem(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return "no exchange file " + path;
  if (!S_ISREG(st.st_mode)) return "exchange file is not a regular file";
  if (st.st_uid != ::geteuid()) return "exchange file belongs to someone else";
  if (st.st_mode & (S_IRWXG | S_IRWXO)) return "exchange file is readable by others";
  if (st.st_size != 0) return "exchange file is not empty";
  return "";
}

const char* TerminalMode() {
  termios modes{};
  if (!::isatty(0) || ::tcgetattr(0, &modes) != 0) return "none";
  return (modes.c_lflag & ICANON) && (modes.c_lflag & ECHO) ? "normal" : "raw";
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& arg : args) Record() << "arg: " << arg << "\n";
  Record() << "terminal: " << TerminalMode() << "\n";
  if (const std::string lock = Variable("STANDIN_PORT_LOCK"); !lock.empty()) {
    Record() << "port-lock: " << (::access(lock.c_str(), F_OK) == 0 ? "present" : "absent") << "\n";
  }

  static const std::regex programmerJob(
      "-g(.+);mcu=[0-9]+,bootversion=[0-9]+,bootflags=[0-9A-F]{2},unitflags=[0-9A-F]{2},"
      "cardnumber=[0-9A-F]{4},buffersize=[0-9]+");
  std::smatch match;
  size_t options = 0;
  std::string exchange;
  if (!args.empty() && std::regex_match(args[0], match, programmerJob)) {
    exchange = match[1];
    options = 1;
  } else if (args.size() >= 3 && std::regex_match(args[0], std::regex("COM[0-9]+")) && args[1] == "-l" &&
             args[2] == "-s") {
    options = 3;
  } else {
    return Refuse("neither job's arguments");
  }
  if (options < args.size() && (args[options] == "-d" || args[options] == "-dd")) ++options;
  if (options == args.size() || args[options] != "-y") return Refuse("no -y");
  ++options;
  if (options < args.size() && args[options] == "-s") ++options;
  if (options != args.size()) return Refuse("unexpected argument " + args[options]);

  if (!exchange.empty()) {
    if (const std::string problem = ExchangeFileProblem(exchange); !problem.empty()) return Refuse(problem);
    if (const std::string from = Variable("STANDIN_PROGRAMMER"); !from.empty()) {
      std::ifstream in(from, std::ios::binary);
      std::ofstream out(exchange, std::ios::binary | std::ios::trunc);
      out << in.rdbuf();
    }
  }
  return std::atoi(Variable("STANDIN_EXIT").c_str());
}

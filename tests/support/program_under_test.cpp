#include "support/program_under_test.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace kl::test {

namespace fs = std::filesystem;

namespace {

constexpr int kToolMs = 60000;
constexpr const char* kRegistryStore = "config/kestrelink/registry";

std::string FindInPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream folders(path ? path : "/usr/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    const std::string candidate = folder + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return name;
}

// "SOFTWARE\Tessaly\Balvanta\CommPort" as key and value name.
std::pair<std::string, std::string> SplitRegistryPath(const std::string& path) {
  const size_t last = path.rfind('\\');
  return {path.substr(0, last), path.substr(last + 1)};
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

std::string PortMapFor(const std::map<int, std::string>& ports) {
  std::string map;
  for (const auto& [number, path] : ports) {
    if (!map.empty()) map.append(";");
    map.append(std::to_string(number)).append("=").append(path);
  }
  return map;
}

ProgramUnderTest::ProgramUnderTest(const TempDir& dir) : dir_(dir) {
  const char* chosen = std::getenv("KESTRELINK_PROGRAM");
  const std::string source = chosen && *chosen ? chosen : KESTRELINK_BINARY;
  wine_ = source.ends_with(".exe");
  fs::create_directories(dir.file("bin"));
  program_ = dir.file(wine_ ? "bin/kestrelink.exe" : "bin/kestrelink");
  fs::copy_file(source, program_);
  if (!wine_) return;
  wineLoader_ = FindInPath("wine");
  prefix_ = dir.file("wine");
}

void ProgramUnderTest::preparePrefix() {
  if (!wine_ || prefixReady_) return;
  prefixReady_ = true;
  // A prefix of the test's own from the build's template: the system's files linked, the
  // registry and the device folder its own.
  const fs::path source_prefix = fs::path(KESTRELINK_BINARY).parent_path() / "wine-template";
  fs::create_directories(prefix_ + "/dosdevices");
  fs::create_directory_symlink("../drive_c", prefix_ + "/dosdevices/c:");
  fs::create_directory_symlink("/", prefix_ + "/dosdevices/z:");
  fs::copy(source_prefix / "drive_c", prefix_ + "/drive_c",
           fs::copy_options::recursive | fs::copy_options::create_hard_links | fs::copy_options::copy_symlinks);
  for (const char* file : {"system.reg", "user.reg", "userdef.reg", ".update-timestamp"})
    fs::copy_file(source_prefix / file, prefix_ + "/" + file);
  // The prefix's server and services run from here to the end of the test, apart from the
  // program's pipes: a server started by a run would hold its output open after it ended.
  runQuietly("wineserver -p && wine cmd.exe /c exit");
}

ProgramUnderTest::~ProgramUnderTest() {
  if (!prefixReady_) return;
  runQuietly("wineserver -k");
  std::error_code ignored;
  fs::remove_all(prefix_, ignored);  // before the folder's clean-up can touch the linked files
}

std::map<std::string, std::string> ProgramUnderTest::environment() const {
  std::map<std::string, std::string> variables = {
      {"HOME", dir_.file("home")},
      {"XDG_STATE_HOME", dir_.file("state")},
      {"XDG_CONFIG_HOME", dir_.file("config")},
      {"COMPUTERNAME", "BENCH7"},
      {"USERNAME", "tech"},
      {"KESTRELINK_PORTMAP", ""},
      {"KESTRELINK_DEBUGTRACE", ""},
      {"BALVANTAPORTLIST", ""},
      {"BALVANTAPORT", ""},
      {"BALVANTABAUDRATE", ""},
      {"BALVANTALOCKDIR", ""},
      {"BALVANTAPATH", ""},
  };
  if (wine_) {
    variables["WINEPREFIX"] = prefix_;
    variables["WINEDEBUG"] = "-all";
    // Without the device manager no serial port of this machine takes a COM number: the
    // test's links are the only ports there are.
    variables["WINEDLLOVERRIDES"] = "mountmgr.sys=;mscoree,mshtml=";
    variables["DISPLAY"] = "";
  }
  return variables;
}

std::unique_ptr<ChildProgram> ProgramUnderTest::start(const std::vector<std::string>& arguments,
                                                      const std::map<std::string, std::string>& environment,
                                                      const std::string& terminal, bool terminalOutput) {
  std::map<std::string, std::string> variables = this->environment();
  for (const auto& [name, value] : environment) variables[name] = value;
  if (!wine_) return std::make_unique<ChildProgram>(program_, arguments, variables, dir_.path(), terminal, terminalOutput);
  preparePrefix();
  linkPorts(variables["KESTRELINK_PORTMAP"]);
  std::vector<std::string> words{program_};
  words.insert(words.end(), arguments.begin(), arguments.end());
  return std::make_unique<ChildProgram>(wineLoader_, words, variables, dir_.path(), terminal, terminalOutput);
}

void ProgramUnderTest::linkPorts(const std::string& portMap) {
  const fs::path devices = prefix_ + "/dosdevices";
  for (const auto& entry : fs::directory_iterator(devices))
    if (entry.path().filename().string().starts_with("com")) fs::remove(entry.path());
  std::istringstream entries(portMap);
  for (std::string entry; std::getline(entries, entry, ';');) {
    const size_t equals = entry.find('=');
    if (equals == std::string::npos) continue;
    const std::string number = entry.substr(0, equals);
    const std::string path = entry.substr(equals + 1);
    // An empty path names no device: a link to nothing is an absent port.
    fs::create_symlink(path.empty() ? dir_.file("absent-com" + number) : path, devices / ("com" + number));
  }
}

void ProgramUnderTest::runQuietly(const std::string& commands) {
  std::string line;
  for (const auto& [name, value] : environment()) {
    if (name.starts_with("WINE")) line += name + "='" + value + "' ";
  }
  line = "export " + line + "; { " + commands + "; } </dev/null >/dev/null 2>&1";
  [[maybe_unused]] const int status = std::system(line.c_str());
}

std::string ProgramUnderTest::runWineTool(const std::vector<std::string>& arguments) {
  preparePrefix();
  ChildProgram tool(wineLoader_, arguments, environment(), dir_.path());
  tool.closeInput();
  tool.wait(kToolMs);
  return tool.output();
}

std::string ProgramUnderTest::shown(const std::string& path) const {
  if (!wine_) return path;
  const std::string drive = prefix_ + "/drive_c/";
  std::string windows = path.starts_with(drive) ? "C:\\" + path.substr(drive.size()) : "Z:" + path;
  for (char& c : windows)
    if (c == '/') c = '\\';
  return windows;
}

std::string ProgramUnderTest::stateFolder() {
  if (!wine_) return dir_.file("state/kestrelink");
  preparePrefix();
  // The Windows user's local application data; Wine names the user after the Linux one.
  for (const auto& user : fs::directory_iterator(prefix_ + "/drive_c/users")) {
    const std::string name = user.path().filename().string();
    if (name != "Public") return user.path().string() + "/AppData/Local/Kestrelink";
  }
  return {};
}

std::string ProgramUnderTest::environmentValue(const std::string& name) {
  if (!wine_) return environment()[name];
  const std::vector<std::string> lines = Lines(runWineTool({"cmd.exe", "/c", "echo %" + name + "%"}));
  return lines.empty() ? std::string() : lines.front();
}

std::string ProgramUnderTest::registryValue(const std::string& path) {
  const auto [key, value] = SplitRegistryPath(path);
  if (wine_) {
    // "    CommPort    REG_SZ    3"
    const std::string marker = "    " + value + "    REG_SZ    ";
    for (const std::string& line : Lines(runWineTool({"reg", "query", "HKCU\\" + key, "/v", value})))
      if (line.starts_with(marker)) return line.substr(marker.size());
    return {};
  }
  const std::string store = dir_.file(kRegistryStore);
  for (const std::string& line : Lines(readFile(store)))
    if (line.starts_with(path + "=")) return line.substr(path.size() + 1);
  return {};
}

void ProgramUnderTest::setRegistryValue(const std::string& path, const std::string& value) {
  const auto [key, name] = SplitRegistryPath(path);
  if (wine_) {
    runWineTool({"reg", "add", "HKCU\\" + key, "/v", name, "/d", value, "/f"});
    return;
  }
  fs::create_directories(fs::path(dir_.file(kRegistryStore)).parent_path());
  writeFile(dir_.file(kRegistryStore), path + "=" + value + "\n");
}

}  // namespace kl::test

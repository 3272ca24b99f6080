#include "e2e/e2e_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>

namespace fs = std::filesystem;

namespace quarlix::e2e {
namespace {

constexpr auto kRunTimeout = std::chrono::seconds(60);

const char* Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

std::string BinaryPath() {
  const char* configured = Environment("QUARLIX_TEST_BINARY");
  // Runs happen in the sandbox, so a relative path must be made absolute here.
  return fs::absolute(configured != nullptr ? configured : QUARLIX_BINARY).string();
}

bool ExpectCrlf() {
  const char* crlf = Environment("QUARLIX_TEST_CRLF");
  return crlf != nullptr && std::string_view(crlf) == "1";
}

std::string Describe(const std::vector<std::string>& args) {
  std::string text = "quarlix";
  for (const auto& arg : args) text += " '" + arg + "'";
  return text;
}

// Checks that every "\n" comes as "\r\n" and returns the text with "\n" only.
std::string FromCrlf(const std::string& raw, const std::string& description) {
  std::string text;
  text.reserve(raw.size());
  bool bareLineEnd = false;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    if (raw[i] == '\n' && (i == 0 || raw[i - 1] != '\r')) bareLineEnd = true;
    text += raw[i];
  }
  if (bareLineEnd) {
    ADD_FAILURE() << description << ": a line end is \"\\n\" without \"\\r\" in:\n" << raw;
  }
  return text;
}

// Gives the owner full access to everything below path, so that a test that
// took permissions away still leaves a sandbox that can be removed.
void MakeRemovable(const fs::path& path) {
  std::error_code ignored;
  if (!fs::is_directory(fs::symlink_status(path, ignored))) return;
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
  for (fs::directory_iterator it(path, ignored), end; !ignored && it != end;
       it.increment(ignored)) {
    MakeRemovable(it->path());
  }
}

}  // namespace

bool UnderLauncher() { return Environment("QUARLIX_TEST_LAUNCHER") != nullptr; }

std::string TypeLine(uint32_t archiveType) {
  static constexpr const char* kDescriptions[] = {
      " (Straight forward)", " (Encrypted, not compressed)", " (Encrypted and compressed)"};
  std::string line = "ArchiveType\t\t: " + std::to_string(archiveType);
  if (archiveType < std::size(kDescriptions)) line += kDescriptions[archiveType];
  return line + "\n";
}

std::string CountLine(uint32_t fileCount) {
  return "FileCount\t\t: " + std::to_string(fileCount) + "\n\n";
}

std::string AddCountLine(uint32_t addCount) {
  return "Files to add\t: " + std::to_string(addCount) + "\n\n";
}

std::string Row(std::string_view name, uint64_t first, uint64_t second) {
  const auto rightAligned = [](uint64_t value) {
    std::string digits = std::to_string(value);
    return std::string(digits.size() < 8 ? 8 - digits.size() : 0, ' ') + digits;
  };
  std::string row(name);
  if (row.size() < 62) row.append(62 - row.size(), ' ');
  return row + rightAligned(first) + rightAligned(second) + "\n";
}

void E2eTest::SetUp() {
  std::string pattern = (fs::temp_directory_path() / "quarlix-e2e-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
  root_ = pattern;
  work_ = root_ / "o1" / "o2" / "work";
  fs::create_directories(work_);
}

void E2eTest::TearDown() {
  if (root_.empty()) return;
  MakeRemovable(root_);
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

RunResult E2eTest::Run(std::vector<std::string> args) {
  RunResult result = RunOnce(args);
  // Under wine a process's output is, very rarely, lost at start-up (seen once
  // in some 2,000 runs: a normal exit code and nothing on either stream). The
  // tool always prints its banner first, so an empty output is never its own
  // answer: such a run is tried once more.
  if (UnderLauncher() && result.out.empty()) {
    std::fprintf(stderr, "note: %s printed nothing under the launcher; run again\n",
                 Describe(args).c_str());
    result = RunOnce(args);
  }
  return result;
}

RunResult E2eTest::RunOnce(const std::vector<std::string>& args) {
  const std::string description = Describe(args);
  std::vector<std::string> command;
  if (const char* launcher = Environment("QUARLIX_TEST_LAUNCHER")) {
    command.emplace_back(launcher);
    // The launcher's own diagnostics would be mistaken for the tool's.
    ::setenv("WINEDEBUG", "-all", /*overwrite=*/0);
  }
  command.push_back(BinaryPath());
  command.insert(command.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& word : command) argv.push_back(word.data());
  argv.push_back(nullptr);
  const std::string workDir = work_.string();

  RunResult result;
  int outPipe[2];
  int errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return result;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return result;
  }
  if (pid == 0) {
    const int devNull = ::open("/dev/null", O_RDONLY);
    if (::chdir(workDir.c_str()) != 0 || devNull < 0 || ::dup2(devNull, 0) < 0 ||
        ::dup2(outPipe[1], 1) < 0 || ::dup2(errPipe[1], 2) < 0) {
      ::_exit(126);
    }
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);

  std::string out;
  std::string err;
  const auto deadline = std::chrono::steady_clock::now() + kRunTimeout;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  bool timedOut = false;
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      break;
    }
    const int ready = ::poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
      } else {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      }
    }
  }
  if (timedOut) ::kill(pid, SIGKILL);
  for (auto& entry : fds) {
    if (entry.fd >= 0) ::close(entry.fd);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }

  if (timedOut) {
    ADD_FAILURE() << description << ": still running after " << kRunTimeout.count() << " s; killed";
  } else if (WIFSIGNALED(status)) {
    ADD_FAILURE() << description << ": ended by signal " << WTERMSIG(status);
    result.exitCode = -WTERMSIG(status);
  } else if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
    if (result.exitCode == 126 || result.exitCode == 127) {
      ADD_FAILURE() << description << ": could not be started (" << command.front() << ")";
    }
  }
  if (!err.empty()) ADD_FAILURE() << description << ": wrote to standard error:\n" << err;
  result.out = ExpectCrlf() ? FromCrlf(out, description) : out;
  return result;
}

void E2eTest::WriteFile(const fs::path& path, std::string_view bytes) {
  const fs::path full = work_ / path;
  if (full.has_parent_path()) fs::create_directories(full.parent_path());
  std::ofstream stream(full, std::ios::binary | std::ios::trunc);
  stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(stream.good()) << "cannot write " << full;
}

std::string E2eTest::ReadFile(const fs::path& path) {
  std::ifstream stream(work_ / path, std::ios::binary);
  EXPECT_TRUE(stream.is_open()) << "cannot read " << (work_ / path);
  return std::string(std::istreambuf_iterator<char>(stream), {});
}

bool E2eTest::Exists(const fs::path& path) {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(work_ / path, ignored));
}

std::vector<std::string> E2eTest::ListFiles() {
  std::vector<std::string> files;
  std::error_code ignored;
  for (fs::recursive_directory_iterator it(work_, ignored), end; !ignored && it != end;
       it.increment(ignored)) {
    if (!it->is_directory(ignored) || it->is_symlink(ignored)) {
      files.push_back(it->path().lexically_relative(work_).generic_string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::string> E2eTest::ListOutsideWork() {
  const fs::path o1 = root_ / "o1";
  const fs::path o2 = o1 / "o2";
  std::vector<std::string> found;
  std::error_code ignored;
  for (fs::recursive_directory_iterator it(root_, ignored), end; !ignored && it != end;
       it.increment(ignored)) {
    if (it->path() == work_) {
      it.disable_recursion_pending();
    } else if (it->path() != o1 && it->path() != o2) {
      found.push_back(it->path().lexically_relative(root_).generic_string());
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

void E2eTest::ClearWorkDir(const std::vector<std::string>& keep) {
  MakeRemovable(root_);
  std::error_code ignored;
  for (const auto& outside : ListOutsideWork()) fs::remove_all(root_ / outside, ignored);
  std::vector<fs::path> doomed;
  for (fs::directory_iterator it(work_, ignored), end; !ignored && it != end;
       it.increment(ignored)) {
    const std::string name = it->path().filename().string();
    if (std::find(keep.begin(), keep.end(), name) == keep.end()) doomed.push_back(it->path());
  }
  for (const auto& path : doomed) fs::remove_all(path, ignored);
}

}  // namespace quarlix::e2e

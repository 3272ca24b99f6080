// The file system's own cost of the files an extraction of tree B makes, with
// no archive and no decoding: 20,000 files of 4,500 bytes in 200 folders,
// written by two threads (each its own folders), either each straight under
// its name or, as quarlix writes them, under a temporary name and then renamed
// over its name. The time is what any extractor of B pays at least on this
// machine; bench/README.md compares it with tar -xzf.
//
//   file_creation_floor DIR temporary|direct [THREADS]
//
// DIR must be a new, empty folder on the disk under test.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

constexpr int kFolders = 200;
constexpr int kFilesPerFolder = 100;
constexpr size_t kFileSize = 4500;  // about the mean size of B's files

bool WriteFile(const std::string& path, const std::vector<char>& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  return ::close(fd) == 0 && ok;
}

bool MakeFolders(const std::string& root, int thread, int threads, bool temporary) {
  const std::vector<char> bytes(kFileSize, 'x');
  for (int folder = thread; folder < kFolders; folder += threads) {
    const std::string dir = root + "/d" + std::to_string(folder);
    if (::mkdir(dir.c_str(), 0777) != 0) return false;
    for (int file = 0; file < kFilesPerFolder; ++file) {
      const std::string path = dir + "/f" + std::to_string(file);
      if (!temporary) {
        if (!WriteFile(path, bytes)) return false;
        continue;
      }
      const std::string temporaryPath = dir + "/.t" + std::to_string(file);
      if (!WriteFile(temporaryPath, bytes) || ::rename(temporaryPath.c_str(), path.c_str()) != 0) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view mode = argc > 2 ? argv[2] : "";
  if (argc < 3 || (mode != "temporary" && mode != "direct")) {
    std::fprintf(stderr, "usage: file_creation_floor DIR temporary|direct [THREADS]\n");
    return 2;
  }
  const int threads = argc > 3 ? std::max(1, std::atoi(argv[3])) : 2;
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  std::vector<char> ok(static_cast<size_t>(threads), 0);
  for (int i = 0; i < threads; ++i) {
    workers.emplace_back([&, i] {
      ok[static_cast<size_t>(i)] = MakeFolders(argv[1], i, threads, mode == "temporary");
    });
  }
  for (auto& worker : workers) worker.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  for (const char result : ok) {
    if (!result) {
      std::perror("file_creation_floor");
      return 1;
    }
  }
  std::printf("%d files, %s, %d threads: %.3f s\n", kFolders * kFilesPerFolder, argv[2], threads,
              seconds);
  return 0;
}

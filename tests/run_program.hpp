// SPDX-License-Identifier: MIT
// What the end-to-end tests share: files read and written whole, and a
// built program run in a directory of its own with its streams captured.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace end_to_end {

using bytes = std::string;

inline bytes read_file(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::filesystem::path& path, const bytes& contents)
{
    std::ofstream(path, std::ios::binary) << contents;
}

struct run_result {
    int status;
    std::string out;
    std::string err;
    long peak_kib = 0;  // the most memory the program held at once (resident)
};

// Starts `program` with `args` in `dir`, its output streams written to
// `out_path` and `err_path`. Past `file_size_limit` bytes a write fails with
// EFBIG instead of a signal.
inline pid_t start_program(const std::string& program, const std::filesystem::path& dir, std::vector<std::string> args,
                           const std::filesystem::path& out_path, const std::filesystem::path& err_path,
                           rlim_t file_size_limit = RLIM_INFINITY)
{
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const rlimit limit{file_size_limit, file_size_limit};
        if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0 ||
            chdir(dir.c_str()) != 0 || signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            _exit(127);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

// Runs `program` with `args` in `dir`, both streams captured in files in
// `capture_dir`, outside `dir`, so that they never show in its snapshot.
inline run_result run_program(const std::string& program, const std::filesystem::path& dir,
                              const std::filesystem::path& capture_dir, std::vector<std::string> args,
                              rlim_t file_size_limit = RLIM_INFINITY)
{
    const std::filesystem::path out_path = capture_dir / "stdout";
    const std::filesystem::path err_path = capture_dir / "stderr";
    const pid_t child = start_program(program, dir, std::move(args), out_path, err_path, file_size_limit);
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status)) {
        return {-1, "", ""};
    }
    return {WEXITSTATUS(status), read_file(out_path), read_file(err_path), usage.ru_maxrss};
}

// A table row's name as GoogleTest and ctest take it: '_' for every
// character that is not a letter or a digit.
inline std::string test_name(std::string name)
{
    std::replace_if(name.begin(), name.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) == 0; }, '_');
    return name;
}

}  // namespace end_to_end
